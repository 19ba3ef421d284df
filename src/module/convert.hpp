// Conversion between Python objects and the doubles, vectors and curves of
// the models.
#pragma once

#include <Python.h>

#include <vector>

namespace surface {

// A number to a double: an exact float is read directly, anything else goes
// through the float protocol (int, bool, float subclasses, __float__,
// __index__).  Returns false with the protocol's exception set.
bool to_double(PyObject* obj, double& out);

// A sequence (but not a str) to a vector of doubles, element by element in
// iteration order; a one-dimensional array of native doubles (exactly a
// numpy.ndarray, an array.array or a memoryview, no subclass) is copied
// straight from its buffer, giving the same doubles.  Pending signals are
// handled every few thousand elements.  Returns false with an exception set.
bool to_vector(PyObject* obj, std::vector<double>& out);

// A new list of floats, or null with an exception set.  Pending signals are
// handled every few thousand elements.
PyObject* list_from_curve(const std::vector<double>& curve);

// A new list of lists of floats, or null with an exception set.
PyObject* list_from_batch(const std::vector<std::vector<double>>& batch);

}  // namespace surface
