// The thread count a product runs with: VEXA_NUM_THREADS, read here and nowhere else, the
// limit on any count, and the count set at run time from any thread.
#pragma once

namespace vexa {

// Upper bound on any thread count, set or from VEXA_NUM_THREADS (vexa_max_threads()).
constexpr int kMaxThreads = 1024;

// Worker threads for one call when none was set: VEXA_NUM_THREADS when set to a positive
// integer (at most kMaxThreads), otherwise every CPU the process may run on. Read once.
int configured_threads();
// Why a VEXA_NUM_THREADS that was set is not the count (not a positive integer, or capped),
// or null when it is or was not set.
const char* num_threads_note();

// Threads for a call starting now: the count last set, else configured_threads().
// A call reads this once, so a concurrent change never affects a call in flight.
int threads_for_call();

// n >= 1 sets the count (capped at kMaxThreads); 0 returns to configured_threads().
// The caller has checked that n is not negative.
void set_threads_for_calls(int n);

}  // namespace vexa
