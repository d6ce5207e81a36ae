// Binding of FastSlabHeaderOps: argument conversion around the header core.
//
// An instance holds its header inline and no Python objects, so it needs no
// garbage-collector support. It has no lock: the caller drives a slab from one
// thread at a time. Each method still reads and changes the header inside a
// critical section on the instance (no Python code runs inside it), so that
// a slab shared between threads against that advice sees every method whole,
// as it did under the interpreter lock, and never a torn header. The 16
// packed bytes are built and read natively; they are byte for byte what
// struct.pack("<BBLHQ", ...) produces for the five fields.
#include <cstdio>
#include <new>

#include "capi/capi.hpp"
#include "slab_header.hpp"
#include "slabkit.hpp"

namespace slabkit {

namespace {

struct Self {
    PyObject_HEAD
    FastSlabHeaderOps ops;
};

constexpr capi::TypedSignature new_sig("FastSlabHeaderOps",
                                       capi::Arg<capi::Int32>{"size_class_index"},
                                       capi::Arg<capi::Int32>{"objects_per_slab"});

PyObject* ops_new(PyTypeObject* type, int32_t size_class_index, int32_t objects_per_slab) noexcept {
    Self* self = capi::alloc<Self>(type);
    if (self == nullptr) return nullptr;
    new (&self->ops) FastSlabHeaderOps(size_class_index, objects_per_slab);
    return reinterpret_cast<PyObject*>(self);
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
PyObject* pack_header(Self* self) noexcept {
    uint8_t bytes[packed_header_size];
    {
        // Packing also stores the fresh checksum in the header.
        capi::CriticalSection section(reinterpret_cast<PyObject*>(self));
        self->ops.pack_header(bytes);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), packed_header_size);
}

constexpr capi::TypedSignature unpack_sig("unpack_header",
                                          capi::Arg<capi::Exact<&PyBytes_Type>>{"data"});
PyObject* unpack_header(State& st, Self* self, PyObject* data) noexcept {
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
    bool intact;
    {
        capi::CriticalSection section(reinterpret_cast<PyObject*>(self));
        intact = self->ops.unpack_header(bytes, stored_crc, computed_crc);
    }
    // The warning is logged outside the section: the header is whole again,
    // and a handler may use this object from any thread.
    if (!intact && !log_corruption(st, stored_crc, computed_crc)) return nullptr;
    return capi::new_none();
}

constexpr capi::TypedSignature is_free_sig("py_is_object_free", capi::Arg<int>{"object_index"});
bool py_is_object_free(Self* self, int32_t object_index) noexcept {
    return self->ops.is_object_free(object_index);
}

constexpr capi::Signature find_free_sig("py_find_free_object");
int32_t py_find_free_object(Self* self) noexcept { return self->ops.find_free_object(); }

// py_allocate_object_at and py_deallocate_object_at: one index, no result.
template <void (FastSlabHeaderOps::*Op)(int32_t) noexcept>
void index_op(Self* self, int32_t object_index) noexcept {
    (self->ops.*Op)(object_index);
}

constexpr capi::TypedSignature allocate_sig("py_allocate_object_at", is_free_sig);
constexpr capi::TypedSignature deallocate_sig("py_deallocate_object_at", is_free_sig);

// The methods whose result is a bool or a small int (the interpreter's
// shared objects, nothing allocated) run whole inside the section.
constexpr auto in_section = capi::Sync::critical_section;

const capi::FunctionDef methods[] = {
    capi::method<pack_header, pack_sig>("Pack header into bytes for storage."),
    capi::method<unpack_header, unpack_sig>("Unpack header from bytes."),
    capi::method<py_is_object_free, is_free_sig, in_section>(
        "Check if object at index is free (Python interface)."),
    capi::method<py_find_free_object, find_free_sig, in_section>(
        "Find first free object index (Python interface)."),
    capi::method<index_op<&FastSlabHeaderOps::allocate_object>, allocate_sig, in_section>(
        "Mark object as allocated (Python interface)."),
    capi::method<index_op<&FastSlabHeaderOps::deallocate_object>, deallocate_sig, in_section>(
        "Mark object as free (Python interface)."),
};

}  // namespace

bool add_slab_header_ops(PyObject* module, State& st) noexcept {
    st.FastSlabHeaderOpsType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.memory.slabkit.FastSlabHeaderOps",
            .doc = "Header of one slab of up to 64 objects: a free-object bitmap, an epoch\n"
                   "bumped by every allocation and release, and a CRC-16 over the size\n"
                   "class, flags and epoch, packed into 16 little-endian bytes.\n",
            .constructor = capi::constructor<ops_new, new_sig>(),
            .methods = methods,
        });
    return st.FastSlabHeaderOpsType != nullptr;
}

}  // namespace slabkit
