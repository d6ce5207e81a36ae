// Vectorcall argument parsing.
//
// A function declares its parameters once, each with its conversion, as a
// `TypedSignature` (a plain `Signature` when it has none), and its binding is
// generated from the declaration (function.hpp):
//
//     constexpr capi::TypedSignature increment_sig("increment", capi::Arg<int64_t>{"delta", 1});
//     int64_t increment(Self* self, int64_t delta) noexcept;
//     capi::method<increment, increment_sig>("Increment.", "int")
//
// The one declaration gives the parsing and its error messages, the
// conversion (with the messages of convert.hpp), the value of an omitted
// argument, the text signature that `inspect.signature` reads (defaults shown
// as Python's repr shows them: `delta=1`), the `__annotations__` of the
// function object, and the signature line of a type's docstring (types.hpp).
//
// The common call (positional arguments only) is converted inline, straight
// from the call's argument array, without touching the keyword machinery.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <tuple>
#include <utility>

#include "convert.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace capi {

// The default of a parameter: none (the parameter is required), or a value,
// which the text signature shows as Python's repr shows it.
struct Default {
    enum class Kind : unsigned char { required, integer, real, boolean, none };
    Kind kind = Kind::required;
    union {
        long long integer = 0;
        double real;
        bool boolean;
    };

    static constexpr Default of_integer(long long value) noexcept {
        Default d;
        d.kind = Kind::integer;
        d.integer = value;
        return d;
    }
    static constexpr Default of_real(double value) noexcept {
        Default d;
        d.kind = Kind::real;
        d.real = value;
        return d;
    }
    static constexpr Default of_boolean(bool value) noexcept {
        Default d;
        d.kind = Kind::boolean;
        d.boolean = value;
        return d;
    }
    static constexpr Default of_none() noexcept {
        Default d;
        d.kind = Kind::none;
        return d;
    }
};

struct Param {
    const char* name;
    // Required parameters come first.
    Default default_value = {};
    // Annotation stored (as a string) in the function's `__annotations__`.
    const char* annotation = nullptr;

    constexpr Param(const char* name, Default default_value, const char* annotation) noexcept
        : name(name), default_value(default_value), annotation(annotation) {}

    constexpr bool required() const noexcept {
        return default_value.kind == Default::Kind::required;
    }
};

class Signature {
public:
    // A function without parameters.
    explicit constexpr Signature(const char* name) noexcept : name(name) {}

    // The converted arguments of a function without parameters: none.
    using Values = std::tuple<>;
    bool parse_all(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Values& values) const noexcept;
    // The same for the tuple-and-dict calling convention of `tp_new`.
    bool parse_tuple_all(PyObject* args, PyObject* kwargs, Values& values) const noexcept;

    const char* name;
    const Param* params = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t required = 0;

protected:
    constexpr Signature(const char* name, const Param* params, Py_ssize_t count,
                        Py_ssize_t required) noexcept
        : name(name), params(params), count(count), required(required) {}
};

// "(a, b=1)", or "($self, a, b=1)" with `self`: the text signature of the
// declaration, as a new str, or null with an error set. Defaults are shown as
// Python's repr shows them.
PyObject* text_signature(const Signature& sig, bool self) noexcept;

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

[[gnu::always_inline]] inline bool Signature::parse_all(PyObject* const*, Py_ssize_t nargs,
                                                        PyObject* kwnames, Values&) const noexcept {
    return parse_no_args(*this, nargs, kwnames);
}

// Same as parse_args for the tuple-and-dict calling convention of `tp_new`.
bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                      PyObject** out) noexcept;

// The same for a constructor without parameters.
inline bool parse_no_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) == 0 && (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)) {
        return true;
    }
    PyObject* unused[1];  // a count of 0 writes nothing
    return parse_tuple_args(sig, args, kwargs, unused);
}

inline bool Signature::parse_tuple_all(PyObject* args, PyObject* kwargs, Values&) const noexcept {
    return parse_no_tuple_args(*this, args, kwargs);
}

// Conversions of typed parameters. `Convert<C>` says, for the declared kind C,
// the C++ type a parsed argument is stored in (`type`), the default's type
// (`value_type`), the annotation, how a given argument converts and how the
// default is made. The kinds:
//   int (int32_t), Int32, int64_t, uint32_t, uint64_t, double
//                 native numbers, with the messages of convert.hpp (an `int`
//                 is reported as "int", an `Int32` as "int32_t")
//   bool          the truth value of any object
//   PyObject*     any object, borrowed; optional only with the default None
//   Exact<&T>     an object of exactly type T, or None, borrowed
//   PyInt         an `int`-annotated Python parameter, validated by int_param
//                 and kept as an IntValue
//   Annotated<K, "text">
//                 kind K with the annotation "text"; the others have none but
//                 PyInt's. PyFloat, PyBool, PyStr, PyList and CInt (an
//                 `int`-annotated parameter converted to a C int) name the
//                 usual ones.
//   Last<K>       kind K, converted after all the other parameters (in their
//                 declaration order) instead of in its place
template <typename C>
struct Convert;

