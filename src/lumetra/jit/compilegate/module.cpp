// lumetra.jit.compilegate: the adaptive JIT compilation policy.
//
// Import order: the three classes, the standard imports (`time`, `logging`,
// `threading`, then `Dict` and `Optional` from `typing`), the logger, the
// shared policy's lock `_policy_lock`, the module functions, and last the INFO
// banner. The first failing step fails the import with its error.
#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

namespace {

bool exec(PyObject* module, State& st) noexcept {
    if (!st.names.init() || !add_policy_config(module, st) || !add_function_metrics(module, st) ||
        !add_compilegate(module, st) || !capi::import_module(module, "time") ||
        !capi::import_module(module, "logging") || !capi::import_module(module, "threading") ||
        !capi::import_names(module, "typing", {"Dict", "Optional"})) {
        return false;
    }
    capi::Ref logger = capi::Ref::steal(capi::create_logger(module, st));
    if (!logger || !capture_standard_names(st) || !watch_time_names(st)) return false;
    capi::Ref policy_lock = capi::Ref::steal(capi::new_threading_lock(st));
    return policy_lock && PyModule_AddObjectRef(module, "_policy_lock", policy_lock.get()) == 0 &&
           add_module_functions(module, st) &&
           // The banner is kept as written: callers match it.
           capi::log(logger.get(), "info",
                     "Lumetra Compilegate Cython module loaded - IP protected");
}

}  // namespace

PyModuleDef State::definition = capi::module_def<State, exec>(
    "lumetra.jit.compilegate",
    "Adaptive JIT threshold policy.\n\n"
    "Dynamically adjusts compilation thresholds based on observed performance.\n"
    "Reduces compilation attempts while maximizing benefit.\n");

}  // namespace compilegate

PyMODINIT_FUNC PyInit_compilegate() { return PyModuleDef_Init(&compilegate::State::definition); }
