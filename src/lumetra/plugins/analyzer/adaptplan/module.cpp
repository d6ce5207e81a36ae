// lumetra.plugins.analyzer.adaptplan: the orchestrator's adaptation heuristics.
//
// Import order: the constant objects, the eleven functions (detection first,
// then the decisions), `logging`, `logger`, then the one INFO banner. The
// module keeps no state besides its constants; its functions are stateless.
#include "adaptplan.hpp"

namespace adaptplan {

namespace {

bool exec(PyObject* module, State& st) noexcept {
    if (!init_constants(st) || !capi::add_functions(module, st, history_functions()) ||
        !capi::add_functions(module, st, decision_functions())) {
        return false;
    }
    // The banner is kept as written: callers match it.
    return capi::log_banner(module, st, "Lumetra Adaptplan Cython module loaded - IP protected");
}

}  // namespace

PyModuleDef State::definition =
    capi::module_def<State, exec>("lumetra.plugins.analyzer.adaptplan",
                                  "Protected core of the adaptive orchestration heuristics.\n"
                                  "\n"
                                  "- Performance degradation detection\n"
                                  "- Workload change detection\n"
                                  "- Adaptation benefit scoring\n"
                                  "- Memory pressure evaluation\n");

}  // namespace adaptplan

PyMODINIT_FUNC PyInit_adaptplan() { return PyModuleDef_Init(&adaptplan::State::definition); }
