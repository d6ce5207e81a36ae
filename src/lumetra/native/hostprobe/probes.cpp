// The five probes of lumetra.native.hostprobe.
//
// Every probe drives Python-level facilities (os, sys, time, subprocess,
// ctypes, the package's back-end registry) and reads `os`, `sys`, `time` and
// the probe functions from the module namespace at each call, as Python code
// would, so replacing a module attribute changes what the probes use. Guards
// catch `Exception` only: KeyboardInterrupt, SystemExit and other
// BaseExceptions always propagate. Nothing is cached between calls: the module
// state (hostprobe.hpp) holds only the namespace reference, interned names and
// constants built at start-up, and is only read afterwards, so any number of
// threads may probe at once; each call's objects are its own.
#include <climits>
#include <cstddef>
#include <iterator>

#include "capi/capi.hpp"
#include "hostprobe.hpp"
#include "report.hpp"

namespace hostprobe {

namespace {

using capi::Ref;

// --- small Python-level operations ---------------------------------------------------

// `from <source> import <name>` on `module`, already imported as `source`, as
// capi::from_import does it but with an interned name (see hostprobe.hpp).
Ref import_from(PyObject* module, const char* source, PyObject* name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name, source);
    }
    return value;
}

// Calls the module global `N` without arguments.
template <capi::Name N>
Ref call_global(const State& st) noexcept {
    Ref func = capi::global<N>(st);
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
    Ref error = capi::take_raised_exception();
    if (caught != nullptr) *caught = error ? std::move(error) : Ref::borrow(Py_None);
    return true;
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
bool perf_counter(const State& st, double& out) noexcept {
    out = 0.0;
    Ref time = capi::global<"time">(st);
    if (!time) return false;
    Ref now = Ref::steal(capi::call_method<"perf_counter">(st, time.get()));
    if (!now) return false;
    out = PyFloat_AsDouble(now.get());
    return !(out == -1.0 && PyErr_Occurred());
}

// `os.cpu_count() or 1`.
Ref cpu_count_or_one(const State& st, PyObject* os) noexcept {
    Ref count = Ref::steal(capi::call_method<"cpu_count">(st, os));
    const int t = truth(count);
    if (t < 0) return Ref();
    return t ? std::move(count) : Ref::borrow(st.int_1);
}

// --- detect_physical_cores -----------------------------------------------------------

Ref physical_cores_guarded(const State& st) noexcept {
    Ref os = capi::global<"os">(st);
    if (!os) return Ref();
    PyObject* raw = nullptr;
    const int has_affinity =
        capi::internals::get_optional_attr(os.get(), st.names.get<"sched_getaffinity">(), &raw);
    Ref::steal(raw).reset();  // only whether there is one counts
    if (has_affinity < 0) return Ref();
    if (has_affinity) {
        Ref cpus = Ref::steal(capi::call_method<"sched_getaffinity">(st, os.get(), st.int_0));
        if (!cpus) return Ref();
        const Py_ssize_t cores = PyObject_Length(cpus.get());
        if (cores < 0) return Ref();
        if (cores > INT_MAX) {
            capi::raise_overflow("int");
            return Ref();
        }
        return Ref::steal(PyLong_FromSsize_t(cores > 1 ? cores : 1));
    }
    Ref count = Ref::steal(capi::call_method<"cpu_count">(st, os.get()));
    const int t = truth(count);
    if (t < 0) return Ref();
    if (t == 0) return Ref::borrow(st.int_1);
    int32_t cores;
    if (!capi::to_int(count.get(), cores)) return Ref();
    return Ref::steal(PyLong_FromLong(cores));
}

constexpr capi::Signature physical_cores_sig("detect_physical_cores");
PyObject* detect_physical_cores(State& st) noexcept {
    Ref cores = physical_cores_guarded(st);
    if (cores) return cores.release();
    if (!catch_exception()) return nullptr;
    Ref os = capi::global<"os">(st);
    return os ? cpu_count_or_one(st, os.get()).release() : nullptr;
}

// --- detect_numa_nodes ---------------------------------------------------------------

// Number of names in `names` of the form "node<digits>".
bool count_numa_entries(const State& st, PyObject* names, Py_ssize_t& count) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(names));
    if (!it) return false;
    count = 0;
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        const int prefixed = truth(Ref::steal(
            capi::call_method<"startswith">(st, name.get(), st.names.get<numa_prefix>())));
        if (prefixed < 0) return false;
        if (!prefixed) continue;
        Ref suffix = Ref::steal(PyObject_GetItem(name.get(), st.numa_suffix_slice));
        if (!suffix) return false;
        const int digits = truth(Ref::steal(capi::call_method<"isdigit">(st, suffix.get())));
        if (digits < 0) return false;
        count += digits;
    }
    return !PyErr_Occurred();
}

