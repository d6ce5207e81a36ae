// Binding of Compilegate: the per-function threshold policy.
//
// Locking: every method holds the instance's `_lock` (a non-re-entrant
// threading.Lock) for its whole critical section, and `_thresholds` is touched
// only under it. `should_compile` reads the clock before taking the lock and
// decides after releasing it, from values copied under it; `update` logs after
// releasing it. Objects obtained from the telemetry store (the metrics and
// their attribute values) are held in owners declared before the lock guard,
// so their last reference is dropped, and any `__del__` runs, only once the
// lock is free again.
//
// Reads of the shared PolicyConfig record are not synchronised with property
// writes on it; each read takes the value the record holds at that moment.
//
// The type has no tp_clear: its three references are never null, so methods
// need no checks, and any reference cycle through an instance also runs
// through a Python-level object (a PolicyConfig subclass instance, or the
// instance dict of a Compilegate subclass) that the collector clears.
#include <cstdint>
#include <utility>

#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

PyTypeObject* CompilegateType = nullptr;
PyObject* module_dict = nullptr;

bool CompilegateObject::_get_threshold_fast(PyObject* func_id, int32_t& threshold) const noexcept {
    // Keys are exact str or None, so the lookup runs no Python code.
    PyObject* stored = PyDict_GetItemWithError(_thresholds, func_id);
    if (stored == nullptr) {
        if (PyErr_Occurred()) return false;
        threshold = config()->get_initial_threshold_fast();
        return true;
    }
    return capi::to_int(stored, threshold);
}

namespace {

using Self = CompilegateObject;

PyObject* s_get_metrics = nullptr;
PyObject* s_call_count = nullptr;
PyObject* s_compile_count = nullptr;
PyObject* s_avg_speedup = nullptr;
PyObject* s_last_compiled = nullptr;
PyObject* s_time = nullptr;
PyObject* s_logger = nullptr;
PyObject* s_debug = nullptr;
PyObject* s_is_enabled_for = nullptr;
PyObject* s_initial_threshold = nullptr;
PyObject* s_min_threshold = nullptr;
PyObject* s_max_threshold = nullptr;
PyObject* s_learning_rate = nullptr;
PyObject* s_target_speedup = nullptr;
PyObject* s_tracked_functions = nullptr;
PyObject* s_avg_threshold = nullptr;

PyObject* zero = nullptr;           // 0
PyObject* debug_level = nullptr;    // logging.DEBUG
PyObject* logger_debug = nullptr;   // logging.Logger.debug as found at import
PyObject* config_defaults[5] = {};  // 100, 10, 10000, 0.1, 2.0

constexpr double recompile_interval = 600.0;

// A module global, looked up at each use as Python code would.
PyObject* global(PyObject* name) noexcept { return capi::module_global(module_dict, name); }

bool check_func_id(PyObject* func_id) noexcept {
    return capi::check_exact(func_id, &PyUnicode_Type, "func_id", true);
}

// `config.<name>` for an int property: the record's field unless a Python
// subclass replaced the property.
PyObject* config_int(PyObject* config, PyObject* name, int32_t field) noexcept {
    if (capi::overridden(config, PolicyConfigType, name)) return PyObject_GetAttr(config, name);
    return PyLong_FromLong(field);
}

// Compilegate(config) turns `config` into the PolicyConfig it will use.
PyObject* coerce_config(PyObject* config) noexcept {
    if (config == nullptr || config == Py_None) {
        return make_policy_config(PolicyConfigType, CPolicyConfig{});
    }
    if (PyObject_TypeCheck(config, PolicyConfigType)) return Py_NewRef(config);
    // Any other object: getattr(config, name, default) for each field, in
    // order, then the constructor's conversions and checks.
    PyObject* const names[5] = {s_initial_threshold, s_min_threshold, s_max_threshold,
                                s_learning_rate, s_target_speedup};
    capi::Ref read[5];
    PyObject* values[5];
    for (int i = 0; i < 5; ++i) {
        PyObject* found = nullptr;
        if (capi::internals::get_optional_attr(config, names[i], &found) < 0) return nullptr;
        read[i] = capi::Ref::steal(found);
        values[i] = found ? found : config_defaults[i];
    }
    return new_policy_config(PolicyConfigType, values);
}

constexpr capi::Param new_params[] = {{"config", "None"}};
constexpr capi::Signature new_sig("Compilegate", new_params);

PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    capi::Args<1> a;
    if (!a.parse_tuple(new_sig, args, kwargs)) return nullptr;
    capi::Ref config = capi::Ref::steal(coerce_config(a[0]));
    if (!config) return nullptr;
    capi::Ref thresholds = capi::Ref::steal(PyDict_New());
    if (!thresholds) return nullptr;
    capi::Ref lock = capi::Ref::steal(capi::new_threading_lock(module_dict));
    if (!lock) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    // No Python code runs between the allocation and these stores, so the
    // collector never sees a half-filled instance.
    Self* gate = reinterpret_cast<Self*>(self);
    gate->_config = config.release();
    gate->_thresholds = thresholds.release();
    gate->_lock = lock.release();
    gate->_recompile_interval = recompile_interval;
    return self;
}