// The value of an omitted parameter declared with the default None.
struct NoneDefault {};
inline constexpr NoneDefault none{};

namespace detail {

// The native kinds' conversions are forced inline like parse itself: their
// common cases are a type check and a load, and clang otherwise calls one
// shared copy per argument once a signature is long (a 17-parameter call
// spent a quarter of its time in those calls).
template <typename T, const char* CType>
struct NativeInteger {
    using type = T;
    using value_type = long long;
    static constexpr const char* annotation = nullptr;
    static constexpr Default make_default(value_type v) noexcept { return Default::of_integer(v); }
    static bool fallback(const Default& d, type& out) noexcept {
        out = static_cast<type>(d.integer);
        return true;
    }
    [[gnu::always_inline]] static bool convert(PyObject* obj, type& out, const char*) noexcept {
        if constexpr (std::numeric_limits<T>::is_signed) {
            return to_signed(obj, out, CType);
        } else {
            return to_unsigned(obj, out, CType);
        }
    }
};

struct Real {
    using type = double;
    using value_type = double;
    static constexpr const char* annotation = nullptr;
    static constexpr Default make_default(value_type v) noexcept { return Default::of_real(v); }
    static bool fallback(const Default& d, type& out) noexcept {
        out = d.real;
        return true;
    }
    [[gnu::always_inline]] static bool convert(PyObject* obj, type& out, const char*) noexcept {
        return to_double(obj, out);
    }
};

struct Truth {
    using type = bool;
    using value_type = bool;
    static constexpr const char* annotation = nullptr;
    static constexpr Default make_default(value_type v) noexcept { return Default::of_boolean(v); }
    static bool fallback(const Default& d, type& out) noexcept {
        out = d.boolean;
        return true;
    }
    [[gnu::always_inline]] static bool convert(PyObject* obj, type& out, const char*) noexcept {
        const int truth = to_truth(obj);
        out = truth > 0;
        return truth >= 0;
    }
};

inline constexpr char int_name[] = "int";
inline constexpr char int32_name[] = "int32_t";
inline constexpr char int64_name[] = "int64_t";
inline constexpr char uint32_name[] = "uint32_t";
inline constexpr char uint64_name[] = "uint64_t";

}  // namespace detail

// Kind tags for the conversions whose C++ type does not say them.
struct Int32 {};
struct PyInt {};
template <PyTypeObject* Type>
struct Exact {};
template <typename K, Name Annotation>
struct Annotated {};
template <typename K>
struct Last {};

using PyFloat = Annotated<double, "float">;
using PyBool = Annotated<bool, "bool">;
using PyStr = Annotated<Exact<&PyUnicode_Type>, "str">;
using PyList = Annotated<Exact<&PyList_Type>, "list">;
using CInt = Annotated<int, "int">;

template <>
struct Convert<int> : detail::NativeInteger<int32_t, detail::int_name> {};
template <>
struct Convert<Int32> : detail::NativeInteger<int32_t, detail::int32_name> {};
template <>
struct Convert<int64_t> : detail::NativeInteger<int64_t, detail::int64_name> {};
template <>
struct Convert<uint32_t> : detail::NativeInteger<uint32_t, detail::uint32_name> {};
template <>
struct Convert<uint64_t> : detail::NativeInteger<uint64_t, detail::uint64_name> {};
template <>
struct Convert<double> : detail::Real {};
template <>
struct Convert<bool> : detail::Truth {};
template <typename K, Name Annotation>
struct Convert<Annotated<K, Annotation>> : Convert<K> {
    static constexpr const char* annotation = Annotation.text;
};

template <>
struct Convert<PyObject*> {
    using type = PyObject*;
    using value_type = NoneDefault;
    static constexpr const char* annotation = nullptr;
    static constexpr Default make_default(NoneDefault) noexcept { return Default::of_none(); }
    static bool fallback(const Default&, type& out) noexcept {
        out = Py_None;
        return true;
    }
    static bool convert(PyObject* obj, type& out, const char*) noexcept {
        out = obj;
        return true;
    }
};

template <typename K>
struct Convert<Last<K>> : Convert<K> {};

