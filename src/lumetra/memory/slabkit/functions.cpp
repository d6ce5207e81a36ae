// The module's size and bitmap functions: argument conversion around the
// arithmetic of size_math.hpp and the bitmap helpers of slab_header.hpp.
//
// Results are computed in 64 bits from 32-bit arguments, so they are the true
// rounded values even next to the 32-bit limits. The operation names of
// fast_bitmap_operations are interned in the module state; a literal name
// passed from Python code is the same object and is recognised by identity.
#include "capi/capi.hpp"
#include "size_math.hpp"
#include "slab_header.hpp"
#include "slabkit.hpp"

namespace slabkit {

namespace {

using capi::Arg;

constexpr capi::TypedSignature align_sig("fast_align_size", Arg<int>{"size"},
                                         Arg<int>{"alignment"});
PyObject* fast_align_size(int32_t size, int32_t alignment) noexcept {
    if (!is_power_of_2(alignment)) {
        PyErr_SetString(PyExc_ValueError, "Alignment must be a power of 2");
        return nullptr;
    }
    return PyLong_FromLongLong(fast_align(size, alignment));
}

constexpr capi::TypedSignature bucket_sig("fast_get_bucket_size", Arg<int>{"size"},
                                          Arg<int>{"step", 8});
PyObject* fast_get_bucket_size(int32_t size, int32_t step) noexcept {
    if (step == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "step must not be zero");
        return nullptr;
    }
    return PyLong_FromLongLong(get_bucket_size(size, step));
}

bool is_operation(PyObject* operation, PyObject* interned, const char* text) noexcept {
    return operation == interned ||
           (operation != Py_None && PyUnicode_CompareWithASCIIString(operation, text) == 0);
}

constexpr capi::TypedSignature bitmap_sig("fast_bitmap_operations", Arg<uint64_t>{"bitmap"},
                                          Arg<int>{"index"},
                                          Arg<capi::Exact<&PyUnicode_Type>>{"operation"});
PyObject* fast_bitmap_operations(State& st, uint64_t bitmap, int32_t index,
                                 PyObject* operation) noexcept {
    if (is_operation(operation, st.names.get<"is_set">(), "is_set")) {
        return capi::new_bool(bitmap_is_set(bitmap, index));
    }
    if (is_operation(operation, st.names.get<"set">(), "set")) {
        return PyLong_FromUnsignedLongLong(bitmap_set(bitmap, index));
    }
    if (is_operation(operation, st.names.get<"clear">(), "clear")) {
        return PyLong_FromUnsignedLongLong(bitmap_clear(bitmap, index));
    }
    if (is_operation(operation, st.names.get<"find_first">(), "find_first")) {
        return PyLong_FromLong(bitmap_find_first_set(bitmap));
    }
    PyErr_Format(PyExc_ValueError, "Unknown operation: %S", operation);
    return nullptr;
}

constexpr capi::TypedSignature fit_sig("fast_can_fit_aligned", Arg<int>{"block_offset"},
                                       Arg<int>{"block_size"}, Arg<int>{"alloc_size"},
                                       Arg<int>{"alignment"});
// In the order the module binds them.
const capi::FunctionDef functions[] = {
    capi::function<fast_align_size, align_sig>("Fast alignment calculation (Python interface)."),
    capi::function<fast_get_bucket_size, bucket_sig>(
        "Fast bucket size calculation (Python interface)."),
    capi::function<fast_bitmap_operations, bitmap_sig>(
        "Fast bitmap operations (Python interface)."),
    capi::native<can_fit_aligned, fit_sig>(
        "Fast alignment check with exclusive boundary (Python interface)."),
};

}  // namespace

bool add_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, functions);
}

}  // namespace slabkit
