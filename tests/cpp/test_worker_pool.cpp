// The worker pool: its size from the environment and the cgroup quota, that
// every index runs exactly once, failures, nesting, concurrent callers, thread
// start-up failures, and the process-wide pool across fork().
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/internal_failure.hpp"
#include "runtime/pool_size.hpp"
#include "runtime/worker_pool.hpp"

namespace {

namespace fs = std::filesystem;
using runtime::WorkerPool;

// Sets the two pool-size variables for one test and restores them after.
class PoolEnvironment {
public:
    PoolEnvironment() {
        for (const char* name : names_) {
            const char* value = std::getenv(name);
            saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
    }
    ~PoolEnvironment() {
        for (std::size_t i = 0; i < 2; ++i) {
            if (saved_[i]) {
                setenv(names_[i], saved_[i]->c_str(), 1);
            } else {
                unsetenv(names_[i]);
            }
        }
    }
    void set(const char* num_threads, const char* num_cpus) {
        num_threads ? setenv(names_[0], num_threads, 1) : unsetenv(names_[0]);
        num_cpus ? setenv(names_[1], num_cpus, 1) : unsetenv(names_[1]);
    }

private:
    const char* names_[2] = {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"};
    std::vector<std::optional<std::string>> saved_;
};

TEST(PoolSize, ParsesUnsignedDecimalCounts) {
    EXPECT_EQ(runtime::parse_thread_count("4"), 4u);
    EXPECT_EQ(runtime::parse_thread_count("+2"), 2u);
    EXPECT_EQ(runtime::parse_thread_count("0"), 0u);
    EXPECT_EQ(runtime::parse_thread_count("007"), 7u);
    EXPECT_EQ(runtime::parse_thread_count("18446744073709551615"), 18446744073709551615u);
    for (const char* bad : {"abc", "-2", "", "+", " 3", "3 ", "1e3", "++1", "18446744073709551616",
                            "99999999999999999999999"}) {
        EXPECT_EQ(runtime::parse_thread_count(bad), std::nullopt) << '"' << bad << '"';
    }
    EXPECT_EQ(runtime::parse_thread_count(nullptr), std::nullopt);
}

TEST(PoolSize, FollowsTheEnvironment) {
    PoolEnvironment env;
    const std::size_t processors = runtime::available_processors();
    EXPECT_GE(processors, 1u);

    env.set(nullptr, nullptr);
    EXPECT_EQ(runtime::configured_pool_size(), processors);
    env.set("3", nullptr);
    EXPECT_EQ(runtime::configured_pool_size(), 3u);
    env.set("3", "5");
    EXPECT_EQ(runtime::configured_pool_size(), 3u);
    // Zero asks for the default without consulting the second variable.
    env.set("0", "5");
    EXPECT_EQ(runtime::configured_pool_size(), processors);
    for (const char* ignored : {"abc", "-2", ""}) {
        env.set(ignored, "5");
        EXPECT_EQ(runtime::configured_pool_size(), 5u) << '"' << ignored << '"';
    }
    env.set(nullptr, "0");
    EXPECT_EQ(runtime::configured_pool_size(), processors);
    env.set(nullptr, "x");
    EXPECT_EQ(runtime::configured_pool_size(), processors);
}

// A scratch directory standing in for the file system root.
class CgroupTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/caustrix-cgroup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }
    void write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(root_ + path).parent_path());
        std::ofstream(root_ + path) << text;
    }
    std::optional<std::size_t> limit(const std::string& cgroup, const std::string& mountinfo) {
        return runtime::detail::cgroup_cpu_limit(cgroup, mountinfo, root_);
    }
    std::string root_;
};

const std::string unified_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";

TEST_F(CgroupTree, UnifiedQuotaTakesTheSmallestAncestor) {
    write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
    write("/sys/fs/cgroup/a/cpu.max", "250000 100000\n");
    EXPECT_EQ(limit("0::/a/b\n", unified_mount), 2u);  // 2.5 rounds down

    write("/sys/fs/cgroup/a/b/cpu.max", "50000 100000\n");
    EXPECT_EQ(limit("0::/a/b\n", unified_mount), 1u);  // at least one

    write("/sys/fs/cgroup/a/b/cpu.max", "700000 100000\n");
    EXPECT_EQ(limit("0::/a/b\n", unified_mount), 2u);

    write("/sys/fs/cgroup/a/cpu.max", "max 100000\n");
    EXPECT_EQ(limit("0::/a/b\n", unified_mount), 7u);

    write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
    EXPECT_EQ(limit("0::/a/b\n", unified_mount), std::nullopt);
}

