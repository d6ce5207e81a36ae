// Conversions from Python arguments to C++ values, with the texts callers see.
//
// Native integer parameters take an `int` (or a subclass such as `bool`) as
// is, convert any other object through its `__int__` (so a float is truncated
// toward zero), reject the rest with "an integer is required" and report values
// outside the C type's range as OverflowError naming that type. Double
// parameters take anything the interpreter's float conversion takes. Exact-type
// parameters (`str`, `list`, ...) and `int`-annotated Python parameters report
// "Argument 'x' has incorrect type (expected T, got U)".
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>

#include "internals.hpp"
#include "ref.hpp"

namespace capi {

namespace detail {

// Converts a non-int through `__int__` (not `__index__`: a native integer
// parameter takes any object with an integer conversion, a float truncated
// toward zero); returns a new reference to an int or null with an error set.
PyObject* int_from_object(PyObject* obj) noexcept;

bool long_to_i64(PyObject* obj, int64_t& out, const char* ctype) noexcept;
// Beyond 2**64 - 1 this keeps the interpreter's own OverflowError, as a uint64
// parameter reports it; the narrower unsigned widths report "value too large
// to convert to <ctype>" (to_unsigned_slow), as theirs do.
bool long_to_u64(PyObject* obj, uint64_t& out) noexcept;

}  // namespace detail

PyObject* raise_overflow(const char* ctype) noexcept;
PyObject* raise_negative(const char* ctype) noexcept;

namespace detail {

// `obj` itself when it is an int, else int(obj) through its __int__, kept in
// `owned`; null with an error set.
inline PyObject* int_object(PyObject* obj, Ref& owned) noexcept {
    if (PyLong_Check(obj)) return obj;
    owned = Ref::steal(int_from_object(obj));
    return owned.get();
}

// The non-compact cases of to_signed and to_unsigned, kept out of line so
// that the common case inlines into each caller. The common cases (and
// to_double's) are forced inline: in a parse of many parameters the compiler
// otherwise calls one shared copy per argument, which cost a 17-parameter
// call about an eighth of its time.
template <typename T>
[[gnu::noinline]] bool to_signed_slow(PyObject* obj, T& out, const char* ctype) noexcept;
template <typename T>
[[gnu::noinline]] bool to_unsigned_slow(PyObject* obj, T& out, const char* ctype) noexcept;

}  // namespace detail

// Signed integer of the given width; `ctype` names the C type in messages
// ("int", "int32_t", "int64_t").
template <typename T>
[[gnu::always_inline]] inline bool to_signed(PyObject* obj, T& out, const char* ctype) noexcept {
    static_assert(std::numeric_limits<T>::is_signed && sizeof(T) <= sizeof(int64_t));
    using limits = std::numeric_limits<T>;
    long long small;
    if (PyLong_CheckExact(obj) && internals::compact_long(obj, small)) {
        // A compact int is below 2**30 in magnitude: it fits 32 bits and up
        // without a check.
        if constexpr (sizeof(T) < sizeof(int32_t)) {
            if (small < limits::min() || small > limits::max()) {
                raise_overflow(ctype);
                return false;
            }
        }
        out = static_cast<T>(small);
        return true;
    }
    return detail::to_signed_slow(obj, out, ctype);
}

template <typename T>
bool detail::to_signed_slow(PyObject* obj, T& out, const char* ctype) noexcept {
    using limits = std::numeric_limits<T>;
    Ref owned;
    if ((obj = detail::int_object(obj, owned)) == nullptr) return false;
    int64_t wide;
    if (!detail::long_to_i64(obj, wide, ctype)) return false;
    if constexpr (sizeof(T) < sizeof(int64_t)) {
        if (wide < limits::min() || wide > limits::max()) {
            raise_overflow(ctype);
            return false;
        }
    }
    out = static_cast<T>(wide);
    return true;
}

// Unsigned integer of the given width; negative values raise "can't convert
// negative value to <ctype>".
template <typename T>
[[gnu::always_inline]] inline bool to_unsigned(PyObject* obj, T& out, const char* ctype) noexcept {
    static_assert(!std::numeric_limits<T>::is_signed && sizeof(T) <= sizeof(uint64_t));
    using limits = std::numeric_limits<T>;
    long long small;
    if (PyLong_CheckExact(obj) && internals::compact_long(obj, small)) {
        if (small < 0) {
            raise_negative(ctype);
            return false;
        }
        if constexpr (sizeof(T) < sizeof(uint32_t)) {
            if (static_cast<unsigned long long>(small) > limits::max()) {
                raise_overflow(ctype);
                return false;
            }
        }
        out = static_cast<T>(small);
        return true;
    }
    return detail::to_unsigned_slow(obj, out, ctype);
}

template <typename T>
bool detail::to_unsigned_slow(PyObject* obj, T& out, const char* ctype) noexcept {
    using limits = std::numeric_limits<T>;
    Ref owned;
    if ((obj = detail::int_object(obj, owned)) == nullptr) return false;
    if (internals::long_sign(obj) < 0) {
        raise_negative(ctype);
        return false;
    }
    uint64_t wide;
    if constexpr (sizeof(T) == sizeof(uint64_t)) {
        if (!detail::long_to_u64(obj, wide)) return false;
    } else {
        // Anything above the type's range, however large, is reported with the
        // type's own message.
        const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            raise_overflow(ctype);
            return false;
        }
        if (value > limits::max()) {
            raise_overflow(ctype);
            return false;
        }
        wide = value;
    }
    out = static_cast<T>(wide);
    return true;
}

inline bool to_int(PyObject* obj, int32_t& out) noexcept { return to_signed(obj, out, "int"); }
inline bool to_int32(PyObject* obj, int32_t& out) noexcept {
    return to_signed(obj, out, "int32_t");
}
inline bool to_int64(PyObject* obj, int64_t& out) noexcept {
    return to_signed(obj, out, "int64_t");
}
inline bool to_uint32(PyObject* obj, uint32_t& out) noexcept {
    return to_unsigned(obj, out, "uint32_t");
}
inline bool to_uint64(PyObject* obj, uint64_t& out) noexcept {
    return to_unsigned(obj, out, "uint64_t");
}

// Any real number: float, int, bool, objects with __float__ or __index__.
[[gnu::always_inline]] inline bool to_double(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// Truth value of any object; -1 with an error set when `__bool__` fails.
inline int to_truth(PyObject* obj) noexcept {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
PyObject* raise_arg_type(const char* argname, const char* expected, PyObject* given) noexcept;

// Exact built-in type check (subclasses rejected), optionally letting None in.
inline bool check_exact(PyObject* obj, PyTypeObject* type, const char* argname,
                        bool allow_none) noexcept {
    if (Py_IS_TYPE(obj, type) || (allow_none && obj == Py_None)) return true;
    raise_arg_type(argname, type->tp_name, obj);
    return false;
}

// A parameter declared as a Python `int`: an exact int is kept, any other
// number is replaced by `int(value)`, anything else is rejected with the
// incorrect-type message. Returns a new reference or null.
PyObject* int_param(PyObject* obj, const char* argname) noexcept;

// format(value, ".1f") + "%" for a float value (Python's own fixed-point
// formatting): a new str, or null with an error set.
PyObject* percent_text(double value) noexcept;

// "object of type 'NoneType' has no len()" and friends, as `len()` words it.
inline Py_ssize_t length_of(PyObject* obj) noexcept { return PyObject_Length(obj); }

}  // namespace capi
