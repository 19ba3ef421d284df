// Conversion between Python objects and the doubles, vectors and curves of
// the models.
#pragma once

#include <Python.h>

#include <vector>

namespace surface {

// A number to a double: an exact float is read directly, anything else goes
// through the float protocol (int, bool, float subclasses, __float__,
// __index__).  Returns false with the protocol's exception set.
bool to_double(PyObject* obj, double& out) noexcept;

// A sequence (but not a str) to a vector of doubles, element by element in
// iteration order; a one-dimensional array of native doubles (numpy,
// array.array, memoryview) is copied straight from its buffer, giving the
// same doubles.  Returns false with an exception set.
bool to_vector(PyObject* obj, std::vector<double>& out);

// A new list of floats, or null with an exception set.
PyObject* list_from_curve(const std::vector<double>& curve) noexcept;

// A new list of lists of floats, or null with an exception set.
PyObject* list_from_batch(const std::vector<std::vector<double>>& batch) noexcept;

}  // namespace surface