TEST_F(CgroupTree, MountRootIsStrippedFromTheCgroupPath) {
    // Inside a container the hierarchy's /docker/c is what is mounted.
    const std::string mountinfo = "30 23 0:26 /docker/c /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    write("/sys/fs/cgroup/job/cpu.max", "300000 100000\n");
    EXPECT_EQ(limit("0::/docker/c/job\n", mountinfo), 3u);
    // A cgroup outside the mounted subtree cannot be read.
    EXPECT_EQ(limit("0::/elsewhere/job\n", mountinfo), std::nullopt);
}

TEST_F(CgroupTree, LegacyHierarchyWhenTheUnifiedOneHasNoCpuController) {
    const std::string mountinfo =
        unified_mount +
        "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n"
        "33 31 0:30 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
    const std::string cgroup = "4:memory:/grp\n3:cpu,cpuacct:/grp\n0::/grp\n";
    write("/sys/fs/cgroup/grp/cgroup.procs", "");  // unified, but no cpu.max
    write("/sys/fs/cgroup/memory/grp/cpu.cfs_quota_us", "100000\n");  // wrong controller
    write("/sys/fs/cgroup/memory/grp/cpu.cfs_period_us", "100000\n");
    write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "-1\n");
    write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n");
    write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
    write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(limit(cgroup, mountinfo), std::nullopt);

    write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "150000\n");
    write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "50000\n");
    EXPECT_EQ(limit(cgroup, mountinfo), 3u);

    // Once the unified hierarchy carries cpu.max it is the one that counts.
    write("/sys/fs/cgroup/grp/cpu.max", "max 100000\n");
    EXPECT_EQ(limit(cgroup, mountinfo), std::nullopt);
}

// ---------------------------------------------------------------------------

TEST(WorkerPool, EveryIndexRunsExactlyOnceAndLandsInItsSlot) {
    for (const std::size_t size : {1u, 2u, 8u}) {
        WorkerPool pool(size);
        EXPECT_EQ(pool.size(), size);
        for (const std::size_t n : {0u, 1u, 2u, 3u, 7u, 1000u}) {
            std::vector<std::atomic<int>> calls(n);
            std::vector<std::size_t> slots(n, 0);
            pool.for_each_index(n, [&](std::size_t i) {
                calls[i].fetch_add(1);
                slots[i] = i * i + 1;
            });
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(calls[i].load(), 1) << "size " << size << ", n " << n << ", index " << i;
                ASSERT_EQ(slots[i], i * i + 1);
            }
        }
    }
}

TEST(WorkerPool, OnlyASingleItemRunsOnTheCallingThread) {
    WorkerPool pool(2);
    const auto caller = std::this_thread::get_id();
    std::thread::id ran_on;
    pool.for_each_index(1, [&](std::size_t) { ran_on = std::this_thread::get_id(); });
    EXPECT_EQ(ran_on, caller);

    std::mutex mutex;
    std::set<std::thread::id> threads;
    pool.for_each_index(64, [&](std::size_t) {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
    });
    EXPECT_EQ(threads.count(caller), 0u);
    EXPECT_LE(threads.size(), 2u);
}

TEST(WorkerPool, ReportedProgressIsTakenUpOnTheCallingThreadWhileItemsRun) {
    WorkerPool pool(2);
    const auto caller = std::this_thread::get_id();
    constexpr std::size_t n = 16;
    // Each item but the first waits until the caller has taken up the
    // progress of the one before it, so the call can only complete if
    // progress is taken up while items are still running.
    std::atomic<std::size_t> reported{0};
    std::atomic<std::size_t> taken{0};
    std::atomic<bool> off_thread{false};
    pool.for_each_index(
        n,
        [&](std::size_t) {
            const std::size_t mine = reported.fetch_add(1);
            while (taken.load() < mine) {
                std::this_thread::yield();
            }
            WorkerPool::report_progress();
        },
        {},
        [&] {
            if (std::this_thread::get_id() != caller) off_thread = true;
            taken.store(reported.load());
        });
    EXPECT_FALSE(off_thread.load());
    EXPECT_EQ(reported.load(), n);

    // Outside an item, and for a worker's nested call, reporting is a no-op.
    WorkerPool::report_progress();
    std::atomic<int> nested_progress{0};
    pool.for_each_index(2, [&](std::size_t) {
        pool.for_each_index(4, [](std::size_t) { WorkerPool::report_progress(); }, {},
                            [&] { nested_progress.fetch_add(1); });
    });
    EXPECT_EQ(nested_progress.load(), 0);
}

