// Binding of AtomicCounter: argument conversion around lockless::Counter.
//
// The methods do not release the interpreter lock around the atomic
// instruction: one fetch-and-add costs far less than releasing and re-taking
// the lock, and releasing it would hand the lock to a waiting thread on every
// call. The counter itself never relies on the interpreter lock.
#include <new>

#include "capi/capi.hpp"
#include "lockless.hpp"

namespace lockless {

namespace {

using Self = AtomicCounterObject;

constexpr capi::TypedSignature new_sig("AtomicCounter", capi::Arg<int64_t>{"initial_value", 0});

PyObject* counter_new(PyTypeObject* type, int64_t initial_value) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Self*>(self)->counter) Counter(initial_value);
    return self;
}

constexpr capi::Signature load_sig("load");
int64_t load(Self* self) noexcept { return self->counter._c_load(); }

constexpr capi::TypedSignature store_sig("store", capi::Arg<int64_t>{"value"});
void store(Self* self, int64_t value) noexcept { self->counter._c_store(value); }

// increment, decrement and fetch_and_add share one shape: an optional or
// required delta, one atomic operation, an int result.
template <int64_t (Counter::*Op)(int64_t) noexcept>
int64_t delta_op(Self* self, int64_t delta) noexcept {
    return (self->counter.*Op)(delta);
}

constexpr capi::TypedSignature increment_sig("increment", capi::Arg<int64_t>{"delta", 1});
constexpr capi::TypedSignature decrement_sig("decrement", increment_sig);
constexpr capi::TypedSignature fetch_and_add_sig("fetch_and_add", capi::Arg<int64_t>{"delta"});

constexpr capi::TypedSignature cas_sig("compare_and_swap", capi::Arg<int64_t>{"expected"},
                                       capi::Arg<int64_t>{"new_value"});
bool compare_and_swap(Self* self, int64_t expected, int64_t new_value) noexcept {
    return self->counter._c_compare_and_swap(expected, new_value);
}

const capi::FunctionDef methods[] = {
    capi::method<load, load_sig>("Atomically load value.", "int"),
    capi::method<store, store_sig>("Atomically store value."),
    capi::method<delta_op<&Counter::_c_increment>, increment_sig>(
        "Atomically increment and return new value.", "int"),
    capi::method<delta_op<&Counter::_c_decrement>, decrement_sig>(
        "Atomically decrement and return new value.", "int"),
    capi::method<compare_and_swap, cas_sig>("Atomically compare and swap.", "bool"),
    capi::method<delta_op<&Counter::_c_fetch_and_add>, fetch_and_add_sig>(
        "Atomically fetch and add.", "int"),
};

}  // namespace

bool add_atomic_counter(PyObject* module, State& st) noexcept {
    st.AtomicCounterType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.memory.lockless.AtomicCounter",
            .doc = "Lock-free signed 64-bit counter built on hardware atomic instructions.\n\n"
                   "Every operation is a single sequentially consistent atomic access; no\n"
                   "lock is taken and arithmetic wraps modulo 2**64.\n\n"
                   "Performance targets:\n"
                   "    increment(): < 30ns (20x faster than a Python lock)\n"
                   "    load(): < 10ns (10x faster than plain Python)\n"
                   "    compare_and_swap(): < 50ns (10x faster than plain Python)\n",
            .constructor = capi::constructor<counter_new, new_sig>(),
            .methods = methods,
        });
    return st.AtomicCounterType != nullptr;
}

bool add_atomic_counter_aliases(State& st) noexcept {
    return capi::add_aliases(st.AtomicCounterType, {
                                                       {"py_load", "load"},
                                                       {"py_store", "store"},
                                                       {"py_increment", "increment"},
                                                       {"py_decrement", "decrement"},
                                                       {"py_compare_and_swap", "compare_and_swap"},
                                                       {"py_fetch_and_add", "fetch_and_add"},
                                                   });
}

}  // namespace lockless
