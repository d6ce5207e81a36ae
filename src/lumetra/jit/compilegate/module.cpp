// lumetra.jit.compilegate: the adaptive JIT compilation policy.
//
// Import order: the three classes, the standard imports (`time`, `logging`,
// `threading`, then `Dict` and `Optional` from `typing`), the logger, the
// shared policy's lock `_policy_lock`, the module functions, and last the INFO
// banner. The first failing step fails the import with its error.
#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace {

bool init(PyObject* module) noexcept {
    using namespace compilegate;
    if (!add_policy_config(module) || !add_function_metrics(module) || !add_compilegate(module) ||
        !capi::import_module(module, "time") || !capi::import_module(module, "logging") ||
        !capi::import_module(module, "threading") ||
        !capi::import_names(module, "typing", {"Dict", "Optional"})) {
        return false;
    }
    capi::Ref logger = capi::Ref::steal(capi::create_logger(module));
    if (!logger || !capture_standard_names()) return false;
    capi::Ref policy_lock = capi::Ref::steal(capi::new_threading_lock(module_dict));
    return policy_lock && PyModule_AddObjectRef(module, "_policy_lock", policy_lock.get()) == 0 &&
           add_module_functions(module) &&
           capi::log(logger.get(), "info",
                     "Lumetra Compilegate Cython module loaded - IP protected");
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumetra.jit.compilegate",
    "Adaptive JIT threshold policy.\n\n"
    "Dynamically adjusts compilation thresholds based on observed performance.\n"
    "Reduces compilation attempts while maximizing benefit.\n",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_compilegate() { return capi::create_module(&module_def, init); }
