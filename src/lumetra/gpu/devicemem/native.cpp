// Native entries of lumetra.gpu.devicemem that build or read Python objects.
//
// The module state's constants, set by `build_constants` while the module is
// executed and read-only afterwards (so any number of threads may read them):
// the two operation sets (frozensets of interned names) and the three fixed
// strategy results.
//
// Calls into Python: dimension conversions (`__int__` of a dimension) and
// `str.lower` for texts wider than Latin-1. Shapes are tuples, which no such
// call can change, so items read before a conversion stay valid after it.
#include <cassert>
#include <charconv>
#include <span>
#include <string_view>

#include "capi/capi.hpp"
#include "devicemem.hpp"

namespace devicemem {

namespace {

PyObject* new_operation_set(std::span<const std::string_view> names) noexcept {
    capi::Ref set = capi::Ref::steal(PyFrozenSet_New(nullptr));
    if (!set) return nullptr;
    for (std::string_view name : names) {
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), name.size());
        if (text == nullptr) return nullptr;
        PyUnicode_InternInPlace(&text);
        capi::Ref owned = capi::Ref::steal(text);
        // Filling a frozenset nobody else has seen yet is allowed.
        if (PySet_Add(set.get(), owned.get()) < 0) return nullptr;
    }
    return set.release();
}

PyObject* new_strategy(int code, uint64_t chunk_size, uint64_t chunk_count,
                       PyObject* message) noexcept {
    capi::Ref result = capi::Ref::steal(PyTuple_New(4));
    if (!result) return nullptr;
    // Each item is checked as it is made: nothing runs with an error pending.
    PyObject* item = PyLong_FromLong(code);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), 0, item);
    if ((item = PyLong_FromUnsignedLongLong(chunk_size)) == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), 1, item);
    if ((item = PyLong_FromUnsignedLongLong(chunk_count)) == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), 2, item);
    PyTuple_SET_ITEM(result.get(), 3, Py_NewRef(message));
    return result.release();
}

PyObject* new_fixed_strategy(int code, const char* message) noexcept {
    capi::Ref text = capi::Ref::steal(PyUnicode_InternFromString(message));
    return text ? new_strategy(code, 0, 1, text.get()) : nullptr;
}

PyObject* new_chunked_strategy(uint64_t chunk_size, uint64_t chunk_count) noexcept {
    constexpr std::string_view prefix = "Chunking into ";
    constexpr std::string_view suffix = " GPU passes";
    // Room for the longest count (20 digits).
    char buffer[prefix.size() + 20 + suffix.size()];
    char* end = buffer + prefix.copy(buffer, prefix.size());
    end = std::to_chars(end, buffer + sizeof buffer - suffix.size(), chunk_count).ptr;
    end += suffix.copy(end, suffix.size());
    capi::Ref message = capi::Ref::steal(PyUnicode_DecodeASCII(buffer, end - buffer, nullptr));
    return message ? new_strategy(core::GPU_CHUNKED, chunk_size, chunk_count, message.get())
                   : nullptr;
}

// A text as `str.lower()` would leave it, folded to bytes for the keyword
// rules. Latin-1 texts are folded directly: lower-casing them changes only
// ASCII case. Wider texts can lower-case into ASCII letters (KELVIN SIGN to
// 'k') or change length, so the interpreter lower-cases them first.
class LoweredText {
public:
    LoweredText() noexcept = default;
    LoweredText(const LoweredText&) = delete;
    LoweredText& operator=(const LoweredText&) = delete;
    ~LoweredText() { PyMem_Free(heap_); }

