// The five probes of lumetra.native.hostprobe.
//
// Every probe drives Python-level facilities (os, sys, time, subprocess,
// ctypes, the package's back-end registry) and reads `os`, `sys`, `time` and
// the probe functions from the module namespace at each call, as Python code
// would, so replacing a module attribute changes what the probes use. Guards
// catch `Exception` only: KeyboardInterrupt, SystemExit and other
// BaseExceptions always propagate. Nothing is cached between calls; the only
// module state is the namespace reference and the constants built at start-up.
#include <algorithm>
#include <climits>
#include <cstddef>

#include "capi/capi.hpp"
#include "hostprobe.hpp"
#include "report.hpp"

namespace hostprobe {

namespace {

using capi::Ref;

// The module namespace (a strong reference kept for the process lifetime).
PyObject* module_dict = nullptr;

PyObject* backend_keys[backend_key_count] = {};
PyObject* capability_keys[capability_key_count] = {};

// Constants built once at start-up.
PyObject* s_cpu = nullptr;
PyObject* s_empty = nullptr;
PyObject* s_linux = nullptr;
PyObject* s_win32 = nullptr;
PyObject* s_numa_path = nullptr;
PyObject* s_numa_prefix = nullptr;
PyObject* s_native = nullptr;
PyObject* s_native_fallback = nullptr;
PyObject* s_newline = nullptr;
PyObject* s_utf8 = nullptr;
PyObject* s_ignore = nullptr;
PyObject* int_0 = nullptr;
PyObject* int_1 = nullptr;
PyObject* int_1024 = nullptr;
PyObject* timeout_value = nullptr;
PyObject* version_3_12 = nullptr;
PyObject* version_3_13 = nullptr;
PyObject* numa_suffix_slice = nullptr;
PyObject* run_kwnames = nullptr;     // ("capture_output", "timeout", "check")
PyObject* decode_kwnames = nullptr;  // ("errors",)
PyObject* winDLL_kwnames = nullptr;  // ("use_last_error",)
PyObject* devreg_fromlist = nullptr;

// --- small Python-level operations ---------------------------------------------------

// A string literal usable as a template argument.
template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&s)[N]) noexcept { std::copy_n(s, N, text); }
};

// The interned string of a literal, made on first use and kept for the process
// lifetime; null (with an error set) only while making it fails.
template <Name N>
PyObject* interned() noexcept {
    static PyObject* value = nullptr;
    if (value == nullptr) value = PyUnicode_InternFromString(N.text);
    return value;
}

// A global of the module, looked up now; NameError when it is missing.
template <Name N>
Ref global() noexcept {
    PyObject* name = interned<N>();
    if (name == nullptr) return Ref();
    return Ref::borrow(capi::module_global(module_dict, name));
}

template <Name N>
Ref attr(PyObject* obj) noexcept {
    PyObject* name = interned<N>();
    return name ? Ref::steal(PyObject_GetAttr(obj, name)) : Ref();
}

Ref attr(PyObject* obj, const char* name) noexcept {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

// obj.<N>(*args), without a bound method object.
template <Name N, typename... Args>
Ref call_method(PyObject* obj, Args... args) noexcept {
    PyObject* name = interned<N>();
    if (name == nullptr) return Ref();
    return Ref::steal(capi::call_method(obj, name, args...));
}

// Calls the module global `N` without arguments.
template <Name N>
Ref call_global() noexcept {
    Ref func = global<N>();
    return func ? Ref::steal(PyObject_CallNoArgs(func.get())) : Ref();
}

// Truth value of a new reference; -1 with an error set (also for a null one).
int truth(const Ref& obj) noexcept { return obj ? PyObject_IsTrue(obj.get()) : -1; }

bool set(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    return value != nullptr && PyDict_SetItem(dict, key, value) == 0;
}

bool set(PyObject* dict, PyObject* key, const Ref& value) noexcept {
    return set(dict, key, value.get());
}

bool set_bool(PyObject* dict, PyObject* key, bool value) noexcept {
    return set(dict, key, value ? Py_True : Py_False);
}

// `except Exception as e:` — takes the pending error when it is an Exception
// (its value in `caught`, when asked) and returns true; any other
// BaseException stays pending and false is returned.
bool catch_exception(Ref* caught = nullptr) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    if (caught != nullptr) {
        *caught = owned_value ? std::move(owned_value) : Ref::borrow(Py_None);
    }
    return true;
}

