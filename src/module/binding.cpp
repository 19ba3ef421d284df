#include "module/binding.hpp"

#include <string>

#include "module/convert.hpp"

namespace surface {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const Signature& signature, PyObject* const* slots) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        missing += slots[i] == nullptr;
    }
    std::string text;
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (written > 0) {
            if (missing > 2) {
                text += ',';
            }
            text += written == missing - 1 ? " and " : " ";
        }
        text += '\'';
        text += signature.parameters[i];
        text += '\'';
        ++written;
    }
    return text;
}

// Re-raises an exact TypeError of the conversion of parameter `name` as
// "argument 'name': <its text>", keeping its cause; every other exception
// passes unchanged.
void name_the_parameter(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (type != PyExc_TypeError || value == nullptr) {  // a subclass: leave it alone
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* text = PyObject_Str(value);
    PyObject* renamed =
        text == nullptr ? nullptr : PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_XDECREF(text);
    PyObject* replacement =
        renamed == nullptr ? nullptr : PyObject_CallOneArg(PyExc_TypeError, renamed);
    Py_XDECREF(renamed);
    if (replacement != nullptr) {
        if (PyObject* cause = PyException_GetCause(value)) {
            PyException_SetCause(replacement, cause);  // steals the reference
        }
        PyErr_SetObject(PyExc_TypeError, replacement);
        Py_DECREF(replacement);
    }
    // If building the replacement failed, its own exception stands instead.
    Py_DECREF(type);
    Py_DECREF(value);
    Py_XDECREF(traceback);
}

}  // namespace

bool Arguments::bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n = signature_.count;
    if (given > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given",
                     signature_.name, n, given, given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots_[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        if (PyUnicode_Check(keyword)) {
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (PyUnicode_CompareWithASCIIString(keyword, signature_.parameters[i]) == 0) {
                    slot = i;
                    break;
                }
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         signature_.name, keyword);
            return false;
        }
        if (slots_[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature_.name, signature_.parameters[slot]);
            return false;
        }
        slots_[slot] = args[given + k];
    }
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        missing += slots_[i] == nullptr;
    }
    if (missing > 0) {
        std::string names;
        try {
            names = name_list(signature_, slots_);
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional %s: %s",
                     signature_.name, missing, missing == 1 ? "argument" : "arguments",
                     names.c_str());
        return false;
    }
    return true;
}

bool Arguments::sequence(std::vector<double>& out) {
    const Py_ssize_t i = next_++;
    if (!to_vector(slots_[i], out)) {
        name_the_parameter(signature_.parameters[i]);
        return false;
    }
    return true;
}

bool Arguments::number(double& out) {
    const Py_ssize_t i = next_++;
    if (!to_double(slots_[i], out)) {
        name_the_parameter(signature_.parameters[i]);
        return false;
    }
    return true;
}

}  // namespace surface
