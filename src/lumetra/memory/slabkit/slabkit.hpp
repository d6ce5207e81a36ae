// Module-internal declarations of lumetra.memory.slabkit: one `add_*` per
// class or function group, called by the module's start-up in import order,
// and the process-wide module state they share.
#pragma once

#include <Python.h>

namespace slabkit {

// The module's namespace, kept for the module's lifetime (single-phase
// initialisation: set once, never released). `threading.Lock` and `logger`
// are looked up in it when used, so rebinding either is honoured.
extern PyObject* module_dict;

bool add_slab_header_ops(PyObject* module) noexcept;
bool add_bucket_allocator(PyObject* module) noexcept;
bool add_stats_collector(PyObject* module) noexcept;
bool add_functions(PyObject* module) noexcept;

}  // namespace slabkit
