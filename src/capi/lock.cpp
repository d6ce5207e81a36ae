#include "lock.hpp"

#include "ref.hpp"

namespace capi {

namespace {

// The interpreter's lock type and its C entry points, found once.
PyTypeObject* lock_type = nullptr;
PyCFunctionWithKeywords lock_acquire_c = nullptr;
PyCFunction lock_release_c = nullptr;
PyObject* empty_tuple = nullptr;
PyObject* s_acquire = nullptr;
PyObject* s_release = nullptr;

bool find_lock_type() noexcept {
    static bool ready = false;
    if (ready) return true;
    if (s_acquire == nullptr && (s_acquire = PyUnicode_InternFromString("acquire")) == nullptr) {
        return false;
    }
    if (s_release == nullptr && (s_release = PyUnicode_InternFromString("release")) == nullptr) {
        return false;
    }
    if (empty_tuple == nullptr && (empty_tuple = PyTuple_New(0)) == nullptr) return false;
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) return false;
    Ref type = Ref::steal(PyObject_GetAttrString(thread.get(), "LockType"));
    if (!type) return false;
    ready = true;
    if (!PyType_Check(type.get())) return true;
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject* acquire = PyDict_GetItem(t->tp_dict, s_acquire);
    PyObject* release = PyDict_GetItem(t->tp_dict, s_release);
    // Only take the direct route when both are plain C method descriptors of
    // the expected kinds; otherwise every lock goes through method calls.
    if (acquire && release && Py_IS_TYPE(acquire, &PyMethodDescr_Type) &&
        Py_IS_TYPE(release, &PyMethodDescr_Type)) {
        PyMethodDef* a = reinterpret_cast<PyMethodDescrObject*>(acquire)->d_method;
        PyMethodDef* r = reinterpret_cast<PyMethodDescrObject*>(release)->d_method;
        if (a->ml_flags == (METH_VARARGS | METH_KEYWORDS) && r->ml_flags == METH_NOARGS) {
            lock_acquire_c =
                reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(a->ml_meth));
            lock_release_c = r->ml_meth;
            lock_type = reinterpret_cast<PyTypeObject*>(type.release());
        }
    }
    return true;
}

}  // namespace

bool lock_acquire(PyObject* lock) noexcept {
    if (!find_lock_type()) return false;
    Ref result;
    if (lock_type != nullptr && Py_IS_TYPE(lock, lock_type)) {
        result = Ref::steal(lock_acquire_c(lock, empty_tuple, nullptr));
    } else {
        result = Ref::steal(PyObject_CallMethodNoArgs(lock, s_acquire));
    }
    return static_cast<bool>(result);
}

bool lock_release(PyObject* lock) noexcept {
    if (!find_lock_type()) return false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref result;
    if (lock_type != nullptr && Py_IS_TYPE(lock, lock_type)) {
        result = Ref::steal(lock_release_c(lock, nullptr));
    } else {
        result = Ref::steal(PyObject_CallMethodNoArgs(lock, s_release));
    }
    if (!result) {
        // The release error wins only when nothing was pending before.
        if (type != nullptr) {
            PyErr_WriteUnraisable(lock);
            PyErr_Restore(type, value, traceback);
        } else {
            return false;
        }
        return true;
    }
    PyErr_Restore(type, value, traceback);
    return true;
}

PyObject* new_threading_lock(PyObject* module_dict) noexcept {
    PyObject* threading = PyDict_GetItemString(module_dict, "threading");
    if (threading == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'threading' is not defined");
        return nullptr;
    }
    Ref factory = Ref::steal(PyObject_GetAttrString(threading, "Lock"));
    if (!factory) return nullptr;
    return PyObject_CallNoArgs(factory.get());
}

}  // namespace capi
