#include "module.hpp"

#include "call.hpp"
#include "internals.hpp"
#include "lock.hpp"
#include "state.hpp"

#include <cstdio>
#include <cstdlib>

namespace capi {

bool check_python_version(const char* module_name) noexcept {
    int runtime_major = 0, runtime_minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &runtime_major, &runtime_minor) != 2) return true;
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(nullptr, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match",
                            runtime_major, runtime_minor) == 0;
}

bool import_module(PyObject* module, const char* name) noexcept {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    return imported && PyModule_AddObjectRef(module, name, imported.get()) == 0;
}

PyObject* from_import(const char* source, const char* name) noexcept {
    Ref imported = Ref::steal(PyImport_ImportModule(source));
    return imported ? from_import(imported.get(), source, name) : nullptr;
}

PyObject* from_import(PyObject* module, const char* source, const char* name) noexcept {
    PyObject* value = PyObject_GetAttrString(module, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, source);
    }
    return value;
}

bool import_names(PyObject* module, const char* source,
                  std::initializer_list<const char*> names) noexcept {
    for (const char* name : names) {
        Ref value = Ref::steal(from_import(source, name));
        if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
    }
    return true;
}

PyObject* create_logger(PyObject* module, const ModuleState& st) noexcept {
    PyObject* found = nullptr;
    if (internals::dict_get_ref(PyModule_GetDict(module), st.base_names.get<"logging">(), &found) <
        0) {
        return nullptr;
    }
    Ref logging = Ref::steal(found);
    if (!logging) {
        logging = Ref::steal(PyImport_ImportModule("logging"));
        if (!logging) return nullptr;
    }
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return nullptr;
    Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get()));
    if (!logger || PyModule_AddObjectRef(module, "logger", logger.get()) < 0) return nullptr;
    return logger.release();
}

bool log(PyObject* logger, const char* level, const char* message) noexcept {
    Ref result = Ref::steal(PyObject_CallMethod(logger, level, "s", message));
    return static_cast<bool>(result);
}

bool log_banner(PyObject* module, const ModuleState& st, const char* banner) noexcept {
    if (!import_module(module, "logging")) return false;
    Ref logger = Ref::steal(create_logger(module, st));
    return logger && log(logger.get(), "info", banner);
}

Ref module_global(PyObject* module_dict, PyObject* name) noexcept {
    PyObject* value = nullptr;
    if (internals::dict_get_ref(module_dict, name, &value) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::steal(value);
}

bool init_module_state(PyObject* module, ModuleState& st) noexcept {
    st.module_dict = Py_NewRef(PyModule_GetDict(module));
    st.function_type = new_function_type(module);
    return st.function_type != nullptr && st.base_names.init() && prepare_locks();
}

namespace {

// Function objects of `defs`, bound in `dict` under their names, in order.
bool bind_functions(PyObject* dict, PyObject* module, ModuleState& st, void* state,
                    std::span<const FunctionDef> defs, Binding binding,
                    const char* qualname_prefix) noexcept {
    for (const FunctionDef& def : defs) {
        Ref func =
            Ref::steal(new_function(module, st, state, def, binding, qualname_prefix, nullptr));
        if (!func || PyDict_SetItemString(dict, def.sig->name, func.get()) < 0) return false;
    }
    return true;
}

}  // namespace

bool add_functions(PyObject* module, ModuleState& st, void* state,
                   std::span<const FunctionDef> defs) noexcept {
    PyObject* dict = PyModule_GetDict(module);  // borrowed; never fails for a module
    return bind_functions(dict, module, st, state, defs, Binding::function, nullptr);
}

bool add_methods(PyObject* ns, const char* class_name, PyObject* module, ModuleState& st,
                 void* state, std::span<const FunctionDef> defs) noexcept {
    return bind_functions(ns, module, st, state, defs, Binding::method, class_name);
}

}  // namespace capi
