// Binding of fast-call arguments to a function's parameters, and their
// conversion into doubles and vectors of doubles.
#pragma once

#include <Python.h>

#include <vector>

namespace surface {

// A function's name and its parameters, every one required and every one
// accepted by position or by keyword.
struct Signature {
    const char* name;
    Py_ssize_t count;
    const char* const* parameters;
};

inline constexpr Py_ssize_t MAX_PARAMETERS = 5;

// Binds one call's arguments to the parameters, then converts them one after
// the other in parameter order.  Each method returns false with a Python
// exception set; the first failure ends the call.
class Arguments {
public:
    explicit Arguments(const Signature& signature) noexcept : signature_(signature) {}

    // Fills the parameter slots from positional and keyword arguments, or
    // raises the TypeError that describes the mismatch.
    bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

    // Converts the next parameter into a vector of doubles or into a double.
    // A TypeError of the conversion is re-raised naming the parameter.
    bool sequence(std::vector<double>& out);
    bool number(double& out);

private:
    const Signature& signature_;
    PyObject* slots_[MAX_PARAMETERS] = {};  // borrowed from the call
    Py_ssize_t next_ = 0;
};

}  // namespace surface
