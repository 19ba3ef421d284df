// The driver: values in input order into the caller's span, polling for an
// interrupt, stopping at the first failing element.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "ellip/result.hpp"
#include "runtime/driver.hpp"

namespace {

using runtime::drive;
using runtime::Status;

TEST(Driver, WritesEachValueInOrderAndRefinesWhatIsThere) {
    const std::vector<double> in = {1, 2, 3, 4, 5};
    std::vector<double> out(in.size(), -1.0);
    std::vector<double> seen;
    const Status s = drive(
        [&](double x) {
            seen.push_back(x);
            return ellip::success(x * x);
        },
        in, out, {});
    EXPECT_TRUE(s.ok());
    EXPECT_EQ(seen, in);
    EXPECT_EQ(out, (std::vector<double>{1, 4, 9, 16, 25}));

    // A refining element is handed the value already in its slot.
    const Status t = drive([](double x, double before) { return ellip::success(before + x); },
                           in, out, {});
    EXPECT_TRUE(t.ok());
    EXPECT_EQ(out, (std::vector<double>{2, 6, 12, 20, 30}));
}

TEST(Driver, StopsAtTheFirstFailureWithItsText) {
    static const char text[] = "failed here";
    const std::vector<double> in = {1, 2, 3, 4};
    std::vector<double> out(in.size(), -1.0);
    int calls = 0;
    const Status s = drive(
        [&](double x) {
            ++calls;
            return x == 2 ? ellip::failure(text) : ellip::success(x);
        },
        in, out, {});
    EXPECT_FALSE(s.ok());
    EXPECT_FALSE(s.was_interrupted());
    EXPECT_EQ(s.error(), text);  // the same static text, not a copy
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(out, (std::vector<double>{1, -1, -1, -1}));
}

TEST(Driver, PollsEveryNthElementFromTheFirst) {
    const std::vector<double> in(10, 0.0);
    std::vector<double> out(in.size());
    int polls = 0;
    int calls = 0;
    auto element = [&](double x) {
        ++calls;
        return ellip::success(x);
    };
    // Indices 0, 4 and 8 are polled; never interrupted.
    EXPECT_TRUE(drive(element, in, out, [&] { return ++polls > 99; }, 4).ok());
    EXPECT_EQ(polls, 3);
    EXPECT_EQ(calls, 10);

    // Interrupted at the third poll: the elements before index 8 ran.
    polls = 0;
    calls = 0;
    const Status s = drive(element, in, out, [&] { return ++polls == 3; }, 4);
    EXPECT_TRUE(s.was_interrupted());
    EXPECT_EQ(calls, 8);

    // Polled before every element when the interval is 1.
    polls = 0;
    EXPECT_TRUE(drive(element, in, out, [&] { return ++polls > 99; }, 1).ok());
    EXPECT_EQ(polls, 10);
}

// An element that found the call interrupted in its own polling says so by
// the driver's text; a kernel text that merely reads the same is a failure.
TEST(Driver, AnElementsOwnInterruptIsAnInterrupt) {
    static const char lookalike[] = "interrupted";
    const std::vector<double> in = {1, 2};
    std::vector<double> out(in.size());
    const Status own = drive([](double) { return ellip::failure(runtime::INTERRUPTED); }, in,
                             out, {});
    EXPECT_TRUE(own.was_interrupted());
    const Status other = drive([](double) { return ellip::failure(lookalike); }, in, out, {});
    EXPECT_FALSE(other.was_interrupted());
    EXPECT_EQ(other.error(), lookalike);
}

TEST(Driver, SpansOfDifferentSizesAreAnInternalFailure) {
    const std::vector<double> in = {1, 2, 3};
    std::vector<double> out(2);
    EXPECT_THROW(
        (void)drive([](double x) { return ellip::success(x); }, in, out, {}),
        runtime::InternalFailure);
}

}  // namespace
