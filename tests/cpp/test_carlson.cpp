// Carlson's symmetric integrals: closed forms, the AGM and principal-value
// branches, the domain texts and the order in which they are tested, and the
// convergence failures that NaN and infinite arguments end in.
// (Accuracy over wide argument ranges is measured in test_kernel_accuracy.cpp.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "ellip/carlson/carlson.hpp"
#include "kernel_assertions.hpp"

namespace {

using ellip::Result;
using namespace kernel_assertions;
using namespace ellip::carlson;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.141592653589793;
constexpr double kTinyNegative = -0x1p-1074;

constexpr const char* kRfDomain =
    "elliprf: x, y, and z must be non-negative, and at most one can be zero.";
constexpr const char* kRfConverge = "elliprf: Failed to converge.";
constexpr const char* kRcX = "elliprc: x must be non-negative.";
constexpr const char* kRcY = "elliprc: y must be non-zero.";
constexpr const char* kRdXY = "elliprd: x and y must be non-negative, and at most one can be zero.";
constexpr const char* kRdZ = "elliprd: z must be positive";
constexpr const char* kRdConverge = "elliprd: Failed to converge.";
constexpr const char* kRjDomain =
    "elliprj: x, y, and z must be non-negative, and at most one can be zero.";
constexpr const char* kRjP = "elliprj: p must be non-zero";
constexpr const char* kRjConverge = "elliprj: Fail to converge";
constexpr const char* kRgDomain = "elliprg: x, y, and z must be non-negative.";

// ---------------------------------------------------------------- elliprf

// Each position of the zero and of the equal pair has its own closed form.
TEST(Elliprf, EqualArgumentsTakeClosedForms) {
    EXPECT_TRUE(Is(elliprf(1, 1, 1), 1.0));
    EXPECT_TRUE(Is(elliprf(2, 2, 2), 1 / std::sqrt(2.0)));
    EXPECT_TRUE(Is(elliprf(4, 4, 0), kPi / 4));
    EXPECT_TRUE(Is(elliprf(4, 0, 4), kPi / 4));
    EXPECT_TRUE(Is(elliprf(0, 4, 4), kPi / 4));
    // RF(x, y, y) = RC(x, y) whichever two are equal.
    EXPECT_TRUE(Is(elliprf(1, 2, 2), elliprc(1, 2).value()));
    EXPECT_TRUE(Is(elliprf(2, 1, 2), elliprc(1, 2).value()));
    EXPECT_TRUE(Is(elliprf(2, 2, 1), elliprc(1, 2).value()));
}

// A single zero, wherever it stands, is moved to z and ends in the AGM.
TEST(Elliprf, OneZeroTakesTheAgm) {
    for (const Result r : {elliprf(0, 1, 2), elliprf(1, 2, 0), elliprf(2, 0, 1), elliprf(0, 2, 1)})
        EXPECT_TRUE(Within(r, 1.3110287771460598, 2));
}

TEST(Elliprf, DuplicationValue) { EXPECT_TRUE(Within(elliprf(2, 3, 4), 0.5840828416771517, 2)); }

TEST(Elliprf, NegativeOrTwoZerosAreRejected) {
    EXPECT_TRUE(Fails(elliprf(0, 0, 1), kRfDomain));
    EXPECT_TRUE(Fails(elliprf(1, 0, 0), kRfDomain));
    EXPECT_TRUE(Fails(elliprf(0, 0, 0), kRfDomain));
    EXPECT_TRUE(Fails(elliprf(-1, 1, 1), kRfDomain));
    EXPECT_TRUE(Fails(elliprf(1, 1, kTinyNegative), kRfDomain));
}

// min ignores a NaN operand, so a NaN must not mask a negative argument or a
// second zero, whatever its position.
TEST(Elliprf, NanDoesNotMaskADomainError) {
    EXPECT_TRUE(Fails(elliprf(kNaN, -1, 1), kRfDomain));
    EXPECT_TRUE(Fails(elliprf(1, kNaN, -1), kRfDomain));
    EXPECT_TRUE(Fails(elliprf(kNaN, 0, 0), kRfDomain));
    EXPECT_TRUE(Fails(elliprf(0, kNaN, 0), kRfDomain));
    EXPECT_TRUE(Fails(elliprf(0, 0, kNaN), kRfDomain));
}

// NaN passes the domain test and then never satisfies the stopping test; an
// infinity makes A and the bound both infinite.
TEST(Elliprf, NanAndInfinityFailToConverge) {
    EXPECT_TRUE(Fails(elliprf(kNaN, 1, 2), kRfConverge));
    EXPECT_TRUE(Fails(elliprf(1, kNaN, 2), kRfConverge));
    EXPECT_TRUE(Fails(elliprf(1, 2, kNaN), kRfConverge));
    EXPECT_TRUE(Fails(elliprf(kInf, 1, 2), kRfConverge));
}

// ---------------------------------------------------------------- elliprc

TEST(Elliprc, ClosedForms) {
    EXPECT_TRUE(Is(elliprc(0, 0.25), kPi));
    EXPECT_TRUE(Is(elliprc(1, 1), 1.0));
    EXPECT_TRUE(Is(elliprc(4, 4), 0.5));
    // A negative zero is not negative.
    EXPECT_TRUE(Is(elliprc(-0.0, 1), kPi / 2));
}

// y > x uses the arctangent, 0.5 < y/x < 1 log1p, and y/x <= 0.5 the plain log.
TEST(Elliprc, EachBranchIsAccurate) {
    EXPECT_TRUE(Within(elliprc(1, 2), kPi / 4, 1));
    EXPECT_TRUE(Within(elliprc(2.25, 2), 0.6931471805599453, 2));
    EXPECT_TRUE(Within(elliprc(4, 1), 0.7603459963009465, 2));  // acosh(2)/sqrt(3)
}

TEST(Elliprc, NegativeYGivesThePrincipalValue) {
    EXPECT_TRUE(Within(elliprc(0.25, -2), 0.23104906018664845, 2));  // ln(2)/3
    // With x = 0 the principal value vanishes.
    EXPECT_TRUE(Is(elliprc(0, -1), 0.0));
}

TEST(Elliprc, NegativeXIsTestedBeforeZeroY) {
    EXPECT_TRUE(Fails(elliprc(-1, 0), kRcX));
    EXPECT_TRUE(Fails(elliprc(kTinyNegative, 1), kRcX));
    EXPECT_TRUE(Fails(elliprc(1, 0), kRcY));
    EXPECT_TRUE(Fails(elliprc(0, 0), kRcY));
    EXPECT_TRUE(Fails(elliprc(0, -0.0), kRcY));
}

// RC has no loop: NaN goes through the arithmetic and comes out as a value.
TEST(Elliprc, NanIsPassedThrough) {
    EXPECT_TRUE(IsNaN(elliprc(kNaN, 1)));
    EXPECT_TRUE(IsNaN(elliprc(1, kNaN)));
}

// ---------------------------------------------------------------- elliprd

TEST(Elliprd, XAndYAreTestedBeforeZ) {
    EXPECT_TRUE(Fails(elliprd(-1, 1, 0), kRdXY));
    EXPECT_TRUE(Fails(elliprd(0, 0, 1), kRdXY));
    EXPECT_TRUE(Fails(elliprd(0, 0, 0), kRdXY));
    EXPECT_TRUE(Fails(elliprd(kNaN, -1, 1), kRdXY));
    EXPECT_TRUE(Fails(elliprd(1, 1, 0), kRdZ));
    EXPECT_TRUE(Fails(elliprd(1, 1, -1), kRdZ));
}

TEST(Elliprd, ClosedForms) {
    EXPECT_TRUE(Within(elliprd(2, 2, 2), 0.3535533905932738, 1));  // 1/(2 sqrt 2)
    // x = 0 with y = z, directly and after the exchange of x and y.
    EXPECT_TRUE(Within(elliprd(0, 2, 2), 0.8330405509046936, 2));  // 3 pi/(8 sqrt 2)
    EXPECT_TRUE(Within(elliprd(2, 0, 2), 0.8330405509046936, 2));
}

// x = 0 takes the AGM with a sum; a zero y stays put and is duplicated.
TEST(Elliprd, ZeroXAndZeroYAgree) {
    EXPECT_TRUE(Within(elliprd(0, 2, 1), 1.7972103521033884, 2));
    EXPECT_TRUE(Within(elliprd(2, 0, 1), 1.7972103521033884, 2));
}

TEST(Elliprd, NanFailsToConverge) {
    EXPECT_TRUE(Fails(elliprd(kNaN, 1, 1), kRdConverge));
    EXPECT_TRUE(Fails(elliprd(1, 2, kNaN), kRdConverge));
}

// ---------------------------------------------------------------- elliprj

TEST(Elliprj, ArgumentsAreTestedBeforeP) {
    EXPECT_TRUE(Fails(elliprj(0, 0, 1, 1), kRjDomain));
    EXPECT_TRUE(Fails(elliprj(0, 0, 1, 0), kRjDomain));
    EXPECT_TRUE(Fails(elliprj(-1, 1, 1, 0), kRjDomain));
    EXPECT_TRUE(Fails(elliprj(kNaN, 0, 0, 1), kRjDomain));
    EXPECT_TRUE(Fails(elliprj(1, 1, 1, 0), kRjP));
    EXPECT_TRUE(Fails(elliprj(1, 1, 1, -0.0), kRjP));
}

// p equal to z (or to a repeated y = z) is RD itself.
TEST(Elliprj, PEqualToZIsRd) {
    EXPECT_TRUE(Is(elliprj(1, 2, 3, 3), elliprd(1, 2, 3).value()));
    EXPECT_TRUE(Within(elliprj(1, 2, 3, 3), 0.29046028102899063, 2));
    EXPECT_TRUE(Is(elliprj(1, 2, 2, 2), elliprd(1, 2, 2).value()));
    EXPECT_TRUE(Is(elliprj(1, 1, 1, 1), 1.0));
}

TEST(Elliprj, OneZeroValue) { EXPECT_TRUE(Within(elliprj(0, 1, 2, 3), 0.7768862377858233, 2)); }

TEST(Elliprj, PrincipalValueMayBeNegative) {
    EXPECT_TRUE(Within(elliprj(2, 3, 4, -5), -0.1271123004296391, 4));
    EXPECT_TRUE(Within(elliprj(0, 1, 1, -1), -2.356194490192345, 4));  // -3 pi/4
}

// NaN in x or p runs the full hundred duplications.
// Three equal arguments with p close to them: the closed form in RC cancels
// (it was 3e-4 off at p/x - 1 = 1.6e-10), so such arguments take the
// duplication; far from x the closed form still serves.
TEST(Elliprj, ThreeEqualArgumentsWithNearbyP) {
    EXPECT_TRUE(Within(elliprj(2.2048253015161805, 2.2048253015161805, 2.2048253015161805,
                               2.2048253018737003),
                       0.30544901146000425, 4));
    EXPECT_TRUE(Within(elliprj(0.0018852140887516597, 0.0018852140887516597,
                               0.0018852140887516597, 0.0018852140887536649),
                       12216.842780321496, 4));
    EXPECT_TRUE(Within(elliprj(1, 1, 1, 1.1), 0.9439775297883225, 4));
    EXPECT_TRUE(Within(elliprj(1, 1, 1, 2), 0.643805509807655, 4));
}

TEST(Elliprj, NanFailsToConverge) {
    EXPECT_TRUE(Fails(elliprj(kNaN, 1, 2, 3), kRjConverge));
    EXPECT_TRUE(Fails(elliprj(1, 2, 3, kNaN), kRjConverge));
}

// ---------------------------------------------------------------- elliprg

TEST(Elliprg, ClosedForms) {
    EXPECT_TRUE(Is(elliprg(0, 16, 16), kPi));
    EXPECT_TRUE(Is(elliprg(0, 0, 4), 1.0));
    EXPECT_TRUE(Is(elliprg(4, 0, 0), 1.0));
    EXPECT_TRUE(Is(elliprg(4, 4, 4), 2.0));
}

// The ordering into L >= M >= s must not depend on the argument order.
TEST(Elliprg, AnyOrderGivesTheSameValue) {
    for (const Result r : {elliprg(2, 3, 4), elliprg(4, 3, 2), elliprg(3, 2, 4), elliprg(2, 4, 3)})
        EXPECT_TRUE(Within(r, 1.7255030280692278, 2));
    // s = 0 with L > M: the AGM with a sum.
    EXPECT_TRUE(Within(elliprg(0, 1, 2), elliprg(2, 0, 1).value(), 0));
}

TEST(Elliprg, NegativeArgumentsAreRejected) {
    EXPECT_TRUE(Fails(elliprg(-1, 1, 1), kRgDomain));
    EXPECT_TRUE(Fails(elliprg(1, kTinyNegative, 1), kRgDomain));
    EXPECT_TRUE(Fails(elliprg(1, 1, -1), kRgDomain));
}

// RF is called before RD, and its error comes back unchanged.
TEST(Elliprg, InnerErrorsPassThroughInCallOrder) {
    EXPECT_TRUE(Fails(elliprg(kInf, 1, 2), kRfConverge));
}

}  // namespace
