// parallel_for on its kept teams: every task exactly once whatever the task and thread
// counts, region after region; no more threads than asked; callers from many threads at
// once and from inside a body; a throwing body; a child process after fork(); wakes before
// regions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "support/parallel.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Runs one region and says whether every task ran exactly once.
bool each_once(int64_t n_tasks, int threads) {
    std::vector<std::atomic<int>> runs(static_cast<size_t>(n_tasks));
    for (auto& r : runs) r.store(0);
    vexa::parallel_for(n_tasks, threads, [&](int64_t t) { runs[size_t(t)].fetch_add(1); });
    for (auto& r : runs)
        if (r.load() != 1) return false;
    return true;
}

// Each of `threads` tasks waits (up to a minute) for all of them to be inside at once.
bool all_met(int threads) {
    std::atomic<int> inside{0};
    std::atomic<bool> met{true};
    vexa::parallel_for(threads, threads, [&](int64_t) {
        inside.fetch_add(1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (inside.load() < threads && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        if (inside.load() < threads) met.store(false);
    });
    return met.load();
}

class TaskAndThreadCounts : public ::testing::TestWithParam<std::tuple<int64_t, int>> {};

TEST_P(TaskAndThreadCounts, EveryTaskRunsOnceRegionAfterRegion) {
    const auto [n_tasks, threads] = GetParam();
    for (int region = 0; region < 40; ++region) ASSERT_TRUE(each_once(n_tasks, threads)) << "region " << region;
}

TEST_P(TaskAndThreadCounts, NoMoreThreadsThanAsked) {
    const auto [n_tasks, threads] = GetParam();
    std::mutex mutex;
    std::set<std::thread::id> seen;
    vexa::parallel_for(n_tasks, threads, [&](int64_t) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // let every thread in
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(std::this_thread::get_id());
    });
    EXPECT_LE(int64_t(seen.size()), std::max<int64_t>(1, std::min<int64_t>(threads, n_tasks)));
    if (threads <= 1 || n_tasks == 1) {
        // One thread: the caller's alone.
        EXPECT_EQ(seen, (n_tasks > 0 ? std::set<std::thread::id>{std::this_thread::get_id()} : std::set<std::thread::id>{}));
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, TaskAndThreadCounts,
                         ::testing::Combine(::testing::Values<int64_t>(0, 1, 2, 3, 7, 64, 1000),
                                            ::testing::Values(-1, 0, 1, 2, 3, 5, 16)));

TEST(Parallel, TheTeamReallyWorks) {
    // Only as many threads running together as were asked for can meet (all_met).
    for (int threads : {2, 3, 2}) EXPECT_TRUE(all_met(threads)) << "threads " << threads;
}

TEST(Parallel, WakesBeforeRegions) {
    // Woken workers that find no region park again, and the next region still finds them,
    // whether it follows at once or after they have parked; a wake with no team, or for
    // one thread, changes nothing.
    for (int threads : {-1, 0, 1}) vexa::parallel_wake(threads);
    for (int round = 0; round < 6; ++round) {
        const int threads = 2 + round % 3;
        vexa::parallel_wake(threads);
        if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(all_met(threads)) << "round " << round;
        ASSERT_TRUE(each_once(100, threads)) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TEST(Parallel, GrowingAndShrinkingTeams) {
    // One team serves regions of changing width: workers beyond a region's helper count
    // must sit it out and still take part in the next wide one.
    const int widths[] = {2, 9, 3, 1, 12, 2, 12, 4};
    for (int round = 0; round < 25; ++round)
        for (int w : widths) ASSERT_TRUE(each_once(100, w)) << "threads " << w;
}

TEST(Parallel, ManyCallersAtOnce) {
    // More callers than kept teams, so some start threads of their own.
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 12; ++c)
        callers.emplace_back([&, c] {
            for (int region = 0; region < 150; ++region)
                if (!each_once(1 + (region * 7 + c) % 50, 1 + (c + region) % 4)) failures.fetch_add(1);
        });
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(Parallel, NestedRegions) {
    constexpr int64_t kOuter = 6, kInner = 40;
    std::vector<std::atomic<int>> runs(kOuter * kInner);
    for (auto& r : runs) r.store(0);
    vexa::parallel_for(kOuter, 3, [&](int64_t o) {
        vexa::parallel_for(kInner, 2, [&](int64_t i) { runs[size_t(o * kInner + i)].fetch_add(1); });
    });
    for (size_t t = 0; t < runs.size(); ++t) ASSERT_EQ(runs[t].load(), 1) << "pair " << t;
}

TEST(Parallel, AThrowingBodyLeavesTheOtherTasksRunning) {
    std::vector<std::atomic<int>> runs(200);
    for (auto& r : runs) r.store(0);
    vexa::parallel_for(200, 4, [&](int64_t t) {
        runs[size_t(t)].fetch_add(1);
        if (t % 3 == 0) throw std::runtime_error("body");
    });
    for (auto& r : runs) ASSERT_EQ(r.load(), 1);
    EXPECT_TRUE(each_once(200, 4));  // and the team still serves
}

#ifndef _WIN32
// Waits up to a minute for the child; a child stuck on its parent's workers is killed.
int child_status(pid_t child) {
    int status = 0;
    for (int tick = 0; tick < 6000; ++tick) {
        if (waitpid(child, &status, WNOHANG) == child) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}

TEST(Parallel, ForkChildRunsRegions) {
    ASSERT_TRUE(each_once(64, 4));  // the parent's teams exist and are parked
    // Another thread keeps a team busy while the parent forks.
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) each_once(500, 3);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        bool ok = true;
        for (int region = 0; region < 20; ++region) ok = ok && each_once(64, 4) && each_once(7, 2);
        _exit(ok ? 0 : 1);
    }
    stop.store(true);
    busy.join();
    const int status = child_status(child);
    ASSERT_NE(status, -1) << "the child hung";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(each_once(64, 4));  // the parent's teams are untouched
}
#endif

}  // namespace
