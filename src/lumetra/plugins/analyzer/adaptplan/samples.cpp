// The module's constant objects and the readers shared by its history
// functions: two-value unpacking of samples and records.
//
// The constants are immutable objects, so handing out new references to them
// is safe from any thread.
#include "adaptplan.hpp"

namespace adaptplan {

bool init_constants(State& st) noexcept {
    return (st.zero = PyLong_FromLong(0)) != nullptr &&
           (st.neutral_change = Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0)) != nullptr &&
           (st.neutral_prediction = Py_BuildValue("(iid)", 0, 0, 0.0)) != nullptr &&
           st.names.init();
}

PyObject* raise_none_has_no_len() noexcept {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return nullptr;
}

namespace {

bool raise_unpack_size(Py_ssize_t found) noexcept {
    if (found > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                     found == 1 ? "" : "s");
    }
    return false;
}

bool convert_pair(PyObject* a, PyObject* b, double& first, double& second) noexcept {
    return capi::to_double(a, first) && capi::to_double(b, second);
}

}  // namespace

bool unpack_pair(PyObject* sample, double& first, double& second) noexcept {
    if (PyTuple_CheckExact(sample)) {
        if (PyTuple_GET_SIZE(sample) != 2) return raise_unpack_size(PyTuple_GET_SIZE(sample));
        // The caller holds the tuple, and a tuple holds its items.
        return convert_pair(PyTuple_GET_ITEM(sample, 0), PyTuple_GET_ITEM(sample, 1), first,
                            second);
    }
    if (PyList_CheckExact(sample)) {
        // Both items are taken at once, in a critical section on the list
        // (nothing in it runs Python code or blocks), and held: converting the
        // first may change the list.
        capi::Ref a, b;
        Py_ssize_t size;
        {
            capi::CriticalSection section(sample);
            size = PyList_GET_SIZE(sample);
            if (size == 2) {
                a = capi::Ref::borrow(PyList_GET_ITEM(sample, 0));
                b = capi::Ref::borrow(PyList_GET_ITEM(sample, 1));
            }
        }
        if (size != 2) return raise_unpack_size(size);
        return convert_pair(a.get(), b.get(), first, second);
    }
    capi::Ref iterator = capi::Ref::steal(PyObject_GetIter(sample));
    if (!iterator) return false;
    capi::Ref items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = capi::Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) return PyErr_Occurred() ? false : raise_unpack_size(i);
    }
    capi::Ref extra = capi::Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return raise_unpack_size(3);
    if (PyErr_Occurred()) return false;
    return convert_pair(items[0].get(), items[1].get(), first, second);
}

}  // namespace adaptplan
