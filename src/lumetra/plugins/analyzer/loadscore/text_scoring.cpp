// Native entries that work on Python text: the regular-expression score, the
// indicator scans and the compute-capability parse.
//
// The compiled patterns and `str.lower` are Python objects of the module's
// state (loadscore.hpp). The one-pass matchers of the indicator lists hold no
// Python object, so every interpreter shares them: the first execution of the
// module in the process builds them, under `scorers_mutex` because
// interpreters with their own GIL may execute it at the same time, and they
// are only read afterwards, by any thread, without a lock. A build that fails
// is retried by the next import.
//
// Lower-casing is always `str.lower` (full Unicode case mapping, which can turn
// non-ASCII characters into ASCII ones) and matching is always `re`.
#include <atomic>
#include <mutex>
#include <optional>

#include "capi/capi.hpp"
#include "indicators.hpp"
#include "loadscore.hpp"

namespace loadscore {

namespace {

std::optional<IndicatorScorer> indicator_scorer;
std::optional<FrameworkScorer> framework_scorer;
std::mutex scorers_mutex;
// Set (release) only after both scorers are built, and tested (acquire)
// before either is used without the mutex: on a weakly ordered machine a
// thread that sees `true` would otherwise be free to see the tables half
// written. Scans that run without the interpreter lock read only these
// tables, which never change once built, and the caller's immutable text.
std::atomic<bool> scorers_built{false};

// Texts at least this long are scanned with the thread detached from the
// interpreter (Py_BEGIN_ALLOW_THREADS: the GIL released where there is one,
// and without one a collection's stop-the-world pause need not wait for the
// scan): the scan then takes tens of microseconds and reads only the text,
// which is immutable and which the caller holds a reference to throughout
// (the lower-cased copy), and the read-only automaton. It touches no Python
// object and nothing another thread writes.
constexpr Py_ssize_t release_lock_length = Py_ssize_t{1} << 16;

// Python's `text.lower()`: the same TypeError as the method for None or any
// other non-str. Returns a new reference or null.
capi::Ref lower(const State& st, PyObject* text) noexcept {
    return capi::Ref::steal(PyObject_Vectorcall(st.str_lower, &text, 1, nullptr));
}

template <std::size_t Words, typename CodeUnit>
void scan_units(const SubstringSet<Words>& matcher, const void* data, Py_ssize_t length,
                typename SubstringSet<Words>::Mask& found) noexcept {
    const auto* units = static_cast<const CodeUnit*>(data);
    const auto count = static_cast<std::size_t>(length);
    if (length < release_lock_length) {
        matcher.scan(units, count, found);
        return;
    }
    Py_BEGIN_ALLOW_THREADS matcher.scan(units, count, found);
    Py_END_ALLOW_THREADS
}

// Scans the code units of a lower-cased `str` (as str.lower returns it).
template <std::size_t Words>
bool scan_text(const SubstringSet<Words>& matcher, PyObject* text,
               typename SubstringSet<Words>::Mask& found) noexcept {
    if (PyUnicode_READY(text) < 0) return false;
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            scan_units<Words, Py_UCS1>(matcher, data, length, found);
            break;
        case PyUnicode_2BYTE_KIND:
            scan_units<Words, Py_UCS2>(matcher, data, length, found);
            break;
        default:
            scan_units<Words, Py_UCS4>(matcher, data, length, found);
            break;
    }
    return true;
}

// Factor of a non-empty capability text: 1.0 when the text before its first
// "." is not an integer for `int()`, else the factor of that major version.
// Returns -1.0 with an error set on failure.
double factor_of_capability_text(PyObject* text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t dot = PyUnicode_FindChar(text, '.', 0, length, 1);
    if (dot == -2) return -1.0;
    const Py_ssize_t end = dot < 0 ? length : dot;
    // The usual form, one to nine ASCII digits, is read directly: it is what
    // int() gives for it and it fits in 32 bits.
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND && end > 0 && end <= 9) {
        const Py_UCS1* digits = PyUnicode_1BYTE_DATA(text);
        std::int32_t major = 0;
        Py_ssize_t i = 0;
        for (; i < end && digits[i] >= '0' && digits[i] <= '9'; ++i) {
            major = major * 10 + (digits[i] - '0');
        }
        if (i == end) return capability_factor(major);
    }
    // Everything else goes through int() itself: blanks, a sign, underscores
    // between digits and non-ASCII decimal digits are accepted as it accepts
    // them, and what it rejects with ValueError gives the neutral factor.
    capi::Ref part = capi::Ref::steal(PyUnicode_Substring(text, 0, end));
    if (!part) return -1.0;
    capi::Ref major_obj = capi::Ref::steal(PyLong_FromUnicodeObject(part.get(), 10));
    if (!major_obj) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_IndexError)) {
            return -1.0;
        }
        PyErr_Clear();
        return 1.0;
    }
    std::int32_t major;
    if (!capi::to_int(major_obj.get(), major)) return -1.0;
    return capability_factor(major);
}

