// lumetra.gpu.devicemem: arithmetic for planning GPU memory use.
//
// Import order: the six planning functions, the constant tables (the two
// operation sets and the fixed strategy results, private to the native code),
// the four assessment functions, then `logging`, the logger and its banner.
// The module keeps no state that changes after import.
#include "capi/capi.hpp"
#include "devicemem.hpp"

namespace {

bool init(PyObject* module) noexcept {
    using namespace devicemem;
    if (!add_planning_functions(module) || !build_constants() ||
        !add_assessment_functions(module)) {
        return false;
    }
    return capi::log_banner(module, "Lumetra Devicemem Cython module loaded - IP protected");
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumetra.gpu.devicemem",
    "Lumetra Devicemem: the protected core of the GPU memory heuristics.\n\n"
    "Topics:\n"
    "- Memory estimation with dynamic headroom\n"
    "- Three-tier allocation strategy decision\n"
    "- Chunk size calculation for large arrays\n"
    "- OOM detection heuristics\n",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_devicemem() { return capi::create_module(&module_def, init); }
