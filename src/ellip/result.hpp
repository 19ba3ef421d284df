// The value of one evaluation, from an elliptic-integral kernel up to a model
// element: a double, or a static error text.
//
// Kernels never format their messages and never touch global state; a failed
// call hands back a pointer to one of the fixed texts below the operation that
// produced it, and every caller, up to the module boundary, passes that same
// pointer upward unchanged.
#pragma once

namespace ellip {

class [[nodiscard]] Result {
public:
    // A success holding 0: the state of a result not yet computed.
    constexpr Result() noexcept = default;

    [[nodiscard]] static constexpr Result of(double v) noexcept { return Result(v, nullptr); }
    [[nodiscard]] static constexpr Result failed(const char* text) noexcept {
        return Result(0.0, text);
    }

    [[nodiscard]] constexpr bool ok() const noexcept { return error_ == nullptr; }
    // The value; 0 for a failure.
    [[nodiscard]] constexpr double value() const noexcept { return value_; }
    // Null on success; otherwise a static, immutable text.
    [[nodiscard]] constexpr const char* error() const noexcept { return error_; }

private:
    constexpr Result(double v, const char* text) noexcept : value_(v), error_(text) {}

    double value_ = 0.0;
    const char* error_ = nullptr;
};

[[nodiscard]] constexpr Result success(double v) noexcept { return Result::of(v); }
[[nodiscard]] constexpr Result failure(const char* text) noexcept { return Result::failed(text); }

}  // namespace ellip