// Builds the indicator matchers unless an earlier import did.
bool build_scorers() noexcept {
    if (scorers_built.load(std::memory_order_acquire)) return true;
    // The Python error is set after the mutex is released: setting it
    // allocates, and an allocation can run a finalizer that imports the
    // module afresh.
    const char* error;
    {
        std::lock_guard<std::mutex> guard(scorers_mutex);
        if (scorers_built.load(std::memory_order_relaxed)) return true;
        error = indicator_scorer.emplace().build(indicator_lists());
        if (error == nullptr) error = framework_scorer.emplace().build(framework_lists());
        if (error == nullptr) {
            scorers_built.store(true, std::memory_order_release);
            return true;
        }
    }
    // `error` is a static text, so it outlives the mutex.
    if (error == out_of_memory) {
        PyErr_NoMemory();
    } else {
        PyErr_SetString(PyExc_RuntimeError, error);
    }
    return false;
}

}  // namespace

bool build_patterns(State& st) noexcept {
    // `re` as the module just bound it.
    capi::Ref re_module = capi::global<"re">(st);
    if (!re_module) return false;
    PyObject* re = re_module.get();
    // One call at a time: none may run with an error of the one before pending.
    capi::Ref compile = capi::Ref::steal(PyObject_GetAttrString(re, "compile"));
    if (!compile) return false;
    capi::Ref ignorecase = capi::Ref::steal(PyObject_GetAttrString(re, "IGNORECASE"));
    if (!ignorecase) return false;
    capi::Ref patterns = capi::Ref::steal(PyDict_New());
    if (!patterns) return false;
    static constexpr const char* sources[][2] = {
        {"numpy", "\\b(numpy|np\\.|ndarray|array|vectorize|matmul|linalg)\\b"},
        {"pandas", "\\b(pandas|pd\\.|DataFrame|Series|groupby|merge|pivot)\\b"},
        {"sklearn", "\\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\\b"},
    };
    for (const auto& [name, source] : sources) {
        capi::Ref compiled =
            capi::Ref::steal(PyObject_CallFunction(compile.get(), "sO", source, ignorecase.get()));
        if (!compiled || PyDict_SetItemString(patterns.get(), name, compiled.get()) < 0) {
            return false;
        }
    }
    st.compiled_patterns = patterns.release();
    st.str_lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    return st.str_lower != nullptr && build_scorers();
}

double quick_framework_score(const State& st, PyObject* code, PyObject* framework) noexcept {
    if (framework == Py_None) return 0.0;
    PyObject* pattern = PyDict_GetItemWithError(st.compiled_patterns, framework);
    if (pattern == nullptr) return PyErr_Occurred() ? -1.0 : 0.0;
    capi::Ref keep = capi::Ref::borrow(pattern);
    capi::Ref matches = capi::Ref::steal(capi::call_method<"findall">(st, pattern, code));
    if (!matches) return -1.0;
    const Py_ssize_t count = PyObject_Length(matches.get());
    if (count < 0) return -1.0;
    return match_score(count);
}

bool score_indicators(const State& st, PyObject* code, PyObject* function_name,
                      IndicatorCounts& out) noexcept {
    capi::Ref code_lower = lower(st, code);
    if (!code_lower) return false;
    IndicatorScorer::Mask in_code{}, in_name{};
    if (!scan_text(indicator_scorer->matcher(), code_lower.get(), in_code)) return false;
    // None adds nothing; the empty name lowers to a text with nothing in it.
    if (function_name != Py_None) {
        capi::Ref name_lower = lower(st, function_name);
        if (!name_lower || !scan_text(indicator_scorer->matcher(), name_lower.get(), in_name)) {
            return false;
        }
    }
    out = indicator_scorer->count(in_code, in_name);
    return true;
}

bool score_framework_patterns(const State& st, PyObject* code, FrameworkScores& out) noexcept {
    capi::Ref code_lower = lower(st, code);
    if (!code_lower) return false;
    FrameworkScorer::Mask in_code{};
    if (!scan_text(framework_scorer->matcher(), code_lower.get(), in_code)) return false;
    const auto counts = framework_scorer->count(in_code, {});
    out = framework_scores(counts[0], counts[1], counts[2]);
    return true;
}

double calculate_gpu_suitability(double gpu_operation_score, double gpu_data_size_score,
                                 double cpu_intensity, bool gpu_available,
                                 PyObject* compute_capability) noexcept {
    if (!gpu_available) return 0.0;
    double factor = 1.0;
    if (compute_capability != Py_None) {
        if (!PyUnicode_Check(compute_capability)) {
            capi::raise_arg_type("compute_capability", "str", compute_capability);
            return -1.0;
        }
        if (PyUnicode_READY(compute_capability) < 0) return -1.0;
        if (PyUnicode_GET_LENGTH(compute_capability) > 0) {
            factor = factor_of_capability_text(compute_capability);
            if (factor < 0.0) return -1.0;
        }
    }
    return loadscore::calculate_gpu_suitability(gpu_operation_score, gpu_data_size_score,
                                                cpu_intensity, gpu_available, factor);
}

}  // namespace loadscore
