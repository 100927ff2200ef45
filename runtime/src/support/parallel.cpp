#include "support/parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace vexa {
namespace {

// Teams kept for reuse; callers beyond them start threads of their own per region.
constexpr int kMaxTeams = 8;
// Bits of a team's region word that count its open slots (see Team).
constexpr int kSlotBits = 11;
constexpr int kMaxHelpers = (1 << kSlotBits) - 1;
// How long a thread spins on a region word before it parks: the gap between two regions of
// one product is usually shorter than a wake-up through the kernel, and a few tens of
// microseconds of spinning cannot take a core from anyone for long.
constexpr auto kSpin = std::chrono::microseconds(50);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// Spins until done() or kSpin has passed; true when done() held.
template <class Done>
bool spin_until(Done done) {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return true;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= until) return done();
    }
}

void drain(std::atomic<int64_t>& next, int64_t n_tasks, const std::function<void(int64_t)>& body) noexcept {
    for (;;) {
        const int64_t t = next.fetch_add(1, std::memory_order_relaxed);
        if (t >= n_tasks) return;
        try {
            body(t);
        } catch (...) {
            // Contract: bodies report their own failures; keep the others running.
        }
    }
}

// A caller's team. The region word holds (generation << kSlotBits) | open slots: a worker
// that sees a new generation takes a slot, if one is open, by compare-and-swap on the whole
// word, so it can never take a slot of a region other than the one it saw. The borrowing
// caller alone writes the region's fields; once it has run out of tasks it closes the slots
// nobody took, so a worker the system has not scheduled yet never holds it up, and waits
// only for the workers that took one.
struct Team {
    std::mutex mutex;
    std::condition_variable wake;  // workers: a new generation
    std::condition_variable done;  // the caller: pending reached 0
    std::atomic<uint64_t> region{0};
    std::atomic<int> sleepers{0};
    std::atomic<int> pending{0};  // slots not yet given back (taken and unfinished, or open)
    std::atomic<int64_t> next{0};
    uint64_t nudges = 0;  // under the mutex: wake-ups that open no region (nudge)
    const std::function<void(int64_t)>* body = nullptr;
    int64_t n_tasks = 0;
    int started = 0;  // the borrowing caller's alone

    static uint64_t generation(uint64_t word) { return word >> kSlotBits; }
    static int slots(uint64_t word) { return static_cast<int>(word & kMaxHelpers); }

    // Workers run forever (parked when idle): a team is never freed, so a worker never
    // touches freed memory, and at process exit there is nothing to join.
    void work(uint64_t seen) {
        for (;;) {
            uint64_t word = wait_for_generation(seen);
            seen = generation(word);
            while (slots(word) > 0 && generation(word) == seen)
                if (region.compare_exchange_weak(word, word - 1, std::memory_order_acq_rel,
                                                 std::memory_order_acquire)) {
                    drain(next, n_tasks, *body);
                    finish(1);
                    break;
                }
        }
    }

    void finish(int count) {
        if (pending.fetch_sub(count, std::memory_order_acq_rel) == count) {
            std::lock_guard<std::mutex> lock(mutex);
            done.notify_one();
        }
    }

    // A nudged worker spins again for kSpin, then parks once more.
    uint64_t wait_for_generation(uint64_t seen) {
        auto fresh = [&] { return generation(region.load(std::memory_order_acquire)) != seen; };
        while (!spin_until(fresh)) {
            std::unique_lock<std::mutex> lock(mutex);
            const uint64_t nudged = nudges;
            sleepers.fetch_add(1, std::memory_order_seq_cst);
            wake.wait(lock, [&] { return fresh() || nudges != nudged; });
            sleepers.fetch_sub(1, std::memory_order_relaxed);
        }
        return region.load(std::memory_order_acquire);
    }

    void nudge() {
        if (sleepers.load(std::memory_order_seq_cst) == 0) return;
        std::lock_guard<std::mutex> lock(mutex);
        ++nudges;
        wake.notify_all();
    }

    // Starts workers up to `helpers`; returns how many there are (fewer when the system
    // refuses threads).
    int grow(int helpers) {
        const uint64_t now = generation(region.load(std::memory_order_relaxed));
        while (started < helpers) {
            try {
                std::thread(&Team::work, this, now).detach();
            } catch (...) {
                break;
            }
            ++started;
        }
        return std::min(started, helpers);
    }

