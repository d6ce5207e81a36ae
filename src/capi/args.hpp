// Vectorcall argument parsing.
//
// A function declares its parameters once, as a `Signature`; the same
// declaration drives parsing, the error messages, the text signature that
// `inspect.signature` reads and the `__annotations__` of the function object.
//
// Parsing fills an array of borrowed pointers, one per parameter, with null for
// an optional parameter that was not given. The common call (positional
// arguments only) is handled inline without touching the keyword machinery.
#pragma once

#include <Python.h>

#include <cstddef>

namespace capi {

struct Param {
    const char* name;
    // Python text of the default value, or null for a required parameter.
    // Required parameters come first.
    const char* default_text = nullptr;
    // Annotation stored (as a string) in the function's `__annotations__`.
    const char* annotation = nullptr;
};

class Signature {
public:
    explicit constexpr Signature(const char* name) noexcept : name(name) {}
    template <std::size_t N>
    constexpr Signature(const char* name, const Param (&params)[N]) noexcept
        : name(name), params(params), count(static_cast<Py_ssize_t>(N)) {
        while (required < count && params[required].default_text == nullptr) {
            ++required;
        }
    }

    const char* name;
    const Param* params = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t required = 0;
};

// Raises the positional-count TypeError: "f() takes exactly 2 positional
// arguments (1 given)". `given` is the number of leading arguments that were
// supplied, that is the index of the first missing one when too few are given.
PyObject* raise_arg_count(const Signature& sig, Py_ssize_t given) noexcept;

// Keyword path of `parse_args`: handles every call that passes keywords.
bool parse_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept;

// Fills out[0 .. sig.count) with borrowed argument pointers (null where an
// optional parameter was omitted). Returns false with a TypeError set.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** out) noexcept {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        if (nargs < sig.required || nargs > sig.count) {
            raise_arg_count(sig, nargs);
            return false;
        }
        Py_ssize_t i = 0;
        for (; i < nargs; ++i) out[i] = args[i];
        for (; i < sig.count; ++i) out[i] = nullptr;
        return true;
    }
    return parse_args_slow(sig, args, nargs, kwnames, out);
}

// For functions without parameters.
inline bool parse_no_args(const Signature& sig, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        if (nargs == 0) return true;
        raise_arg_count(sig, nargs);
        return false;
    }
    return parse_args_slow(sig, nullptr, nargs, kwnames, nullptr);
}

// Same as parse_args for the tuple-and-dict calling convention of `tp_new`.
bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                      PyObject** out) noexcept;

// Argument holder sized by the signature: `Args<2> a; if (!a.parse(sig, ...))`.
template <std::size_t N>
struct Args {
    PyObject* values[N];

    bool parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
        return parse_args(sig, args, nargs, kwnames, values);
    }
    bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) noexcept {
        return parse_tuple_args(sig, args, kwargs, values);
    }
    PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
};

}  // namespace capi