// `from <module> import <name>`, on a module imported with a fromlist.
Ref from_import(PyObject* module, const char* name) noexcept {
    Ref value = attr(module, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%R'", name, module);
    }
    return value;
}

// `a, b = value`, with the interpreter's messages for other lengths.
bool unpack_two(PyObject* value, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(value, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(value, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref* slots[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// perf_counter() of the module's `time`, as a double. `out` is set on every
// path, so that no caller can read it uninitialised.
bool perf_counter(double& out) noexcept {
    out = 0.0;
    Ref time = global<"time">();
    if (!time) return false;
    Ref now = call_method<"perf_counter">(time.get());
    if (!now) return false;
    out = PyFloat_AsDouble(now.get());
    return !(out == -1.0 && PyErr_Occurred());
}

// `os.cpu_count() or 1`.
Ref cpu_count_or_one(PyObject* os) noexcept {
    Ref count = call_method<"cpu_count">(os);
    const int t = truth(count);
    if (t < 0) return Ref();
    return t ? std::move(count) : Ref::borrow(int_1);
}

// --- detect_physical_cores -----------------------------------------------------------

Ref physical_cores_guarded() noexcept {
    Ref os = global<"os">();
    if (!os) return Ref();
    PyObject* raw = nullptr;
    const int has_affinity =
        capi::internals::get_optional_attr(os.get(), interned<"sched_getaffinity">(), &raw);
    Py_XDECREF(raw);
    if (has_affinity < 0) return Ref();
    if (has_affinity) {
        Ref cpus = call_method<"sched_getaffinity">(os.get(), int_0);
        if (!cpus) return Ref();
        const Py_ssize_t cores = PyObject_Length(cpus.get());
        if (cores < 0) return Ref();
        if (cores > INT_MAX) {
            capi::raise_overflow("int");
            return Ref();
        }
        return Ref::steal(PyLong_FromSsize_t(cores > 1 ? cores : 1));
    }
    Ref count = call_method<"cpu_count">(os.get());
    const int t = truth(count);
    if (t < 0) return Ref();
    if (t == 0) return Ref::borrow(int_1);
    int32_t cores;
    if (!capi::to_int(count.get(), cores)) return Ref();
    return Ref::steal(PyLong_FromLong(cores));
}

constexpr capi::Signature physical_cores_sig("detect_physical_cores");
PyObject* detect_physical_cores(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(physical_cores_sig, nargs, kwnames)) return nullptr;
    Ref cores = physical_cores_guarded();
    if (cores) return cores.release();
    if (!catch_exception()) return nullptr;
    Ref os = global<"os">();
    return os ? cpu_count_or_one(os.get()).release() : nullptr;
}

// --- detect_numa_nodes ---------------------------------------------------------------

// Number of names in `names` of the form "node<digits>".
bool count_numa_entries(PyObject* names, Py_ssize_t& count) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(names));
    if (!it) return false;
    count = 0;
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        const int prefixed = truth(call_method<"startswith">(name.get(), s_numa_prefix));
        if (prefixed < 0) return false;
        if (!prefixed) continue;
        Ref suffix = Ref::steal(PyObject_GetItem(name.get(), numa_suffix_slice));
        if (!suffix) return false;
        const int digits = truth(call_method<"isdigit">(suffix.get()));
        if (digits < 0) return false;
        count += digits;
    }
    return !PyErr_Occurred();
}

