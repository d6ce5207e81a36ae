// lumetra.native.hostprobe: what the machine and the interpreter offer.
//
// Import order: the five probe functions, then `import sys`, `import os` and
// `import time`, bound as module globals that the probes look up at each call.
// No logger, no banner; the module state holds only constants.
#include "capi/capi.hpp"
#include "hostprobe.hpp"

namespace hostprobe {

namespace {

bool exec(PyObject* module, State& st) noexcept {
    return st.names.init() && add_probes(module, st) && capi::import_module(module, "sys") &&
           capi::import_module(module, "os") && capi::import_module(module, "time");
}

}  // namespace

PyModuleDef State::definition = capi::module_def<State, exec>(
    "lumetra.native.hostprobe",
    "Host capability detection.\n\n"
    "Usable CPU cores, NUMA nodes, GPU back-ends, the interpreter version and\n"
    "sub-interpreter support, probed afresh at each call. A failing probe never\n"
    "raises: it falls back to a conservative value.\n");

}  // namespace hostprobe

PyMODINIT_FUNC PyInit_hostprobe() { return PyModuleDef_Init(&hostprobe::State::definition); }
