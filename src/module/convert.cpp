#include "module/convert.hpp"

#include <algorithm>
#include <cstring>

namespace surface {

namespace {

// A length reported by an arbitrary __len__ is only a hint: reserve at most
// this many elements up front and let the vector grow past it, so that a
// sequence claiming 10^18 elements cannot make us ask for absurd memory.
constexpr Py_ssize_t UNTRUSTED_RESERVE_LIMIT = Py_ssize_t{1} << 16;

bool append_converted(PyObject* item, std::vector<double>& out) {
    double v;
    if (!to_double(item, v)) {
        return false;
    }
    out.push_back(v);
    return true;
}

// Reads a one-dimensional array of native doubles through the buffer
// protocol, strided or not, instead of making one Python float per element.
// Only the exact array types whose iteration yields exactly the buffer's
// doubles take this road (numpy's ndarray, array.array, memoryview): a
// subclass may iterate differently (a masked array yields its mask), so it
// keeps the element-by-element conversion.  Returns false, with nothing
// set, when the object does not qualify.
bool read_double_buffer(PyObject* obj, std::vector<double>& out) {
    // Lists and tuples, the common case, export no buffer: one slot test.
    if (!PyObject_CheckBuffer(obj)) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(obj);
    const bool known_array = type == &PyMemoryView_Type ||
                             std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
                             std::strcmp(type->tp_name, "array.array") == 0;
    if (!known_array) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    const char* format = view.format != nullptr ? view.format : "B";
    const bool native_double =
        view.ndim == 1 && view.itemsize == sizeof(double) &&
        (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
         (std::strcmp(format, "=d") == 0 && PY_LITTLE_ENDIAN) ||
         (std::strcmp(format, "<d") == 0 && PY_LITTLE_ENDIAN) ||
         (std::strcmp(format, ">d") == 0 && !PY_LITTLE_ENDIAN));
    if (!native_double) {
        PyBuffer_Release(&view);
        return false;
    }
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* base = static_cast<const char*>(view.buf);
    try {
        out.resize(static_cast<size_t>(n));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        // memcpy: a strided view need not be aligned for double.
        std::memcpy(&out[static_cast<size_t>(i)], base + i * stride, sizeof(double));
    }
    PyBuffer_Release(&view);
    return true;
}

}  // namespace

bool to_double(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        return false;
    }
    out = v;
    return true;
}

bool to_vector(PyObject* obj, std::vector<double>& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
        if (qualname == nullptr) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError,
                            "'<failed to extract type name>' object cannot be converted to "
                            "'Sequence'");
            return false;
        }
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", qualname);
        Py_DECREF(qualname);
        return false;
    }

    out.clear();
    if (read_double_buffer(obj, out)) {
        return true;
    }
    const bool exact_container = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        PyErr_Clear();
        size = 0;
    }
    out.reserve(static_cast<size_t>(exact_container ? size
                                                    : std::min(size, UNTRUSTED_RESERVE_LIMIT)));

    // Lists and tuples are walked the way their own iterators walk them: by
    // index, re-reading the length at each step, so a list that an element's
    // __float__ shortens or extends is seen exactly as iteration would see it.
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            PyObject* item = Py_NewRef(PyList_GET_ITEM(obj, i));
            const bool ok = append_converted(item, out);
            Py_DECREF(item);
            if (!ok) {
                return false;
            }
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            if (!append_converted(PyTuple_GET_ITEM(obj, i), out)) {
                return false;
            }
        }
        return true;
    }

    PyObject* iterator = PyObject_GetIter(obj);
    if (iterator == nullptr) {
        return false;
    }
    while (PyObject* item = PyIter_Next(iterator)) {
        const bool ok = append_converted(item, out);
        Py_DECREF(item);
        if (!ok) {
            Py_DECREF(iterator);
            return false;
        }
    }
    Py_DECREF(iterator);
    return !PyErr_Occurred();
}

PyObject* list_from_curve(const std::vector<double>& curve) noexcept {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(curve.size()));
    if (list == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < curve.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(curve[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* list_from_batch(const std::vector<std::vector<double>>& batch) noexcept {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(batch.size()));
    if (list == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        PyObject* inner = list_from_curve(batch[i]);
        if (inner == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), inner);
    }
    return list;
}

}  // namespace surface