bool numa_nodes_linux(int& numa_nodes) noexcept {
    Ref os = global<"os">();
    if (!os) return false;
    Ref path = attr<"path">(os.get());
    if (!path) return false;
    const int exists = truth(call_method<"exists">(path.get(), s_numa_path));
    if (exists <= 0) return exists == 0;
    Ref names = call_method<"listdir">(os.get(), s_numa_path);
    Py_ssize_t count;
    if (!names || !count_numa_entries(names.get(), count)) return false;
    if (count > INT_MAX) {
        capi::raise_overflow("int");
        return false;
    }
    numa_nodes = count > 0 ? static_cast<int>(count) : 1;
    return true;
}

// GetNumaHighestNodeNumber of kernel32 through ctypes. The ULONG out-parameter
// is ctypes.c_ulong (ctypes.wintypes names that type ULONG, not c_ulong).
bool numa_nodes_windows(int& numa_nodes) noexcept {
    // import ctypes; from ctypes import wintypes
    Ref wintypes_fromlist = Ref::steal(Py_BuildValue("(s)", "wintypes"));
    if (!wintypes_fromlist) return false;
    Ref ctypes = Ref::steal(
        PyImport_ImportModuleLevel("ctypes", module_dict, nullptr, wintypes_fromlist.get(), 0));
    if (!ctypes) return false;
    Ref wintypes = from_import(ctypes.get(), "wintypes");
    if (!wintypes) return false;

    Ref win_dll = attr<"WinDLL">(ctypes.get());
    Ref name = Ref::steal(PyUnicode_FromString("kernel32"));
    if (!win_dll || !name) return false;
    PyObject* dll_args[] = {name.get(), Py_True};
    Ref kernel32 = Ref::steal(PyObject_Vectorcall(win_dll.get(), dll_args, 1, winDLL_kwnames));
    if (!kernel32) return false;
    Ref func = attr<"GetNumaHighestNodeNumber">(kernel32.get());
    if (!func) return false;
    Ref bool_type = attr<"BOOL">(wintypes.get());
    if (!bool_type || PyObject_SetAttrString(func.get(), "restype", bool_type.get()) < 0) {
        return false;
    }
    Ref c_ulong = attr<"c_ulong">(ctypes.get());
    if (!c_ulong) return false;
    Ref pointer = call_method<"POINTER">(ctypes.get(), c_ulong.get());
    if (!pointer) return false;
    Ref argtypes = Ref::steal(PyList_New(1));
    if (!argtypes) return false;
    PyList_SET_ITEM(argtypes.get(), 0, pointer.release());
    if (PyObject_SetAttrString(func.get(), "argtypes", argtypes.get()) < 0) return false;

    Ref highest_node = Ref::steal(PyObject_CallOneArg(c_ulong.get(), int_0));
    if (!highest_node) return false;
    Ref by_ref = call_method<"byref">(ctypes.get(), highest_node.get());
    if (!by_ref) return false;
    const int ok = truth(Ref::steal(PyObject_CallOneArg(func.get(), by_ref.get())));
    if (ok <= 0) return ok == 0;
    Ref value = attr<"value">(highest_node.get());
    if (!value) return false;
    Ref count = Ref::steal(PyNumber_Add(value.get(), int_1));
    int32_t nodes;
    if (!count || !capi::to_int(count.get(), nodes)) return false;
    numa_nodes = nodes;
    return true;
}

bool numa_nodes_guarded(int& numa_nodes) noexcept {
    Ref sys = global<"sys">();
    if (!sys) return false;
    Ref platform = attr<"platform">(sys.get());
    if (!platform) return false;
    const int is_linux = PyObject_RichCompareBool(platform.get(), s_linux, Py_EQ);
    if (is_linux < 0) return false;
    if (is_linux) return numa_nodes_linux(numa_nodes);
    const int windows = PyObject_RichCompareBool(platform.get(), s_win32, Py_EQ);
    if (windows <= 0) return windows == 0;
    return numa_nodes_windows(numa_nodes);
}

