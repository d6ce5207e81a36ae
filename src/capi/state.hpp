// Per-module state and multi-phase initialisation.
//
// Every module keeps its Python objects (types, interned names, constants,
// captured standard-library objects) in a state struct that lives inside the
// module object, so each interpreter that imports the module gets its own,
// and destroying the interpreter frees it. A module's state derives from
// `ModuleState` and lists its references once:
//
//     struct State : capi::ModuleState {
//         PyTypeObject* TreeType = nullptr;
//         capi::Names<"size", "insert"> names;
//         template <typename F>
//         void for_each_ref(F&& f) noexcept {
//             capi::each_ref(f, base(), TreeType, names);
//         }
//     };
//
// `for_each_ref` drives the collector's traversal and the release of the
// state. A state that also holds interpreter resources other than references
// (a dict watcher) gives them back in a member `release_native()`, which the
// release calls first. The native function object carries a pointer to the state, so
// methods and functions receive it as their first parameter at no cost (see
// function.hpp); type slots reach it through `type_state`.
//
// Names of the list are used through `st.names.get<"x">()`, or through the
// helpers at the end of this file: `global<"x">(st)` (a module global, looked
// up now), `attr<"x">(st, obj)` and `call_method<"x">(st, obj, args...)`.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>

#include "call.hpp"
#include "function.hpp"
#include "names.hpp"

namespace capi {

namespace detail {

template <typename F, typename Slot>
void one_ref(F& f, Slot& slot) noexcept {
    if constexpr (requires { slot.for_each_ref(f); }) {
        slot.for_each_ref(f);
    } else if constexpr (std::is_array_v<Slot>) {
        for (auto& element : slot) one_ref(f, element);
    } else {
        f(slot);
    }
}

}  // namespace detail

// Calls f(slot) for every reference slot among `slots`, in the order given: a
// pointer member, each element of an array of them, or each slot of a member
// that lists its own (a Names list, the shared part of the state).
template <typename F, typename... Slots>
void each_ref(F& f, Slots&... slots) noexcept {
    (detail::one_ref(f, slots), ...);
}

// The part of every module's state that the shared layer uses.
struct ModuleState {
    PyObject* module_dict = nullptr;        // the module's namespace
    PyTypeObject* function_type = nullptr;  // the module's native function type
    Names<"threading", "Lock", "logging"> base_names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        each_ref(f, module_dict, function_type, base_names);
    }
    // This part, for a state's own list: each_ref(f, base(), ...).
    ModuleState& base() noexcept { return *this; }
};

// Fills the shared part of a module's state.
bool init_module_state(PyObject* module, ModuleState& st) noexcept;

// Warns "compile time Python version %d.%d of module '%.100s' does not match
// runtime version %d.%d" when the running interpreter differs.
bool check_python_version(const char* module_name) noexcept;

template <typename State>
State& module_state(PyObject* module) noexcept {
    return *static_cast<State*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (or the base of a subclass).
// `type` must be one of the module's types or a subclass of one.
template <typename State>
State& type_state(PyTypeObject* type, PyModuleDef& def) noexcept {
    return module_state<State>(PyType_GetModuleByDef(type, &def));
}

// The state of the module that made `type` (or its base), for a module whose
// state declares its definition as `static PyModuleDef definition`.
template <typename State>
State& state_of(PyTypeObject* type) noexcept {
    return type_state<State>(type, State::definition);
}

namespace detail {

// The collector reaches a module's state through these three only once the
// state exists: the interpreter allocates it (zero-filled) when it starts
// executing the module, runs our exec slot, which comes first in the slot
// list, straight after, and skips m_traverse while the state pointer is
// still null. exec_module constructs the State before anything else, so no
// allocation, hence no collection, can come between the state's allocation
// and its construction.
template <typename State>
int traverse_state(PyObject* module, visitproc visit, void* arg) noexcept {
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    int result = 0;
    st->for_each_ref([&](auto*& slot) {
        if (result == 0 && slot != nullptr) result = visit(reinterpret_cast<PyObject*>(slot), arg);
    });
    return result;
}

template <typename State>
int clear_state(PyObject* module) noexcept {
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    // Interpreter resources that are not references (a dict watcher) go first,
    // while the references they concern are still there. Called again after a
    // clear, it must find nothing left to do.
    if constexpr (requires { st->release_native(); }) st->release_native();
    st->for_each_ref([](auto*& slot) {
        PyObject* old = reinterpret_cast<PyObject*>(slot);
        slot = nullptr;
        Py_XDECREF(old);
    });
    return 0;
}

template <typename State>
void free_state(void* module) noexcept {
    clear_state<State>(static_cast<PyObject*>(module));
}

template <typename State, bool (*Exec)(PyObject*, State&)>
int exec_module(PyObject* module) noexcept {
    // The state memory arrives zero-filled; constructing it sets the same
    // nulls, and leaves the C data members at their declared values.
    auto* st = new (PyModule_GetState(module)) State();
    const char* name = PyModule_GetName(module);
    if (name == nullptr || !check_python_version(name) || !init_module_state(module, *st) ||
        !Exec(module, *st)) {
        return -1;
    }
    return 0;
}

template <typename State, bool (*Exec)(PyObject*, State&)>
struct ModuleSlots {
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(exec_module<State, Exec>)},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
        // Nothing relies on the interpreter lock (see lock.hpp on critical
        // sections): importing a module never turns it back on.
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
        {0, nullptr},
    };
};

}  // namespace detail

// The definition of a module with state `State`, built by `exec(module, st)`
// after the version check and the shared part of the state. A failed step
// leaves an unusable module object that the import machinery discards, with
// its state: a later import starts afresh.
//
//     PyModuleDef module_def = capi::module_def<State, exec>("pkg.mod", doc);
//     PyMODINIT_FUNC PyInit_mod() { return PyModuleDef_Init(&module_def); }
template <typename State, bool (*Exec)(PyObject*, State&)>
constexpr PyModuleDef module_def(const char* name, const char* doc) noexcept {
    static_assert(std::is_base_of_v<ModuleState, State>);
    static_assert(std::is_trivially_destructible_v<State>,
                  "module state is released through for_each_ref, never destroyed");
    return PyModuleDef{
        PyModuleDef_HEAD_INIT,
        name,
        doc,
        static_cast<Py_ssize_t>(sizeof(State)),
        nullptr,
        detail::ModuleSlots<State, Exec>::slots,
        detail::traverse_state<State>,
        detail::clear_state<State>,
        detail::free_state<State>,
    };
}

// A global of the module by name, looked up now as Python code would: a
// strong reference, or null with NameError or the lookup's error set.
template <Name N, typename State>
Ref global(const State& st) noexcept {
    return module_global(st.module_dict, st.names.template get<N>());
}

// obj.<N>, as attribute access in Python code, with the name from the module's
// Names list: a new reference, or null with an error set.
template <Name N, typename State>
PyObject* attr(const State& st, PyObject* obj) noexcept {
    return PyObject_GetAttr(obj, st.names.template get<N>());
}

// obj.<N>(*args) as call_method in call.hpp does it, with the name from the
// module's Names list: a new reference, or null with an error set.
template <Name N, typename State, typename... Args>
PyObject* call_method(const State& st, PyObject* obj, Args... args) noexcept {
    return call_method(obj, st.names.template get<N>(), args...);
}

}  // namespace capi
