// lumetra.gpu.devicemem: arithmetic for planning GPU memory use.
//
// Import order: the six planning functions, the constant tables (the two
// operation sets and the fixed strategy results, private to the native code),
// the four assessment functions, then `logging`, the logger and its banner.
// The module keeps no state that changes after import.
#include "capi/capi.hpp"
#include "devicemem.hpp"

namespace devicemem {

namespace {

bool exec(PyObject* module, State& st) noexcept {
    if (!st.names.init() || !add_planning_functions(module, st) || !build_constants(st) ||
        !add_assessment_functions(module, st)) {
        return false;
    }
    // The banner is kept as written: callers match it.
    return capi::log_banner(module, st, "Lumetra Devicemem Cython module loaded - IP protected");
}

}  // namespace

PyModuleDef State::definition = capi::module_def<State, exec>(
    "lumetra.gpu.devicemem",
    "Lumetra Devicemem: the protected core of the GPU memory heuristics.\n\n"
    "Topics:\n"
    "- Memory estimation with dynamic headroom\n"
    "- Three-tier allocation strategy decision\n"
    "- Chunk size calculation for large arrays\n"
    "- OOM detection heuristics\n");

}  // namespace devicemem

PyMODINIT_FUNC PyInit_devicemem() { return PyModuleDef_Init(&devicemem::State::definition); }