constexpr capi::Signature numa_nodes_sig("detect_numa_nodes");
PyObject* detect_numa_nodes(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(numa_nodes_sig, nargs, kwnames)) return nullptr;
    int numa_nodes = 1;
    if (!numa_nodes_guarded(numa_nodes) && !catch_exception()) return nullptr;
    return PyLong_FromLong(numa_nodes);
}

// --- detect_gpu_backends -------------------------------------------------------------

Ref new_backend_report() noexcept {
    Ref info = Ref::steal(PyDict_New());
    if (!info) return Ref();
    PyObject* initial[backend_key_count] = {};
    initial[has_gpu] = Py_False;
    initial[gpu_count] = int_0;
    initial[gpu_memory_mb] = int_0;
    initial[cuda_available] = Py_False;
    initial[rocm_available] = Py_False;
    initial[oneapi_available] = Py_False;
    initial[active_backend] = s_cpu;
    initial[backend_version] = s_empty;
    for (std::size_t k = 0; k < backend_key_count; ++k) {
        if (!set(info.get(), backend_keys[k], initial[k])) return Ref();
    }
    return info;
}

// best_backend.info (re-read at each use, as attribute access in Python code).
Ref best_info(PyObject* best) noexcept { return attr<"info">(best); }

Ref best_kind(PyObject* best) noexcept {
    Ref info = best_info(best);
    return info ? attr<"kind">(info.get()) : Ref();
}

// The registry path. Keys are written as they are found, so an exception
// part-way leaves the earlier ones in the report.
bool backends_from_registry(PyObject* info) noexcept {
    Ref devreg = Ref::steal(
        PyImport_ImportModuleLevel("lumetra.gpu.devreg", module_dict, nullptr, devreg_fromlist, 0));
    if (!devreg) return false;
    Ref registry = from_import(devreg.get(), "GPUDevreg");
    if (!registry) return false;
    Ref kinds = from_import(devreg.get(), "GPUBackendKind");
    if (!kinds) return false;

    Ref backends = call_method<"detect_available_backends">(registry.get());
    if (!backends) return false;
    for (const AvailabilityFlag& flag : availability_flags) {
        Ref member = attr(kinds.get(), flag.member);
        if (!member) return false;
        const int present = PySequence_Contains(backends.get(), member.get());
        if (present < 0 || !set_bool(info, backend_keys[flag.key], present)) return false;
    }

    Ref best = call_method<"get_best_available">(registry.get());
    if (!best) return false;
    Ref kind = best_kind(best.get());
    if (!kind || !set(info, backend_keys[active_backend], attr<"value">(kind.get()))) {
        return false;
    }
    Ref best_info_obj = best_info(best.get());
    if (!best_info_obj ||
        !set(info, backend_keys[backend_version], attr<"version">(best_info_obj.get()))) {
        return false;
    }

    PyObject* active = PyDict_GetItemWithError(info, backend_keys[active_backend]);
    if (active == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, backend_keys[active_backend]);
        return false;
    }
    // The comparison may run Python code that changes the report: hold `active`.
    Ref active_ref = Ref::borrow(active);
    const int gpu = PyObject_RichCompareBool(active_ref.get(), s_cpu, Py_NE);
    if (gpu < 0 || !set_bool(info, backend_keys[has_gpu], gpu)) return false;
    if (!gpu) return true;

    kind = best_kind(best.get());
    if (!kind) return false;
    const int listed = PySequence_Contains(backends.get(), kind.get());
    if (listed <= 0) return listed == 0;
    kind = best_kind(best.get());
    if (!kind) return false;
    Ref device = Ref::steal(PyObject_GetItem(backends.get(), kind.get()));
    if (!device || !set(info, backend_keys[gpu_count], attr<"device_count">(device.get()))) {
        return false;
    }
    Ref memory_gb = attr<"memory_gb">(device.get());
    if (!memory_gb) return false;
    Ref memory_mb = Ref::steal(PyNumber_Multiply(memory_gb.get(), int_1024));
    if (!memory_mb) return false;
    return set(info, backend_keys[gpu_memory_mb], Ref::steal(PyNumber_Long(memory_mb.get())));
}

