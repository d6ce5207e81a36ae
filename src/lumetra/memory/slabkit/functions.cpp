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

constexpr capi::Param align_params[] = {{"size"}, {"alignment"}};
constexpr capi::Signature align_sig("fast_align_size", align_params);
PyObject* fast_align_size(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    capi::Args<2> a;
    int32_t size, alignment;
    if (!a.parse(align_sig, args, nargs, kwnames) || !capi::to_int(a[0], size) ||
        !capi::to_int(a[1], alignment)) {
        return nullptr;
    }
    if (!is_power_of_2(alignment)) {
        PyErr_SetString(PyExc_ValueError, "Alignment must be a power of 2");
        return nullptr;
    }
    return PyLong_FromLongLong(fast_align(size, alignment));
}

constexpr capi::Param bucket_params[] = {{"size"}, {"step", "8"}};
constexpr capi::Signature bucket_sig("fast_get_bucket_size", bucket_params);
PyObject* fast_get_bucket_size(PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    capi::Args<2> a;
    int32_t size, step = 8;
    if (!a.parse(bucket_sig, args, nargs, kwnames) || !capi::to_int(a[0], size) ||
        (a[1] && !capi::to_int(a[1], step))) {
        return nullptr;
    }
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

constexpr capi::Param bitmap_params[] = {{"bitmap"}, {"index"}, {"operation"}};
constexpr capi::Signature bitmap_sig("fast_bitmap_operations", bitmap_params);
PyObject* fast_bitmap_operations(State& st, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    capi::Args<3> a;
    uint64_t bitmap;
    int32_t index;
    if (!a.parse(bitmap_sig, args, nargs, kwnames) || !capi::to_uint64(a[0], bitmap) ||
        !capi::to_int(a[1], index) ||
        !capi::check_exact(a[2], &PyUnicode_Type, "operation", true)) {
        return nullptr;
    }
    PyObject* operation = a[2];
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

constexpr capi::Param fit_params[] = {
    {"block_offset"}, {"block_size"}, {"alloc_size"}, {"alignment"}};
constexpr capi::Signature fit_sig("fast_can_fit_aligned", fit_params);
PyObject* fast_can_fit_aligned(PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    capi::Args<4> a;
    int32_t block_offset, block_size, alloc_size, alignment;
    if (!a.parse(fit_sig, args, nargs, kwnames) || !capi::to_int(a[0], block_offset) ||
        !capi::to_int(a[1], block_size) || !capi::to_int(a[2], alloc_size) ||
        !capi::to_int(a[3], alignment)) {
        return nullptr;
    }
    return capi::new_bool(can_fit_aligned(block_offset, block_size, alloc_size, alignment));
}

// In the order the module binds them.
const capi::FunctionDef functions[] = {
    capi::function<fast_align_size>(align_sig, "Fast alignment calculation (Python interface)."),
    capi::function<fast_get_bucket_size>(bucket_sig,
                                         "Fast bucket size calculation (Python interface)."),
    capi::function<fast_bitmap_operations>(bitmap_sig,
                                           "Fast bitmap operations (Python interface)."),
    capi::function<fast_can_fit_aligned>(
        fit_sig, "Fast alignment check with exclusive boundary (Python interface)."),
};

}  // namespace

bool add_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, functions);
}

}  // namespace slabkit
