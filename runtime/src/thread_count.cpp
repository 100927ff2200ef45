#include "thread_count.h"

#include <algorithm>
#include <atomic>

#include "kernel.h"

namespace vexa {

namespace {
// 0 means "not set". A lone atomic suffices: a count is one word and no other state has to
// change with it.
std::atomic<int> g_set_threads{0};
}  // namespace

int threads_for_call() {
    const int set = g_set_threads.load(std::memory_order_relaxed);
    return set > 0 ? set : configured_threads();
}

void set_threads_for_calls(int n) {
    g_set_threads.store(std::min(n, kMaxThreads), std::memory_order_relaxed);
}

}  // namespace vexa