// The NVIDIA command-line fallback: counts the GPU names it prints.
bool backends_from_nvidia_smi(PyObject* info) noexcept {
    Ref subprocess = Ref::steal(PyImport_ImportModule("subprocess"));
    if (!subprocess) return false;
    Ref run = attr<"run">(subprocess.get());
    if (!run) return false;
    constexpr Py_ssize_t argc = sizeof(nvidia_smi_command) / sizeof(nvidia_smi_command[0]);
    Ref command = Ref::steal(PyList_New(argc));
    if (!command) return false;
    for (Py_ssize_t i = 0; i < argc; ++i) {
        PyObject* arg = PyUnicode_FromString(nvidia_smi_command[i]);
        if (arg == nullptr) return false;
        PyList_SET_ITEM(command.get(), i, arg);
    }
    PyObject* run_args[] = {command.get(), Py_True, timeout_value, Py_False};
    Ref result = Ref::steal(PyObject_Vectorcall(run.get(), run_args, 1, run_kwnames));
    if (!result) return false;

    Ref returncode = attr<"returncode">(result.get());
    if (!returncode) return false;
    const int succeeded = PyObject_RichCompareBool(returncode.get(), int_0, Py_EQ);
    if (succeeded <= 0) return succeeded == 0;
    Ref stdout_bytes = attr<"stdout">(result.get());
    const int has_output = truth(stdout_bytes);
    if (has_output <= 0) return has_output == 0;

    if (!set_bool(info, backend_keys[has_gpu], true)) return false;
    Ref decode = attr<"decode">(stdout_bytes.get());
    if (!decode) return false;
    PyObject* decode_args[] = {s_utf8, s_ignore};
    Ref text = Ref::steal(PyObject_Vectorcall(decode.get(), decode_args, 1, decode_kwnames));
    if (!text) return false;
    Ref stripped = call_method<"strip">(text.get());
    if (!stripped) return false;
    Ref lines = call_method<"split">(stripped.get(), s_newline);
    if (!lines) return false;
    Ref it = Ref::steal(PyObject_GetIter(lines.get()));
    if (!it) return false;
    Py_ssize_t count = 0;
    while (Ref line = Ref::steal(PyIter_Next(it.get()))) {
        const int non_empty = truth(call_method<"strip">(line.get()));
        if (non_empty < 0) return false;
        count += non_empty;
    }
    if (PyErr_Occurred()) return false;
    return set(info, backend_keys[gpu_count], Ref::steal(PyLong_FromSsize_t(count)));
}

constexpr capi::Signature gpu_backends_sig("detect_gpu_backends");
PyObject* detect_gpu_backends(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(gpu_backends_sig, nargs, kwnames)) return nullptr;
    Ref info = new_backend_report();
    if (!info) return nullptr;
    if (!backends_from_registry(info.get())) {
        if (!catch_exception()) return nullptr;
        if (!backends_from_nvidia_smi(info.get()) && !catch_exception()) return nullptr;
    }
    return info.release();
}

// --- detect_python_version -----------------------------------------------------------

// "major.minor" or "major.minor.micro" from `sys.version_info`.
Ref version_text(bool with_micro) noexcept {
    Ref sys = global<"sys">();
    if (!sys) return Ref();
    Ref info = attr<"version_info">(sys.get());
    if (!info) return Ref();
    Ref major = attr<"major">(info.get());
    Ref minor = major ? attr<"minor">(info.get()) : Ref();
    if (!minor) return Ref();
    if (!with_micro) return Ref::steal(PyUnicode_FromFormat("%S.%S", major.get(), minor.get()));
    Ref micro = attr<"micro">(info.get());
    if (!micro) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%S.%S.%S", major.get(), minor.get(), micro.get()));
}