int gate_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Self* gate = reinterpret_cast<Self*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(gate->_config);
    Py_VISIT(gate->_thresholds);
    Py_VISIT(gate->_lock);
    return 0;
}

void gate_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Self* gate = reinterpret_cast<Self*>(self);
    Py_CLEAR(gate->_config);
    Py_CLEAR(gate->_thresholds);
    Py_CLEAR(gate->_lock);
    type->tp_free(self);
    Py_DECREF(type);
}

// time.time() through the module's `time` global, as Python code would call
// it. Resolving `time.time` costs two namespace lookups per call, so the
// result is kept and reused while neither namespace has changed since (their
// dictionaries' version tags are unchanged). When it resolves to the
// interpreter's own time.time, the clock is read the way that function reads
// it, without building and unboxing a float.
struct TimeResolution {
    capi::Ref time_module;  // the `time` global when last resolved
    capi::Ref time_func;    // time_module.time when last resolved
    bool cacheable = false;
    uint64_t globals_version = 0;
    uint64_t module_version = 0;
};
TimeResolution time_resolution;
PyObject* builtin_time = nullptr;  // time.time as found at import

using capi::internals::dict_version;

// A new reference: dropping the previous resolution may run Python code that
// resolves again and replaces the one returned here.
capi::Ref resolve_time() noexcept {
    TimeResolution& r = time_resolution;
    if (r.cacheable && dict_version(module_dict) == r.globals_version &&
        dict_version(PyModule_GetDict(r.time_module.get())) == r.module_version) {
        return capi::Ref::borrow(r.time_func.get());
    }
    PyObject* found = global(s_time);
    if (found == nullptr) return capi::Ref();
    TimeResolution fresh;
    fresh.time_module = capi::Ref::borrow(found);
    fresh.time_func = capi::Ref::steal(PyObject_GetAttr(found, s_time));
    if (!fresh.time_func) return capi::Ref();
    // Cached only when the function came straight from a plain module's
    // dictionary (not from a module __getattr__). The versions are taken after
    // the lookups, which may have run Python code.
    if (capi::internals::dict_versions && PyModule_CheckExact(found)) {
        PyObject* stored = PyDict_GetItemWithError(PyModule_GetDict(found), s_time);
        if (stored == nullptr && PyErr_Occurred()) return capi::Ref();
        fresh.cacheable = stored == fresh.time_func.get();
    }
    if (fresh.cacheable) {
        fresh.globals_version = dict_version(module_dict);
        fresh.module_version = dict_version(PyModule_GetDict(found));
    }
    // The previous resolution is dropped (which may run Python code) only
    // once the new one is complete.
    capi::Ref func = capi::Ref::borrow(fresh.time_func.get());
    std::swap(r, fresh);
    return func;
}

bool current_time(double& now) noexcept {
    capi::Ref func = resolve_time();
    if (!func) return false;
    if (func.get() == builtin_time) {
        now = capi::internals::time_seconds();
        return true;
    }
    capi::Ref result = capi::Ref::steal(PyObject_CallNoArgs(func.get()));
    return result && capi::to_double(result.get(), now);
}

// telemetry_store.get_metrics(func_id)
PyObject* get_metrics(PyObject* store, PyObject* func_id) noexcept {
    return capi::call_method(store, s_get_metrics, func_id);
}

// Reads one attribute into `holder` (which keeps it alive past the lock).
PyObject* read_attr(PyObject* obj, PyObject* name, capi::Ref& holder) noexcept {
    holder = capi::Ref::steal(PyObject_GetAttr(obj, name));
    return holder.get();
}

