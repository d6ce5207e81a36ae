// Binding of Compilegate: the per-function threshold policy.
//
// Locking: every method holds the instance's `_lock` (a non-re-entrant
// threading.Lock) for its whole critical section, and `_thresholds` is touched
// only under it. `should_compile` reads the clock before taking the lock and
// decides after releasing it, from values copied under it; `update` logs after
// releasing it. Objects obtained from the telemetry store (the metrics and
// their attribute values) and the stored thresholds a method reads (which
// `update` may replace) are held in owners declared before the lock guard, so
// their last reference is dropped, and any `__del__` runs, only once the lock
// is free again.
//
// Apart from the store's own code (and the conversion of a stored value that
// is not an int, which the policy never stores), nothing under the lock runs
// Python code or makes an object the collector tracks (which could start a
// collection whose finalizers call this policy and wait for the lock forever):
// `get_threshold` and `get_statistics` copy references under it, and read the
// configuration and build their results after it.
//
// `_thresholds` is private, but the collector hands it to any Python code that
// asks (gc.get_referents), and such code does not take `_lock`: values are
// taken from it as strong references, and it is walked in a critical section
// on itself.
//
// Reads of the shared PolicyConfig record are not synchronised with property
// writes on it; each read takes the value the record holds at that moment
// (one relaxed atomic load per field, see compilegate.hpp).
//
// The collector clears none of the three references: they are never null, so
// methods need no checks, and any reference cycle through an instance also
// runs through a Python-level object (a PolicyConfig subclass instance, or the
// instance dict of a Compilegate subclass) that the collector clears.
#include <atomic>
#include <cstdint>
#include <utility>

#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

bool CompilegateObject::_get_threshold_fast(PyObject* func_id, int32_t& threshold,
                                            capi::Ref& stored) const noexcept {
    // Keys are exact str or None, so the lookup runs no Python code.
    PyObject* found = nullptr;
    const int present = capi::internals::dict_get_ref(_thresholds.get(), func_id, &found);
    stored = capi::Ref::steal(found);
    if (present <= 0) {
        if (present < 0) return false;
        threshold = config()->get_initial_threshold_fast();
        return true;
    }
    // Converted as every native int32 value is (capi::to_int): an int as it
    // is, without running Python code; anything else (the dict is reachable
    // through the collector) through its __int__, which may change the dict;
    // `stored` holds it meanwhile.
    return capi::to_int(found, threshold);
}

