// Binding of PolicyConfig: the configuration record behind Python properties.
//
// The constructor converts all five values before checking any of them and
// reports only the first broken rule. Property writes convert and store without
// re-checking the invariant; a failed conversion leaves the field unchanged.
//
// An instance holds no reference but the one to its type, and is still known
// to the collector: the shared policy, held by the module's state, holds its
// PolicyConfig, so the type (and through it the module) would otherwise keep
// a reference the collector cannot see, and the module would never be freed
// when its interpreter ends.
#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

namespace {

using Self = PolicyConfigObject;

Self* as_config(PyObject* obj) noexcept { return reinterpret_cast<Self*>(obj); }

constexpr PolicyConfigSignature<int, double> new_sig("PolicyConfig");

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[5];
    if (!capi::parse_tuple_args(new_sig, args, kwargs, values)) return nullptr;
    return new_policy_config(type, values);
}

template <int32_t CPolicyConfig::* Field>
PyObject* get_int(PyObject* self, void*) noexcept {
    return PyLong_FromLong(as_config(self)->_config.*Field);
}

template <double CPolicyConfig::* Field>
PyObject* get_double(PyObject* self, void*) noexcept {
    return PyFloat_FromDouble(as_config(self)->_config.*Field);
}

// Property writes convert as the constructor does (`Kind` is its kind).
template <typename Kind, auto Field>
int set_field(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) return capi::reject_delete();
    typename capi::Convert<Kind>::type converted;
    if (!capi::Convert<Kind>::convert(value, converted, nullptr)) return -1;
    as_config(self)->_config.*Field = converted;
    return 0;
}

PyGetSetDef getset[] = {
    {"initial_threshold", get_int<&CPolicyConfig::initial_threshold>,
     set_field<int, &CPolicyConfig::initial_threshold>, nullptr, nullptr},
    {"min_threshold", get_int<&CPolicyConfig::min_threshold>,
     set_field<int, &CPolicyConfig::min_threshold>, nullptr, nullptr},
    {"max_threshold", get_int<&CPolicyConfig::max_threshold>,
     set_field<int, &CPolicyConfig::max_threshold>, nullptr, nullptr},
    {"learning_rate", get_double<&CPolicyConfig::learning_rate>,
     set_field<double, &CPolicyConfig::learning_rate>, nullptr, nullptr},
    {"target_speedup", get_double<&CPolicyConfig::target_speedup>,
     set_field<double, &CPolicyConfig::target_speedup>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capi::dealloc_gc<Self>)},
    {Py_tp_traverse, reinterpret_cast<void*>(capi::traverse<Self>)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Configuration of the adaptive JIT threshold policy.")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "lumetra.jit.compilegate.PolicyConfig",
    sizeof(Self),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

PyObject* make_policy_config(PyTypeObject* type, const CPolicyConfig& record) noexcept {
    if (const char* message = validate(record)) {
        PyErr_SetString(PyExc_ValueError, message);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_config(self)->_config = record;
    return self;
}

PyObject* new_policy_config(PyTypeObject* type, PyObject* const values[5]) noexcept {
    CPolicyConfig record;
    if (!new_sig.convert(values, record.initial_threshold, record.min_threshold,
                         record.max_threshold, record.learning_rate, record.target_speedup)) {
        return nullptr;
    }
    return make_policy_config(type, record);
}

bool add_policy_config(PyObject* module, State& st) noexcept {
    st.PolicyConfigType =
        capi::create_type(module, st, {.type_spec = &type_spec, .constructor = &new_sig});
    return st.PolicyConfigType != nullptr;
}

}  // namespace compilegate