constexpr capi::Signature python_version_sig("detect_python_version");
PyObject* detect_python_version(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(python_version_sig, nargs, kwnames)) return nullptr;
    Ref version = version_text(true);
    if (!version) return nullptr;
    Ref sys = global<"sys">();
    Ref info = sys ? attr<"version_info">(sys.get()) : Ref();
    if (!info) return nullptr;
    // 3.12 has the sub-interpreter module `_xxsubinterpreters`; 3.13 renamed
    // it `_interpreters` (3.14 builds the public `concurrent.interpreters` on
    // it), so from 3.13 either name counts.
    bool has_subinterpreters = false;
    for (PyObject* since : {version_3_13, version_3_12}) {
        const int recent = PyObject_RichCompareBool(info.get(), since, Py_GE);
        if (recent < 0) return nullptr;
        if (!recent) continue;
        const char* name = since == version_3_13 ? "_interpreters" : "_xxsubinterpreters";
        Ref module = Ref::steal(PyImport_ImportModule(name));
        if (module) {
            has_subinterpreters = true;
            break;
        }
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
    }
    return PyTuple_Pack(2, version.get(), has_subinterpreters ? Py_True : Py_False);
}

// --- detect_capabilities -------------------------------------------------------------

bool elapsed_ms(double start_time, Ref& out) noexcept {
    double now;
    if (!perf_counter(now)) return false;
    out = Ref::steal(PyFloat_FromDouble((now - start_time) * 1000.0));
    return static_cast<bool>(out);
}

// platform, detected_at and detector, shared by both paths.
bool set_platform_and_stamp(PyObject* caps, PyObject* detector_name) noexcept {
    Ref sys = global<"sys">();
    if (!sys || !set(caps, capability_keys[platform], attr<"platform">(sys.get()))) return false;
    Ref time = global<"time">();
    if (!time || !set(caps, capability_keys[detected_at], call_method<"time">(time.get()))) {
        return false;
    }
    return set(caps, capability_keys[detector], detector_name);
}

bool capabilities_normal(PyObject* caps, double start_time) noexcept {
    if (!set(caps, capability_keys[physical_cores], call_global<"detect_physical_cores">()) ||
        !set(caps, capability_keys[numa_nodes], call_global<"detect_numa_nodes">())) {
        return false;
    }
    Ref backend_info = call_global<"detect_gpu_backends">();
    if (!backend_info) return false;
    for (PyObject* key : backend_keys) {
        if (!set(caps, key, Ref::steal(PyObject_GetItem(backend_info.get(), key)))) return false;
    }
    Ref versions = call_global<"detect_python_version">();
    Ref py_version, has_subinterp;
    if (!versions || !unpack_two(versions.get(), py_version, has_subinterp) ||
        !set(caps, capability_keys[python_version], py_version) ||
        !set(caps, capability_keys[subinterpreter_support], has_subinterp) ||
        !set_platform_and_stamp(caps, s_native)) {
        return false;
    }
    Ref elapsed;
    return elapsed_ms(start_time, elapsed) &&
           set(caps, capability_keys[detection_time_ms], elapsed);
}

// Keys already written by the normal path keep their place in the dictionary
// and are overwritten here.
bool capabilities_fallback(PyObject* caps, double start_time, PyObject* e) noexcept {
    Ref os = global<"os">();
    if (!os || !set(caps, capability_keys[physical_cores], cpu_count_or_one(os.get())) ||
        !set(caps, capability_keys[numa_nodes], int_1)) {
        return false;
    }
    Ref initial = new_backend_report();
    if (!initial) return false;
    for (PyObject* key : backend_keys) {
        if (!set(caps, key, PyDict_GetItem(initial.get(), key))) return false;
    }
    if (!set(caps, capability_keys[python_version], version_text(false)) ||
        !set_bool(caps, capability_keys[subinterpreter_support], false) ||
        !set_platform_and_stamp(caps, s_native_fallback) ||
        !set(caps, capability_keys[error], Ref::steal(PyObject_Str(e)))) {
        return false;
    }
    Ref elapsed;
    return elapsed_ms(start_time, elapsed) &&
           set(caps, capability_keys[detection_time_ms], elapsed);
}

