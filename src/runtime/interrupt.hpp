// Interrupt polling: long computations ask between elements, on the calling
// thread only, whether the call is to be abandoned (a pending Ctrl-C, say).
#pragma once

#include <cstddef>
#include <functional>

namespace runtime {

// The question asked between elements.  Empty: never.
using Interrupt = std::function<bool()>;

// Polls `interrupt` every `every` elements: a cheap test for loops whose
// elements take a fraction of a microsecond.
[[nodiscard]] inline bool interrupted_at(const Interrupt& interrupt, std::size_t i,
                                         std::size_t every) {
    return interrupt && i % every == 0 && interrupt();
}

}  // namespace runtime
