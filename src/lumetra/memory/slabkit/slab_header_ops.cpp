// Binding of FastSlabHeaderOps: argument conversion around the header core.
//
// An instance holds its header inline and no Python objects, so it needs no
// garbage-collector support. It has no lock: the caller drives a slab from one
// thread at a time. The 16 packed bytes are built and read natively; they are
// byte for byte what struct.pack("<BBLHQ", ...) produces for the five fields.
#include <cstdio>
#include <new>

#include "capi/capi.hpp"
#include "slab_header.hpp"
#include "slabkit.hpp"

namespace slabkit {

namespace {

struct Self {
    PyObject_HEAD FastSlabHeaderOps ops;
};

constexpr capi::TypedSignature new_sig("FastSlabHeaderOps",
                                       capi::Arg<capi::Int32>{"size_class_index"},
                                       capi::Arg<capi::Int32>{"objects_per_slab"});

PyObject* ops_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    int32_t size_class_index, objects_per_slab;
    if (!new_sig.parse_tuple(args, kwargs, size_class_index, objects_per_slab)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Self*>(self)->ops) FastSlabHeaderOps(size_class_index, objects_per_slab);
    return self;
}

// logger.warning(text), with `logger` looked up in the module namespace.
bool log_corruption(const State& st, uint16_t stored_crc, uint16_t computed_crc) noexcept {
    char text[80];
    std::snprintf(text, sizeof text, "Header corruption detected: stored=%04x, computed=%04x",
                  stored_crc, computed_crc);
    // Held: building the message can run a collection that rebinds the global.
    capi::Ref logger = capi::global<"logger">(st);
    if (!logger) return false;
    capi::Ref message = capi::Ref::steal(PyUnicode_FromString(text));
    if (!message) return false;
    return static_cast<bool>(
        capi::Ref::steal(capi::call_method<"warning">(st, logger.get(), message.get())));
}

constexpr capi::Signature pack_sig("pack_header");
PyObject* pack_header(Self* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(pack_sig, nargs, kwnames)) return nullptr;
    uint8_t bytes[packed_header_size];
    self->ops.pack_header(bytes);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), packed_header_size);
}

constexpr capi::TypedSignature unpack_sig("unpack_header",
                                          capi::Arg<capi::Exact<&PyBytes_Type>>{"data"});
PyObject* unpack_header(State& st, Self* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    PyObject* data;
    if (!unpack_sig.parse(args, nargs, kwnames, data)) return nullptr;
    // None passes the type check and then fails in len(), as it would in
    // Python code taking an optional bytes argument.
    if (data == Py_None) {
        (void)capi::length_of(data);  // raises "object of type 'NoneType' has no len()"
        return nullptr;
    }
    const Py_ssize_t length = PyBytes_GET_SIZE(data);
    if (length != static_cast<Py_ssize_t>(packed_header_size)) {
        PyErr_Format(PyExc_ValueError, "Invalid header data length: %zd bytes (expected %zd)",
                     length, static_cast<Py_ssize_t>(packed_header_size));
        return nullptr;
    }
    uint16_t stored_crc, computed_crc;
    const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
    if (!self->ops.unpack_header(bytes, stored_crc, computed_crc) &&
        !log_corruption(st, stored_crc, computed_crc)) {
        return nullptr;
    }
    return capi::new_none();
}

constexpr capi::TypedSignature is_free_sig("py_is_object_free", capi::Arg<int>{"object_index"});
PyObject* py_is_object_free(Self* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    int32_t object_index;
    if (!is_free_sig.parse(args, nargs, kwnames, object_index)) return nullptr;
    return capi::new_bool(self->ops.is_object_free(object_index));
}

constexpr capi::Signature find_free_sig("py_find_free_object");
PyObject* py_find_free_object(Self* self, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(find_free_sig, nargs, kwnames)) return nullptr;
    return PyLong_FromLong(self->ops.find_free_object());
}

// py_allocate_object_at and py_deallocate_object_at: one index, no result.
template <void (FastSlabHeaderOps::*Op)(int32_t) noexcept, const capi::TypedSignature<int>& Sig>
PyObject* index_op(Self* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    int32_t object_index;
    if (!Sig.parse(args, nargs, kwnames, object_index)) return nullptr;
    (self->ops.*Op)(object_index);
    return capi::new_none();
}

constexpr capi::TypedSignature allocate_sig("py_allocate_object_at", is_free_sig);
constexpr capi::TypedSignature deallocate_sig("py_deallocate_object_at", is_free_sig);

const capi::FunctionDef methods[] = {
    capi::method<pack_header>(pack_sig, "Pack header into bytes for storage."),
    capi::method<unpack_header>(unpack_sig, "Unpack header from bytes."),
    capi::method<py_is_object_free>(is_free_sig,
                                    "Check if object at index is free (Python interface)."),
    capi::method<py_find_free_object>(find_free_sig,
                                      "Find first free object index (Python interface)."),
    capi::method<index_op<&FastSlabHeaderOps::allocate_object, allocate_sig>>(
        allocate_sig, "Mark object as allocated (Python interface)."),
    capi::method<index_op<&FastSlabHeaderOps::deallocate_object, deallocate_sig>>(
        deallocate_sig, "Mark object as free (Python interface)."),
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ops_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capi::dealloc_plain)},
    {Py_tp_doc,
     const_cast<char*>("Header of one slab of up to 64 objects: a free-object bitmap, an epoch\n"
                       "bumped by every allocation and release, and a CRC-16 over the size\n"
                       "class, flags and epoch, packed into 16 little-endian bytes.\n")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "lumetra.memory.slabkit.FastSlabHeaderOps",
    sizeof(Self),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

bool add_slab_header_ops(PyObject* module, State& st) noexcept {
    st.FastSlabHeaderOpsType = capi::create_type(
        module, st, {.type_spec = &type_spec, .methods = methods, .constructor = &new_sig});
    return st.FastSlabHeaderOpsType != nullptr;
}

}  // namespace slabkit