constexpr capi::Signature capabilities_sig("detect_capabilities");
PyObject* detect_capabilities(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(capabilities_sig, nargs, kwnames)) return nullptr;
    double start_time = 0.0;
    if (!perf_counter(start_time)) return nullptr;
    Ref caps = Ref::steal(PyDict_New());
    if (!caps) return nullptr;
    if (!capabilities_normal(caps.get(), start_time)) {
        Ref e;
        if (!catch_exception(&e) || !capabilities_fallback(caps.get(), start_time, e.get())) {
            return nullptr;
        }
    }
    return caps.release();
}

const capi::FunctionDef functions[] = {
    capi::function<detect_physical_cores>(
        physical_cores_sig, "Number of CPU cores this process may use (at least 1).", "int"),
    capi::function<detect_numa_nodes>(numa_nodes_sig, "Number of NUMA nodes (at least 1).", "int"),
    capi::function<detect_gpu_backends>(
        gpu_backends_sig, "GPU back-ends present on this machine and the best one.", "dict"),
    capi::function<detect_python_version>(
        python_version_sig,
        "Interpreter version as 'major.minor.micro' and whether sub-interpreters can be used.",
        "tuple"),
    capi::function<detect_capabilities>(
        capabilities_sig, "Cores, NUMA nodes, GPU back-ends and interpreter in one report.",
        "dict"),
};

bool make_constants() noexcept {
    for (std::size_t k = 0; k < backend_key_count; ++k) {
        if (!capi::intern_all({{backend_keys[k], backend_key_names[k]}})) return false;
    }
    for (std::size_t k = 0; k < capability_key_count; ++k) {
        if (!capi::intern_all({{capability_keys[k], capability_key_names[k]}})) return false;
    }
    if (!capi::intern_all({{s_cpu, "cpu"},
                           {s_empty, ""},
                           {s_linux, "linux"},
                           {s_win32, "win32"},
                           {s_numa_path, numa_path},
                           {s_numa_prefix, numa_prefix},
                           {s_native, "native"},
                           {s_native_fallback, "native_fallback"},
                           {s_newline, "\n"},
                           {s_utf8, "utf-8"},
                           {s_ignore, "ignore"}})) {
        return false;
    }
    if (int_0 != nullptr) return true;
    int_0 = PyLong_FromLong(0);
    int_1 = PyLong_FromLong(1);
    int_1024 = PyLong_FromLong(1024);
    timeout_value = PyFloat_FromDouble(nvidia_smi_timeout);
    version_3_12 = Py_BuildValue("(ii)", 3, 12);
    version_3_13 = Py_BuildValue("(ii)", 3, 13);
    Ref suffix_start = Ref::steal(PyLong_FromLong(numa_prefix_length));
    if (!suffix_start) return false;
    numa_suffix_slice = PySlice_New(suffix_start.get(), Py_None, Py_None);
    run_kwnames = Py_BuildValue("(sss)", "capture_output", "timeout", "check");
    decode_kwnames = Py_BuildValue("(s)", "errors");
    winDLL_kwnames = Py_BuildValue("(s)", "use_last_error");
    devreg_fromlist = Py_BuildValue("(ss)", "GPUDevreg", "GPUBackendKind");
    return int_0 && int_1 && int_1024 && timeout_value && version_3_12 && version_3_13 &&
           numa_suffix_slice && run_kwnames && decode_kwnames && winDLL_kwnames && devreg_fromlist;
}

}  // namespace

bool add_probes(PyObject* module) noexcept {
    if (!make_constants()) return false;
    // Kept for the process lifetime: the probes read their globals from it.
    module_dict = Py_NewRef(PyModule_GetDict(module));
    return capi::add_functions(module, functions);
}

}  // namespace hostprobe