namespace {

using Self = CompilegateObject;

// `func_id`: an exact str or None.
using FuncId = capi::Exact<&PyUnicode_Type>;

// `config.<name>` for an int property: the record's field unless a Python
// subclass replaced the property.
template <capi::Name N>
PyObject* config_int(const State& st, PyObject* config, int32_t field) noexcept {
    if (capi::overridden(config, st.PolicyConfigType, st.names.get<N>())) {
        return capi::attr<N>(st, config);
    }
    return PyLong_FromLong(field);
}

// Compilegate(config) turns `config` into the PolicyConfig it will use.
PyObject* coerce_config(const State& st, PyObject* config) noexcept {
    if (config == Py_None) {
        return make_policy_config(st.PolicyConfigType, CPolicyConfig{});
    }
    if (PyObject_TypeCheck(config, st.PolicyConfigType)) return Py_NewRef(config);
    // Any other object: getattr(config, name, default) for each field, in
    // order, then the constructor's conversions and checks (a missing
    // attribute stays null, which takes the constructor's default).
    PyObject* const names[5] = {st.names.get<"initial_threshold">(),
                                st.names.get<"min_threshold">(), st.names.get<"max_threshold">(),
                                st.names.get<"learning_rate">(), st.names.get<"target_speedup">()};
    capi::Ref read[5];
    PyObject* values[5];
    for (int i = 0; i < 5; ++i) {
        PyObject* found = nullptr;
        if (capi::internals::get_optional_attr(config, names[i], &found) < 0) return nullptr;
        read[i] = capi::Ref::steal(found);
        values[i] = found;
    }
    return new_policy_config(st.PolicyConfigType, values);
}

constexpr capi::TypedSignature new_sig("Compilegate", capi::Arg<PyObject*>{"config", capi::none});

PyObject* gate_new(State& st, PyTypeObject* type, PyObject* given) noexcept {
    capi::Ref config = capi::Ref::steal(coerce_config(st, given));
    if (!config) return nullptr;
    capi::Ref thresholds = capi::Ref::steal(PyDict_New());
    if (!thresholds) return nullptr;
    capi::Ref lock = capi::Ref::steal(capi::new_threading_lock(st));
    if (!lock) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    // No Python code runs between the allocation and these stores, so the
    // collector never sees a half-filled instance.
    Self* gate = reinterpret_cast<Self*>(self);
    gate->_config = std::move(config);
    gate->_thresholds = std::move(thresholds);
    gate->_lock = std::move(lock);
    return self;
}

// time.time() through the module's `time` global, as Python code would call
// it. Resolving `time.time` costs two namespace lookups per call, so the
// function is kept in the state (TimeResolution) and reused while neither
// namespace has changed since, when it came straight from the namespace of
// the `time` module found at import. When it is the interpreter's own
// time.time, the clock is read the way that function reads it, without
// building and unboxing a float.
//
// From 3.12 a change is told by a dict watcher on both namespaces. Its
// callback cannot tell which module state watches a dict, so it moves one
// process-wide counter on, and a resolution is current while the counter is
// where it was when the resolution began. Only events that can change the
// answer count: the key `time` (the global in the module's namespace, the
// function in the time module's) set or deleted, or the dict cleared, cloned
// or freed. The callback runs on whichever thread changes a namespace, while
// that thread holds the namespace's own lock (the interpreter lock, or the
// dict's critical section without one) and before the change is stored. A
// resolution takes the counter first and reads both entries again under
// those locks before it is kept (resolve_time), so a change is either seen by
// that reading or counted after the counter was taken, which leaves what is
// kept stale at once. Relaxed ordering is enough for the counter itself: a
// thread that learns of a change through any synchronisation (a lock, a join)
// has the increment ordered before its own next read of the counter, which
// then sees it; a thread with no such order may use either function, as it
// could in Python; a change in another interpreter only costs a needless
// resolution.

using capi::internals::dict_version;

#if PY_VERSION_HEX >= 0x030C0000
std::atomic<uint64_t> time_name_changes{0};

int on_namespace_event(PyDict_WatchEvent, PyObject*, PyObject* key, PyObject*) noexcept {
    if (key == nullptr ||
        (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "time") == 0)) {
        time_name_changes.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}
#endif

// True while the namespaces behind the kept function are unchanged. The caller
// is in the critical section on the module's namespace.
bool resolution_current(const State& st) noexcept {
    const TimeResolution& r = st.time_resolution;
    if (r.time_func == nullptr) return false;
#if PY_VERSION_HEX >= 0x030C0000
    return r.changes == time_name_changes.load(std::memory_order_relaxed);
#else
    return dict_version(st.module_dict) == r.globals_version &&
           dict_version(r.time_dict) == r.module_version;
#endif
}

// The function `time.time` names now, as a new reference (null with an error
// set), kept for later calls when it can be.
capi::Ref resolve_time(State& st) noexcept {
    TimeResolution& r = st.time_resolution;
#if PY_VERSION_HEX >= 0x030C0000
    // Taken before the lookups, which may run Python code: a change during
    // them leaves this resolution stale at once.
    const uint64_t changes = time_name_changes.load(std::memory_order_relaxed);
    const bool watched = r.watcher >= 0;
#else
    constexpr bool watched = true;
#endif
    PyObject* name = st.names.get<"time">();
    capi::Ref time_module = capi::global<"time">(st);
    if (!time_module) return capi::Ref();
    capi::Ref time_func = capi::Ref::steal(capi::attr<"time">(st, time_module.get()));
    // Kept only when the function came straight from the namespace of the time
    // module found at import (not from a module __getattr__ or a class's
    // descriptor).
    if (!time_func || !watched || r.time_dict == nullptr || time_module.get() != r.time_module ||
        !PyModule_CheckExact(time_module.get())) {
        return time_func;
    }
    capi::Ref previous;  // dropped after the section, which runs no Python code
    // Both entries are read again under the two namespaces' own locks (see
    // above), and the function is stored in the same section.
    capi::CriticalSection2 section(st.module_dict, r.time_dict);
    // Borrowed, and only compared: the section keeps both entries in place.
    PyObject* global = PyDict_GetItemWithError(st.module_dict, name);
    PyObject* stored = global ? PyDict_GetItemWithError(r.time_dict, name) : nullptr;
    if (PyErr_Occurred()) return capi::Ref();
    if (global != r.time_module || stored != time_func.get()) return time_func;
    previous = capi::Ref::steal(std::exchange(r.time_func, Py_NewRef(stored)));
#if PY_VERSION_HEX >= 0x030C0000
    r.changes = changes;
#else
    // The versions are taken after the lookups, which may have run Python code.
    r.globals_version = dict_version(st.module_dict);
    r.module_version = dict_version(r.time_dict);
#endif
    return time_func;
}

bool current_time(State& st, double& now) noexcept {
    capi::Ref func;
    bool builtin = false;
    {
        // The kept function is taken as a strong reference in the section in
        // which a resolution replaces it (and drops it only after).
        capi::CriticalSection section(st.module_dict);
        if (resolution_current(st)) {
            PyObject* kept = st.time_resolution.time_func;
            builtin = kept == st.builtin_time;
            if (!builtin) func = capi::Ref::borrow(kept);
        }
    }
    if (!builtin && !func) {
        func = resolve_time(st);
        if (!func) return false;
        builtin = func.get() == st.builtin_time;
    }
    if (builtin) {
        now = capi::internals::time_seconds();
        return true;
    }
    capi::Ref result = capi::Ref::steal(PyObject_CallNoArgs(func.get()));
    return result && capi::to_double(result.get(), now);
}

// telemetry_store.get_metrics(func_id)
PyObject* get_metrics(const State& st, PyObject* store, PyObject* func_id) noexcept {
    return capi::call_method<"get_metrics">(st, store, func_id);
}

// Reads one attribute into `holder` (which keeps it alive past the lock).
template <capi::Name N>
PyObject* read_attr(const State& st, PyObject* obj, capi::Ref& holder) noexcept {
    holder = capi::Ref::steal(capi::attr<N>(st, obj));
    return holder.get();
}

// Whether the record's fields may be read directly: a FunctionMetrics, or an
// instance of a subclass that replaces none of the properties read here
// (getattr would then answer from the same record; an instance attribute
// cannot shadow a property). Other objects go through getattr.
bool reads_record(const State& st, PyObject* metrics) noexcept {
    PyTypeObject* type = st.FunctionMetricsType;
    return PyObject_TypeCheck(metrics, type) &&
           !capi::overridden(metrics, type,
                             {st.names.get<"call_count">(), st.names.get<"compile_count">(),
                              st.names.get<"avg_speedup">(), st.names.get<"last_compiled">()});
}

// `value == 0` as Python evaluates it; -1 with an error set.
int equals_zero(const State& st, PyObject* value) noexcept {
    capi::Ref result = capi::Ref::steal(PyObject_RichCompare(value, st.zero, Py_EQ));
    return result ? capi::to_truth(result.get()) : -1;
}

constexpr capi::TypedSignature get_threshold_sig("get_threshold", capi::Arg<FuncId>{"func_id"});

PyObject* get_threshold(State& st, Self* self, PyObject* func_id) noexcept {
    capi::Ref stored;
    int present;
    {
        capi::LockGuard guard;
        if (!guard.acquire(self->_lock.get())) return nullptr;
        PyObject* found = nullptr;
        present = capi::internals::dict_get_ref(self->_thresholds.get(), func_id, &found);
        stored = capi::Ref::steal(found);
    }
    if (present != 0) return stored.release();  // the stored value, or null with the error
    // Read once the lock is free: the property of a PolicyConfig subclass
    // runs Python code, and the record is not guarded by the lock anyway.
    return config_int<"initial_threshold">(st, self->_config.get(),
                                           self->config()->get_initial_threshold_fast());
}

constexpr capi::TypedSignature should_compile_sig("should_compile", capi::Arg<FuncId>{"func_id"},
                                                  capi::Arg<PyObject*>{"telemetry_store"});

PyObject* should_compile(State& st, Self* self, PyObject* func_id,
                         PyObject* telemetry_store) noexcept {
    double current_time_s = 0.0;
    if (!current_time(st, current_time_s)) return nullptr;

    capi::Ref stored, metrics, held[4];  // released after the lock
    int32_t threshold;
    CFunctionMetrics m;  // last_compiled stays 0.0 when the metrics have none
    {
        capi::LockGuard guard;
        if (!guard.acquire(self->_lock.get()) ||
            !self->_get_threshold_fast(func_id, threshold, stored)) {
            return nullptr;
        }
        metrics = capi::Ref::steal(get_metrics(st, telemetry_store, func_id));
        if (!metrics) return nullptr;
        PyObject* obj = metrics.get();
        if (reads_record(st, obj)) {
            // The speed-up takes no part in the decision, and reading the
            // record's has no effect, so it is not read.
            const auto* record = reinterpret_cast<FunctionMetricsObject*>(obj);
            m.call_count = record->get_call_count_fast();
            m.compile_count = record->get_compile_count_fast();
            m.last_compiled = record->get_last_compiled_fast();
        } else {
            // The attributes are read and converted, the unused speed-up
            // too: a missing or unconvertible one raises.
            PyObject* value;
            if (!(value = read_attr<"call_count">(st, obj, held[0])) ||
                !capi::to_uint64(value, m.call_count) ||
                !(value = read_attr<"compile_count">(st, obj, held[1])) ||
                !capi::to_uint32(value, m.compile_count) ||
                !(value = read_attr<"avg_speedup">(st, obj, held[2])) ||
                !capi::to_double(value, m.avg_speedup)) {
                return nullptr;
            }
            PyObject* found = nullptr;
            if (capi::internals::get_optional_attr(obj, st.names.get<"last_compiled">(), &found) <
                0) {
                return nullptr;
            }
            held[3] = capi::Ref::steal(found);
            if (found != nullptr && !capi::to_double(found, m.last_compiled)) return nullptr;
        }
    }
    return capi::new_bool(_should_compile_check(m.call_count, m.compile_count, threshold,
                                                m.last_compiled, current_time_s,
                                                recompile_interval));
}

// The DEBUG record of a stored update: `logger.debug(message)`. The message
// is only built when the logger would emit it: when `logger.debug` is the
// unreplaced logging.Logger.debug (not shadowed on the instance or replaced in
// a subclass) we ask isEnabledFor(DEBUG) first, which is the first thing that
// method does itself, so handlers receive exactly the same records.
bool log_update(const State& st, PyObject* func_id, int32_t old_threshold, int32_t new_threshold,
                double avg_speedup) noexcept {
    capi::Ref logger = capi::global<"logger">(st);
    if (!logger) return false;
    PyObject* found = logger.get();
    // As in Python, `logger.debug` is looked up before the message is built.
    PyObject* raw = nullptr;
    const int unbound = capi::internals::get_method(found, st.names.get<"debug">(), &raw);
    capi::Ref debug = capi::Ref::steal(raw);
    if (!debug) return false;
    if (unbound && debug.get() == st.logger_debug) {
        capi::Ref enabled =
            capi::Ref::steal(capi::call_method<"isEnabledFor">(st, found, st.debug_level));
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

constexpr capi::TypedSignature update_sig("update", should_compile_sig);

PyObject* update(State& st, Self* self, PyObject* func_id, PyObject* telemetry_store) noexcept {
    // Released after the lock, the replaced threshold among them.
    capi::Ref metrics, held[3], previous;
    int32_t current_threshold, new_threshold;
    uint32_t compile_count;
    double avg_speedup;
    {
        capi::LockGuard guard;
        if (!guard.acquire(self->_lock.get())) return nullptr;
        metrics = capi::Ref::steal(get_metrics(st, telemetry_store, func_id));
        if (!metrics) return nullptr;
        PyObject* obj = metrics.get();
        const bool exact = reads_record(st, obj);
        const auto* record = reinterpret_cast<FunctionMetricsObject*>(obj);
        int none_compiled;
        if (exact) {
            none_compiled = record->get_compile_count_fast() == 0;
        } else {
            PyObject* value = read_attr<"compile_count">(st, obj, held[0]);
            none_compiled = value ? equals_zero(st, value) : -1;
        }
        if (none_compiled < 0) return nullptr;
        if (none_compiled) Py_RETURN_NONE;
        if (!self->_get_threshold_fast(func_id, current_threshold, previous)) return nullptr;
        if (exact) {
            compile_count = record->get_compile_count_fast();
            avg_speedup = record->get_avg_speedup_fast();
        } else {
            // compile_count is read a second time, as a number this time.
            PyObject* value;
            if (!(value = read_attr<"compile_count">(st, obj, held[1])) ||
                !capi::to_uint32(value, compile_count) ||
                !(value = read_attr<"avg_speedup">(st, obj, held[2])) ||
                !capi::to_double(value, avg_speedup)) {
                return nullptr;
            }
        }
        const PolicyConfigObject* config = self->config();
        new_threshold = _adaptive_threshold_update(
            current_threshold, avg_speedup, compile_count, config->get_learning_rate_fast(),
            config->get_target_speedup_fast(), config->get_min_threshold_fast(),
            config->get_max_threshold_fast());
        // The one object made under the lock, as the value must be stored in
        // the same critical section: an int is not tracked by the collector,
        // so making one cannot start a collection, and it runs no Python code.
        capi::Ref value = capi::Ref::steal(PyLong_FromLong(new_threshold));
        if (!value || PyDict_SetItem(self->_thresholds.get(), func_id, value.get()) < 0) {
            return nullptr;
        }
    }
    if (!log_update(st, func_id, current_threshold, new_threshold, avg_speedup)) return nullptr;
    Py_RETURN_NONE;
}

// The stored thresholds as get_statistics works on them: strong references
// copied under the lock and dropped (with whatever that runs) after it.
struct StoredThresholds {
    PyObject** values = nullptr;
    Py_ssize_t count = 0;

    StoredThresholds() noexcept = default;
    StoredThresholds(const StoredThresholds&) = delete;
    StoredThresholds& operator=(const StoredThresholds&) = delete;
    ~StoredThresholds() {
        for (Py_ssize_t i = 0; i < count; ++i) Py_DECREF(values[i]);
        PyMem_Free(values);
    }

    // Copies the values of `thresholds` (the caller holds the lock, and the
    // walk runs in a critical section on the dict, so the dict does not change
    // meanwhile); false when out of memory, with no error set yet: setting one
    // may allocate, which waits for the lock's release.
    bool copy(PyObject* thresholds) noexcept {
        capi::CriticalSection section(thresholds);
        const Py_ssize_t size = PyDict_GET_SIZE(thresholds);
        if (size == 0) return true;
        values = PyMem_New(PyObject*, size);
        if (values == nullptr) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (count < size && PyDict_Next(thresholds, &pos, &key, &value)) {
            values[count++] = Py_NewRef(value);
        }
        return true;
    }
};

// sum(values) / len(values) for `count` stored thresholds whose sum is
// `carried` (an int, when the sum outgrew int64_t; else null) plus `sum`, as a
// float.
PyObject* mean_of(Py_ssize_t count, int64_t sum, PyObject* carried) noexcept {
    constexpr int64_t exact_limit = int64_t{1} << 53;
    if (carried == nullptr && sum <= exact_limit && sum >= -exact_limit && count <= exact_limit) {
        // Both operands are exact doubles, so the division rounds once, as
        // int / int does.
        return PyFloat_FromDouble(static_cast<double>(sum) / static_cast<double>(count));
    }
    capi::Ref total = capi::Ref::steal(PyLong_FromLongLong(sum));
    if (total && carried != nullptr) total = capi::Ref::steal(PyNumber_Add(carried, total.get()));
    if (!total) return nullptr;
    capi::Ref length = capi::Ref::steal(PyLong_FromSsize_t(count));
    return length ? PyNumber_TrueDivide(total.get(), length.get()) : nullptr;
}

// carried += sum, `carried` starting as null for 0; false with an error set.
bool carry(capi::Ref& carried, int64_t sum) noexcept {
    capi::Ref part = capi::Ref::steal(PyLong_FromLongLong(sum));
    if (!part) return false;
    carried = carried ? capi::Ref::steal(PyNumber_Add(carried.get(), part.get())) : std::move(part);
    return static_cast<bool>(carried);
}

constexpr capi::Signature get_statistics_sig("get_statistics");

PyObject* get_statistics(State& st, Self* self) noexcept {
    // Only the references are copied under the lock. Everything else happens
    // once it is free: converting a value may run its __int__ (which may
    // change the dict), reading the configuration may run a property, and
    // making the result may start a collection whose finalizers call this
    // policy.
    StoredThresholds stored;
    bool copied;
    {
        capi::LockGuard guard;
        if (!guard.acquire(self->_lock.get())) return nullptr;
        copied = stored.copy(self->_thresholds.get());
    }
    if (!copied) return PyErr_NoMemory();
    capi::Ref values[4];
    values[0] = capi::Ref::steal(PyLong_FromSsize_t(stored.count));
    if (!values[0]) return nullptr;
    if (stored.count == 0) {
        const PolicyConfigObject* config = self->config();
        values[1] = capi::Ref::steal(config_int<"initial_threshold">(
            st, self->_config.get(), config->get_initial_threshold_fast()));
        if (values[1]) {
            values[2] = capi::Ref::steal(config_int<"min_threshold">(
                st, self->_config.get(), config->get_min_threshold_fast()));
        }
        if (values[2]) {
            values[3] = capi::Ref::steal(config_int<"max_threshold">(
                st, self->_config.get(), config->get_max_threshold_fast()));
        }
    } else {
        // Each stored value is read as the decisions read it (see
        // _get_threshold_fast); the minimum and maximum are the stored objects.
        int64_t sum = 0;
        capi::Ref carried;  // the part of the sum that outgrew int64_t, if any
        PyObject *min_value = nullptr, *max_value = nullptr;  // held by `stored`
        int32_t min_seen = 0, max_seen = 0;
        for (Py_ssize_t i = 0; i < stored.count; ++i) {
            PyObject* value = stored.values[i];
            int32_t v;
            if (!capi::to_int(value, v)) return nullptr;
            // Only more than 2**32 thresholds can outgrow int64_t.
            int64_t next;
            if (__builtin_add_overflow(sum, int64_t{v}, &next)) {
                if (!carry(carried, sum)) return nullptr;
                next = v;
            }
            sum = next;
            if (min_value == nullptr || v < min_seen) min_value = value, min_seen = v;
            if (max_value == nullptr || v > max_seen) max_value = value, max_seen = v;
        }
        values[1] = capi::Ref::steal(mean_of(stored.count, sum, carried.get()));
        values[2] = capi::Ref::borrow(min_value);
        values[3] = capi::Ref::borrow(max_value);
    }
    PyObject* const keys[4] = {st.names.get<"tracked_functions">(), st.names.get<"avg_threshold">(),
                               st.names.get<"min_threshold">(), st.names.get<"max_threshold">()};
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
    return Py_NewRef(reinterpret_cast<Self*>(self)->_config.get());
}

PyGetSetDef getset[] = {
    {"config", get_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const capi::FunctionDef methods[] = {
    capi::method<get_threshold, get_threshold_sig>("Get current threshold for function.\n\n"
                                                   "Args:\n"
                                                   "    func_id: Function identifier\n\n"
                                                   "Returns:\n"
                                                   "    Call count threshold for compilation\n\n"
                                                   "Performance: <100ns (dict lookup with lock)",
                                                   "int"),
    capi::method<should_compile, should_compile_sig>(
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
    capi::method<update, update_sig>("Update policy based on compilation outcome.\n\n"
                                     "Args:\n"
                                     "    func_id: Function identifier\n"
                                     "    telemetry_store: TelemetryStore instance\n\n"
                                     "Performance: <1us (adaptive update)\n\n"
                                     "All reads and writes happen within a single lock."),
    capi::method<get_statistics, get_statistics_sig>("Get policy statistics.\n\n"
                                                     "Returns:\n"
                                                     "    Dictionary with statistics",
                                                     "Dict"),
};

}  // namespace

bool add_compilegate(PyObject* module, State& st) noexcept {
    if ((st.zero = PyLong_FromLong(0)) == nullptr) return false;
    st.CompilegateType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.jit.compilegate.Compilegate",
            .doc = "Adaptive JIT threshold policy.\n\n"
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
                   "    into the same policy from there deadlocks.\n",
            .constructor = capi::constructor<gate_new, new_sig>(),
            .methods = methods,
            .getset = getset,
        });
    return st.CompilegateType != nullptr;
}

bool capture_standard_names(State& st) noexcept {
    PyObject* time_module = PyDict_GetItemWithError(st.module_dict, st.names.get<"time">());
    PyObject* logging =
        time_module ? PyDict_GetItemWithError(st.module_dict, st.base_names.get<"logging">())
                    : nullptr;
    if (time_module == nullptr || logging == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "time or logging missing");
        return false;
    }
    st.builtin_time = capi::attr<"time">(st, time_module);
    if (st.builtin_time == nullptr) return false;
    // The clock's function is kept between calls only when it comes from this
    // module's own namespace, which the state holds from here on.
    PyObject* time_dict =
        PyModule_CheckExact(time_module) ? PyModule_GetDict(time_module) : nullptr;
    if (time_dict != nullptr) {
        st.time_resolution.time_module = Py_NewRef(time_module);
        st.time_resolution.time_dict = Py_NewRef(time_dict);
    }
    st.debug_level = capi::attr<"DEBUG">(st, logging);
    if (st.debug_level == nullptr) return false;
    capi::Ref logger_class = capi::Ref::steal(capi::attr<"Logger">(st, logging));
    if (!logger_class) return false;
    if (PyType_Check(logger_class.get())) {
        // Compared by identity in log_update.
        st.logger_debug = Py_XNewRef(capi::internals::type_lookup(
            reinterpret_cast<PyTypeObject*>(logger_class.get()), st.names.get<"debug">()));
    }
    return true;
}

#if PY_VERSION_HEX >= 0x030C0000
namespace {

// A dict's watcher bits share a word with the version that every change of the
// dict rewrites, so they are set and cleared in a critical section on the dict.
int set_watched(int watcher, PyObject* dict, bool watched) noexcept {
    capi::CriticalSection section(dict);
    return watched ? PyDict_Watch(watcher, dict) : PyDict_Unwatch(watcher, dict);
}

}  // namespace
#endif

bool watch_time_names(State& st) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    TimeResolution& r = st.time_resolution;
    if (r.time_dict == nullptr) return true;  // nothing is ever kept
    const int id = PyDict_AddWatcher(on_namespace_event);
    if (id < 0) {
        // Every watcher of this interpreter is taken: resolve at each call.
        PyErr_Clear();
        return true;
    }
    r.watcher = id;
    return set_watched(id, st.module_dict, true) == 0 && set_watched(id, r.time_dict, true) == 0;
#else
    (void)st;
    return true;
#endif
}

void State::release_native() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    TimeResolution& r = time_resolution;
    if (r.watcher < 0) return;
    // The watched dictionaries forget the watcher before it is given back,
    // so that a later owner of the same number gets no events of ours. Both
    // are the state's own references, still held here: the time module itself
    // may already have been cleared by the collector, its namespace gone.
    capi::SavedError saved;
    for (PyObject* dict : {module_dict, r.time_dict}) {
        if (dict != nullptr) (void)set_watched(r.watcher, dict, false);
    }
    (void)PyDict_ClearWatcher(r.watcher);
    r.watcher = -1;
#endif
}

}  // namespace compilegate