bool numa_nodes_linux(const State& st, int& numa_nodes) noexcept {
    Ref os = capi::global<"os">(st);
    if (!os) return false;
    Ref path = Ref::steal(capi::attr<"path">(st, os.get()));
    if (!path) return false;
    const int exists =
        truth(Ref::steal(capi::call_method<"exists">(st, path.get(), st.names.get<numa_path>())));
    if (exists <= 0) return exists == 0;
    Ref names = Ref::steal(capi::call_method<"listdir">(st, os.get(), st.names.get<numa_path>()));
    Py_ssize_t count;
    if (!names || !count_numa_entries(st, names.get(), count)) return false;
    if (count > INT_MAX) {
        capi::raise_overflow("int");
        return false;
    }
    numa_nodes = count > 0 ? static_cast<int>(count) : 1;
    return true;
}

// GetNumaHighestNodeNumber of kernel32 through ctypes. The ULONG out-parameter
// is ctypes.c_ulong (ctypes.wintypes names that type ULONG, not c_ulong).
bool numa_nodes_windows(const State& st, int& numa_nodes) noexcept {
    // import ctypes; from ctypes import wintypes
    Ref wintypes_fromlist = Ref::steal(PyTuple_Pack(1, st.names.get<"wintypes">()));
    if (!wintypes_fromlist) return false;
    Ref ctypes = Ref::steal(PyImport_ImportModuleLevelObject(
        st.names.get<"ctypes">(), st.module_dict, nullptr, wintypes_fromlist.get(), 0));
    if (!ctypes) return false;
    Ref wintypes = import_from(ctypes.get(), "ctypes", st.names.get<"wintypes">());
    if (!wintypes) return false;

    Ref win_dll = Ref::steal(capi::attr<"WinDLL">(st, ctypes.get()));
    if (!win_dll) return false;
    PyObject* dll_args[] = {st.names.get<"kernel32">(), Py_True};
    Ref kernel32 = Ref::steal(PyObject_Vectorcall(win_dll.get(), dll_args, 1, st.winDLL_kwnames));
    if (!kernel32) return false;
    Ref func = Ref::steal(capi::attr<"GetNumaHighestNodeNumber">(st, kernel32.get()));
    if (!func) return false;
    Ref bool_type = Ref::steal(capi::attr<"BOOL">(st, wintypes.get()));
    if (!bool_type ||
        PyObject_SetAttr(func.get(), st.names.get<"restype">(), bool_type.get()) < 0) {
        return false;
    }
    Ref c_ulong = Ref::steal(capi::attr<"c_ulong">(st, ctypes.get()));
    if (!c_ulong) return false;
    Ref pointer = Ref::steal(capi::call_method<"POINTER">(st, ctypes.get(), c_ulong.get()));
    if (!pointer) return false;
    Ref argtypes = Ref::steal(PyList_New(1));
    if (!argtypes) return false;
    PyList_SET_ITEM(argtypes.get(), 0, pointer.release());
    if (PyObject_SetAttr(func.get(), st.names.get<"argtypes">(), argtypes.get()) < 0) return false;

    Ref highest_node = Ref::steal(PyObject_CallOneArg(c_ulong.get(), st.int_0));
    if (!highest_node) return false;
    Ref by_ref = Ref::steal(capi::call_method<"byref">(st, ctypes.get(), highest_node.get()));
    if (!by_ref) return false;
    const int ok = truth(Ref::steal(PyObject_CallOneArg(func.get(), by_ref.get())));
    if (ok <= 0) return ok == 0;
    Ref value = Ref::steal(capi::attr<"value">(st, highest_node.get()));
    if (!value) return false;
    Ref count = Ref::steal(PyNumber_Add(value.get(), st.int_1));
    int32_t nodes;
    if (!count || !capi::to_int(count.get(), nodes)) return false;
    numa_nodes = nodes;
    return true;
}

