// The import entry of caustrix: single-phase initialisation, one module
// object per process, refused in any interpreter but the first.
#include <Python.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "module/errors.hpp"
#include "module/fitting.hpp"
#include "module/functions.hpp"

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "caustrix",
    "Finite-source point-lens microlensing magnification, implemented in native code.",
    0,        // no per-module state
    nullptr,  // functions are added once the module object exists
    nullptr,  // no slots
    nullptr,
    nullptr,
    nullptr,
};

constexpr int API_VERSION = 1013;

std::atomic<std::int64_t> importing_interpreter{-1};
std::atomic<PyObject*> module_object{nullptr};
std::mutex module_creation;

// Sets the function as the attribute under its __name__; a listed function's
// name is also appended to __all__ (created on first use).
int register_function(PyObject* module, PyObject* module_name, PyMethodDef* def, bool listed) {
    PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
    if (function == nullptr) {
        return -1;
    }
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    if (name == nullptr) {
        Py_DECREF(function);
        return -1;
    }
    if (!listed) {
        const int status = PyObject_SetAttr(module, name, function);
        Py_DECREF(name);
        Py_DECREF(function);
        return status;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_DECREF(name);
            Py_DECREF(function);
            return -1;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            Py_DECREF(name);
            Py_DECREF(function);
            return -1;
        }
    }
    int status = PyList_Append(all, name);
    if (status == 0) {
        status = PyObject_SetAttr(module, name, function);
    }
    Py_DECREF(all);
    Py_DECREF(name);
    Py_DECREF(function);
    return status;
}

PyObject* create_module() {
    PyObject* module = PyModule_Create2(&module_definition, API_VERSION);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    for (PyMethodDef& def : surface::function_table()) {
        if (register_function(module, module_name, &def, true) < 0) {
            Py_DECREF(module_name);
            Py_DECREF(module);
            return nullptr;
        }
    }
    // The fitting functions: attributes beside the classic ones, not in
    // __all__, which names the classic functions only.
    for (PyMethodDef& def : surface::fitting_table()) {
        if (register_function(module, module_name, &def, false) < 0) {
            Py_DECREF(module_name);
            Py_DECREF(module);
            return nullptr;
        }
    }
    Py_DECREF(module_name);
    // Beside the functions, not in __all__.
    if (PyModule_AddStringConstant(module, "__version__", CAUSTRIX_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// Whether the current interpreter will accept a single-phase module.  Since
// Python 3.12 an isolated sub-interpreter refuses one, but only after it has
// run this entry; an entry that claimed the module for it would lock out the
// interpreter that can import it.  So the interpreter's own test is asked
// first: it is found at run time, being outside the stable interface, and
// where it is absent, the interpreter's feature flag answers instead.  False
// with ImportError set when the module would be refused.
bool interpreter_accepts_single_phase_modules() {
#if PY_VERSION_HEX >= 0x030C0000
    using Check = int (*)(const char*);
    static const Check check = reinterpret_cast<Check>(
        dlsym(RTLD_DEFAULT, "_PyImport_CheckSubinterpIncompatibleExtensionAllowed"));
    if (check != nullptr) {
        return check(module_definition.m_name) == 0;
    }
#if PY_VERSION_HEX < 0x030D0000
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (interpreter != PyInterpreterState_Main() &&
        _PyInterpreterState_HasFeature(interpreter, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS)) {
        PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters",
                     module_definition.m_name);
        return false;
    }
#endif
#endif
    return true;
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    if (!interpreter_accepts_single_phase_modules()) {
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!importing_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "caustrix does not support sub-interpreters: it can be imported in "
                        "one interpreter per process only");
        return nullptr;
    }
    if (PyObject* module = module_object.load(std::memory_order_acquire)) {
        return Py_NewRef(module);
    }
    // Created once per process.
    surface::lock_releasing_interpreter(module_creation);
    std::lock_guard<std::mutex> hold(module_creation, std::adopt_lock);
    if (PyObject* module = module_object.load(std::memory_order_acquire)) {
        return Py_NewRef(module);
    }
    PyObject* module = create_module();
    if (module == nullptr) {
        return nullptr;
    }
    module_object.store(module, std::memory_order_release);  // kept for the process's life
    return Py_NewRef(module);
}

}  // namespace

PyMODINIT_FUNC PyInit_caustrix(void) {
    return surface::guarded([] { return initialise(); });
}
