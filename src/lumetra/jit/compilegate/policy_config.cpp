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

constexpr capi::Param new_params[] = {
    {"initial_threshold", "100"}, {"min_threshold", "10"},   {"max_threshold", "10000"},
    {"learning_rate", "0.1"},     {"target_speedup", "2.0"},
};
constexpr capi::Signature new_sig("PolicyConfig", new_params);

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    capi::Args<5> a;
    if (!a.parse_tuple(new_sig, args, kwargs)) return nullptr;
    return new_policy_config(type, a.values);
}

template <int32_t CPolicyConfig::* Field>
PyObject* get_int(PyObject* self, void*) noexcept {
    return PyLong_FromLong(as_config(self)->_config.*Field);
}

template <int32_t CPolicyConfig::* Field>
int set_int(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) return capi::reject_delete();
    int32_t converted;
    if (!capi::to_int(value, converted)) return -1;
    as_config(self)->_config.*Field = converted;
    return 0;
}

template <double CPolicyConfig::* Field>
PyObject* get_double(PyObject* self, void*) noexcept {
    return PyFloat_FromDouble(as_config(self)->_config.*Field);
}

template <double CPolicyConfig::* Field>
int set_double(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) return capi::reject_delete();
    double converted;
    if (!capi::to_double(value, converted)) return -1;
    as_config(self)->_config.*Field = converted;
    return 0;
}

int config_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void config_release(Self*) noexcept {}

PyGetSetDef getset[] = {
    {"initial_threshold", get_int<&CPolicyConfig::initial_threshold>,
     set_int<&CPolicyConfig::initial_threshold>, nullptr, nullptr},
    {"min_threshold", get_int<&CPolicyConfig::min_threshold>,
     set_int<&CPolicyConfig::min_threshold>, nullptr, nullptr},
    {"max_threshold", get_int<&CPolicyConfig::max_threshold>,
     set_int<&CPolicyConfig::max_threshold>, nullptr, nullptr},
    {"learning_rate", get_double<&CPolicyConfig::learning_rate>,
     set_double<&CPolicyConfig::learning_rate>, nullptr, nullptr},
    {"target_speedup", get_double<&CPolicyConfig::target_speedup>,
     set_double<&CPolicyConfig::target_speedup>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capi::dealloc_gc<Self, config_release>)},
    {Py_tp_traverse, reinterpret_cast<void*>(config_traverse)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("PolicyConfig(initial_threshold=100, min_threshold=10, "
                                  "max_threshold=10000, learning_rate=0.1, target_speedup=2.0)\n"
                                  "--\n\n"
                                  "Configuration of the adaptive JIT threshold policy.")},
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
    if ((values[0] && !capi::to_int(values[0], record.initial_threshold)) ||
        (values[1] && !capi::to_int(values[1], record.min_threshold)) ||
        (values[2] && !capi::to_int(values[2], record.max_threshold)) ||
        (values[3] && !capi::to_double(values[3], record.learning_rate)) ||
        (values[4] && !capi::to_double(values[4], record.target_speedup))) {
        return nullptr;
    }
    return make_policy_config(type, record);
}

bool add_policy_config(PyObject* module, State& st) noexcept {
    st.PolicyConfigType = capi::create_type(module, st, {&type_spec});
    return st.PolicyConfigType != nullptr;
}

}  // namespace compilegate
