// The translation of internal failures at the module boundary, in a live
// embedded interpreter.
#include <Python.h>
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "models/model_result.hpp"
#include "runtime/internal_failure.hpp"
#include "module/errors.hpp"

namespace {

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
    void TearDown() override { Py_FinalizeEx(); }
};
const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

struct Raised {
    PyObject* type = nullptr;
    std::string message;
    Py_ssize_t nargs = -1;
};

// Takes the pending exception apart and clears it.
Raised take_exception() {
    Raised raised;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    raised.type = type;
    if (value != nullptr) {
        PyObject* args = PyObject_GetAttrString(value, "args");
        raised.nargs = PyTuple_Size(args);
        if (raised.nargs == 1) {
            raised.message = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 0));
        }
        Py_XDECREF(args);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return raised;
}

TEST(Panic, TypeIsNamedAndDerivesFromBaseExceptionOnly) {
    PyObject* type = surface::panic_exception_type();
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type, surface::panic_exception_type());  // one type per process
    EXPECT_STREQ(reinterpret_cast<PyTypeObject*>(type)->tp_name, "PanicException");
    EXPECT_TRUE(PyObject_IsSubclass(type, PyExc_BaseException));
    EXPECT_FALSE(PyObject_IsSubclass(type, PyExc_Exception));
    PyObject* module = PyObject_GetAttrString(type, "__module__");
    ASSERT_NE(module, nullptr);
    EXPECT_STREQ(PyUnicode_AsUTF8(module), "bindery_runtime");
    Py_DECREF(module);
}

// An equality failure unwinds to the boundary and is raised with the
// two-line "left"/"right" text as the single argument; stderr gets a report.
TEST(Panic, EqualityFailureBecomesPanicException) {
    ::testing::internal::CaptureStderr();
    PyObject* result = surface::guarded([]() -> PyObject* {
        runtime::fail_equal(3, 2, "somewhere.cpp", 7);
    });
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, nullptr);
    const Raised raised = take_exception();
    EXPECT_EQ(raised.type, surface::panic_exception_type());
    EXPECT_EQ(raised.nargs, 1);
    EXPECT_EQ(raised.message, "assertion `left == right` failed\n  left: 3\n right: 2");
    EXPECT_NE(report.find("somewhere.cpp:7"), std::string::npos) << report;
    EXPECT_NE(report.find("left: 3"), std::string::npos) << report;
}

TEST(Panic, FailureWithoutTextGetsAFixedMessage) {
    ::testing::internal::CaptureStderr();
    PyObject* result = surface::guarded([]() -> PyObject* { throw 42; });
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, nullptr);
    const Raised raised = take_exception();
    EXPECT_EQ(raised.type, surface::panic_exception_type());
    EXPECT_FALSE(raised.message.empty());
}

TEST(Panic, StandardExceptionKeepsItsText) {
    ::testing::internal::CaptureStderr();
    PyObject* result = surface::guarded(
        []() -> PyObject* { throw std::runtime_error("pool lost a worker"); });
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(take_exception().message, "pool lost a worker");
}

// Running out of memory is the interpreter's MemoryError, not a panic.
TEST(Panic, BadAllocBecomesMemoryError) {
    PyObject* result = surface::guarded([]() -> PyObject* { throw std::bad_alloc(); });
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(take_exception().type, PyExc_MemoryError);
}

// After a failure the boundary works as before.
TEST(Panic, BoundaryStaysUsable) {
    ::testing::internal::CaptureStderr();
    surface::guarded([]() -> PyObject* { throw 1; });
    ::testing::internal::GetCapturedStderr();
    take_exception();
    PyObject* result = surface::guarded([]() -> PyObject* { return PyFloat_FromDouble(2.5); });
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(PyFloat_AsDouble(result), 2.5);
    Py_DECREF(result);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST(ModelError, BecomesRuntimeErrorWithTheTextAsOnlyArgument) {
    surface::raise_model_error(models::runtime_error("ellipk: m must be less than 1."));
    const Raised raised = take_exception();
    EXPECT_EQ(raised.type, PyExc_RuntimeError);
    EXPECT_EQ(raised.nargs, 1);
    EXPECT_EQ(raised.message, "ellipk: m must be less than 1.");
}

}  // namespace