bool numa_nodes_guarded(const State& st, int& numa_nodes) noexcept {
    Ref sys = capi::global<"sys">(st);
    if (!sys) return false;
    Ref platform = Ref::steal(capi::attr<"platform">(st, sys.get()));
    if (!platform) return false;
    const int is_linux = PyObject_RichCompareBool(platform.get(), st.names.get<"linux">(), Py_EQ);
    if (is_linux < 0) return false;
    if (is_linux) return numa_nodes_linux(st, numa_nodes);
    const int windows = PyObject_RichCompareBool(platform.get(), st.names.get<"win32">(), Py_EQ);
    if (windows <= 0) return windows == 0;
    return numa_nodes_windows(st, numa_nodes);
}

constexpr capi::Signature numa_nodes_sig("detect_numa_nodes");
PyObject* detect_numa_nodes(State& st) noexcept {
    int numa_nodes = 1;
    if (!numa_nodes_guarded(st, numa_nodes) && !catch_exception()) return nullptr;
    return PyLong_FromLong(numa_nodes);
}

// --- detect_gpu_backends -------------------------------------------------------------

Ref new_backend_report(const State& st) noexcept {
    Ref info = Ref::steal(PyDict_New());
    if (!info) return Ref();
    PyObject* initial[backend_key_count] = {};
    initial[has_gpu] = Py_False;
    initial[gpu_count] = st.int_0;
    initial[gpu_memory_mb] = st.int_0;
    initial[cuda_available] = Py_False;
    initial[rocm_available] = Py_False;
    initial[oneapi_available] = Py_False;
    initial[active_backend] = st.names.get<"cpu">();
    initial[backend_version] = st.names.get<"">();
    for (std::size_t k = 0; k < backend_key_count; ++k) {
        if (!set(info.get(), st.backend_keys[k], initial[k])) return Ref();
    }
    return info;
}

// best_backend.info (re-read at each use, as attribute access in Python code).
Ref best_info(const State& st, PyObject* best) noexcept {
    return Ref::steal(capi::attr<"info">(st, best));
}

Ref best_kind(const State& st, PyObject* best) noexcept {
    Ref info = best_info(st, best);
    return info ? Ref::steal(capi::attr<"kind">(st, info.get())) : Ref();
}

// The registry path. Keys are written as they are found, so an exception
// part-way leaves the earlier ones in the report.
bool backends_from_registry(const State& st, PyObject* info) noexcept {
    constexpr const char* source = "lumetra.gpu.devreg";
    Ref devreg = Ref::steal(PyImport_ImportModuleLevelObject(
        st.names.get<"lumetra.gpu.devreg">(), st.module_dict, nullptr, st.devreg_fromlist, 0));
    if (!devreg) return false;
    Ref registry = import_from(devreg.get(), source, st.names.get<"GPUDevreg">());
    if (!registry) return false;
    Ref kinds = import_from(devreg.get(), source, st.names.get<"GPUBackendKind">());
    if (!kinds) return false;

    Ref backends = Ref::steal(capi::call_method<"detect_available_backends">(st, registry.get()));
    if (!backends) return false;
    for (std::size_t i = 0; i < std::size(availability_flags); ++i) {
        Ref member = Ref::steal(PyObject_GetAttr(kinds.get(), st.availability_members[i]));
        if (!member) return false;
        const int present = PySequence_Contains(backends.get(), member.get());
        if (present < 0 || !set_bool(info, st.backend_keys[availability_flags[i].key], present)) {
            return false;
        }
    }

    Ref best = Ref::steal(capi::call_method<"get_best_available">(st, registry.get()));
    if (!best) return false;
    Ref kind = best_kind(st, best.get());
    if (!kind || !set(info, st.backend_keys[active_backend],
                      Ref::steal(capi::attr<"value">(st, kind.get())))) {
        return false;
    }
    Ref best_info_obj = best_info(st, best.get());
    if (!best_info_obj || !set(info, st.backend_keys[backend_version],
                               Ref::steal(capi::attr<"version">(st, best_info_obj.get())))) {
        return false;
    }

    PyObject* active = PyDict_GetItemWithError(info, st.backend_keys[active_backend]);
    if (active == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, st.backend_keys[active_backend]);
        return false;
    }
    // The comparison may run Python code that changes the report: hold `active`.
    Ref active_ref = Ref::borrow(active);
    const int gpu = PyObject_RichCompareBool(active_ref.get(), st.names.get<"cpu">(), Py_NE);
    if (gpu < 0 || !set_bool(info, st.backend_keys[has_gpu], gpu)) return false;
    if (!gpu) return true;

    kind = best_kind(st, best.get());
    if (!kind) return false;
    const int listed = PySequence_Contains(backends.get(), kind.get());
    if (listed <= 0) return listed == 0;
    kind = best_kind(st, best.get());
    if (!kind) return false;
    Ref device = Ref::steal(PyObject_GetItem(backends.get(), kind.get()));
    if (!device || !set(info, st.backend_keys[gpu_count],
                        Ref::steal(capi::attr<"device_count">(st, device.get())))) {
        return false;
    }
    Ref memory_gb = Ref::steal(capi::attr<"memory_gb">(st, device.get()));
    if (!memory_gb) return false;
    Ref memory_mb = Ref::steal(PyNumber_Multiply(memory_gb.get(), st.int_1024));
    if (!memory_mb) return false;
    return set(info, st.backend_keys[gpu_memory_mb], Ref::steal(PyNumber_Long(memory_mb.get())));
}

