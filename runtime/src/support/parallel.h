// The fork-join loop of the kernels, on teams of threads that outlive the call.
#pragma once

#include <cstdint>
#include <functional>

namespace vexa {

// Runs body(t) once for every t in [0, n_tasks), on up to `threads` threads including the
// caller's, and returns when all have finished. Tasks are handed out dynamically, in
// increasing order, so uneven tasks balance themselves. With one thread (or one task) the
// caller runs everything alone and no other thread is involved.
//
// The other threads come from a team the caller borrows for the region: a few teams live
// for the whole process, their threads parked on a condition variable between regions, so
// that consecutive regions of one product start no threads. A caller that finds every team
// lent (many application threads at once, or a body that itself calls parallel_for) starts
// threads of its own for the region instead, so no caller ever waits for another. A child
// process after fork() starts afresh with no teams.
//
// Failure reporting is the body's business: it must not throw, and it records a failure
// itself (typically by storing a vexa_status into a std::atomic<int> the caller owns, and
// optionally returning early from later tasks that see it). Should a body throw anyway, the
// exception is swallowed here and the remaining tasks still run. If the system cannot start
// a worker thread, the tasks run on the threads already started (at worst, the caller's
// alone), so parallel_for itself never fails.
void parallel_for(int64_t n_tasks, int threads, const std::function<void(int64_t task)>& body);

// Wakes the parked threads of the team that the caller's next parallel_for is likely to
// borrow, so that they spin, ready, by the time it opens its first region: a wake-up
// through the kernel then overlaps the caller's own serial work (a product's planning)
// instead of delaying the region. Waking nobody is harmless; the threads park again after
// their usual spin.
void parallel_wake(int threads);

}  // namespace vexa
