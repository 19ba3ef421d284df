// Assertions on kernel results shared by the kernel tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "ellip/result.hpp"

namespace kernel_assertions {

using ellip::Result;

// Distance in representable doubles; -0 and +0 are the same point.
inline std::int64_t ulps_between(double a, double b) {
    auto ordered = [](double v) {
        std::int64_t i;
        std::memcpy(&i, &v, sizeof i);
        return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
    };
    const std::int64_t d = ordered(a) - ordered(b);
    return d < 0 ? -d : d;
}

inline testing::AssertionResult Fails(const Result& r, const char* text) {
    if (r.ok()) return testing::AssertionFailure() << "returned " << r.value() << ", not \"" << text << "\"";
    if (std::strcmp(r.error(), text) != 0)
        return testing::AssertionFailure() << "returned \"" << r.error() << "\", not \"" << text << "\"";
    return testing::AssertionSuccess();
}

inline testing::AssertionResult Within(const Result& r, double expected, std::int64_t max_ulps) {
    if (!r.ok()) return testing::AssertionFailure() << "returned \"" << r.error() << "\"";
    const std::int64_t d = ulps_between(r.value(), expected);
    if (d > max_ulps)
        return testing::AssertionFailure() << std::hexfloat << r.value() << " is " << d << " ulps from "
                                           << expected;
    return testing::AssertionSuccess();
}

inline testing::AssertionResult Is(const Result& r, double expected) { return Within(r, expected, 0); }

inline testing::AssertionResult IsNaN(const Result& r) {
    if (!r.ok()) return testing::AssertionFailure() << "returned \"" << r.error() << "\"";
    if (!std::isnan(r.value())) return testing::AssertionFailure() << "returned " << r.value();
    return testing::AssertionSuccess();
}

// Bitwise equality with another kernel's result (which must itself succeed).
inline testing::AssertionResult Same(const Result& r, const Result& other) {
    if (!other.ok()) return testing::AssertionFailure() << "reference returned \"" << other.error() << "\"";
    return Within(r, other.value(), 0);
}

}  // namespace kernel_assertions