bool is_exact_metrics(PyObject* metrics) noexcept {
    // FunctionMetrics is immutable, so its properties are known to return the
    // record's fields: read them directly. Subclasses go through getattr.
    return Py_IS_TYPE(metrics, FunctionMetricsType);
}

// `value == 0` as Python evaluates it; -1 with an error set.
int equals_zero(PyObject* value) noexcept {
    capi::Ref result = capi::Ref::steal(PyObject_RichCompare(value, zero, Py_EQ));
    return result ? capi::to_truth(result.get()) : -1;
}

constexpr capi::Param func_id_params[] = {{"func_id"}};
constexpr capi::Signature get_threshold_sig("get_threshold", func_id_params);

PyObject* get_threshold(Self* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    capi::Args<1> a;
    if (!a.parse(get_threshold_sig, args, nargs, kwnames) || !check_func_id(a[0])) return nullptr;
    capi::LockGuard guard;
    if (!guard.acquire(self->_lock)) return nullptr;
    PyObject* stored = PyDict_GetItemWithError(self->_thresholds, a[0]);
    if (stored != nullptr) return Py_NewRef(stored);
    if (PyErr_Occurred()) return nullptr;
    return config_int(self->_config, s_initial_threshold,
                      self->config()->get_initial_threshold_fast());
}

constexpr capi::Param store_params[] = {{"func_id"}, {"telemetry_store"}};
constexpr capi::Signature should_compile_sig("should_compile", store_params);

PyObject* should_compile(Self* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    capi::Args<2> a;
    if (!a.parse(should_compile_sig, args, nargs, kwnames) || !check_func_id(a[0])) return nullptr;
    PyObject* func_id = a[0];
    double current_time_s = 0.0;
    if (!current_time(current_time_s)) return nullptr;

    capi::Ref metrics, held[4];  // released after the lock
    int32_t threshold;
    CFunctionMetrics m;
    m.last_compiled = 0.0;
    double target_speedup;
    {
        capi::LockGuard guard;
        if (!guard.acquire(self->_lock) || !self->_get_threshold_fast(func_id, threshold)) {
            return nullptr;
        }
        metrics = capi::Ref::steal(get_metrics(a[1], func_id));
        if (!metrics) return nullptr;
        PyObject* obj = metrics.get();
        if (is_exact_metrics(obj)) {
            const auto* record = reinterpret_cast<FunctionMetricsObject*>(obj);
            m.call_count = record->get_call_count_fast();
            m.compile_count = record->get_compile_count_fast();
            m.avg_speedup = record->get_avg_speedup_fast();
            target_speedup = self->config()->get_target_speedup_fast();
            m.last_compiled = record->get_last_compiled_fast();
        } else {
            PyObject* value;
            if (!(value = read_attr(obj, s_call_count, held[0])) ||
                !capi::to_uint64(value, m.call_count) ||
                !(value = read_attr(obj, s_compile_count, held[1])) ||
                !capi::to_uint32(value, m.compile_count) ||
                !(value = read_attr(obj, s_avg_speedup, held[2])) ||
                !capi::to_double(value, m.avg_speedup)) {
                return nullptr;
            }
            target_speedup = self->config()->get_target_speedup_fast();
            PyObject* found = nullptr;
            if (capi::internals::get_optional_attr(obj, s_last_compiled, &found) < 0)
                return nullptr;
            held[3] = capi::Ref::steal(found);
            if (found != nullptr && !capi::to_double(found, m.last_compiled)) return nullptr;
        }
    }
    return capi::new_bool(_should_compile_check(m.call_count, m.compile_count, threshold,
                                                m.avg_speedup, m.last_compiled, current_time_s,
                                                target_speedup, self->_recompile_interval));
}

