// Conversion between Python objects and the doubles, vectors and curves of
// the models.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>
#include <vector>

#include "models/model_result.hpp"

namespace surface {

// A new reference, released (with the interpreter lock held) by its holder.
class Owned {
public:
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    PyObject* object_;
};

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

// The uniform disc's magnification over the separations l (source radii)
// as a new list of floats, the values models::witt_mao_magnification gives,
// computed a block at a time and made into floats as they come.  A failure
// to make the list comes back as an interrupted call, its exception set.
models::Outcome<Owned> witt_mao_list(std::vector<double> l, double re, double rstar,
                                     const models::Interrupt& interrupt);

// A new list of lists of floats, or null with an exception set.
PyObject* list_from_batch(const std::vector<std::vector<double>>& batch);

// The batched disc curves as a new list of lists of floats.  Each curve's
// list is made on the calling thread as soon as the curve is finished, while
// the pool's workers compute the others, so that making the floats overlaps
// the computing.  A kernel error comes back as the model's error; a failure
// to make a list comes back as an interrupted call, its exception set.
models::Outcome<Owned> multi_witt_mao_lists(std::vector<double> l, std::vector<double> re,
                                            std::vector<double> rstar,
                                            const models::Interrupt& interrupt);

// The same for a call of three positional arguments that are exact lists or
// tuples of exact floats making a small batch (a few hundred values at most):
// read straight from the lists, without vectors, computed on the calling
// thread into the stack.  Nothing when the arguments are of any other kind
// or size; they then go through the general conversion, which gives the same
// doubles and the same batch.
std::optional<models::Outcome<Owned>> small_multi_witt_mao_lists(
    PyObject* const* args, const models::Interrupt& interrupt);

}  // namespace surface
