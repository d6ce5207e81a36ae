#include "convert.hpp"

namespace capi {

PyObject* raise_overflow(const char* ctype) noexcept {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", ctype);
    return nullptr;
}

PyObject* raise_negative(const char* ctype) noexcept {
    PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", ctype);
    return nullptr;
}

PyObject* raise_arg_type(const char* argname, const char* expected, PyObject* given) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, Py_TYPE(given)->tp_name);
    return nullptr;
}

namespace detail {

PyObject* int_from_object(PyObject* obj) noexcept {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    Ref result = Ref::steal(number->nb_int(obj));
    if (!result || PyLong_CheckExact(result.get())) return result.release();
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return nullptr;
        }
        return result.release();
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result.get())->tp_name);
    return nullptr;
}

bool long_to_i64(PyObject* obj, int64_t& out, const char* ctype) noexcept {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
        raise_overflow(ctype);
        return false;
    }
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool long_to_u64(PyObject* obj, uint64_t& out) noexcept {
    // Beyond 2**64 - 1 the interpreter's own OverflowError is reported.
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

}  // namespace detail

PyObject* percent_text(double value) noexcept {
    // The formatter sets its own error when it fails.
    char* digits = PyOS_double_to_string(value, 'f', 1, 0, nullptr);
    if (digits == nullptr) return nullptr;
    PyObject* text = PyUnicode_FromFormat("%s%%", digits);
    PyMem_Free(digits);
    return text;
}

PyObject* int_param(PyObject* obj, const char* argname) noexcept {
    if (PyLong_CheckExact(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    if (PyNumber_Check(obj)) return PyNumber_Long(obj);
    return raise_arg_type(argname, "int", obj);
}

}  // namespace capi
