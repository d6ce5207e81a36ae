#include "args.hpp"

#include "ref.hpp"

namespace capi {

PyObject* raise_arg_count(const Signature& sig, Py_ssize_t given) noexcept {
    const bool exact = sig.required == sig.count;
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < sig.required) {
        expected = sig.required;
        more_or_less = exact ? "exactly" : "at least";
    } else {
        expected = sig.count;
        more_or_less = exact ? "exactly" : "at most";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, more_or_less, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

namespace {

// The default as the text signature shows it: as Python's repr shows the
// value (so 0.1 stays "0.1" and 2.0 "2.0").
PyObject* default_text(const Default& d) noexcept {
    switch (d.kind) {
        case Default::Kind::integer:
            return PyUnicode_FromFormat("%lld", d.integer);
        case Default::Kind::real: {
            Ref value = Ref::steal(PyFloat_FromDouble(d.real));
            return value ? PyObject_Repr(value.get()) : nullptr;
        }
        case Default::Kind::boolean:
            return PyUnicode_FromString(d.boolean ? "True" : "False");
        case Default::Kind::none:
            return PyUnicode_FromString("None");
        case Default::Kind::required:
            break;
    }
    return nullptr;
}

Py_ssize_t find_param(const Signature& sig, PyObject* key) noexcept {
    for (Py_ssize_t j = 0; j < sig.count; ++j) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[j].name) == 0) return j;
    }
    return -1;
}

}  // namespace

PyObject* text_signature(const Signature& sig, bool self) noexcept {
    const Py_ssize_t first = self ? 1 : 0;
    Ref parts = Ref::steal(PyList_New(first + sig.count));
    if (!parts) return nullptr;
    // A new list holds nulls until filled, which its deallocation allows.
    if (self) {
        PyObject* part = PyUnicode_FromString("$self");
        if (part == nullptr) return nullptr;
        PyList_SET_ITEM(parts.get(), 0, part);
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        const Param& p = sig.params[i];
        PyObject* part;
        if (p.required()) {
            part = PyUnicode_FromString(p.name);
        } else {
            Ref value = Ref::steal(default_text(p.default_value));
            part = value ? PyUnicode_FromFormat("%s=%U", p.name, value.get()) : nullptr;
        }
        if (part == nullptr) return nullptr;
        PyList_SET_ITEM(parts.get(), first + i, part);
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    if (!separator) return nullptr;
    Ref joined = Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
    return joined ? PyUnicode_FromFormat("(%U)", joined.get()) : nullptr;
}

bool parse_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept {
    if (nargs > sig.count) {
        raise_arg_count(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        const Py_ssize_t j = find_param(sig, key);
        if (j < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
            return false;
        }
        if (out[j] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return false;
        }
        out[j] = args[nargs + k];
    }
    for (Py_ssize_t j = 0; j < sig.required; ++j) {
        if (out[j] == nullptr) {
            raise_arg_count(sig, j);
            return false;
        }
    }
    return true;
}

bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                      PyObject** out) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return parse_args(sig, items, nargs, nullptr, out);
    }
    // Rare path: lay the keywords out as vectorcall does and reuse its parser.
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return false;
    PyObject** stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * (nargs + nkw + 1)));
    if (stack == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = items[i];
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        // The dict keeps the values alive for the duration of the call.
        stack[nargs + k] = value;
        ++k;
    }
    const bool ok = parse_args_slow(sig, stack, nargs, kwnames.get(), out);
    PyMem_Free(stack);
    return ok;
}

}  // namespace capi
