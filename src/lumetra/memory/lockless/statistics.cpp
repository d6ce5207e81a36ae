// Binding of LockFreeStatistics: lock-free allocation counters with peaks.
//
// The twelve public attributes, each normally an AtomicCounter, are the
// statistics: every operation reads and changes them (py_record_* step three
// of them, after converting their arguments to 64 bits), by method name (`increment`, `decrement`,
// `load`, `compare_and_swap`, `store`), so a replaced attribute is honoured and an unsuitable one
// raises at the step that uses it, earlier steps applied.
//
// Fast path: when an attribute is exactly an AtomicCounter (not a subclass,
// whose methods may be overridden) its native operation is called directly;
// the result is the same as the method call.
//
// Attributes can be rebound by any Python code, in any thread, at any time,
// and rebinding drops the instance's reference to the old counter. Every step
// therefore reads its attribute inside a critical section on the instance,
// which the attribute setter also takes, so the counter cannot be dropped
// while the step reads it: an exact AtomicCounter is operated on right there
// (a few atomic instructions, no reference taken), any other object is taken
// as a strong reference of the step's own and its method called after
// leaving the section. A step sees the attribute bound when it starts.
//
// `update_lock` serialises `reset` only; recording and snapshots take no lock
// and do not release the interpreter lock (their native part is a few atomic
// instructions, far cheaper than releasing and re-taking it). Each counter
// change is one atomic instruction; the critical sections above only keep a
// counter from being dropped while it is in use, and a call whose counters
// are all plain AtomicCounters takes just one (see `apply`).
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>
#include <utility>

#include "capi/capi.hpp"
#include "lockless.hpp"

