// The batch on the pool while the caller is slow to take up its curves: the
// curves handed over while later ones are computed must each come once, with
// the single curve's bits, and a curve the caller refuses in the middle of a
// backlog must end the call at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <span>
#include <thread>
#include <vector>

#include "models/multi_witt_mao.hpp"
#include "models/witt_mao.hpp"
#include "runtime/worker_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Two pool threads at least, unless the pool already exists with fewer.
runtime::WorkerPool& pool_of_two() {
    setenv("RAYON_NUM_THREADS", "2", 0);
    return runtime::global_pool();
}

struct Batch {
    std::vector<double> l;
    std::vector<double> re{1.0, 2.0};
    std::vector<double> rstar{0.01, 0.02, 0.05, 0.1, 0.2, 0.5};

    Batch() {
        for (int i = 0; i < 6000; ++i) l.push_back(0.25 + 4.0 * i / 6000.0);
    }
    [[nodiscard]] std::size_t pairs() const { return re.size() * rstar.size(); }

    [[nodiscard]] std::vector<double> single(std::size_t pair) const {
        std::vector<double> curve(l.size());
        const auto filled = models::witt_mao_magnification_into(
            l, re[pair / rstar.size()], rstar[pair % rstar.size()], curve);
        EXPECT_TRUE(filled.ok());
        return curve;
    }
};

bool same_bits(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(MultiWittMao, SlowOrAbsentCallerGetsEveryCurveOnceWithTheSingleCurvesBits) {
    if (pool_of_two().size() < 2) GTEST_SKIP() << "a pool of one thread computes on the caller";
    const Batch batch;
    std::vector<double> out(batch.pairs() * batch.l.size());
    std::vector<int> handed(batch.pairs(), 0);
    bool all_exact = true;
    // A caller that takes a millisecond per curve is behind for most of the
    // call: several curves are finished each time it asks for more.
    const models::CurveReady slow = [&](std::size_t pair, std::span<const double> curve) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++handed[pair];
        all_exact = all_exact && same_bits(curve, batch.single(pair));
        return true;
    };
    ASSERT_TRUE(models::multi_witt_mao_magnification_into(batch.l, batch.re, batch.rstar, out,
                                                          slow)
                    .ok());
    EXPECT_EQ(handed, std::vector<int>(batch.pairs(), 1));
    EXPECT_TRUE(all_exact);

    // Nobody takes curves up: the values agree all the same.
    const auto whole = models::multi_witt_mao_magnification(batch.l, batch.re, batch.rstar);
    ASSERT_TRUE(whole.ok());
    for (std::size_t k = 0; k < batch.pairs(); ++k) {
        EXPECT_TRUE(same_bits(whole.value()[k], batch.single(k))) << "pair " << k;
    }
}

TEST(MultiWittMao, ACurveRefusedWhileTheCallerIsBehindEndsTheCallPromptly) {
    // As when Ctrl-C interrupts the making of a curve's list: the caller
    // gives up in the middle of a backlog, while the pool still computes.
    if (pool_of_two().size() < 2) GTEST_SKIP() << "a pool of one thread computes on the caller";
    Batch batch;
    for (int i = 0; i < 4; ++i) batch.l.insert(batch.l.end(), batch.l.begin(), batch.l.end());
    std::vector<double> out(batch.pairs() * batch.l.size());
    int taken = 0;
    const models::CurveReady slow = [&](std::size_t, std::span<const double>) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return ++taken < 3;
    };
    const auto start = Clock::now();
    const auto filled =
        models::multi_witt_mao_magnification_into(batch.l, batch.re, batch.rstar, out, slow);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_FALSE(filled.ok());
    EXPECT_EQ(filled.error().kind, models::ErrorKind::interrupted);
    EXPECT_EQ(taken, 3);
    // The curves being computed stop at their next poll, and no further
    // curve is handed over.  Generous for a loaded machine.
    EXPECT_LT(seconds, 2.0) << "took " << seconds << " s";
    std::printf("refused batch ended after %.3f s\n", seconds);
}

}  // namespace
