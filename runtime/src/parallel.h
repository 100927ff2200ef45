// A minimal fork-join loop for the kernels: no pool, no global state, so concurrent calls
// from many application threads never share anything.
#pragma once

#include <cstdint>
#include <functional>

namespace vexa {

// Runs body(t) once for every t in [0, n_tasks), on up to `threads` threads including the
// caller's, and returns when all have finished. Tasks are handed out dynamically, in
// increasing order, so uneven tasks balance themselves.
//
// Failure reporting is the body's business: it must not throw, and it records a failure
// itself (typically by storing a vexa_status into a std::atomic<int> the caller owns, and
// optionally returning early from later tasks that see it). Should a body throw anyway, the
// exception is swallowed here and the remaining tasks still run. If the system cannot start
// a worker thread, the tasks run on the threads already started (at worst, the caller's
// alone), so parallel_for itself never fails.
void parallel_for(int64_t n_tasks, int threads, const std::function<void(int64_t task)>& body);

}  // namespace vexa
