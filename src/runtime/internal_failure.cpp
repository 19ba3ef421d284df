#include "runtime/internal_failure.hpp"

#include <string>

namespace runtime {

void fail_equal(unsigned long long left, unsigned long long right, const char* file, int line) {
    throw InternalFailure{"assertion `left == right` failed\n  left: " + std::to_string(left) +
                              "\n right: " + std::to_string(right),
                          file, line};
}

}  // namespace runtime
