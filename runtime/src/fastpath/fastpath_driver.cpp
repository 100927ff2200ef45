// The driver's helpers that are not templates.
#include <algorithm>
#include <cmath>
#include <mutex>

#include "fastpath/fastpath_driver.h"
#include "support/parallel.h"

namespace vexa::fast {

namespace {
// Process-wide rather than thread-local: glibc allocates a loaded library's thread-local
// variables on a thread's first touch and aborts the process when it cannot, and the
// readers (the benchmarks and tests) run one product at a time anyway.
std::mutex timing_lock;
Timing latest_timing;
}  // namespace

Timing last_timing() {
    std::lock_guard<std::mutex> hold(timing_lock);
    return latest_timing;
}

void record_timing(const Timing& timing) {
    std::lock_guard<std::mutex> hold(timing_lock);
    latest_timing = timing;
}

namespace driver {

int threads_for_work(const GemmProblem& pb, const Options& opt, int threads) {
    if (opt.min_work_per_thread <= 0 || threads <= 1) return threads;
    const double M = double(pb.M), N = double(pb.N), K = double(pb.K);
    const double work = M * N * K + 64.0 * (M * K + K * N);
    const double fit = std::round(work / double(opt.min_work_per_thread));
    return fit >= double(threads) ? threads : std::max(1, int(fit));
}

double signed_zero(const double* a, const double* b, int64_t ldb, int64_t K) {
    for (int64_t k = 0; k < K; ++k) {
        const double x = a[k], y = b[k * ldb];
        if (x != 0.0 && y != 0.0) return 0.0;
        if (std::signbit(x) == std::signbit(y)) return 0.0;
    }
    return -0.0;
}

namespace {
// Adds zero to one byte of every 4 KiB of [begin, begin + bytes): a write, so that the
// system maps each page, which changes no value.
void touch_pages(void* begin, int64_t bytes) {
    constexpr int64_t kPage = 4096;
    auto* const first = static_cast<unsigned char*>(begin);
    for (int64_t at = 0; at < bytes; at += kPage) __atomic_fetch_add(first + at, 0, __ATOMIC_RELAXED);
    if (bytes > 0) __atomic_fetch_add(first + bytes - 1, 0, __ATOMIC_RELAXED);
}
}  // namespace

void map_output_pages(const GemmProblem& pb, int threads) {
    const int64_t elements = pb.M * pb.N;
    const int64_t per_task = int64_t(1) << 16;  // elements: 64 to 128 pages per word
    void* const res = pb.C_res64 ? static_cast<void*>(pb.C_res64) : static_cast<void*>(pb.C_res);
    const int64_t res_size = pb.C_res64 ? int64_t(sizeof(double)) : int64_t(sizeof(float));
    parallel_for((elements + per_task - 1) / per_task, threads, [&](int64_t t) {
        const int64_t e0 = t * per_task, count = std::min(per_task, elements - e0);
        touch_pages(pb.C_hi + e0, count * int64_t(sizeof(double)));
        touch_pages(pb.C_lo + e0, count * int64_t(sizeof(double)));
        touch_pages(static_cast<unsigned char*>(res) + e0 * res_size, count * res_size);
    });
}

int run_fallback(const GemmProblem& pb, int threads, const FastPlan& plan) {
    int status = VEXA_OK;
    if (!plan.excluded_rows.empty())
        status = exact::gemm_selected(pb, threads, plan.excluded_rows.data(), int64_t(plan.excluded_rows.size()),
                                      nullptr, 0);
    if (status == VEXA_OK && !plan.excluded_cols.empty() && !plan.row_order.empty())
        status = exact::gemm_selected(pb, threads, plan.row_order.data(), int64_t(plan.row_order.size()),
                                      plan.excluded_cols.data(), int64_t(plan.excluded_cols.size()));
    return status;
}

}  // namespace driver
}  // namespace vexa::fast