// The DEBUG record of a stored update: `logger.debug(message)`. The message
// is only built when the logger would emit it: when `logger.debug` is the
// unreplaced logging.Logger.debug (not shadowed on the instance or replaced in
// a subclass) we ask isEnabledFor(DEBUG) first, which is the first thing that
// method does itself, so handlers receive exactly the same records.
bool log_update(PyObject* func_id, int32_t old_threshold, int32_t new_threshold,
                double avg_speedup) noexcept {
    PyObject* found = global(s_logger);
    if (found == nullptr) return false;
    capi::Ref logger = capi::Ref::borrow(found);
    // As in Python, `logger.debug` is looked up before the message is built.
    PyObject* raw = nullptr;
    const int unbound = capi::internals::get_method(found, s_debug, &raw);
    capi::Ref debug = capi::Ref::steal(raw);
    if (!debug) return false;
    if (unbound && debug.get() == logger_debug) {
        capi::Ref enabled =
            capi::Ref::steal(capi::call_method(found, s_is_enabled_for, debug_level));
        if (!enabled) return false;
        const int truth = capi::to_truth(enabled.get());
        if (truth <= 0) return truth == 0;
    }
    char* speedup = PyOS_double_to_string(avg_speedup, 'f', 2, 0, nullptr);
    if (speedup == nullptr) return false;
    capi::Ref message = capi::Ref::steal(
        func_id == Py_None
            ? PyUnicode_FromFormat("Updated threshold for None: %d -> %d (speedup: %sx)",
                                   old_threshold, new_threshold, speedup)
            : PyUnicode_FromFormat("Updated threshold for %U: %d -> %d (speedup: %sx)", func_id,
                                   old_threshold, new_threshold, speedup));
    PyMem_Free(speedup);
    if (!message) return false;
    // Slot 0 is the logger for an unbound method, and scratch space otherwise.
    PyObject* stack[] = {found, message.get()};
    capi::Ref result = capi::Ref::steal(
        unbound ? PyObject_Vectorcall(debug.get(), stack, 2, nullptr)
                : PyObject_Vectorcall(debug.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      nullptr));
    return static_cast<bool>(result);
}

constexpr capi::Signature update_sig("update", store_params);

PyObject* update(Self* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    capi::Args<2> a;
    if (!a.parse(update_sig, args, nargs, kwnames) || !check_func_id(a[0])) return nullptr;
    PyObject* func_id = a[0];

    capi::Ref metrics, held[3];  // released after the lock
    int32_t current_threshold, new_threshold;
    uint32_t compile_count;
    double avg_speedup;
    {
        capi::LockGuard guard;
        if (!guard.acquire(self->_lock)) return nullptr;
        metrics = capi::Ref::steal(get_metrics(a[1], func_id));
        if (!metrics) return nullptr;
        PyObject* obj = metrics.get();
        const bool exact = is_exact_metrics(obj);
        const auto* record = reinterpret_cast<FunctionMetricsObject*>(obj);
        int none_compiled;
        if (exact) {
            none_compiled = record->get_compile_count_fast() == 0;
        } else {
            PyObject* value = read_attr(obj, s_compile_count, held[0]);
            none_compiled = value ? equals_zero(value) : -1;
        }
        if (none_compiled < 0) return nullptr;
        if (none_compiled) Py_RETURN_NONE;
        if (!self->_get_threshold_fast(func_id, current_threshold)) return nullptr;
        if (exact) {
            compile_count = record->get_compile_count_fast();
            avg_speedup = record->get_avg_speedup_fast();
        } else {
            // compile_count is read a second time, as a number this time.
            PyObject* value;
            if (!(value = read_attr(obj, s_compile_count, held[1])) ||
                !capi::to_uint32(value, compile_count) ||
                !(value = read_attr(obj, s_avg_speedup, held[2])) ||
                !capi::to_double(value, avg_speedup)) {
                return nullptr;
            }
        }
        const PolicyConfigObject* config = self->config();
        new_threshold = _adaptive_threshold_update(
            current_threshold, avg_speedup, compile_count, config->get_learning_rate_fast(),
            config->get_target_speedup_fast(), config->get_min_threshold_fast(),
            config->get_max_threshold_fast());
        capi::Ref value = capi::Ref::steal(PyLong_FromLong(new_threshold));
        if (!value || PyDict_SetItem(self->_thresholds, func_id, value.get()) < 0) return nullptr;
    }
    if (!log_update(func_id, current_threshold, new_threshold, avg_speedup)) return nullptr;
    Py_RETURN_NONE;
}

