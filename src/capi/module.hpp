// Module start-up helpers.
//
// Every module is initialised once per process (single-phase initialisation):
// its banner is logged once, and its process-wide state (types, interned
// strings, constant tables, shared instances) lives in plain statics that the
// hot paths read without a module lookup.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <span>

#include "function.hpp"
#include "ref.hpp"

namespace capi {

// Creates the module and runs `init` on it; returns the module or null.
// The interpreter version is checked first (a mismatch is a warning).
PyObject* create_module(PyModuleDef* def, bool (*init)(PyObject* module)) noexcept;

// Warns "compile time Python version %d.%d of module '%.100s' does not match
// runtime version %d.%d" when the running interpreter differs.
bool check_python_version(const char* module_name) noexcept;

// `import name` bound in the module under its own name.
bool import_module(PyObject* module, const char* name) noexcept;

// `from source import a, b, ...` bound in the module.
bool import_names(PyObject* module, const char* source,
                  std::initializer_list<const char*> names) noexcept;

// `logger = logging.getLogger(__name__)`; also binds `logging` when asked.
// Returns a new reference to the logger.
PyObject* create_logger(PyObject* module) noexcept;

// The closing steps of a module's import: `import logging`, `logger =
// logging.getLogger(__name__)`, then the banner logged once at INFO.
bool log_banner(PyObject* module, const char* banner) noexcept;

// logger.<level>(message), e.g. log(logger, "info", "...").
bool log(PyObject* logger, const char* level, const char* message) noexcept;

// Module functions, bound in the module in the order given.
bool add_functions(PyObject* module, std::span<const FunctionDef> defs) noexcept;

struct ModuleState;

// Module functions of a module with state, bound in the module in the order given.
bool add_functions(PyObject* module, ModuleState& st, void* state,
                   std::span<const FunctionDef> defs) noexcept;
template <typename State>
bool add_functions(PyObject* module, State& st, std::span<const FunctionDef> defs) noexcept {
    return add_functions(module, st, &st, defs);
}

// A process-lifetime interned string (kept alive by the returned reference,
// which the caller stores in a static and never releases).
PyObject* intern(const char* text) noexcept;

// Holds the interned strings a module needs, filled once at start-up.
struct InternedName {
    PyObject*& slot;
    const char* text;
};
bool intern_all(std::initializer_list<InternedName> names) noexcept;

}  // namespace capi