    // False with an error set.
    bool init(const State& st, PyObject* text) noexcept {
        if (PyUnicode_READY(text) < 0) return false;
        if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) {
            lowered_ = capi::Ref::steal(capi::call_method<"lower">(st, text));
            if (!lowered_ || PyUnicode_READY(lowered_.get()) < 0) return false;
            text = lowered_.get();
        }
        const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        char* out = stack_;
        if (size > sizeof stack_) {
            out = heap_ = static_cast<char*>(PyMem_Malloc(size));
            if (out == nullptr) {
                PyErr_NoMemory();
                return false;
            }
        }
        const void* data = PyUnicode_DATA(text);
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                core::fold_to_ascii(static_cast<const Py_UCS1*>(data), size, out);
                break;
            case PyUnicode_2BYTE_KIND:
                core::fold_to_ascii(static_cast<const Py_UCS2*>(data), size, out);
                break;
            default:
                core::fold_to_ascii(static_cast<const Py_UCS4*>(data), size, out);
                break;
        }
        view_ = std::string_view(out, size);
        return true;
    }

    std::string_view view() const noexcept { return view_; }

private:
    char stack_[256];
    char* heap_ = nullptr;
    capi::Ref lowered_;
    std::string_view view_;
};

}  // namespace

// What is built before a failure stays in the state and is released with it.
bool build_constants(State& st) noexcept {
    return (st.chunkable_ops = new_operation_set(core::CHUNKABLE_OPS)) != nullptr &&
           (st.non_chunkable_ops = new_operation_set(core::NON_CHUNKABLE_OPS)) != nullptr &&
           (st.no_gpu_memory_result =
                new_fixed_strategy(core::CPU_FALLBACK, "No GPU memory available")) != nullptr &&
           (st.fits_result =
                new_fixed_strategy(core::GPU_DIRECT, "Allocation fits in GPU memory")) != nullptr &&
           (st.not_chunkable_result = new_fixed_strategy(
                core::CPU_FALLBACK, "Operation not chunkable, falling back to CPU")) != nullptr;
}

bool estimate_allocation_bytes(PyObject* shape, int32_t element_size, double overhead_factor,
                               uint64_t& out) noexcept {
    assert(shape == Py_None || PyTuple_CheckExact(shape));
    const Py_ssize_t ndim = capi::length_of(shape);  // None: "... has no len()"
    if (ndim < 0) return false;
    auto read_dim = [shape](std::size_t i, int32_t& dim) noexcept {
        return capi::to_int(PyTuple_GET_ITEM(shape, static_cast<Py_ssize_t>(i)), dim);
    };
    return core::estimate_allocation_bytes(static_cast<std::size_t>(ndim), read_dim, element_size,
                                           overhead_factor, out);
}

PyObject* decide_allocation_strategy(const State& st, uint64_t requested_bytes,
                                     uint64_t available_bytes, double headroom_ratio,
                                     bool is_chunkable) noexcept {
    const core::Strategy s = core::decide_allocation_strategy(requested_bytes, available_bytes,
                                                              headroom_ratio, is_chunkable);
    switch (s.decision) {
        case core::Decision::no_gpu_memory:
            return Py_NewRef(st.no_gpu_memory_result);
        case core::Decision::fits:
            return Py_NewRef(st.fits_result);
        case core::Decision::not_chunkable:
            return Py_NewRef(st.not_chunkable_result);
        case core::Decision::chunked:
            break;
    }
    return new_chunked_strategy(s.chunk_size, s.chunk_count);
}

int is_oom_error(const State& st, PyObject* error_message, PyObject* error_type) noexcept {
    // None is rejected before any rule is tried, whichever rule would decide.
    if (error_message == Py_None) {
        capi::raise_arg_type("error_message", "str", error_message);
        return -1;
    }
    if (error_type == Py_None) {
        capi::raise_arg_type("error_type", "str", error_type);
        return -1;
    }
    // The message rules decide most calls, so the type is folded only when
    // they do not hold.
    LoweredText message;
    if (!message.init(st, error_message)) return -1;
    if (core::message_is_oom(message.view())) return 1;
    LoweredText type;
    if (!type.init(st, error_type)) return -1;
    return core::type_is_oom(type.view()) ? 1 : 0;
}