// The NVIDIA command-line fallback: counts the GPU names it prints.
bool backends_from_nvidia_smi(const State& st, PyObject* info) noexcept {
    Ref subprocess = Ref::steal(PyImport_ImportModule("subprocess"));
    if (!subprocess) return false;
    Ref run = Ref::steal(capi::attr<"run">(st, subprocess.get()));
    if (!run) return false;
    constexpr Py_ssize_t argc = sizeof(nvidia_smi_command) / sizeof(nvidia_smi_command[0]);
    Ref command = Ref::steal(PyList_New(argc));
    if (!command) return false;
    for (Py_ssize_t i = 0; i < argc; ++i) {
        PyObject* arg = PyUnicode_FromString(nvidia_smi_command[i]);
        if (arg == nullptr) return false;
        PyList_SET_ITEM(command.get(), i, arg);
    }
    PyObject* run_args[] = {command.get(), Py_True, st.timeout_value, Py_False};
    Ref result = Ref::steal(PyObject_Vectorcall(run.get(), run_args, 1, st.run_kwnames));
    if (!result) return false;

    Ref returncode = Ref::steal(capi::attr<"returncode">(st, result.get()));
    if (!returncode) return false;
    const int succeeded = PyObject_RichCompareBool(returncode.get(), st.int_0, Py_EQ);
    if (succeeded <= 0) return succeeded == 0;
    Ref stdout_bytes = Ref::steal(capi::attr<"stdout">(st, result.get()));
    const int has_output = truth(stdout_bytes);
    if (has_output <= 0) return has_output == 0;

    if (!set_bool(info, st.backend_keys[has_gpu], true)) return false;
    Ref decode = Ref::steal(capi::attr<"decode">(st, stdout_bytes.get()));
    if (!decode) return false;
    PyObject* decode_args[] = {st.names.get<"utf-8">(), st.names.get<"ignore">()};
    Ref text = Ref::steal(PyObject_Vectorcall(decode.get(), decode_args, 1, st.decode_kwnames));
    if (!text) return false;
    Ref stripped = Ref::steal(capi::call_method<"strip">(st, text.get()));
    if (!stripped) return false;
    Ref lines = Ref::steal(capi::call_method<"split">(st, stripped.get(), st.names.get<"\n">()));
    if (!lines) return false;
    Ref it = Ref::steal(PyObject_GetIter(lines.get()));
    if (!it) return false;
    Py_ssize_t count = 0;
    while (Ref line = Ref::steal(PyIter_Next(it.get()))) {
        const int non_empty = truth(Ref::steal(capi::call_method<"strip">(st, line.get())));
        if (non_empty < 0) return false;
        count += non_empty;
    }
    if (PyErr_Occurred()) return false;
    return set(info, st.backend_keys[gpu_count], Ref::steal(PyLong_FromSsize_t(count)));
}

constexpr capi::Signature gpu_backends_sig("detect_gpu_backends");
PyObject* detect_gpu_backends(State& st) noexcept {
    Ref info = new_backend_report(st);
    if (!info) return nullptr;
    if (!backends_from_registry(st, info.get())) {
        if (!catch_exception()) return nullptr;
        if (!backends_from_nvidia_smi(st, info.get()) && !catch_exception()) return nullptr;
    }
    return info.release();
}

// --- detect_python_version -----------------------------------------------------------

