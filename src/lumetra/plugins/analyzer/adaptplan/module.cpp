// lumetra.plugins.analyzer.adaptplan: the orchestrator's adaptation heuristics.
//
// Import order: the constant objects, the eleven functions (detection first,
// then the decisions), `logging`, `logger`, then the one INFO banner. The
// module keeps no state besides its constants; its functions are stateless.
#include "adaptplan.hpp"

namespace {

bool init(PyObject* module) noexcept {
    using namespace adaptplan;
    if (!init_constants() || !capi::add_functions(module, history_functions()) ||
        !capi::add_functions(module, decision_functions())) {
        return false;
    }
    return capi::log_banner(module, "Lumetra Adaptplan Cython module loaded - IP protected");
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumetra.plugins.analyzer.adaptplan",
    "Protected core of the adaptive orchestration heuristics.\n"
    "\n"
    "- Performance degradation detection\n"
    "- Workload change detection\n"
    "- Adaptation benefit scoring\n"
    "- Memory pressure evaluation\n",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_adaptplan() { return capi::create_module(&module_def, init); }