namespace lockless {

namespace {

using Self = LockFreeStatisticsObject;

constexpr int snapshot_size = 14;

// Sets get_snapshot's entries in `dict`, in the order of the result, with
// `values` in the same order. The template (every value None) and each
// snapshot are both filled here, so their keys cannot disagree.
bool set_snapshot_entries(const State& st, PyObject* dict,
                          PyObject* const (&values)[snapshot_size]) noexcept {
    const auto set = [&](PyObject* key, int i) noexcept {
        return PyDict_SetItem(dict, key, values[i]) == 0;
    };
    return set(st.names.get<"total_allocations">(), 0) &&
           set(st.names.get<"total_deallocations">(), 1) &&
           set(st.names.get<"current_allocations">(), 2) &&
           set(st.names.get<"bytes_allocated">(), 3) && set(st.names.get<"bytes_reserved">(), 4) &&
           set(st.names.get<"peak_allocations">(), 5) &&
           set(st.names.get<"peak_bytes_allocated">(), 6) &&
           set(st.names.get<"bucketed_allocations">(), 7) &&
           set(st.names.get<"fallback_allocations">(), 8) &&
           set(st.names.get<"bucketed_allocation_ratio">(), 9) &&
           set(st.names.get<"alignment_padding_bytes">(), 10) &&
           set(st.names.get<"average_allocation_time_ns">(), 11) &&
           set(st.names.get<"average_deallocation_time_ns">(), 12) &&
           set(st.names.get<"allocation_mode">(), 13);
}

// The public attribute as a strong reference; a deleted one reads as None.
// Another thread may replace the attribute at any time, dropping the
// reference the instance held: the pointer is read and our own reference
// taken under the critical section the attribute's setter takes (read_shared,
// replace_shared), so the object cannot be freed in between. The counter is
// then used outside it.
capi::Ref counter_at(Self* self, StatField field) noexcept {
    capi::Ref counter = capi::read_shared(reinterpret_cast<PyObject*>(self), self->counters[field]);
    return counter ? std::move(counter) : capi::Ref::borrow(Py_None);
}

// The counter inside the attribute when it is exactly an AtomicCounter, else
// null. Valid only inside the critical section on the instance.
Counter* exact_at(const State& st, Self* self, StatField field) noexcept {
    PyObject* held = self->counters[field].get();
    return held ? exact_counter(st, held) : nullptr;
}

// The fast path of one step: when the attribute is exactly an AtomicCounter,
// `native(counter)` runs on it inside the critical section on the instance,
// which keeps the setter from dropping it meanwhile (no reference is taken:
// the section costs less than one, and `native` only runs atomic
// instructions), and null is returned once `native` says it is done.
// Otherwise the attribute comes back as counter_at gives it, for a method call
// outside the section.
template <typename Native>
capi::Ref native_or_counter(const State& st, Self* self, StatField field,
                            Native&& native) noexcept {
    capi::CriticalSection section(reinterpret_cast<PyObject*>(self));
    if (Counter* counter = exact_at(st, self, field); counter && native(*counter)) return {};
    PyObject* held = self->counters[field].get();
    return capi::Ref::borrow(held ? held : Py_None);
}

// The value of an int as int64_t, or false (with no error set) beyond that
// range; `value` must be an int, which converts without running Python code.
bool int64_of(PyObject* value, int64_t& out) noexcept {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    out = v;
    return overflow == 0;
}

enum class Step { increment, decrement };

// counter.increment() / counter.decrement(), with `delta` (an int) as the
// argument when given. A delta beyond 64 bits goes to the method, which
// raises the counter's OverflowError.
bool step(const State& st, Self* self, StatField field, Step op,
          PyObject* delta = nullptr) noexcept {
    int64_t value = 1;
    const bool fits = delta == nullptr || int64_of(delta, value);
    capi::Ref obj = native_or_counter(st, self, field, [&](Counter& counter) noexcept {
        if (!fits) return false;
        if (op == Step::increment) {
            counter._c_increment(value);
        } else {
            counter._c_decrement(value);
        }
        return true;
    });
    if (!obj) return true;
    PyObject* name =
        op == Step::increment ? st.names.get<"increment">() : st.names.get<"decrement">();
    capi::Ref result = capi::Ref::steal(delta ? capi::call_method(obj.get(), name, delta)
                                              : capi::call_method(obj.get(), name));
    return static_cast<bool>(result);
}

// counter.load(); a new reference or null.
PyObject* load(const State& st, Self* self, StatField field) noexcept {
    int64_t value = 0;
    capi::Ref obj = native_or_counter(st, self, field, [&](Counter& counter) noexcept {
        value = counter._c_load();
        return true;
    });
    if (!obj) return PyLong_FromLongLong(value);
    return capi::call_method(obj.get(), st.names.get<"load">());
}

bool store_zero(const State& st, Self* self, StatField field) noexcept {
    capi::Ref obj = native_or_counter(st, self, field, [](Counter& counter) noexcept {
        counter._c_store(0);
        return true;
    });
    if (!obj) return true;
    capi::Ref result =
        capi::Ref::steal(capi::call_method(obj.get(), st.names.get<"store">(), st.zero_int));
    return static_cast<bool>(result);
}

// The peak loop natively on an AtomicCounter.
void raise_counter_peak(Counter& counter, int64_t candidate) noexcept {
    raise_peak(
        candidate, [&] { return counter._c_load(); },
        [&](int64_t expected, int64_t desired) {
            return counter._c_compare_and_swap(expected, desired);
        });
}

// The peak loop on a public counter with an int candidate, comparing Python
// values: load; stop when candidate <= peak; else compare_and_swap(peak,
// candidate) and stop when it succeeded.
bool raise_public_peak(const State& st, Self* self, StatField field, PyObject* candidate) noexcept {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(candidate, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        overflow = 1;  // left to the method call
    }
    capi::Ref obj = native_or_counter(st, self, field, [&](Counter& counter) noexcept {
        // Below the 64-bit range the candidate is under any peak; above it the
        // method call below raises the counter's OverflowError.
        if (overflow > 0) return false;
        if (overflow == 0) raise_counter_peak(counter, value);
        return true;
    });
    if (!obj) return true;
    for (;;) {
        capi::Ref peak = capi::Ref::steal(capi::call_method(obj.get(), st.names.get<"load">()));
        if (!peak) return false;
        const int done = PyObject_RichCompareBool(candidate, peak.get(), Py_LE);
        if (done != 0) return done > 0;
        capi::Ref swapped = capi::Ref::steal(capi::call_method(
            obj.get(), st.names.get<"compare_and_swap">(), peak.get(), candidate));
        if (!swapped) return false;
        const int ok = PyObject_IsTrue(swapped.get());
        if (ok != 0) return ok > 0;
    }
}

// The same loop with a native candidate.
bool raise_public_peak(const State& st, Self* self, StatField field, int64_t candidate) noexcept {
    capi::Ref obj = native_or_counter(st, self, field, [&](Counter& counter) noexcept {
        raise_counter_peak(counter, candidate);
        return true;
    });
    if (!obj) return true;
    capi::Ref value = capi::Ref::steal(PyLong_FromLongLong(candidate));
    return value && raise_public_peak(st, self, field, value.get());
}

// Body of _update_peaks once its arguments are validated ints.
bool update_peaks(const State& st, Self* self, PyObject* current_allocs,
                  PyObject* current_bytes) noexcept {
    return raise_public_peak(st, self, peak_allocations, current_allocs) &&
           raise_public_peak(st, self, peak_bytes_allocated, current_bytes);
}

// The end of record_allocation: fresh loads of the current count and bytes,
// then self._update_peaks(...) looked up on the instance.
bool record_peaks(const State& st, Self* self) noexcept {
    const bool own_method =
        !capi::overridden(reinterpret_cast<PyObject*>(self), st.LockFreeStatisticsType,
                          st.names.get<"_update_peaks">());
    if (own_method) {
        bool native = false;
        int64_t current_allocs = 0, current_bytes = 0;
        {
            capi::CriticalSection section(reinterpret_cast<PyObject*>(self));
            Counter* allocs = exact_at(st, self, current_allocations);
            Counter* bytes = exact_at(st, self, bytes_allocated);
            if (allocs && bytes) {
                current_allocs = allocs->_c_load();
                current_bytes = bytes->_c_load();
                native = true;
            }
        }
        if (native) {
            return raise_public_peak(st, self, peak_allocations, current_allocs) &&
                   raise_public_peak(st, self, peak_bytes_allocated, current_bytes);
        }
    }
    capi::Ref current_allocs = capi::Ref::steal(load(st, self, current_allocations));
    if (!current_allocs) return false;
    capi::Ref current_bytes = capi::Ref::steal(load(st, self, bytes_allocated));
    if (!current_bytes) return false;
    if (own_method) {
        capi::Ref a = capi::Ref::steal(capi::int_param(current_allocs.get(), "current_allocs"));
        if (!a) return false;
        capi::Ref b = capi::Ref::steal(capi::int_param(current_bytes.get(), "current_bytes"));
        return b && update_peaks(st, self, a.get(), b.get());
    }
    capi::Ref result = capi::Ref::steal(capi::call_method<"_update_peaks">(
        st, reinterpret_cast<PyObject*>(self), current_allocs.get(), current_bytes.get()));
    return static_cast<bool>(result);
}

// One counter change of a recording call: `field` stepped by `delta` (an
// int; null for 1).
struct Change {
    StatField field;
    Step op;
    PyObject* delta;
};

constexpr std::size_t most_changes = 6;

// Applies `changes` in order, then (with `peaks`) the peak update as
// record_peaks does it. When every attribute involved is exactly an
// AtomicCounter and every delta fits 64 bits, all of it runs natively inside
// one critical section on the instance: no Python code can then run between
// the changes, so the result is that of the steps one by one with no
// attribute rebound in between, for the cost of one section instead of one per
// step. Otherwise, step by step; a failing step leaves the earlier ones applied.
bool apply(const State& st, Self* self, std::span<const Change> changes, bool peaks) noexcept {
    int64_t deltas[most_changes];
    bool fits = changes.size() <= most_changes;
    for (std::size_t i = 0; fits && i < changes.size(); ++i) {
        deltas[i] = 1;
        fits = changes[i].delta == nullptr || int64_of(changes[i].delta, deltas[i]);
    }
    // A subclass's _update_peaks override runs after the section.
    const bool own_peaks =
        peaks && !capi::overridden(reinterpret_cast<PyObject*>(self), st.LockFreeStatisticsType,
                                   st.names.get<"_update_peaks">());
    bool applied = false;
    if (fits) {
        capi::CriticalSection section(reinterpret_cast<PyObject*>(self));
        Counter* counters[most_changes];
        bool native = true;
        for (std::size_t i = 0; native && i < changes.size(); ++i) {
            native = (counters[i] = exact_at(st, self, changes[i].field)) != nullptr;
        }
        Counter* current = own_peaks ? exact_at(st, self, current_allocations) : nullptr;
        Counter* bytes = own_peaks ? exact_at(st, self, bytes_allocated) : nullptr;
        Counter* peak = own_peaks ? exact_at(st, self, peak_allocations) : nullptr;
        Counter* peak_bytes = own_peaks ? exact_at(st, self, peak_bytes_allocated) : nullptr;
        if (native && (!own_peaks || (current && bytes && peak && peak_bytes))) {
            for (std::size_t i = 0; i < changes.size(); ++i) {
                if (changes[i].op == Step::increment) {
                    counters[i]->_c_increment(deltas[i]);
                } else {
                    counters[i]->_c_decrement(deltas[i]);
                }
            }
            if (own_peaks) {
                // Fresh loads, which may include other threads' changes.
                const int64_t current_allocs = current->_c_load();
                const int64_t current_bytes = bytes->_c_load();
                raise_counter_peak(*peak, current_allocs);
                raise_counter_peak(*peak_bytes, current_bytes);
            }
            applied = true;
        }
    }
    if (applied) return own_peaks || !peaks || record_peaks(st, self);
    for (const Change& change : changes) {
        if (!step(st, self, change.field, change.op, change.delta)) return false;
    }
    return !peaks || record_peaks(st, self);
}

// --- construction and collection --------------------------------------------------

constexpr capi::Signature new_sig("LockFreeStatistics");

PyObject* statistics_new(PyTypeObject* type) noexcept {
    capi::Ref self = capi::Ref::steal(reinterpret_cast<PyObject*>(capi::alloc<Self>(type)));
    if (!self) return nullptr;
    Self* s = reinterpret_cast<Self*>(self.get());
    const State& st = capi::state_of<State>(type);
    s->update_lock = capi::Ref::steal(capi::new_threading_lock(st));
    if (!s->update_lock) return nullptr;
    for (capi::Ref& counter : s->counters) {
        counter = capi::Ref::steal(
            PyObject_CallOneArg(reinterpret_cast<PyObject*>(st.AtomicCounterType), st.zero_int));
        if (!counter) return nullptr;
    }
    return self.release();
}

// --- methods ----------------------------------------------------------------------

constexpr capi::TypedSignature record_allocation_sig("record_allocation",
                                                     capi::Arg<capi::PyInt>{"size"},
                                                     capi::Arg<capi::PyBool>{"is_bucketed", true},
                                                     capi::Arg<capi::PyInt>{"padding", 0},
                                                     capi::Arg<capi::PyInt>{"time_ns", 0});

PyObject* record_allocation(State& st, Self* self, capi::IntValue& size, bool is_bucketed,
                            capi::IntValue& padding, capi::IntValue& time_ns) noexcept {
    Change changes[most_changes] = {
        {total_allocations, Step::increment, nullptr},
        {current_allocations, Step::increment, nullptr},
        {bytes_allocated, Step::increment, size.object()},
        {is_bucketed ? bucketed_allocations : fallback_allocations, Step::increment, nullptr},
    };
    std::size_t count = 4;
    if (padding.positive()) {
        changes[count++] = {alignment_padding_bytes, Step::increment, padding.object()};
    }
    if (time_ns.positive()) {
        changes[count++] = {total_allocation_time_ns, Step::increment, time_ns.object()};
    }
    return apply(st, self, {changes, count}, true) ? capi::new_none() : nullptr;
}

constexpr capi::TypedSignature record_deallocation_sig("record_deallocation",
                                                       capi::Arg<capi::PyInt>{"size"},
                                                       capi::Arg<capi::PyInt>{"time_ns", 0});

PyObject* record_deallocation(State& st, Self* self, capi::IntValue& size,
                              capi::IntValue& time_ns) noexcept {
    Change changes[4] = {
        {total_deallocations, Step::increment, nullptr},
        {current_allocations, Step::decrement, nullptr},
        {bytes_allocated, Step::decrement, size.object()},
    };
    std::size_t count = 3;
    if (time_ns.positive()) {
        changes[count++] = {total_deallocation_time_ns, Step::increment, time_ns.object()};
    }
    return apply(st, self, {changes, count}, false) ? capi::new_none() : nullptr;
}

constexpr capi::TypedSignature py_record_allocation_sig("py_record_allocation",
                                                        capi::Arg<capi::PyInt>{"size"},
                                                        capi::Arg<capi::PyBool>{"is_bucketed"},
                                                        capi::Arg<capi::PyInt>{"padding", 0},
                                                        capi::Arg<capi::PyInt>{"time_ns", 0});

// `is_bucketed` is taken (its truth value tested) but changes no public counter.
PyObject* py_record_allocation(State& st, Self* self, capi::IntValue& size, bool,
                               capi::IntValue& padding, capi::IntValue& time_ns) noexcept {
    // The arguments must fit 64 bits (OverflowError before any change).
    int64_t size_value, padding_value, time_value;
    if (!size.as<int64_t>(size_value) || !padding.as<int64_t>(padding_value) ||
        !time_ns.as<int64_t>(time_value)) {
        return nullptr;
    }
    const Change changes[] = {
        {total_allocations, Step::increment, nullptr},
        {current_allocations, Step::increment, nullptr},
        {bytes_allocated, Step::increment, size.object()},
    };
    return apply(st, self, changes, false) ? capi::new_none() : nullptr;
}

constexpr capi::TypedSignature py_record_deallocation_sig("py_record_deallocation",
                                                          record_deallocation_sig);

PyObject* py_record_deallocation(State& st, Self* self, capi::IntValue& size,
                                 capi::IntValue& time_ns) noexcept {
    // The arguments must fit 64 bits (OverflowError before any change).
    int64_t size_value, time_value;
    if (!size.as<int64_t>(size_value) || !time_ns.as<int64_t>(time_value)) {
        return nullptr;
    }
    const Change changes[] = {
        {total_deallocations, Step::increment, nullptr},
        {current_allocations, Step::decrement, nullptr},
        {bytes_allocated, Step::decrement, size.object()},
    };
    return apply(st, self, changes, false) ? capi::new_none() : nullptr;
}

constexpr capi::TypedSignature update_peaks_sig("_update_peaks",
                                                capi::Arg<capi::PyInt>{"current_allocs"},
                                                capi::Arg<capi::PyInt>{"current_bytes"});

PyObject* update_peaks_method(State& st, Self* self, capi::IntValue& current_allocs,
                              capi::IntValue& current_bytes) noexcept {
    if (!update_peaks(st, self, current_allocs.object(), current_bytes.object())) {
        return nullptr;
    }
    return capi::new_none();
}

// Largest magnitude for which int / int and double / double agree.
constexpr int64_t exact_double_limit = int64_t{1} << 53;

bool fits_double(int64_t value) noexcept {
    return value <= exact_double_limit && value >= -exact_double_limit;
}

// `numerator / denominator` (true division), times 100.0 for a percentage,
// when denominator > 0, else 0.0, on the loaded values. `native` holds the
// native values {numerator, denominator} when both counters were plain
// AtomicCounters, and is null otherwise.
PyObject* guarded_ratio(const State& st, PyObject* numerator, PyObject* denominator,
                        const int64_t* native, bool percent) noexcept {
    if (native) {
        if (native[1] <= 0) return Py_NewRef(st.zero_float);
        if (fits_double(native[0]) && fits_double(native[1])) {
            // Both exactly representable: this is the division int / int performs.
            double ratio = static_cast<double>(native[0]) / static_cast<double>(native[1]);
            if (percent) ratio *= 100.0;
            return PyFloat_FromDouble(ratio);
        }
    } else {
        const int positive_total = PyObject_RichCompareBool(denominator, st.zero_int, Py_GT);
        if (positive_total < 0) return nullptr;
        if (positive_total == 0) return Py_NewRef(st.zero_float);
    }
    capi::Ref ratio = capi::Ref::steal(PyNumber_TrueDivide(numerator, denominator));
    if (!ratio || !percent) return ratio.release();
    return PyNumber_Multiply(ratio.get(), st.hundred);
}

// format(ratio, ".1f") + "%".
PyObject* ratio_text(const State& st, PyObject* ratio) noexcept {
    if (PyFloat_CheckExact(ratio)) {
        char buffer[24];
        const std::size_t length = format_one_decimal(PyFloat_AS_DOUBLE(ratio), '%', buffer);
        if (length != 0) {
            return PyUnicode_FromStringAndSize(buffer, static_cast<Py_ssize_t>(length));
        }
        return capi::percent_text(PyFloat_AS_DOUBLE(ratio));
    }
    capi::Ref formatted = capi::Ref::steal(PyObject_Format(ratio, st.names.get<".1f">()));
    if (!formatted) return nullptr;
    return PyUnicode_Concat(formatted.get(), st.names.get<"%">());
}

constexpr capi::Signature snapshot_sig("get_snapshot");
PyObject* get_snapshot(State& st, Self* self) noexcept {
    capi::Ref values[stat_field_count];
    int64_t native[stat_field_count];
    bool is_native[stat_field_count] = {};
    {
        // All twelve loaded in one critical section when all are plain
        // AtomicCounters (as if read one after another with nothing rebound
        // in between), else one by one below.
        capi::CriticalSection section(reinterpret_cast<PyObject*>(self));
        Counter* counters[stat_field_count];
        bool all = true;
        for (int f = 0; all && f < stat_field_count; ++f) {
            all = (counters[f] = exact_at(st, self, static_cast<StatField>(f))) != nullptr;
        }
        for (int f = 0; all && f < stat_field_count; ++f) {
            native[f] = counters[f]->_c_load();
            is_native[f] = true;
        }
    }
    for (int f = 0; f < stat_field_count; ++f) {
        capi::Ref obj;
        if (!is_native[f]) {
            obj = native_or_counter(st, self, static_cast<StatField>(f),
                                    [&](Counter& counter) noexcept {
                                        native[f] = counter._c_load();
                                        return true;
                                    });
            is_native[f] = !obj;
        }
        values[f] = capi::Ref::steal(obj ? capi::call_method(obj.get(), st.names.get<"load">())
                                         : PyLong_FromLongLong(native[f]));
        if (!values[f]) return nullptr;
    }
    // Ratio pairs: {numerator, denominator}.
    auto pair = [&](StatField n, StatField d, int64_t* out) -> const int64_t* {
        if (!is_native[n] || !is_native[d]) return nullptr;
        out[0] = native[n];
        out[1] = native[d];
        return out;
    };
    int64_t buffer[2];
    capi::Ref ratio = capi::Ref::steal(
        guarded_ratio(st, values[bucketed_allocations].get(), values[total_allocations].get(),
                      pair(bucketed_allocations, total_allocations, buffer), true));
    if (!ratio) return nullptr;
    capi::Ref text = capi::Ref::steal(ratio_text(st, ratio.get()));
    if (!text) return nullptr;
    capi::Ref average_allocation = capi::Ref::steal(
        guarded_ratio(st, values[total_allocation_time_ns].get(), values[total_allocations].get(),
                      pair(total_allocation_time_ns, total_allocations, buffer), false));
    if (!average_allocation) return nullptr;
    capi::Ref average_deallocation = capi::Ref::steal(guarded_ratio(
        st, values[total_deallocation_time_ns].get(), values[total_deallocations].get(),
        pair(total_deallocation_time_ns, total_deallocations, buffer), false));
    if (!average_deallocation) return nullptr;

    PyObject* const entries[snapshot_size] = {
        values[total_allocations].get(),
        values[total_deallocations].get(),
        values[current_allocations].get(),
        values[bytes_allocated].get(),
        values[bytes_reserved].get(),
        values[peak_allocations].get(),
        values[peak_bytes_allocated].get(),
        values[bucketed_allocations].get(),
        values[fallback_allocations].get(),
        text.get(),
        values[alignment_padding_bytes].get(),
        average_allocation.get(),
        average_deallocation.get(),
        st.names.get<"lock-free C11 atomics">(),
    };
    // Copying a dict that already holds the keys in order reuses its key
    // table, which is much cheaper than inserting into an empty one.
    capi::Ref dict = capi::Ref::steal(PyDict_Copy(st.snapshot_template));
    if (!dict || !set_snapshot_entries(st, dict.get(), entries)) return nullptr;
    return dict.release();
}

constexpr capi::Signature reset_sig("reset");
PyObject* reset(State& st, Self* self) noexcept {
    capi::LockGuard guard;
    if (!guard.acquire(self->update_lock.get())) return nullptr;
    // The one place this type runs Python code under its lock: the counters
    // are zeroed inside it, so that resets stay serialised. For the AtomicCounters the constructor
    // makes this is a native store; a replaced counter's store() runs here,
    // and one that calls reset() on the same instance waits for itself, as
    // the same code written in Python would.
    for (int f = 0; f < stat_field_count; ++f) {
        if (!store_zero(st, self, static_cast<StatField>(f))) return nullptr;
    }
    guard.release();
    return capi::new_none();
}

const capi::FunctionDef methods[] = {
    capi::method<record_allocation, record_allocation_sig>(
        "Record an allocation event.\n\n"
        "Args:\n"
        "    size: Size of allocation in bytes\n"
        "    is_bucketed: Whether allocation came from bucketed pool\n"
        "    padding: Alignment padding bytes used\n"
        "    time_ns: Time taken for allocation in nanoseconds"),
    capi::method<record_deallocation, record_deallocation_sig>(
        "Record a deallocation event.\n\n"
        "Args:\n"
        "    size: Size of deallocation in bytes\n"
        "    time_ns: Time taken for deallocation in nanoseconds"),
    capi::method<py_record_allocation, py_record_allocation_sig>(
        "Record allocation event.\n\n"
        "Updates both internal atomics and public AtomicCounter instances."),
    capi::method<py_record_deallocation, py_record_deallocation_sig>(
        "Record deallocation event.\n\n"
        "Updates both internal atomics and public AtomicCounter instances."),
    capi::method<update_peaks_method, update_peaks_sig>(
        "Update peak values using compare-and-swap."),
    capi::method<get_snapshot, snapshot_sig>("Get atomic snapshot of statistics.", "dict"),
    capi::method<reset, reset_sig>("Reset all statistics to zero."),
};

// The public counter attributes: any object may be set; deleting one sets it
// to null, which reads as None. The setter replaces the field inside a
// critical section on the instance (replace_shared), which every reader takes
// too, and drops the old reference only after leaving it: the drop may run a
// destructor, which then finds the new counter in place.
PyObject* get_counter(PyObject* self, void* field) noexcept {
    return counter_at(reinterpret_cast<Self*>(self),
                      static_cast<StatField>(reinterpret_cast<intptr_t>(field)))
        .release();
}

int set_counter(PyObject* self, PyObject* value, void* field) noexcept {
    capi::Ref& slot = reinterpret_cast<Self*>(self)->counters[reinterpret_cast<intptr_t>(field)];
    capi::replace_shared(self, slot, capi::Ref::borrow(value));
    return 0;
}

#define COUNTER_ATTRIBUTE(name)                \
    {#name, get_counter, set_counter, nullptr, \
     reinterpret_cast<void*>(static_cast<intptr_t>(StatField::name))}

PyGetSetDef getset[] = {
    COUNTER_ATTRIBUTE(total_allocations),
    COUNTER_ATTRIBUTE(total_deallocations),
    COUNTER_ATTRIBUTE(current_allocations),
    COUNTER_ATTRIBUTE(bytes_allocated),
    COUNTER_ATTRIBUTE(bytes_reserved),
    COUNTER_ATTRIBUTE(peak_allocations),
    COUNTER_ATTRIBUTE(peak_bytes_allocated),
    COUNTER_ATTRIBUTE(bucketed_allocations),
    COUNTER_ATTRIBUTE(fallback_allocations),
    COUNTER_ATTRIBUTE(alignment_padding_bytes),
    COUNTER_ATTRIBUTE(total_allocation_time_ns),
    COUNTER_ATTRIBUTE(total_deallocation_time_ns),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef COUNTER_ATTRIBUTE

}  // namespace

bool add_lock_free_statistics(PyObject* module, State& st) noexcept {
    PyObject* nones[snapshot_size];
    std::fill(std::begin(nones), std::end(nones), Py_None);
    capi::Ref keys = capi::Ref::steal(PyDict_New());
    if (!keys || !set_snapshot_entries(st, keys.get(), nones)) return false;
    st.snapshot_template = keys.release();
    if ((st.zero_int = PyLong_FromLong(0)) == nullptr ||
        (st.zero_float = PyFloat_FromDouble(0.0)) == nullptr ||
        (st.hundred = PyFloat_FromDouble(100.0)) == nullptr) {
        return false;
    }
    st.LockFreeStatisticsType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.memory.lockless.LockFreeStatistics",
            .doc = "Lock-free statistics collection using atomic counters.\n\n"
                   "Each statistic is a public AtomicCounter attribute; recording calls\n"
                   "change them without any lock, and peaks are raised by compare-and-swap.\n"
                   "A small lock serialises reset().\n\n"
                   "Performance targets:\n"
                   "    record_allocation(): < 100ns (vs 2-3\xce\xbcs with locks)\n"
                   "    get_snapshot(): < 500ns\n",
            .constructor = capi::constructor<statistics_new, new_sig>(),
            .methods = methods,
            .getset = getset,
        });
    return st.LockFreeStatisticsType != nullptr;
}

}  // namespace lockless
