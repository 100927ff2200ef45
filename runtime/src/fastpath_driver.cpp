// The driver's helpers that are not templates.
#include <cmath>

#include "fastpath_driver.h"

namespace vexa::fast {

namespace {
thread_local Timing tls_timing;
}  // namespace

Timing last_timing() { return tls_timing; }
void record_timing(const Timing& timing) { tls_timing = timing; }

namespace driver {

double signed_zero(const double* a, const double* b, int64_t ldb, int64_t K) {
    for (int64_t k = 0; k < K; ++k) {
        const double x = a[k], y = b[k * ldb];
        if (x != 0.0 && y != 0.0) return 0.0;
        if (std::signbit(x) == std::signbit(y)) return 0.0;
    }
    return -0.0;
}

}  // namespace driver
}  // namespace vexa::fast
