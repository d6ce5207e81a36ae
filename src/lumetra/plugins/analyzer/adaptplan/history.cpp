// The detection functions over recent history: performance degradation and
// trend over (timestamp, metric) samples, workload-characteristics change over
// pattern dicts, and the dominant pattern label of a window.
//
// Lists are read by position, each entry taken as a strong reference with its
// bound re-checked (see adaptplan.hpp). Dicts and values are held by strong
// references while Python code (`__add__`, `__float__`, key comparisons) may
// run.
#include <cstddef>
#include <cstring>

#include "adaptplan.hpp"

namespace adaptplan {

// --- native entries ---------------------------------------------------------------

int detect_performance_degradation(PyObject* performance_history, double baseline_performance,
                                   double threshold, double window_start_time) noexcept {
    if (performance_history == Py_None) return 0;
    const Py_ssize_t n = PyList_GET_SIZE(performance_history);
    if (n == 0 || baseline_performance <= 0) return 0;
    if (n < min_degradation_samples) return 0;
    WindowAverage window;
    // Every sample is unpacked and converted, also those outside the window.
    for (Py_ssize_t i = 0; i < n; ++i) {
        capi::Ref sample;
        double timestamp, metric;
        if (!list_item(performance_history, i, sample) ||
            !unpack_pair(sample.get(), timestamp, metric)) {
            return -1;
        }
        window.add(timestamp, metric, window_start_time);
    }
    return window.degraded(baseline_performance, threshold);
}

double calculate_performance_trend(PyObject* performance_history,
                                   double window_start_time) noexcept {
    if (performance_history == Py_None) return 0.0;
    const Py_ssize_t n = PyList_GET_SIZE(performance_history);
    if (n < min_trend_samples) return 0.0;
    TrendFit fit;
    for (Py_ssize_t i = 0; i < n; ++i) {
        capi::Ref sample;
        double timestamp, metric;
        if (!list_item(performance_history, i, sample) ||
            !unpack_pair(sample.get(), timestamp, metric)) {
            return -1.0;
        }
        fit.add(timestamp, metric, window_start_time);
    }
    return fit.relative_slope();
}

namespace {

// accumulator = float(accumulator + value), as Python adds a float and the
// value. Exact floats and ints are added natively with the same result (an int
// is converted to double exactly as float addition converts it).
bool add_characteristic(double& accumulator, PyObject* value) noexcept {
    if (PyFloat_CheckExact(value)) {
        accumulator += PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_CheckExact(value) || PyBool_Check(value)) {
        const double addend = PyLong_AsDouble(value);
        if (addend == -1.0 && PyErr_Occurred()) return false;
        accumulator += addend;
        return true;
    }
    capi::Ref left = capi::Ref::steal(PyFloat_FromDouble(accumulator));
    if (!left) return false;
    capi::Ref sum = capi::Ref::steal(PyNumber_Add(left.get(), value));
    return sum && capi::to_double(sum.get(), accumulator);
}

// Adds entry's three characteristics to sums[0..3).
bool add_characteristics(const State& st, PyObject* entry, double sums[3]) noexcept {
    const auto keys = st.characteristic_keys();
    for (int k = 0; k < 3; ++k) {
        PyObject* key = keys[k];
        // Looked up again for each addition: an earlier `__add__` may have
        // changed the dict. The value is held while it is added, which may
        // run its own `__radd__`, and another thread may replace it.
        PyObject* found = nullptr;
        const int present = capi::internals::dict_get_ref(entry, key, &found);
        capi::Ref value = capi::Ref::steal(found);
        if (present <= 0) {
            if (present == 0) PyErr_SetObject(PyExc_KeyError, key);
            return false;
        }
        if (!add_characteristic(sums[k], value.get())) return false;
    }
    return true;
}

}  // namespace

PyObject* detect_workload_characteristics_change(const State& st, PyObject* pattern_history,
                                                 double change_threshold) noexcept {
    if (pattern_history == Py_None) return raise_none_has_no_len();
    const Py_ssize_t n = PyList_GET_SIZE(pattern_history);
    if (n < 6) return Py_NewRef(st.neutral_change);

    // The last six entries, oldest first, held for the sums below.
    capi::Ref entries[6];
    for (Py_ssize_t k = 0; k < 6; ++k) {
        if (!list_item(pattern_history, n - 6 + k, entries[k])) return nullptr;
        PyObject* entry = entries[k].get();
        if (entry == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
            return nullptr;
        }
        if (!PyDict_CheckExact(entry)) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                         Py_TYPE(entry)->tp_name);
            return nullptr;
        }
        for (PyObject* key : st.characteristic_keys()) {
            // A key with a colliding hash may run its `__eq__` here.
            const int found = PyDict_Contains(entry, key);
            if (found < 0) return nullptr;
            if (found == 0) return Py_NewRef(st.neutral_change);
        }
    }

    double recent[3] = {0.0, 0.0, 0.0};
    double older[3] = {0.0, 0.0, 0.0};
    for (int k = 3; k < 6; ++k) {
        if (!add_characteristics(st, entries[k].get(), recent)) return nullptr;
    }
    for (int k = 0; k < 3; ++k) {
        if (!add_characteristics(st, entries[k].get(), older)) return nullptr;
    }
    const CharacteristicsChange c = characteristics_change(recent, older, change_threshold);
    return Py_BuildValue("(Oddd)", c.changed ? Py_True : Py_False, c.parallel_change, c.cpu_change,
                         c.memory_change);
}

