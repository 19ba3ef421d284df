// Internal consistency failures: not values, they unwind to the module
// boundary, which reports them and raises them as the module's panic
// exception.  Plain C++, usable on any thread.
#pragma once

#include <string>

namespace runtime {

struct InternalFailure {
    std::string message;  // empty when the failure carries no text
    const char* file;
    int line;
};

// The failure of an equality check, worded as callers of the module expect it.
[[noreturn]] void fail_equal(unsigned long long left, unsigned long long right,
                             const char* file, int line);

}  // namespace runtime
