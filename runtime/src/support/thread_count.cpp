#include "support/thread_count.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

#include "support/platform.h"

namespace vexa {

namespace {
// 0 means "not set". A lone atomic suffices: a count is one word and no other state has to
// change with it.
std::atomic<int> g_set_threads{0};

struct ThreadSetting {
    int threads;
    std::string note;  // why VEXA_NUM_THREADS was not taken as it is, or empty
};

ThreadSetting choose_threads() {
    const char* text = std::getenv("VEXA_NUM_THREADS");
    if (!text || !*text) return {platform::usable_cpu_count(), {}};
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    const std::string setting = std::string("VEXA_NUM_THREADS=") + text;
    if (!end || *end != '\0' || value < 1)
        return {platform::usable_cpu_count(), setting + " is not a positive integer"};
    if (value > kMaxThreads) return {kMaxThreads, setting + " is capped at " + std::to_string(kMaxThreads)};
    return {static_cast<int>(value), {}};
}

const ThreadSetting& thread_setting() {
    // Read once: the environment is not safe to read while another thread may change it.
    static const ThreadSetting setting = choose_threads();
    return setting;
}
}  // namespace

int configured_threads() { return thread_setting().threads; }

const char* num_threads_note() {
    return thread_setting().note.empty() ? nullptr : thread_setting().note.c_str();
}

int threads_for_call() {
    const int set = g_set_threads.load(std::memory_order_relaxed);
    return set > 0 ? set : configured_threads();
}

void set_threads_for_calls(int n) {
    g_set_threads.store(std::min(n, kMaxThreads), std::memory_order_relaxed);
}

}  // namespace vexa