    void run(int64_t n_tasks_, int helpers, const std::function<void(int64_t)>& body_) {
        helpers = grow(helpers);
        body = &body_;
        n_tasks = n_tasks_;
        next.store(0, std::memory_order_relaxed);
        pending.store(helpers, std::memory_order_relaxed);
        const uint64_t opened = (generation(region.load(std::memory_order_relaxed)) + 1) << kSlotBits;
        region.store(opened | static_cast<uint64_t>(helpers), std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) > 0) {
            // Under the lock: a worker between its check and its wait cannot miss this.
            std::lock_guard<std::mutex> lock(mutex);
            wake.notify_all();
        }
        drain(next, n_tasks, body_);
        const int untaken = slots(region.exchange(opened, std::memory_order_acq_rel));
        if (untaken > 0) finish(untaken);
        auto finished = [&] { return pending.load(std::memory_order_acquire) == 0; };
        if (!spin_until(finished)) {
            std::unique_lock<std::mutex> lock(mutex);
            done.wait(lock, finished);
        }
    }
};

// The teams not lent at the moment. Allocated once and never freed, like the teams, so
// that static destruction at exit has nothing to tear down under running workers.
struct Registry {
    std::mutex mutex;
    std::vector<Team*> idle;
    int created = 0;
};

std::atomic<Registry*> registry{nullptr};

#ifndef _WIN32
std::atomic<bool> fork_handler_set{false};
// The child of fork() has none of the workers, and a lock may have been held by a thread
// that is gone: it forgets every team (leaking them, a few bytes) and builds new ones.
void forget_teams_in_child() { registry.store(nullptr, std::memory_order_relaxed); }
#endif

Registry* teams() {
    Registry* r = registry.load(std::memory_order_acquire);
    if (r) return r;
    Registry* fresh = new (std::nothrow) Registry;
    if (!fresh) return nullptr;
    try {
        fresh->idle.reserve(kMaxTeams);
    } catch (...) {
        delete fresh;
        return nullptr;
    }
    if (!registry.compare_exchange_strong(r, fresh, std::memory_order_acq_rel)) {
        delete fresh;
        return r;
    }
#ifndef _WIN32
    if (!fork_handler_set.exchange(true)) pthread_atfork(nullptr, nullptr, forget_teams_in_child);
#endif
    return fresh;
}

Team* borrow(Registry& r) {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.idle.empty()) {
        Team* team = r.idle.back();
        r.idle.pop_back();
        return team;
    }
    if (r.created >= kMaxTeams) return nullptr;
    Team* team = new (std::nothrow) Team;
    if (team) ++r.created;
    return team;
}

void give_back(Registry& r, Team* team) {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.idle.push_back(team);  // within the capacity reserved for every team
}

// Threads started for this region alone, for callers that find every team lent.
void run_on_fresh_threads(int64_t n_tasks, int helpers, const std::function<void(int64_t)>& body) {
    std::atomic<int64_t> next{0};
    std::vector<std::thread> workers;
    try {
        workers.reserve(static_cast<size_t>(helpers));
        for (int w = 0; w < helpers; ++w) workers.emplace_back([&] { drain(next, n_tasks, body); });
    } catch (...) {
        // Fewer threads than asked for: the ones we have finish the work.
    }
    drain(next, n_tasks, body);
    for (auto& worker : workers) worker.join();
}

}  // namespace

void parallel_wake(int threads) {
    if (threads <= 1) return;
    Registry* r = teams();
    if (!r) return;
    try {
        std::lock_guard<std::mutex> lock(r->mutex);
        if (!r->idle.empty()) r->idle.back()->nudge();
    } catch (...) {
        // The lock refused: the next region wakes its workers itself.
    }
}

void parallel_for(int64_t n_tasks, int threads, const std::function<void(int64_t task)>& body) {
    if (n_tasks <= 0) return;
    const int helpers = static_cast<int>(std::min<int64_t>({int64_t(threads), n_tasks, int64_t(kMaxHelpers) + 1})) - 1;
    if (helpers <= 0) {
        std::atomic<int64_t> next{0};
        drain(next, n_tasks, body);
        return;
    }
    Registry* r = teams();
    Team* team = nullptr;
    try {
        team = r ? borrow(*r) : nullptr;
    } catch (...) {
        team = nullptr;  // the registry's lock refused
    }
    if (!team) {
        run_on_fresh_threads(n_tasks, helpers, body);
        return;
    }
    team->run(n_tasks, helpers, body);
    try {
        give_back(*r, team);
    } catch (...) {
        // The lock refused: the team stays out of use, its parked workers cost nothing.
    }
}

}  // namespace vexa
