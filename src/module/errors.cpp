#include "module/errors.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdio>

namespace surface {

namespace {

constexpr const char* PANIC_DOC =
    "Raised when the native code of caustrix suffers an internal failure.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way up and ends the interpreter.";

constexpr const char* NO_TEXT = "caustrix native code failed";

std::atomic<PyObject*> panic_type{nullptr};
std::mutex panic_type_creation;

}  // namespace

void lock_releasing_interpreter(std::mutex& mutex) {
    if (mutex.try_lock()) {
        return;
    }
    // Taking the interpreter lock back may end this thread (a daemon thread
    // at exit); the creation lock must not stay held by a thread that is gone.
    struct ReleaseOnUnwind {
        std::mutex& mutex;
        bool armed = true;
        ~ReleaseOnUnwind() {
            if (armed) mutex.unlock();
        }
    };
    PyThreadState* const saved = PyEval_SaveThread();
    mutex.lock();
    ReleaseOnUnwind release{mutex};
    PyEval_RestoreThread(saved);
    release.armed = false;
}

PyObject* panic_exception_type() {
    if (PyObject* type = panic_type.load(std::memory_order_acquire)) {
        return type;
    }
    lock_releasing_interpreter(panic_type_creation);
    std::lock_guard<std::mutex> hold(panic_type_creation, std::adopt_lock);
    if (PyObject* type = panic_type.load(std::memory_order_acquire)) {
        return type;
    }
    PyObject* type = PyErr_NewExceptionWithDoc("bindery_runtime.PanicException", PANIC_DOC,
                                               PyExc_BaseException, nullptr);
    if (type != nullptr) {
        panic_type.store(type, std::memory_order_release);  // kept for the process's life
    }
    return type;
}

void raise_model_error(const models::ModelError& error) {
    switch (error.kind) {
        case models::ErrorKind::runtime_error:
            PyErr_SetString(PyExc_RuntimeError, error.text);
            return;
        case models::ErrorKind::interrupted:
            // The signal handler that asked for the stop has set its exception.
            if (!PyErr_Occurred()) {
                PyErr_SetNone(PyExc_KeyboardInterrupt);
            }
            return;
    }
    PyErr_SetString(PyExc_RuntimeError, error.text);
}

void raise_panic(const std::string& message, const char* file, int line) {
    const char* text = message.empty() ? NO_TEXT : message.c_str();
    char thread_name[64] = "<unnamed>";
    pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
    std::fprintf(stderr, "thread '%s' panicked at %s:%d:\n%s\n", thread_name, file, line, text);
    std::fflush(stderr);

    PyErr_Clear();
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // the failure to create the type is the exception that stands
    }
    PyObject* value = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::char_traits<char>::length(text)), "replace");
    if (value == nullptr) {
        return;
    }
    PyErr_SetObject(type, value);
    Py_DECREF(value);
}

}  // namespace surface