// Passed<K>: the argument as given (borrowed; null when omitted), declared
// with kind K's default and annotation, for a binding that hands it on to a
// callable which converts it itself.
template <typename K>
struct Passed {};
template <typename K>
struct Convert<Passed<K>> {
    using type = PyObject*;
    using value_type = typename Convert<K>::value_type;
    static constexpr const char* annotation = Convert<K>::annotation;
    static constexpr Default make_default(value_type v) noexcept {
        return Convert<K>::make_default(v);
    }
    static bool fallback(const Default&, type& out) noexcept {
        out = nullptr;
        return true;
    }
    static bool convert(PyObject* obj, type& out, const char*) noexcept {
        out = obj;
        return true;
    }
};

template <typename K>
inline constexpr bool converted_last = false;
template <typename K>
inline constexpr bool converted_last<Last<K>> = true;

template <PyTypeObject* Type>
struct Convert<Exact<Type>> : Convert<PyObject*> {
    static bool convert(PyObject* obj, type& out, const char* name) noexcept {
        out = obj;
        return check_exact(obj, Type, name, true);
    }
};

// The value of an `int`-annotated parameter: the int given (after int_param),
// or the declared default, which stays a native number until an object is
// asked for, so that an omitted argument costs nothing.
class IntValue {
public:
    // The int as an object (borrowed; the default is made on first use), or
    // null with an error set.
    PyObject* object() noexcept {
        if (!given_) given_ = Ref::steal(PyLong_FromLongLong(default_));
        return given_.get();
    }
    // The same as a new reference, which the value gives up.
    PyObject* release() noexcept { return object() ? given_.release() : nullptr; }
    // The value as native kind K, converted as Convert<K> converts (an int
    // given may not fit); false with an error set.
    template <typename K>
    bool as(typename Convert<K>::type& out) const noexcept {
        if (given_) return Convert<K>::convert(given_.get(), out, nullptr);
        out = static_cast<typename Convert<K>::type>(default_);
        return true;
    }
    bool positive() const noexcept {
        return given_ ? internals::long_sign(given_.get()) > 0 : default_ > 0;
    }

private:
    friend struct Convert<PyInt>;
    Ref given_;
    long long default_ = 0;
};

template <>
struct Convert<PyInt> {
    using type = IntValue;
    using value_type = long long;
    static constexpr const char* annotation = "int";
    static constexpr Default make_default(value_type v) noexcept { return Default::of_integer(v); }
    static bool fallback(const Default& d, type& out) noexcept {
        out.given_.reset();
        out.default_ = d.integer;
        return true;
    }
    static bool convert(PyObject* obj, type& out, const char* name) noexcept {
        out.given_ = Ref::steal(int_param(obj, name));
        return static_cast<bool>(out.given_);
    }
};

// One typed parameter: `Arg<int64_t>{"delta"}` is required,
// `Arg<int64_t>{"delta", 1}` defaults to 1.
template <typename C>
struct Arg {
    using Conv = Convert<C>;
    Param param;

    explicit constexpr Arg(const char* name) noexcept : param(name, Default{}, Conv::annotation) {}
    constexpr Arg(const char* name, typename Conv::value_type value) noexcept
        : param(name, Conv::make_default(value), Conv::annotation) {}
};

// A signature whose parameters carry their conversions. It refers to its own
// parameter array, so it is never copied: declare it as a constexpr object.
template <typename... C>
class TypedSignature : public Signature {
    static constexpr std::size_t size = sizeof...(C);
    static_assert(size > 0, "a function without parameters takes a plain Signature");

public:
    constexpr TypedSignature(const char* name, const Arg<C>&... args) noexcept
        : Signature(name, params_, static_cast<Py_ssize_t>(size),
                    leading_required({args.param...})),
          params_{args.param...} {}
    // Another function with the parameters of `same`.
    constexpr TypedSignature(const char* name, const TypedSignature& same) noexcept
        : TypedSignature(name, same, std::index_sequence_for<C...>{}) {}
    TypedSignature(const TypedSignature&) = delete;
    TypedSignature& operator=(const TypedSignature&) = delete;