TEST(WorkerPool, LowestFailingIndexIsRethrownAfterAllItemsRan) {
    for (const std::size_t size : {1u, 4u}) {
        WorkerPool pool(size);
        std::vector<std::atomic<int>> calls(12);
        try {
            pool.for_each_index(12, [&](std::size_t i) {
                calls[i].fetch_add(1);
                if (i == 3) {
                    // Give item 5 every chance to fail first.
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    throw std::runtime_error("item 3");
                }
                if (i == 5) throw std::runtime_error("item 5");
            });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "item 3");
        }
        for (const auto& c : calls) EXPECT_EQ(c.load(), 1);

        // Internal failures are not std::exceptions; they come back unchanged.
        try {
            pool.for_each_index(12, [&](std::size_t i) {
                if (i == 6) throw runtime::InternalFailure{"item 6", __FILE__, __LINE__};
                if (i == 9) throw std::runtime_error("item 9");
            });
            ADD_FAILURE() << "no exception";
        } catch (const runtime::InternalFailure& f) {
            EXPECT_EQ(f.message, "item 6");
        }
    }
}

TEST(WorkerPool, NestedCallsFromWorkersComplete) {
    for (const std::size_t size : {1u, 2u}) {
        WorkerPool pool(size);
        std::vector<std::atomic<int>> calls(4 * 5 * 3);
        pool.for_each_index(4, [&](std::size_t i) {
            pool.for_each_index(5, [&](std::size_t j) {
                pool.for_each_index(3, [&](std::size_t k) { calls[(i * 5 + j) * 3 + k].fetch_add(1); });
            });
        });
        for (const auto& c : calls) EXPECT_EQ(c.load(), 1) << "size " << size;

        // A failure inside a nested range reaches the outer caller.
        EXPECT_THROW(pool.for_each_index(3,
                                         [&](std::size_t i) {
                                             pool.for_each_index(4, [&](std::size_t j) {
                                                 if (i == 2 && j == 1) throw std::runtime_error("inner");
                                             });
                                         }),
                     std::runtime_error);
    }
}

