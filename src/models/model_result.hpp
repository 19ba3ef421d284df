// What a model operation hands back: its result, or a model error.
//
// A model error is plain data (an exception kind and a static kernel text), so
// it can be made on any thread, without the interpreter, and is turned into a
// Python exception only at the module boundary.
#pragma once

#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/driver.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/interrupt.hpp"

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

// What a model that fills a caller's output span hands back: success, or a
// model error.
struct Filled {};

// The model error of a drive that did not complete.
[[nodiscard]] inline Outcome<Filled> outcome_of(runtime::Status status) noexcept {
    if (status.ok()) {
        return Filled{};
    }
    return status.was_interrupted() ? interrupted() : runtime_error(status.error());
}

// Interrupt polling, the driver and internal failures belong to the runtime;
// the models name them unqualified.
using runtime::drive;
using runtime::fail_equal;
using runtime::InternalFailure;
using runtime::Interrupt;
using runtime::interrupted_at;

}  // namespace models
