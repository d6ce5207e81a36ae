// lumetra.plugins.analyzer.loadscore: stateless scoring of source text and
// metrics for the workload analyser.
//
// Import order: `re`, the compiled framework patterns (and the indicator
// matchers), the nine functions, `logging`, the logger, then the banner.
// The patterns and matchers are built once and only read afterwards.
#include "capi/capi.hpp"
#include "loadscore.hpp"

namespace {

bool init(PyObject* module) noexcept {
    if (!capi::import_module(module, "re") || !loadscore::build_patterns(module) ||
        !loadscore::add_functions(module)) {
        return false;
    }
    return capi::log_banner(module, "Lumetra Loadscore Cython module loaded - IP protected");
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumetra.plugins.analyzer.loadscore",
    "Workload Detection Algorithms - IP Protected Core\n"
    "\n"
    "This module contains the scoring algorithms for workload detection and\n"
    "pattern classification.\n",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_loadscore() { return capi::create_module(&module_def, init); }
