// Binding of CounterAggregator: argument conversion and result building
// around the records of counters.hpp.
//
// Each operation converts its arguments, checks the id (before anything is
// locked or changed), then touches the records only while holding the
// aggregator's lock. The lock reference is visited by the collector but never
// cleared by it: a lock holds no references of its own, so a cycle through a
// replaced `threading.Lock` is broken by the other objects in it, and the
// methods never find the lock gone. Results are built after the lock is released: building a
// dictionary can start a garbage collection, and a finalizer that calls back
// into this aggregator must not find its own (non-reentrant) lock held.
#include <cstdint>

#include "capi/capi.hpp"
#include "statcounters.hpp"

namespace statcounters {

namespace {

using Self = CounterAggregatorObject;

// --- native-level operations ---------------------------------------------------------

bool check_id(const Self* self, int32_t counter_id) noexcept {
    if (counter_id >= 0 && counter_id < self->num_counters) return true;
    PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(counter_id));
    return false;
}

bool lock(capi::LockGuard& guard, const Self* self) noexcept {
    return guard.acquire(self->lock.get());
}

bool _c_update(Self* self, int32_t counter_id, double value) noexcept {
    if (!check_id(self, counter_id)) return false;
    capi::LockGuard guard;
    if (!lock(guard, self)) return false;
    self->counters[counter_id].add(value);
    return true;
}

PyObject* stats_dict(const State& st, const Stats& s) noexcept {
    // Sized for the six keys up front: a default dict resizes on the sixth.
    capi::Ref dict = capi::Ref::steal(capi::internals::new_presized_dict(6));
    if (!dict) return nullptr;
    const struct {
        PyObject* key;
        PyObject* value;
    } items[] = {
        {st.names.get<"count">(), PyLong_FromUnsignedLongLong(s.count)},
        {st.names.get<"mean">(), PyFloat_FromDouble(s.mean)},
        {st.names.get<"variance">(), PyFloat_FromDouble(s.variance)},
        {st.names.get<"std">(), PyFloat_FromDouble(s.std)},
        {st.names.get<"min">(), PyFloat_FromDouble(s.min)},
        {st.names.get<"max">(), PyFloat_FromDouble(s.max)},
    };
    bool ok = true;
    for (const auto& item : items) {
        capi::Ref value = capi::Ref::steal(item.value);
        ok = ok && value && PyDict_SetItem(dict.get(), item.key, value.get()) == 0;
    }
    return ok ? dict.release() : nullptr;
}

PyObject* _c_get_stats(const State& st, Self* self, int32_t counter_id) noexcept {
    if (!check_id(self, counter_id)) return nullptr;
    Stats stats;
    {
        capi::LockGuard guard;
        if (!lock(guard, self)) return nullptr;
        stats = stats_of(self->counters[counter_id]);
    }
    return stats_dict(st, stats);
}

bool _c_reset(Self* self, int32_t counter_id) noexcept {
    if (!check_id(self, counter_id)) return false;
    capi::LockGuard guard;
    if (!lock(guard, self)) return false;
    self->counters[counter_id].clear();
    return true;
}

bool _c_reset_all(Self* self) noexcept {
    capi::LockGuard guard;
    if (!lock(guard, self)) return false;
    for (int32_t i = 0; i < self->num_counters; ++i) self->counters[i].clear();
    return true;
}

// get_stats as native code calls it: a Python subclass's override wins.
PyObject* get_stats_dispatch(const State& st, Self* self, int32_t counter_id) noexcept {
    auto* obj = reinterpret_cast<PyObject*>(self);
    PyObject* name = st.names.get<"get_stats">();
    if (!capi::overridden(obj, st.CounterAggregatorType, name)) {
        return _c_get_stats(st, self, counter_id);
    }
    capi::Ref id = capi::Ref::steal(PyLong_FromLong(counter_id));
    if (!id) return nullptr;
    return capi::call_method(obj, name, id.get());
}

PyObject* _c_get_all_stats(const State& st, Self* self) noexcept {
    capi::Ref result = capi::Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    // The record array and its size never change, so the loop needs no
    // re-check after the calls into Python (allocations, an override).
    for (int32_t i = 0; i < self->num_counters; ++i) {
        // Read without the lock, as an atomic load: a count another thread
        // changes meanwhile is seen before or after the change, and
        // get_stats then reads the record under the lock.
        if (self->counters[i].count_unlocked() == 0) continue;
        capi::Ref stats = capi::Ref::steal(get_stats_dispatch(st, self, i));
        if (!stats) return nullptr;
        capi::Ref id = capi::Ref::steal(PyLong_FromLong(i));
        if (!id) return nullptr;
        capi::Ref pair = capi::Ref::steal(PyTuple_Pack(2, id.get(), stats.get()));
        if (!pair || PyList_Append(result.get(), pair.get()) < 0) return nullptr;
    }
    return result.release();
}

// --- Python methods ------------------------------------------------------------------

constexpr capi::TypedSignature update_sig("update", capi::Arg<int>{"counter_id"},
                                          capi::Arg<double>{"value"});
PyObject* update(Self* self, int32_t counter_id, double value) noexcept {
    return _c_update(self, counter_id, value) ? capi::new_none() : nullptr;
}

constexpr capi::TypedSignature get_stats_sig("get_stats", capi::Arg<int>{"counter_id"});
PyObject* get_stats(State& st, Self* self, int32_t counter_id) noexcept {
    return _c_get_stats(st, self, counter_id);
}

constexpr capi::TypedSignature reset_sig("reset", get_stats_sig);
PyObject* reset(Self* self, int32_t counter_id) noexcept {
    return _c_reset(self, counter_id) ? capi::new_none() : nullptr;
}

constexpr capi::Signature reset_all_sig("reset_all");
PyObject* reset_all(Self* self) noexcept { return _c_reset_all(self) ? capi::new_none() : nullptr; }

constexpr capi::Signature get_all_stats_sig("get_all_stats");
PyObject* get_all_stats(State& st, Self* self) noexcept { return _c_get_all_stats(st, self); }

const capi::FunctionDef methods[] = {
    capi::method<update, update_sig>("Update counter with new value.\n\n"
                                     "Thread-safe via lock (correctness over performance)"),
    capi::method<get_stats, get_stats_sig>("Get statistics for a counter."),
    capi::method<reset, reset_sig>("Reset a specific counter."),
    capi::method<reset_all, reset_all_sig>("Reset all counters."),
    capi::method<get_all_stats, get_all_stats_sig>("Get statistics for all counters."),
};

// --- type slots ----------------------------------------------------------------------

constexpr int default_num_counters = 1000;
constexpr capi::TypedSignature new_sig("CounterAggregator",
                                       capi::Arg<int>{"num_counters", default_num_counters});

PyObject* aggregator_new(PyTypeObject* type, int32_t num_counters) noexcept {
    AtomicCounter* counters = allocate_counters(num_counters);
    if (counters == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
        return nullptr;
    }
    capi::Ref self = capi::Ref::steal(reinterpret_cast<PyObject*>(capi::alloc<Self>(type)));
    if (!self) {
        free_counters(counters);
        return nullptr;
    }
    // From here on the destructor owns the array, whatever happens next.
    auto* s = reinterpret_cast<Self*>(self.get());
    s->counters = counters;
    s->num_counters = num_counters;
    s->lock = capi::Ref::steal(capi::new_threading_lock(capi::state_of<State>(type)));
    if (!s->lock) return nullptr;
    return self.release();
}

// --- module functions ----------------------------------------------------------------

// The constructor's parameters, passed on as given (an omitted one takes the
// constructor's default there).
constexpr capi::TypedSignature create_sig("create_aggregator",
                                          capi::Arg<capi::Passed<int>>{"num_counters",
                                                                       default_num_counters});
PyObject* create_aggregator(State& st, PyObject* num_counters) noexcept {
    auto* type = reinterpret_cast<PyObject*>(st.CounterAggregatorType);
    return num_counters ? PyObject_CallOneArg(type, num_counters) : PyObject_CallNoArgs(type);
}

const capi::FunctionDef functions[] = {
    capi::function<create_aggregator, create_sig>("Create a new CounterAggregator instance."),
};

}  // namespace

bool add_counter_aggregator(PyObject* module, State& st) noexcept {
    st.CounterAggregatorType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.monitoring.statcounters.CounterAggregator",
            .doc = "Fast counter aggregation in compiled code.\n\n"
                   "Uses atomic operations for thread-safe updates without GIL "
                   "overhead.",
            .constructor = capi::constructor<aggregator_new, new_sig>(),
            .methods = methods,
        });
    return st.CounterAggregatorType != nullptr;
}

bool add_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, functions);
}

}  // namespace statcounters