// "major.minor" or "major.minor.micro" from `sys.version_info`.
Ref version_text(const State& st, bool with_micro) noexcept {
    Ref sys = capi::global<"sys">(st);
    if (!sys) return Ref();
    Ref info = Ref::steal(capi::attr<"version_info">(st, sys.get()));
    if (!info) return Ref();
    Ref major = Ref::steal(capi::attr<"major">(st, info.get()));
    Ref minor = major ? Ref::steal(capi::attr<"minor">(st, info.get())) : Ref();
    if (!minor) return Ref();
    if (!with_micro) return Ref::steal(PyUnicode_FromFormat("%S.%S", major.get(), minor.get()));
    Ref micro = Ref::steal(capi::attr<"micro">(st, info.get()));
    if (!micro) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%S.%S.%S", major.get(), minor.get(), micro.get()));
}

constexpr capi::Signature python_version_sig("detect_python_version");
PyObject* detect_python_version(State& st) noexcept {
    Ref version = version_text(st, true);
    if (!version) return nullptr;
    Ref sys = capi::global<"sys">(st);
    Ref info = sys ? Ref::steal(capi::attr<"version_info">(st, sys.get())) : Ref();
    if (!info) return nullptr;
    // 3.12 has the sub-interpreter module `_xxsubinterpreters`; 3.13 renamed
    // it `_interpreters` (3.14 builds the public `concurrent.interpreters` on
    // it), so from 3.13 either name counts.
    bool has_subinterpreters = false;
    for (PyObject* since : {st.version_3_13, st.version_3_12}) {
        const int recent = PyObject_RichCompareBool(info.get(), since, Py_GE);
        if (recent < 0) return nullptr;
        if (!recent) continue;
        const char* name = since == st.version_3_13 ? "_interpreters" : "_xxsubinterpreters";
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

bool elapsed_ms(const State& st, double start_time, Ref& out) noexcept {
    double now;
    if (!perf_counter(st, now)) return false;
    out = Ref::steal(PyFloat_FromDouble((now - start_time) * 1000.0));
    return static_cast<bool>(out);
}

// platform, detected_at and detector, shared by both paths.
bool set_platform_and_stamp(const State& st, PyObject* caps, PyObject* detector_name) noexcept {
    Ref sys = capi::global<"sys">(st);
    if (!sys || !set(caps, st.capability_keys[platform],
                     Ref::steal(capi::attr<"platform">(st, sys.get())))) {
        return false;
    }
    Ref time = capi::global<"time">(st);
    if (!time || !set(caps, st.capability_keys[detected_at],
                      Ref::steal(capi::call_method<"time">(st, time.get())))) {
        return false;
    }
    return set(caps, st.capability_keys[detector], detector_name);
}

bool capabilities_normal(const State& st, PyObject* caps, double start_time) noexcept {
    if (!set(caps, st.capability_keys[physical_cores], call_global<"detect_physical_cores">(st)) ||
        !set(caps, st.capability_keys[numa_nodes], call_global<"detect_numa_nodes">(st))) {
        return false;
    }
    Ref backend_info = call_global<"detect_gpu_backends">(st);
    if (!backend_info) return false;
    for (PyObject* key : st.backend_keys) {
        if (!set(caps, key, Ref::steal(PyObject_GetItem(backend_info.get(), key)))) return false;
    }
    Ref versions = call_global<"detect_python_version">(st);
    Ref py_version, has_subinterp;
    if (!versions || !unpack_two(versions.get(), py_version, has_subinterp) ||
        !set(caps, st.capability_keys[python_version], py_version) ||
        !set(caps, st.capability_keys[subinterpreter_support], has_subinterp) ||
        !set_platform_and_stamp(st, caps, st.names.get<"native">())) {
        return false;
    }
    Ref elapsed;
    return elapsed_ms(st, start_time, elapsed) &&
           set(caps, st.capability_keys[detection_time_ms], elapsed);
}

// Keys already written by the normal path keep their place in the dictionary
// and are overwritten here.
bool capabilities_fallback(const State& st, PyObject* caps, double start_time,
                           PyObject* e) noexcept {
    Ref os = capi::global<"os">(st);
    if (!os || !set(caps, st.capability_keys[physical_cores], cpu_count_or_one(st, os.get())) ||
        !set(caps, st.capability_keys[numa_nodes], st.int_1)) {
        return false;
    }
    Ref initial = new_backend_report(st);
    if (!initial) return false;
    for (PyObject* key : st.backend_keys) {
        if (!set(caps, key, PyDict_GetItem(initial.get(), key))) return false;
    }
    if (!set(caps, st.capability_keys[python_version], version_text(st, false)) ||
        !set_bool(caps, st.capability_keys[subinterpreter_support], false) ||
        !set_platform_and_stamp(st, caps, st.names.get<"native_fallback">()) ||
        !set(caps, st.capability_keys[error], Ref::steal(PyObject_Str(e)))) {
        return false;
    }
    Ref elapsed;
    return elapsed_ms(st, start_time, elapsed) &&
           set(caps, st.capability_keys[detection_time_ms], elapsed);
}

constexpr capi::Signature capabilities_sig("detect_capabilities");
PyObject* detect_capabilities(State& st) noexcept {
    double start_time = 0.0;
    if (!perf_counter(st, start_time)) return nullptr;
    Ref caps = Ref::steal(PyDict_New());
    if (!caps) return nullptr;
    if (!capabilities_normal(st, caps.get(), start_time)) {
        Ref e;
        if (!catch_exception(&e) || !capabilities_fallback(st, caps.get(), start_time, e.get())) {
            return nullptr;
        }
    }
    return caps.release();
}

const capi::FunctionDef functions[] = {
    capi::function<detect_physical_cores, physical_cores_sig>(
        "Number of CPU cores this process may use (at least 1).", "int"),
    capi::function<detect_numa_nodes, numa_nodes_sig>("Number of NUMA nodes (at least 1).", "int"),
    capi::function<detect_gpu_backends, gpu_backends_sig>(
        "GPU back-ends present on this machine and the best one.", "dict"),
    capi::function<detect_python_version, python_version_sig>(
        "Interpreter version as 'major.minor.micro' and whether sub-interpreters can be used.",
        "tuple"),
    capi::function<detect_capabilities, capabilities_sig>(
        "Cores, NUMA nodes, GPU back-ends and interpreter in one report.", "dict"),
};

// Interns the texts of `names` into `keys`; false with an error set.
template <std::size_t N>
bool intern_keys(PyObject* (&keys)[N], const char* const (&names)[N]) noexcept {
    for (std::size_t k = 0; k < N; ++k) {
        if ((keys[k] = PyUnicode_InternFromString(names[k])) == nullptr) return false;
    }
    return true;
}

// What is made before a failure stays in the state and is released with it.
bool make_constants(State& st) noexcept {
    if (!intern_keys(st.backend_keys, backend_key_names) ||
        !intern_keys(st.capability_keys, capability_key_names)) {
        return false;
    }
    for (std::size_t i = 0; i < std::size(availability_flags); ++i) {
        st.availability_members[i] = PyUnicode_InternFromString(availability_flags[i].member);
        if (st.availability_members[i] == nullptr) return false;
    }
    Ref suffix_start = Ref::steal(PyLong_FromLong(numa_prefix_length));
    return suffix_start && (st.int_0 = PyLong_FromLong(0)) != nullptr &&
           (st.int_1 = PyLong_FromLong(1)) != nullptr &&
           (st.int_1024 = PyLong_FromLong(1024)) != nullptr &&
           (st.timeout_value = PyFloat_FromDouble(nvidia_smi_timeout)) != nullptr &&
           (st.version_3_12 = Py_BuildValue("(ii)", 3, 12)) != nullptr &&
           (st.version_3_13 = Py_BuildValue("(ii)", 3, 13)) != nullptr &&
           (st.numa_suffix_slice = PySlice_New(suffix_start.get(), Py_None, Py_None)) != nullptr &&
           (st.run_kwnames = Py_BuildValue("(sss)", "capture_output", "timeout", "check")) !=
               nullptr &&
           (st.decode_kwnames = Py_BuildValue("(s)", "errors")) != nullptr &&
           (st.winDLL_kwnames = Py_BuildValue("(s)", "use_last_error")) != nullptr &&
           (st.devreg_fromlist = PyTuple_Pack(2, st.names.get<"GPUDevreg">(),
                                              st.names.get<"GPUBackendKind">())) != nullptr;
}

}  // namespace

bool add_probes(PyObject* module, State& st) noexcept {
    return make_constants(st) && capi::add_functions(module, st, functions);
}

}  // namespace hostprobe
