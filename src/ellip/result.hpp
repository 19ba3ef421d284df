// The value of an elliptic-integral kernel: a double, or a static error text.
//
// Kernels never format their messages and never touch global state; a failed
// call hands back a pointer to one of the fixed texts below the operation that
// produced it, and every caller passes that same pointer upward unchanged.
#pragma once

namespace ellip {

struct Result {
    double value;
    const char* error;  // null on success; otherwise a static, immutable text

    [[nodiscard]] constexpr bool ok() const noexcept { return error == nullptr; }
};

[[nodiscard]] constexpr Result success(double v) noexcept { return Result{v, nullptr}; }
[[nodiscard]] constexpr Result failure(const char* text) noexcept { return Result{0.0, text}; }

}  // namespace ellip
