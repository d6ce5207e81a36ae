// lumetra.monitoring.statcounters: running-statistics counters for monitoring.
//
// Import order: `import threading`, the CounterAggregator type, then the
// create_aggregator function. No logger, no banner.
#include "capi/capi.hpp"
#include "statcounters.hpp"

namespace {

bool init(PyObject* module) noexcept {
    return capi::import_module(module, "threading") &&
           statcounters::add_counter_aggregator(module) && statcounters::add_functions(module);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumetra.monitoring.statcounters",
    "Running-statistics counters for the package's monitoring.\n\n"
    "CounterAggregator keeps a fixed array of numbered counters, each with its\n"
    "count, mean, variance, standard deviation, minimum and maximum; one\n"
    "threading.Lock per aggregator serialises every access.\n",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_statcounters() { return capi::create_module(&module_def, init); }
