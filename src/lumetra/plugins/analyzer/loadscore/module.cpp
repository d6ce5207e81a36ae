// lumetra.plugins.analyzer.loadscore: stateless scoring of source text and
// metrics for the workload analyser.
//
// Import order: `re`, the compiled framework patterns (and the indicator
// matchers), the nine functions, `logging`, the logger, then the banner.
// The patterns and matchers are built at import and only read afterwards.
#include "capi/capi.hpp"
#include "loadscore.hpp"

namespace loadscore {

namespace {

bool exec(PyObject* module, State& st) noexcept {
    if (!capi::import_module(module, "re") || !st.names.init() || !build_patterns(st) ||
        !add_functions(module, st)) {
        return false;
    }
    // The banner is kept as written: callers match it.
    return capi::log_banner(module, st, "Lumetra Loadscore Cython module loaded - IP protected");
}

}  // namespace

PyModuleDef State::definition = capi::module_def<State, exec>(
    "lumetra.plugins.analyzer.loadscore",
    // The "IP Protected Core" heading is kept as written: callers match it.
    "Workload Detection Algorithms - IP Protected Core\n"
    "\n"
    "This module contains the scoring algorithms for workload detection and\n"
    "pattern classification.\n");

}  // namespace loadscore

PyMODINIT_FUNC PyInit_loadscore() { return PyModuleDef_Init(&loadscore::State::definition); }
