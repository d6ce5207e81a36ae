// Module start-up helpers.
//
// Each module object runs these while it executes (multi-phase
// initialisation, state.hpp); nothing here keeps state between modules.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <span>

#include "function.hpp"
#include "ref.hpp"

namespace capi {

// `import name` bound in the module under its own name.
bool import_module(PyObject* module, const char* name) noexcept;

// `from source import name` as Python does it (a missing name is an
// ImportError). Returns a new reference or null.
PyObject* from_import(const char* source, const char* name) noexcept;

// The same on `module`, which the caller has already imported as `source`
// (for instance with a fromlist, so that a submodule is there to be taken).
PyObject* from_import(PyObject* module, const char* source, const char* name) noexcept;

// `from source import a, b, ...` bound in the module.
bool import_names(PyObject* module, const char* source,
                  std::initializer_list<const char*> names) noexcept;

struct ModuleState;

// `logger = logging.getLogger(__name__)`, through the module's own `logging`
// global (the logging module, imported without binding it, when the module has
// none). Returns a new reference to the logger.
PyObject* create_logger(PyObject* module, const ModuleState& st) noexcept;

// The closing steps of a module's import: `import logging`, `logger =
// logging.getLogger(__name__)`, then the banner logged once at INFO.
bool log_banner(PyObject* module, const ModuleState& st, const char* banner) noexcept;

// logger.<level>(message), e.g. log(logger, "info", "...").
bool log(PyObject* logger, const char* level, const char* message) noexcept;

// Module functions of a module with state, bound in the module in the order given.
bool add_functions(PyObject* module, ModuleState& st, void* state,
                   std::span<const FunctionDef> defs) noexcept;
template <typename State>
bool add_functions(PyObject* module, State& st, std::span<const FunctionDef> defs) noexcept {
    return add_functions(module, st, &st, defs);
}

// The same as the methods of an ordinary class (one made by calling `type`),
// bound in its namespace dict `ns` before the class is made: qualified by
// `class_name` and taking `self` first, of any type, as a Python function does.
bool add_methods(PyObject* ns, const char* class_name, PyObject* module, ModuleState& st,
                 void* state, std::span<const FunctionDef> defs) noexcept;
template <typename State>
bool add_methods(PyObject* ns, const char* class_name, PyObject* module, State& st,
                 std::span<const FunctionDef> defs) noexcept {
    return add_methods(ns, class_name, module, st, &st, defs);
}

}  // namespace capi
