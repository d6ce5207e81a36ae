// Calling into Python from native code the way Python code would.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace capi {

// obj.name(*args) through vectorcall, without creating a bound method.
// Returns a new reference, or null with an error set.
template <typename... Args>
PyObject* call_method(PyObject* obj, PyObject* name, Args... args) noexcept {
    PyObject* stack[] = {obj, args...};
    // The flag lets a bound attribute be called with the stack shifted by one
    // (stack[0] may be overwritten for the call), which saves a copy.
    return PyObject_VectorcallMethod(
        name, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// The value bound to `name` in a module's namespace, looked up now as a
// global name in Python code is: a strong reference (another thread may
// rebind the name at any time), or null with NameError ("name 'x' is not
// defined") or the lookup's own error set.
Ref module_global(PyObject* module_dict, PyObject* name) noexcept;

}  // namespace capi
