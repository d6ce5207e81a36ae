// lumetra.monitoring.statcounters: running-statistics counters for monitoring.
//
// Import order: `import threading`, the CounterAggregator type, then the
// create_aggregator function. No logger, no banner.
#include "capi/capi.hpp"
#include "statcounters.hpp"

namespace statcounters {

namespace {

bool exec(PyObject* module, State& st) noexcept {
    return capi::import_module(module, "threading") && st.names.init() &&
           add_counter_aggregator(module, st) && add_functions(module, st);
}

}  // namespace

PyModuleDef State::definition = capi::module_def<State, exec>(
    "lumetra.monitoring.statcounters",
    "Running-statistics counters for the package's monitoring.\n\n"
    "CounterAggregator keeps a fixed array of numbered counters, each with its\n"
    "count, mean, variance, standard deviation, minimum and maximum; one\n"
    "threading.Lock per aggregator serialises every access.\n");

}  // namespace statcounters

PyMODINIT_FUNC PyInit_statcounters() { return PyModuleDef_Init(&statcounters::State::definition); }
