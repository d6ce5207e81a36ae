// lumetra.native.hostprobe: what the machine and the interpreter offer.
//
// Import order: the five probe functions, then `import sys`, `import os` and
// `import time`, bound as module globals that the probes look up at each call.
// No logger, no banner, no other module state.
#include "capi/capi.hpp"
#include "hostprobe.hpp"

namespace {

bool init(PyObject* module) noexcept {
    return hostprobe::add_probes(module) && capi::import_module(module, "sys") &&
           capi::import_module(module, "os") && capi::import_module(module, "time");
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumetra.native.hostprobe",
    "Host capability detection.\n\n"
    "Usable CPU cores, NUMA nodes, GPU back-ends, the interpreter version and\n"
    "sub-interpreter support, probed afresh at each call. A failing probe never\n"
    "raises: it falls back to a conservative value.\n",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_hostprobe() { return capi::create_module(&module_def, init); }
