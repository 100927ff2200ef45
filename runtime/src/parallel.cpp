#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace vexa {

void parallel_for(int64_t n_tasks, int threads, const std::function<void(int64_t task)>& body) {
    if (n_tasks <= 0) return;
    std::atomic<int64_t> next{0};
    auto drain = [&]() noexcept {
        for (;;) {
            const int64_t t = next.fetch_add(1, std::memory_order_relaxed);
            if (t >= n_tasks) return;
            try {
                body(t);
            } catch (...) {
                // Contract: bodies report their own failures; keep the others running.
            }
        }
    };
    const int64_t wanted = std::min<int64_t>(std::max(threads, 1), n_tasks);
    std::vector<std::thread> workers;
    try {
        workers.reserve(static_cast<size_t>(wanted - 1));
        for (int64_t w = 1; w < wanted; ++w) workers.emplace_back(drain);
    } catch (...) {
        // Fewer threads than asked for (out of memory, thread limit): the ones we have
        // finish the work.
    }
    drain();
    for (auto& worker : workers) worker.join();
}

}  // namespace vexa
