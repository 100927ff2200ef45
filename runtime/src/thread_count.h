// The thread count a product runs with, changeable at run time from any thread.
#pragma once

namespace vexa {

// Upper bound on any thread count, set or from VEXA_NUM_THREADS.
constexpr int kMaxThreads = 1024;

// Threads for a call starting now: the count last set, else configured_threads().
// A call reads this once, so a concurrent change never affects a call in flight.
int threads_for_call();

// n >= 1 sets the count (capped at kMaxThreads); 0 returns to configured_threads().
// The caller has checked that n is not negative.
void set_threads_for_calls(int n);

}  // namespace vexa
