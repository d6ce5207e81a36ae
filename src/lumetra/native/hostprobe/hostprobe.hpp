// Module-internal declarations of lumetra.native.hostprobe.
#pragma once

#include <Python.h>

namespace hostprobe {

// Builds the constants and binds the five probe functions in `module`, whose
// namespace the probes read their globals from.
bool add_probes(PyObject* module) noexcept;

}  // namespace hostprobe