// sum(values) / len(values) for the stored thresholds, as a float.
PyObject* mean_of(PyObject* thresholds, int64_t sum, bool exact) noexcept {
    const Py_ssize_t count = PyDict_GET_SIZE(thresholds);
    constexpr int64_t exact_limit = int64_t{1} << 53;
    if (exact && sum <= exact_limit && sum >= -exact_limit && count <= exact_limit) {
        // Both operands are exact doubles, so the division rounds once, as
        // int / int does.
        return PyFloat_FromDouble(static_cast<double>(sum) / static_cast<double>(count));
    }
    capi::Ref total = capi::Ref::steal(PyLong_FromLong(0));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (total && PyDict_Next(thresholds, &pos, &key, &value)) {
        total = capi::Ref::steal(PyNumber_Add(total.get(), value));
    }
    capi::Ref length = capi::Ref::steal(PyLong_FromSsize_t(count));
    if (!total || !length) return nullptr;
    return PyNumber_TrueDivide(total.get(), length.get());
}

constexpr capi::Signature get_statistics_sig("get_statistics");

PyObject* get_statistics(Self* self, PyObject* const*, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(get_statistics_sig, nargs, kwnames)) return nullptr;
    capi::LockGuard guard;
    if (!guard.acquire(self->_lock)) return nullptr;
    const Py_ssize_t count = PyDict_GET_SIZE(self->_thresholds);
    capi::Ref values[4];
    values[0] = capi::Ref::steal(PyLong_FromSsize_t(count));
    if (count == 0) {
        const PolicyConfigObject* config = self->config();
        values[1] = capi::Ref::steal(
            config_int(self->_config, s_initial_threshold, config->get_initial_threshold_fast()));
        if (values[1]) {
            values[2] = capi::Ref::steal(
                config_int(self->_config, s_min_threshold, config->get_min_threshold_fast()));
        }
        if (values[2]) {
            values[3] = capi::Ref::steal(
                config_int(self->_config, s_max_threshold, config->get_max_threshold_fast()));
        }
    } else {
        // Stored values are exact ints within int32_t (the policy stores
        // nothing else), so the scan runs no Python code.
        int64_t sum = 0;
        bool exact = true;
        PyObject *min_value = nullptr, *max_value = nullptr;
        long min_seen = 0, max_seen = 0;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(self->_thresholds, &pos, &key, &value)) {
            const long v = PyLong_AsLong(value);
            if (v == -1 && PyErr_Occurred()) return nullptr;
            if (__builtin_add_overflow(sum, v, &sum)) exact = false;
            if (min_value == nullptr || v < min_seen) min_value = value, min_seen = v;
            if (max_value == nullptr || v > max_seen) max_value = value, max_seen = v;
        }
        values[1] = capi::Ref::steal(mean_of(self->_thresholds, sum, exact));
        values[2] = capi::Ref::borrow(min_value);
        values[3] = capi::Ref::borrow(max_value);
    }
    PyObject* const keys[4] = {s_tracked_functions, s_avg_threshold, s_min_threshold,
                               s_max_threshold};
    capi::Ref result = capi::Ref::steal(capi::internals::new_presized_dict(4));
    if (!result) return nullptr;
    for (int i = 0; i < 4; ++i) {
        if (!values[i] || PyDict_SetItem(result.get(), keys[i], values[i].get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

PyObject* get_config(PyObject* self, void*) noexcept {
    return Py_NewRef(reinterpret_cast<Self*>(self)->_config);
}

PyGetSetDef getset[] = {
    {"config", get_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const capi::FunctionDef methods[] = {
    capi::method<Self, get_threshold>(get_threshold_sig,
                                      "Get current threshold for function.\n\n"
                                      "Args:\n"
                                      "    func_id: Function identifier\n\n"
                                      "Returns:\n"
                                      "    Call count threshold for compilation\n\n"
                                      "Performance: <100ns (dict lookup with lock)",
                                      "int"),
    capi::method<Self, should_compile>(
        should_compile_sig,
        "Decide if function should be compiled.\n\n"
        "Allows recompilation when the function has reached its current threshold\n"
        "and it was either never compiled or enough time has passed since its last\n"
        "compilation.\n\n"
        "Args:\n"
        "    func_id: Function identifier\n"
        "    telemetry_store: TelemetryStore instance\n\n"
        "Returns:\n"
        "    True if function should be compiled\n\n"
        "Performance: <1us (threshold check + metrics lookup)\n\n"
        "All state reads happen within the lock to prevent time-of-check to\n"
        "time-of-use races between the metrics and threshold reads.",
        "bool"),
    capi::method<Self, update>(update_sig,
                               "Update policy based on compilation outcome.\n\n"
                               "Args:\n"
                               "    func_id: Function identifier\n"
                               "    telemetry_store: TelemetryStore instance\n\n"
                               "Performance: <1us (adaptive update)\n\n"
                               "All reads and writes happen within a single lock."),
    capi::method<Self, get_statistics>(get_statistics_sig,
                                       "Get policy statistics.\n\n"
                                       "Returns:\n"
                                       "    Dictionary with statistics",
                                       "Dict"),
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(gate_traverse)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(
                    "Compilegate(config=None)\n--\n\n"
                    "Adaptive JIT threshold policy.\n\n"
                    "Learns optimal compilation thresholds based on observed performance.\n"
                    "Adapts per-function to workload characteristics.\n\n"
                    "Example:\n"
                    "    policy = Compilegate()\n"
                    "    telemetry = get_telemetry_store()\n\n"
                    "    # On every call of a watched function:\n"
                    "    telemetry.record_call(func_id)\n"
                    "    if policy.should_compile(func_id, telemetry):\n"
                    "        speedup = compile_and_measure(func)\n"
                    "        telemetry.record_compile(func_id, speedup)\n"
                    "        policy.update(func_id, telemetry)\n\n"
                    "Usage notes:\n"
                    "    should_compile() and update() call telemetry_store.get_metrics(func_id)\n"
                    "    and read the metrics' attributes while holding the policy's lock, which\n"
                    "    is not re-entrant: a telemetry store or metrics object that calls back\n"
                    "    into the same policy from there deadlocks.\n")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "lumetra.jit.compilegate.Compilegate",
    sizeof(Self),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

bool add_compilegate(PyObject* module) noexcept {
    if (module_dict == nullptr) module_dict = Py_NewRef(PyModule_GetDict(module));
    if (!capi::intern_all({{s_get_metrics, "get_metrics"},
                           {s_call_count, "call_count"},
                           {s_compile_count, "compile_count"},
                           {s_avg_speedup, "avg_speedup"},
                           {s_last_compiled, "last_compiled"},
                           {s_time, "time"},
                           {s_logger, "logger"},
                           {s_debug, "debug"},
                           {s_is_enabled_for, "isEnabledFor"},
                           {s_initial_threshold, "initial_threshold"},
                           {s_min_threshold, "min_threshold"},
                           {s_max_threshold, "max_threshold"},
                           {s_learning_rate, "learning_rate"},
                           {s_target_speedup, "target_speedup"},
                           {s_tracked_functions, "tracked_functions"},
                           {s_avg_threshold, "avg_threshold"}})) {
        return false;
    }
    if (zero == nullptr) {
        zero = PyLong_FromLong(0);
        config_defaults[0] = PyLong_FromLong(100);
        config_defaults[1] = PyLong_FromLong(10);
        config_defaults[2] = PyLong_FromLong(10000);
        config_defaults[3] = PyFloat_FromDouble(0.1);
        config_defaults[4] = PyFloat_FromDouble(2.0);
        for (PyObject* value : config_defaults) {
            if (value == nullptr) return false;
        }
        if (zero == nullptr) return false;
    }
    CompilegateType = capi::create_type(module, {&type_spec, methods});
    return CompilegateType != nullptr;
}

bool capture_standard_names() noexcept {
    if (debug_level != nullptr) return true;
    PyObject* time_module = PyDict_GetItemWithError(module_dict, s_time);
    PyObject* logging = PyDict_GetItemString(module_dict, "logging");
    if (time_module == nullptr || logging == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "time or logging missing");
        return false;
    }
    builtin_time = PyObject_GetAttr(time_module, s_time);
    if (builtin_time == nullptr) return false;
    debug_level = PyObject_GetAttrString(logging, "DEBUG");
    if (debug_level == nullptr) return false;
    capi::Ref logger_class = capi::Ref::steal(PyObject_GetAttrString(logging, "Logger"));
    if (!logger_class) return false;
    if (PyType_Check(logger_class.get())) {
        // Kept for the life of the process; compared by identity in log_update.
        logger_debug = Py_XNewRef(capi::internals::type_lookup(
            reinterpret_cast<PyTypeObject*>(logger_class.get()), s_debug));
    }
    return true;
}

}  // namespace compilegate