    // Parses a vectorcall and converts every argument, in declaration order,
    // into `out` (an omitted one takes its default). False with the error set.
    // The positional calls are inlined into the binding whatever the
    // compiler's inlining estimate (clang otherwise keeps this an out-of-line
    // call, a tenth more instructions than the bare call for a small
    // function); the keyword path stays out of line.
    [[gnu::always_inline]] bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                      typename Convert<C>::type&... out) const noexcept {
        if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
            // The common calls, by position only: converted straight from the
            // call's array, with nothing to fill in when all are given.
            if (nargs == static_cast<Py_ssize_t>(size)) {
                return convert_given(args, std::index_sequence_for<C...>{}, out...);
            }
            if (nargs < required || nargs > static_cast<Py_ssize_t>(size)) {
                raise_arg_count(*this, nargs);
                return false;
            }
            return convert_positional(args, nargs, std::index_sequence_for<C...>{}, out...);
        }
        return parse_keywords(args, nargs, kwnames, out...);
    }
    // The same for the tuple-and-dict calling convention of `tp_new`.
    bool parse_tuple(PyObject* args, PyObject* kwargs,
                     typename Convert<C>::type&... out) const noexcept {
        PyObject* values[size];
        return parse_tuple_args(*this, args, kwargs, values) && convert(values, out...);
    }
    // All the converted arguments, in declaration order.
    using Values = std::tuple<typename Convert<C>::type...>;
    bool parse_tuple_all(PyObject* args, PyObject* kwargs, Values& values) const noexcept {
        return parse_tuple_into(args, kwargs, values, std::index_sequence_for<C...>{});
    }
    [[gnu::always_inline]] bool parse_all(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, Values& values) const noexcept {
        return parse_into(args, nargs, kwnames, values, std::index_sequence_for<C...>{});
    }
    // Converts already gathered arguments (null for an omitted one).
    bool convert(PyObject* const* values, typename Convert<C>::type&... out) const noexcept {
        return convert_all(values, std::index_sequence_for<C...>{}, out...);
    }

private:
    template <std::size_t... I>
    constexpr TypedSignature(const char* name, const TypedSignature& same,
                             std::index_sequence<I...>) noexcept
        : Signature(name, params_, static_cast<Py_ssize_t>(size), same.required),
          params_{same.params_[I]...} {}

    template <std::size_t... I>
    [[gnu::always_inline]] bool parse_into(PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames, Values& values,
                                           std::index_sequence<I...>) const noexcept {
        return parse(args, nargs, kwnames, std::get<I>(values)...);
    }
    template <std::size_t... I>
    bool parse_tuple_into(PyObject* args, PyObject* kwargs, Values& values,
                          std::index_sequence<I...>) const noexcept {
        return parse_tuple(args, kwargs, std::get<I>(values)...);
    }
    [[gnu::noinline]] bool parse_keywords(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames,
                                          typename Convert<C>::type&... out) const noexcept {
        PyObject* values[size];
        return parse_args_slow(*this, args, nargs, kwnames, values) && convert(values, out...);
    }

    static constexpr Py_ssize_t leading_required(std::initializer_list<Param> params) noexcept {
        Py_ssize_t n = 0;
        for (const Param& p : params) {
            if (!p.required()) break;
            ++n;
        }
        return n;
    }
    template <std::size_t... I>
    bool convert_all(PyObject* const* values, std::index_sequence<I...>,
                     typename Convert<C>::type&... out) const noexcept {
        return ((converted_last<C> || convert_one<C>(values[I], params_[I], out)) && ...) &&
               ((!converted_last<C> || convert_one<C>(values[I], params_[I], out)) && ...);
    }
    template <std::size_t... I>
    [[gnu::always_inline]] bool convert_given(PyObject* const* args, std::index_sequence<I...>,
                                              typename Convert<C>::type&... out) const noexcept {
        return ((converted_last<C> || Convert<C>::convert(args[I], out, params_[I].name)) && ...) &&
               ((!converted_last<C> || Convert<C>::convert(args[I], out, params_[I].name)) && ...);
    }
    template <std::size_t... I>
    [[gnu::always_inline]] bool convert_positional(
        PyObject* const* args, Py_ssize_t nargs, std::index_sequence<I...>,
        typename Convert<C>::type&... out) const noexcept {
        constexpr auto given = [](std::size_t i, Py_ssize_t n) {
            return static_cast<Py_ssize_t>(i) < n;
        };
        return ((converted_last<C> ||
                 convert_one<C>(given(I, nargs) ? args[I] : nullptr, params_[I], out)) &&
                ...) &&
               ((!converted_last<C> ||
                 convert_one<C>(given(I, nargs) ? args[I] : nullptr, params_[I], out)) &&
                ...);
    }
    template <typename K>
    [[gnu::always_inline]] static bool convert_one(PyObject* given, const Param& p,
                                                   typename Convert<K>::type& out) noexcept {
        if (given == nullptr) return Convert<K>::fallback(p.default_value, out);
        return Convert<K>::convert(given, out, p.name);
    }

    Param params_[size];
};

}  // namespace capi
