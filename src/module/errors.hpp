// Failures at the module boundary: model errors become RuntimeError, internal
// failures become the panic exception, memory exhaustion becomes MemoryError.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <mutex>
#include <new>
#include <string>

#include "models/model_result.hpp"
#include "runtime/internal_failure.hpp"

namespace surface {

// The process-wide panic exception type ("bindery_runtime.PanicException",
// derived from BaseException), created on first need; null with an exception
// set if it cannot be created.
//
// None of the functions that call into the interpreter is noexcept: any of
// them may run Python code (a finaliser, a signal handler), and a daemon
// thread that runs Python code while the interpreter shuts down is ended by a
// forced unwind, which must be free to pass through every frame up to the
// thread's start.
PyObject* panic_exception_type();

// Raises a model error as the Python exception of its kind.
void raise_model_error(const models::ModelError& error);

// Reports an internal failure on standard error, then raises it as the panic
// exception with the message as its single argument.  An empty message gets
// a fixed text.
void raise_panic(const std::string& message, const char* file, int line);

// Takes a creation lock held at most during a once-only initialisation; a
// thread that finds another thread initialising waits for it without holding
// the interpreter lock.
void lock_releasing_interpreter(std::mutex& mutex);

// Runs the body of a module function and turns a C++ exception escaping from
// it into a Python exception, so that no failure unwinds into the interpreter.
// The one exception let through is the forced unwind with which the
// interpreter ends a daemon thread at exit: it is not a failure, and
// swallowing it would leave the thread running on a finalised interpreter.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const runtime::InternalFailure& failure) {
        raise_panic(failure.message, failure.file, failure.line);
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_panic(std::string(), __FILE__, __LINE__);
    }
    return nullptr;
}

}  // namespace surface
