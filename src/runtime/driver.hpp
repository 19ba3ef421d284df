// The driver: maps an element over a curve of inputs into a caller-provided
// output span.
//
// An element maps one input (a separation, with the model's scalars bound in)
// to one value or a static error text; it returns anything with ok(), value()
// and error().  The driver owns everything around it: the loop, polling for
// an interrupt, stopping at the first failing element and writing the values
// in input order.  Elements are called in input order on the calling thread.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>

#include "runtime/internal_failure.hpp"
#include "runtime/interrupt.hpp"

namespace runtime {

// The error text of an element that stopped because its own polling (inside a
// long element) found the call interrupted.  Recognised by its address, so no
// kernel text can be taken for it.
inline constexpr char INTERRUPTED[] = "interrupted";

// Elements between two polls for an interrupt when an element costs a
// fraction of a microsecond.
inline constexpr std::size_t POLL_CHEAP = 1024;

// How a drive over a curve ended: every value written, the first failing
// element's error text, or interrupted.
class [[nodiscard]] Status {
public:
    [[nodiscard]] static constexpr Status done() noexcept { return Status(nullptr); }
    [[nodiscard]] static constexpr Status failed(const char* text) noexcept {
        return Status(text);
    }
    [[nodiscard]] static constexpr Status interrupted() noexcept { return Status(INTERRUPTED); }

    [[nodiscard]] constexpr bool ok() const noexcept { return error_ == nullptr; }
    [[nodiscard]] constexpr bool was_interrupted() const noexcept {
        return error_ == INTERRUPTED;
    }
    // The failing element's static text; null on success.
    [[nodiscard]] constexpr const char* error() const noexcept { return error_; }

private:
    constexpr explicit Status(const char* text) noexcept : error_(text) {}

    const char* error_;
};

// For each i, out[i] = element(in[i]); an element that also takes a second
// double is given the value already in out[i] (a first estimate it refines,
// computed by an earlier drive over the same output).  Polls `interrupt`
// before every `every`-th element, starting with the first.  Stops at the
// first element that fails, leaving the values after it unwritten.
template <class Element>
Status drive(Element&& element, std::span<const double> in, std::span<double> out,
             const Interrupt& interrupt, std::size_t every = POLL_CHEAP) {
    if (in.size() != out.size()) {
        fail_equal(in.size(), out.size(), __FILE__, __LINE__);
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (interrupted_at(interrupt, i, every)) {
            return Status::interrupted();
        }
        const auto r = [&] {
            if constexpr (std::is_invocable_v<Element&, double, double>) {
                return element(in[i], out[i]);
            } else {
                return element(in[i]);
            }
        }();
        if (!r.ok()) {
            return r.error() == INTERRUPTED ? Status::interrupted() : Status::failed(r.error());
        }
        out[i] = r.value();
    }
    return Status::done();
}

}  // namespace runtime