int is_chunkable_operation(const State& st, PyObject* operation) noexcept {
    return PySet_Contains(st.chunkable_ops, operation);
}

PyObject* compute_chunk_shapes(PyObject* shape, int32_t element_size,
                               uint64_t max_chunk_bytes) noexcept {
    assert(shape == Py_None || PyTuple_CheckExact(shape));
    if (element_size <= 0) {
        PyErr_SetString(PyExc_ValueError, "element_size must be positive");
        return nullptr;
    }
    if (max_chunk_bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
        return nullptr;
    }
    const Py_ssize_t ndim = capi::length_of(shape);
    if (ndim < 0) return nullptr;
    if (ndim == 0) {
        PyObject* scalar = PyList_New(1);
        if (scalar != nullptr) PyList_SET_ITEM(scalar, 0, Py_NewRef(shape));
        return scalar;
    }

    core::RowSize row(element_size);
    for (Py_ssize_t i = 1; i < ndim; ++i) {
        uint64_t dim;
        if (!capi::to_uint64(PyTuple_GET_ITEM(shape, i), dim)) return nullptr;
        row.multiply(dim);
    }
    const uint64_t rows_per_chunk = core::rows_per_chunk(row.bytes(), max_chunk_bytes);
    int32_t first_dim;
    if (!capi::to_int(PyTuple_GET_ITEM(shape, 0), first_dim)) return nullptr;
    // At most 2**31 - 1 chunks: fits Py_ssize_t.
    const auto count = static_cast<Py_ssize_t>(core::chunk_count(first_dim, rows_per_chunk));

    // Every chunk but the last holds rows_per_chunk rows (then less than
    // first_dim), so those entries are equal immutable tuples and one object
    // serves them all; the last holds what remains.
    auto new_chunk = [shape, ndim](uint64_t rows) noexcept -> PyObject* {
        capi::Ref chunk = capi::Ref::steal(PyTuple_New(ndim));
        if (!chunk) return nullptr;
        PyObject* rows_obj = PyLong_FromUnsignedLongLong(rows);
        if (rows_obj == nullptr) return nullptr;
        PyTuple_SET_ITEM(chunk.get(), 0, rows_obj);
        for (Py_ssize_t i = 1; i < ndim; ++i) {
            PyTuple_SET_ITEM(chunk.get(), i, Py_NewRef(PyTuple_GET_ITEM(shape, i)));
        }
        return chunk.release();
    };
    capi::Ref chunks = capi::Ref::steal(PyList_New(count));
    if (!chunks || count == 0) return chunks.release();
    const uint64_t full_chunks = static_cast<uint64_t>(count) - 1;
    capi::Ref last = capi::Ref::steal(
        new_chunk(static_cast<uint64_t>(first_dim) - full_chunks * rows_per_chunk));
    if (!last) return nullptr;
    if (full_chunks > 0) {
        capi::Ref full = capi::Ref::steal(new_chunk(rows_per_chunk));
        if (!full) return nullptr;
        for (Py_ssize_t i = 0; i < count - 1; ++i) {
            PyList_SET_ITEM(chunks.get(), i, Py_NewRef(full.get()));
        }
    }
    PyList_SET_ITEM(chunks.get(), count - 1, last.release());
    return chunks.release();
}

double score_gpu_suitability(const State& st, uint64_t data_size_bytes, PyObject* operation_type,
                             uint64_t available_gpu_memory, double headroom_ratio) noexcept {
    core::OperationKind kind = core::OperationKind::other;
    int found = PySet_Contains(st.chunkable_ops, operation_type);
    if (found == 0) {
        found = PySet_Contains(st.non_chunkable_ops, operation_type);
        if (found > 0) kind = core::OperationKind::non_chunkable;
    } else if (found > 0) {
        kind = core::OperationKind::chunkable;
    }
    if (found < 0) return -1.0;
    return core::score_gpu_suitability(data_size_bytes, kind, available_gpu_memory, headroom_ratio);
}

}  // namespace devicemem
