// Binding of PolicyConfig: the configuration record behind Python properties.
//
// The constructor converts all five values before checking any of them and
// reports only the first broken rule. Property writes convert and store without
// re-checking the invariant; a failed conversion leaves the field unchanged.
// Each property access is one relaxed atomic access to its field
// (capi::record_property), as are the policy's native reads, so a policy on
// one thread may read the record while another thread writes a property.
#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

namespace {

using Self = PolicyConfigObject;

constexpr PolicyConfigSignature<int, double> new_sig("PolicyConfig");

PyObject* config_new(PyTypeObject* type, int32_t initial_threshold, int32_t min_threshold,
                     int32_t max_threshold, double learning_rate, double target_speedup) noexcept {
    return make_policy_config(
        type, {initial_threshold, min_threshold, max_threshold, learning_rate, target_speedup});
}

template <auto Field>
constexpr PyGetSetDef property(const char* name) noexcept {
    return capi::record_property<&Self::_config, Field>(name);
}

PyGetSetDef getset[] = {
    property<&CPolicyConfig::initial_threshold>("initial_threshold"),
    property<&CPolicyConfig::min_threshold>("min_threshold"),
    property<&CPolicyConfig::max_threshold>("max_threshold"),
    property<&CPolicyConfig::learning_rate>("learning_rate"),
    property<&CPolicyConfig::target_speedup>("target_speedup"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* make_policy_config(PyTypeObject* type, const CPolicyConfig& record) noexcept {
    if (const char* message = validate(record)) {
        PyErr_SetString(PyExc_ValueError, message);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    // No other thread has seen the new instance yet.
    reinterpret_cast<Self*>(self)->_config = record;
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
        capi::create_type<Self>(module, st,
                                {
                                    .name = "lumetra.jit.compilegate.PolicyConfig",
                                    .doc = "Configuration of the adaptive JIT threshold policy.",
                                    .constructor = capi::constructor<config_new, new_sig>(),
                                    .getset = getset,
                                });
    return st.PolicyConfigType != nullptr;
}

}  // namespace compilegate
