// What a model operation hands back: its result, or a model error.
//
// A model error is plain data (an exception kind and a static kernel text), so
// it can be made on any thread, without the interpreter, and is turned into a
// Python exception only at the module boundary.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace models {

// One magnification per separation, in input order.
using Curve = std::vector<double>;

enum class ErrorKind {
    runtime_error,
    interrupted,  // the caller asked to abandon the call; it reports why itself
};

struct ModelError {
    ErrorKind kind;
    const char* text;  // a static kernel error text
};

[[nodiscard]] constexpr ModelError runtime_error(const char* text) noexcept {
    return ModelError{ErrorKind::runtime_error, text};
}

[[nodiscard]] constexpr ModelError interrupted() noexcept {
    return ModelError{ErrorKind::interrupted, "interrupted"};
}

// Asked by long computations between elements, on the calling thread only,
// whether the call is to be abandoned (a pending Ctrl-C, say).  Empty: never.
using Interrupt = std::function<bool()>;

// Polls `interrupt` every `every` elements: a cheap test for loops whose
// elements take a fraction of a microsecond.
[[nodiscard]] inline bool interrupted_at(const Interrupt& interrupt, std::size_t i,
                                         std::size_t every) {
    return interrupt && i % every == 0 && interrupt();
}

template <class T>
class Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}  // NOLINT: implicit by design
    Outcome(ModelError error) : state_(error) {}    // NOLINT: implicit by design

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] const ModelError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, ModelError> state_;
};

// An internal consistency failure: not a value, it unwinds to the module
// boundary, which reports it and raises it as the module's panic exception.
struct InternalFailure {
    std::string message;  // empty when the failure carries no text
    const char* file;
    int line;
};

// The failure of an equality check, worded as callers of the module expect it.
[[noreturn]] void fail_equal(unsigned long long left, unsigned long long right,
                             const char* file, int line);

}  // namespace models