TEST(WorkerPool, ConcurrentCallersEachGetTheirOwnResults) {
    WorkerPool pool(3);
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            for (std::size_t round = 0; round < 40; ++round) {
                const std::size_t n = 2 + (t * 7 + round) % 50;
                std::vector<std::size_t> slots(n, 0);
                pool.for_each_index(n, [&](std::size_t i) { slots[i] += t * 1000 + i + 1; });
                for (std::size_t i = 0; i < n; ++i) {
                    if (slots[i] != t * 1000 + i + 1) wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------
// Starting the threads

std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
    return n;
}

// Joined threads may linger in /proc for a moment: read until steady.
std::size_t settled_thread_count() {
    std::size_t last = thread_count();
    for (int same = 0; same < 3;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::size_t now = thread_count();
        same = now == last ? same + 1 : 0;
        last = now;
    }
    return last;
}

WorkerPool::Spawner failing_with(int code, int successes = 0) {
    auto started = std::make_shared<int>(0);
    return [=](std::function<void()> body) {
        if ((*started)++ < successes) return std::thread(std::move(body));
        throw std::system_error(code, std::generic_category(), "fake thread start");
    };
}

TEST(WorkerPool, StartsExactlyItsSizeInThreads) {
    const std::size_t before = settled_thread_count();
    {
        WorkerPool pool(5);
        EXPECT_EQ(thread_count(), before + 5);
    }
    EXPECT_EQ(settled_thread_count(), before);
}

TEST(WorkerPool, FailedThreadStartIsAnInternalFailure) {
    const std::size_t before = settled_thread_count();
    for (const int successes : {0, 2}) {
        try {
            WorkerPool pool(4, failing_with(EAGAIN, successes));
            ADD_FAILURE() << "no failure";
        } catch (const runtime::InternalFailure& f) {
            EXPECT_NE(f.message.find("The global thread pool has not been initialized."), std::string::npos)
                << f.message;
        }
    }
    // The workers that did start were stopped and joined.
    EXPECT_EQ(settled_thread_count(), before);
    // A count far beyond what can start claims nothing for the workers that
    // never started: the failure comes at the first refused thread.
    EXPECT_THROW(WorkerPool(std::numeric_limits<std::size_t>::max(), failing_with(EAGAIN, 3)),
                 runtime::InternalFailure);
    EXPECT_EQ(settled_thread_count(), before);
}

// An interrupt test that throws (as a forced unwind of the waiting thread
// does) must not let the caller's frame, which the workers still use, go
// before the running items have finished.
TEST(WorkerPool, ThrowingInterruptTestWaitsForTheRunningItems) {
    WorkerPool pool(2);
    std::atomic<bool> stop_items{false};
    std::atomic<int> running{0};
    std::atomic<int> started{0};
    const auto item = [&](std::size_t) {
        running.fetch_add(1);
        started.fetch_add(1);
        while (!stop_items.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // still busy after the throw
        running.fetch_sub(1);
    };
    const auto interrupted = [&]() -> bool {
        if (started.load() == 0) return false;
        stop_items.store(true);
        throw std::runtime_error("handler failed");
    };
    int running_when_caught = -1;
    try {
        pool.for_each_index(64, item, interrupted);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error&) {
        running_when_caught = running.load();
    }
    EXPECT_EQ(running_when_caught, 0);
    EXPECT_LT(started.load(), 64);  // the remaining items were not started
}

#if !defined(__SANITIZE_THREAD__)
// A child forked by the interrupt test (a signal handler calling fork) has
// no workers: the call must end there instead of waiting for them forever,
// while the parent's call completes.
TEST(WorkerPool, ForkFromTheInterruptTestEndsTheCallInTheChild) {
    WorkerPool pool(2);
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
    pid_t child = 0;
    const auto item = [&](std::size_t) {
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        calls.fetch_add(1);
    };
    const auto interrupted = [&]() -> bool {
        if (child == 0) {
            child = fork();
            if (child == 0) {
                alarm(60);  // a hanging child must not hang the run
                return false;
            }
        }
        release.store(true);
        return false;
    };
    try {
        EXPECT_TRUE(pool.for_each_index(8, item, interrupted));
    } catch (const runtime::ForkedDuringCall&) {
        if (child == 0) _exit(0);  // the child, as expected
    }
    if (child == 0) _exit(1);  // the child returned or threw something else
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(calls.load(), 8);
}
#endif

TEST(WorkerPool, WithoutThreadSupportTheCallerDoesTheWork) {
    for (const int code : {ENOSYS, EOPNOTSUPP}) {
        const std::size_t before = settled_thread_count();
        WorkerPool pool(4, failing_with(code, 1));
        EXPECT_EQ(pool.size(), 1u);
        EXPECT_EQ(settled_thread_count(), before);

        const auto caller = std::this_thread::get_id();
        std::vector<int> calls(9, 0);
        bool elsewhere = false;
        EXPECT_THROW(pool.for_each_index(9,
                                         [&](std::size_t i) {
                                             ++calls[i];
                                             elsewhere |= std::this_thread::get_id() != caller;
                                             pool.for_each_index(2, [](std::size_t) {});
                                             if (i == 4 || i == 7) throw std::out_of_range(std::to_string(i));
                                         }),
                     std::out_of_range);
        EXPECT_EQ(calls, std::vector<int>(9, 1));
        EXPECT_FALSE(elsewhere);
    }
}

TEST(WorkerPool, PoolWorkerCannotFallBackToRunningAlone) {
    WorkerPool outer(2);
    std::atomic<int> failures{0};
    outer.for_each_index(2, [&](std::size_t) {
        try {
            WorkerPool inner(2, failing_with(ENOSYS));
        } catch (const runtime::InternalFailure&) {
            failures.fetch_add(1);
        }
    });
    EXPECT_EQ(failures.load(), 2);
}

// ---------------------------------------------------------------------------

TEST(GlobalPool, IsOneObjectForTheProcess) {
    WorkerPool* first = &runtime::global_pool();
    WorkerPool* from_other_thread = nullptr;
    std::thread([&] { from_other_thread = &runtime::global_pool(); }).join();
    EXPECT_EQ(first, from_other_thread);
    EXPECT_EQ(first, &runtime::global_pool());
    EXPECT_GE(first->size(), 1u);

    std::vector<std::atomic<int>> calls(100);
    first->for_each_index(100, [&](std::size_t i) { calls[i].fetch_add(1); });
    for (const auto& c : calls) EXPECT_EQ(c.load(), 1);
}

#if !defined(__SANITIZE_THREAD__)  // the thread sanitizer cannot start threads after fork()
TEST(GlobalPool, ForkedChildStartsItsOwn) {
    WorkerPool* parent = &runtime::global_pool();
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(120);  // a child waiting on the parent's vanished workers must not hang the run
        WorkerPool& pool = runtime::global_pool();
        if (&pool == parent) _exit(2);
        std::vector<std::atomic<int>> calls(50);
        pool.for_each_index(50, [&](std::size_t i) { calls[i].fetch_add(1); });
        for (const auto& c : calls) {
            if (c.load() != 1) _exit(3);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent's pool still serves the parent.
    EXPECT_EQ(&runtime::global_pool(), parent);
    std::atomic<int> calls{0};
    parent->for_each_index(10, [&](std::size_t) { calls.fetch_add(1); });
    EXPECT_EQ(calls.load(), 10);
}
#endif

}  // namespace
