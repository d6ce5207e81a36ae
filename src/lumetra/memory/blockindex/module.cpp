// lumetra.memory.blockindex: the free-block index.
//
// Import order: the FastRedBlackTree type, the standard imports, the typing
// names, the package's Blockrec (required), then AtomicCounter from
// lumetra.memory.lockless (optional: only ImportError is caught; the outcome
// is recorded in ATOMIC_AVAILABLE). The module has no logger.
#include "blockindex.hpp"

namespace blockindex {

namespace {

// AtomicCounter when lumetra.memory.lockless imports, else None.
bool add_atomic_counter(PyObject* module) noexcept {
    capi::Ref counter =
        capi::Ref::steal(capi::from_import("lumetra.memory.lockless", "AtomicCounter"));
    if (!counter) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
        PyErr_Clear();
    }
    const bool available = static_cast<bool>(counter);
    return PyModule_AddObjectRef(module, "AtomicCounter", available ? counter.get() : Py_None) ==
               0 &&
           PyModule_AddObjectRef(module, "ATOMIC_AVAILABLE", available ? Py_True : Py_False) == 0;
}

bool exec(PyObject* module, State& st) noexcept {
    return st.names.init() && add_fast_red_black_tree(module, st) &&
           capi::import_module(module, "threading") && capi::import_module(module, "time") &&
           capi::import_module(module, "math") &&
           capi::import_names(module, "typing", {"List", "Optional", "Tuple", "Dict", "Any"}) &&
           capi::import_names(module, "lumetra.memory.blockrec", {"Blockrec"}) &&
           add_atomic_counter(module);
}

}  // namespace

PyModuleDef State::definition = capi::module_def<State, exec>(
    "lumetra.memory.blockindex",
    "Free-block index: a red-black tree of free blocks keyed by size.\n\n"
    "FastRedBlackTree answers best-fit queries without taking a lock:\n"
    "- Lock-free reads validated by a sequence counter (seqlock)\n"
    "- Writers serialised by one mutex per tree\n"
    "- Atomic sampling counter\n"
    "- Sampling reduces overhead to <1%\n");

}  // namespace blockindex

PyMODINIT_FUNC PyInit_blockindex() { return PyModuleDef_Init(&blockindex::State::definition); }