namespace {

// Counts of the labels of a window in first-occurrence order. Labels are exact
// `str` or None: hashing and comparing them runs no Python code and allocates
// no Python object, so the labels are borrowed from the list, which the caller
// keeps unchanged while they are counted.
//
// The first few distinct labels live in the counter itself; more go to memory
// from the interpreter's allocator, found through an open-addressing index of
// their positions once a linear scan would be slow. Every allocation that fails
// is reported as MemoryError.
class LabelCounter {
public:
    LabelCounter() noexcept = default;
    LabelCounter(const LabelCounter&) = delete;
    LabelCounter& operator=(const LabelCounter&) = delete;
    ~LabelCounter() {
        if (labels_ != inline_labels_) PyMem_Free(labels_);
        PyMem_Free(index_);
    }

    // False with MemoryError set when more memory cannot be had.
    bool add(PyObject* label) noexcept {
        const Py_hash_t hash = label_hash(label);
        const std::size_t found = find(label, hash);
        if (found != npos) {
            ++labels_[found].count;
            return true;
        }
        if (size_ == capacity_ && !grow()) return false;
        labels_[size_++] = {label, hash, 1};
        if (index_ != nullptr) {
            if (2 * size_ > index_mask_ + 1) return rebuild_index(2 * (index_mask_ + 1));
            insert_index(size_ - 1);
        } else if (size_ > linear_limit) {
            // Many distinct labels: switch from a linear scan to the index.
            return rebuild_index(4 * linear_limit);
        }
        return true;
    }

    // The first label with the strictly highest count, or null when empty.
    PyObject* dominant() const noexcept {
        PyObject* best = nullptr;
        int64_t max_count = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            if (labels_[i].count > max_count) {
                max_count = labels_[i].count;
                best = labels_[i].label;
            }
        }
        return best;
    }

private:
    struct LabelCount {
        PyObject* label;
        Py_hash_t hash;
        int64_t count;
    };
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::size_t linear_limit = 16;

    static Py_hash_t label_hash(PyObject* label) noexcept {
        // A str caches its hash; None hashes by identity. Neither can fail.
        return label == Py_None ? 0 : PyObject_Hash(label);
    }

    std::size_t find(PyObject* label, Py_hash_t hash) const noexcept {
        if (index_ == nullptr) {
            for (std::size_t i = 0; i < size_; ++i) {
                if (labels_[i].hash == hash && same_label(labels_[i].label, label)) return i;
            }
            return npos;
        }
        // Slots hold a position + 1; 0 is a free slot, which ends the probe.
        for (std::size_t slot = static_cast<std::size_t>(hash) & index_mask_;;
             slot = (slot + 1) & index_mask_) {
            const std::size_t entry = index_[slot];
            if (entry == 0) return npos;
            const LabelCount& l = labels_[entry - 1];
            if (l.hash == hash && same_label(l.label, label)) return entry - 1;
        }
    }

    bool grow() noexcept {
        const std::size_t capacity = 2 * capacity_;
        auto* labels = PyMem_New(LabelCount, capacity);
        if (labels == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(labels, labels_, size_ * sizeof(LabelCount));
        if (labels_ != inline_labels_) PyMem_Free(labels_);
        labels_ = labels;
        capacity_ = capacity;
        return true;
    }

    // A fresh index of `slots` slots (a power of two, at least twice the count).
    bool rebuild_index(std::size_t slots) noexcept {
        auto* index = static_cast<std::size_t*>(PyMem_Calloc(slots, sizeof(std::size_t)));
        if (index == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        PyMem_Free(index_);
        index_ = index;
        index_mask_ = slots - 1;
        for (std::size_t i = 0; i < size_; ++i) insert_index(i);
        return true;
    }

    void insert_index(std::size_t position) noexcept {
        std::size_t slot = static_cast<std::size_t>(labels_[position].hash) & index_mask_;
        while (index_[slot] != 0) slot = (slot + 1) & index_mask_;
        index_[slot] = position + 1;
    }

    LabelCount inline_labels_[linear_limit];
    LabelCount* labels_ = inline_labels_;
    std::size_t size_ = 0;
    std::size_t capacity_ = linear_limit;
    std::size_t* index_ = nullptr;  // null while the labels are few
    std::size_t index_mask_ = 0;    // slots - 1
};

}  // namespace

PyObject* detect_dominant_pattern(const State& st, PyObject* patterns,
                                  int32_t window_size) noexcept {
    if (patterns == Py_None) return raise_none_has_no_len();
    // Counting runs no Python code and never blocks (see LabelCounter), so a
    // critical section on the list keeps every other thread from changing it
    // until the result holds its own reference. On failure only the error is
    // made in it, and nothing borrowed is used after that.
    capi::CriticalSection section(patterns);
    const Py_ssize_t n = PyList_GET_SIZE(patterns);
    if (n == 0) return Py_NewRef(st.names.get<"mixed">());
    const int64_t start = window_start(n, window_size);
    LabelCounter counter;
    for (int64_t i = start; i < n; ++i) {
        PyObject* label = PyList_GET_ITEM(patterns, i);
        if (label != Py_None && !PyUnicode_CheckExact(label)) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                         Py_TYPE(label)->tp_name);
            return nullptr;
        }
        if (!counter.add(label)) return nullptr;
    }
    PyObject* dominant = counter.dominant();
    return Py_NewRef(dominant != nullptr ? dominant : st.names.get<"mixed">());
}

// --- Python functions -------------------------------------------------------------

namespace {

// Numbers are converted first and exact-type parameters checked after them, so
// that a call with several bad arguments reports the same one every time.
using capi::Arg;
using capi::PyFloat;
using List = capi::Last<capi::PyList>;

constexpr capi::TypedSignature degradation_sig("detect_performance_degradation",
                                               Arg<List>{"performance_history"},
                                               Arg<PyFloat>{"baseline_performance"},
                                               Arg<PyFloat>{"threshold"},
                                               Arg<PyFloat>{"window_start_time"});

PyObject* py_detect_performance_degradation(PyObject* history, double baseline_performance,
                                            double threshold, double window_start_time) noexcept {
    const int result =
        detect_performance_degradation(history, baseline_performance, threshold, window_start_time);
    return result < 0 ? nullptr : capi::new_bool(result);
}

constexpr capi::TypedSignature trend_sig("calculate_performance_trend",
                                         Arg<List>{"performance_history"},
                                         Arg<PyFloat>{"window_start_time"});

PyObject* py_calculate_performance_trend(PyObject* history, double window_start_time) noexcept {
    const double result = calculate_performance_trend(history, window_start_time);
    if (result == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(result);
}

constexpr capi::TypedSignature change_sig("detect_workload_characteristics_change",
                                          Arg<List>{"pattern_history"},
                                          Arg<PyFloat>{"change_threshold", 0.3});

constexpr capi::TypedSignature dominant_sig("detect_dominant_pattern", Arg<List>{"patterns"},
                                            Arg<capi::CInt>{"window_size", 5});

// The docstrings' "IP-PROTECTED: " topic lines are kept as written: callers match them.
const capi::FunctionDef functions[] = {
    capi::function<py_detect_performance_degradation, degradation_sig>(
        "Detect if performance has degraded significantly.\n"
        "\n"
        "IP-PROTECTED: Core performance degradation detection algorithm.\n"
        "\n"
        "Args:\n"
        "    performance_history: List of (timestamp, metric) tuples\n"
        "    baseline_performance: Baseline performance value\n"
        "    threshold: Degradation threshold (e.g., 0.15 for 15%)\n"
        "    window_start_time: Only consider samples at or after this time\n"
        "\n"
        "Returns:\n"
        "    True if the recent average fell below the baseline by more than threshold\n",
        "bool"),
    capi::function<py_calculate_performance_trend, trend_sig>(
        "Calculate performance trend over a time window.\n"
        "\n"
        "IP-PROTECTED: Performance trend analysis algorithm.\n"
        "\n"
        "Args:\n"
        "    performance_history: List of (timestamp, metric) tuples\n"
        "    window_start_time: Only consider samples at or after this time\n"
        "\n"
        "Returns:\n"
        "    Trend coefficient (-1.0 to 1.0, negative = declining)\n",
        "float"),
    capi::function<detect_workload_characteristics_change, change_sig>(
        "Detect significant changes in workload characteristics.\n"
        "\n"
        "IP-PROTECTED: Workload pattern shift detection algorithm.\n"
        "\n"
        "Args:\n"
        "    pattern_history: List of workload pattern dicts\n"
        "    change_threshold: Threshold for a significant change (0-1)\n"
        "\n"
        "Returns:\n"
        "    Tuple of (changed, parallel_change, cpu_change, memory_change)\n",
        "tuple"),
    capi::function<detect_dominant_pattern, dominant_sig>(
        "Detect the dominant pattern in a list of pattern names.\n"
        "\n"
        "IP-PROTECTED: Pattern frequency analysis.\n"
        "\n"
        "Args:\n"
        "    patterns: List of pattern names\n"
        "    window_size: Number of most recent patterns to consider\n"
        "\n"
        "Returns:\n"
        "    The most frequent pattern name in the window (the first seen on a tie),\n"
        "    or 'mixed' if the window is empty\n",
        "str"),
};

}  // namespace

std::span<const capi::FunctionDef> history_functions() noexcept { return functions; }

}  // namespace adaptplan
