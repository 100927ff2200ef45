// The exported entry points: argument checks, the kernel choice and the error boundary.
// Nothing below this file sees an invalid argument, and no exception gets past it.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "support/cpu_features.h"
#include "fastpath/fastpath.h"
#include "gpu/gpu_engine.h"
#include "kernel.h"
#include "support/parallel.h"
#include "support/thread_count.h"
#include "vexa.h"
#include "support/workspace_pool.h"

namespace {

// The checks every product entry point shares; VEXA_OK when the product may run.
int check_product(const double* A, const double* B, bool outputs_present, int M, int N, int K) {
    if (M < 0 || N < 0 || K < 0) return VEXA_ERROR_NEGATIVE_DIMENSION;
    const int64_t m = M, n = N, k = K;
    if ((m * k > 0 && !A) || (k * n > 0 && !B)) return VEXA_ERROR_NULL_POINTER;
    if (m * n > 0 && !outputs_present) return VEXA_ERROR_NULL_POINTER;
    return VEXA_OK;
}

// The empty sum: +0 in every word of count elements (of type T).
template <class T>
void zero_fill(T* words, int64_t count) {
    if (words) std::memset(words, 0, static_cast<size_t>(count) * sizeof(T));
}

// A checked product with M, N, K > 0, on the active kernel.
int run_product(const vexa::GemmProblem& problem, int threads) {
    const vexa::Kernel& kernel = vexa::active_kernel();
    int status = kernel.gemm(problem, threads);
    // A fast kernel's workspace is a multiple of the inputs; the exact core needs about one
    // more copy of B, so it may still succeed. Kernels write nothing before their
    // allocations succeed, so the output is still untouched here.
    if (status == VEXA_ERROR_OUT_OF_MEMORY && &kernel != &vexa::kScalarKernel)
        status = vexa::kScalarKernel.gemm(problem, threads);
    return status;
}

// Two words: the kernels always make a third, so it goes to scratch allocated first (a
// failure then leaves C untouched).
int gemm_host_106(const double* A, const double* B, double* C_hi, double* C_lo, int M, int N,
                  int K, int threads) {
    const int checked = check_product(A, B, C_hi && C_lo, M, N, K);
    if (checked != VEXA_OK) return checked;
    const int64_t m = M, n = N, k = K;
    if (m * n == 0) return VEXA_OK;
    if (k == 0) {
        zero_fill(C_hi, m * n), zero_fill(C_lo, m * n);
        return VEXA_OK;
    }
    std::unique_ptr<float[]> scratch(new (std::nothrow) float[static_cast<size_t>(m * n)]);
    if (!scratch) return VEXA_ERROR_OUT_OF_MEMORY;
    return run_product(vexa::GemmProblem{A, B, C_hi, C_lo, scratch.get(), m, n, k}, threads);
}

// Below this many multiply-adds a product of a batch runs on one thread, beside the others:
// it is too small for its own threads to pay for starting (the fast path takes over at 2^18
// to 2^21 by engine).
constexpr int64_t kBatchSmallWork = int64_t(1) << 22;

int gemm_batch_106(const double* const* A, const double* const* B, double* const* C_hi,
                   double* const* C_lo, int count, int M, int N, int K) {
    if (count < 0) return VEXA_ERROR_INVALID_ARGUMENT;
    if (count > 0 && (!A || !B || !C_hi || !C_lo)) return VEXA_ERROR_NULL_POINTER;
    for (int t = 0; t < count; ++t) {
        const int checked = check_product(A[t], B[t], C_hi[t] && C_lo[t], M, N, K);
        if (checked != VEXA_OK) return checked;
    }
    const int threads = vexa::threads_for_call();
    const int64_t work = int64_t(M) * N * K;
    if (work >= kBatchSmallWork || count == 1 || threads == 1) {
        for (int t = 0; t < count; ++t) {
            const int status = gemm_host_106(A[t], B[t], C_hi[t], C_lo[t], M, N, K, threads);
            if (status != VEXA_OK) return status;
        }
        return VEXA_OK;
    }
    std::atomic<int> failure{VEXA_OK};
    vexa::parallel_for(count, threads, [&](int64_t t) {
        if (failure.load(std::memory_order_relaxed) != VEXA_OK) return;
        int status = VEXA_ERROR_INTERNAL;
        try {
            status = gemm_host_106(A[t], B[t], C_hi[t], C_lo[t], M, N, K, 1);
        } catch (...) {
        }
        if (status != VEXA_OK) failure.store(status, std::memory_order_relaxed);
    });
    return failure.load();
}

// Where the third word goes: C_res (float32) or C_res64 (float64); every kernel rounds the
// same exact value into either.
void set_third_word(vexa::GemmProblem& problem, float* C_res) { problem.C_res = C_res; }
void set_third_word(vexa::GemmProblem& problem, double* C_res) { problem.C_res64 = C_res; }

template <class Res>
int gemm_host(const double* A, const double* B, double* C_hi, double* C_lo, Res* C_res, int M,
              int N, int K, int threads) {
    if (threads < 0) return VEXA_ERROR_INVALID_ARGUMENT;
    const int checked = check_product(A, B, C_hi && C_lo && C_res, M, N, K);
    if (checked != VEXA_OK) return checked;
    const int64_t m = M, n = N, k = K;
    if (m * n == 0) return VEXA_OK;
    if (k == 0) {
        zero_fill(C_hi, m * n), zero_fill(C_lo, m * n), zero_fill(C_res, m * n);
        return VEXA_OK;
    }
    vexa::GemmProblem problem{A, B, C_hi, C_lo, nullptr, m, n, k};
    set_third_word(problem, C_res);
    return run_product(problem, threads > 0 ? std::min(threads, vexa::kMaxThreads) : vexa::threads_for_call());
}

// The kernel at `index` of the table, or null when out of range.
const vexa::Kernel* kernel_at(int index) {
    std::size_t count = 0;
    const vexa::Kernel* const* table = vexa::kernel_table(&count);
    if (index < 0 || static_cast<std::size_t>(index) >= count) return nullptr;
    return table[index];
}

std::string version_text() {
    std::string text = std::string(VEXA_VERSION_TEXT " (kernel: ") + vexa::active_kernel().name;
    if (const char* refused = vexa::refused_kernel())
    {
        text += std::string("; VEXA_KERNEL=") + refused + " is not available here";
        if (std::strcmp(refused, "cuda") == 0 && vexa::gpu::cuda_unavailable())
            text += std::string(": ") + vexa::gpu::cuda_unavailable();
    }
    if (const char* note = vexa::num_threads_note()) text += std::string("; ") + note;
    if (const char* refused = vexa::refused_workspace_keep())
        text += std::string("; VEXA_WORKSPACE_KEEP=") + refused + " is not a number of bytes";
    return text + ")";
}

// The error boundary of the product entry points.
template <class F>
int guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return VEXA_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VEXA_ERROR_INTERNAL;
    }
}

}  // namespace

extern "C" VEXA_API int vexa_gemm_host(const double* A, const double* B, double* C_hi,
                                       double* C_lo, float* C_res, int M, int N, int K) {
    return guarded([&] { return gemm_host(A, B, C_hi, C_lo, C_res, M, N, K, 0); });
}

extern "C" VEXA_API int vexa_gemm_host_threads(const double* A, const double* B, double* C_hi,
                                               double* C_lo, float* C_res, int M, int N, int K,
                                               int threads) {
    return guarded([&] { return gemm_host(A, B, C_hi, C_lo, C_res, M, N, K, threads); });
}

extern "C" VEXA_API int vexa_gemm_host_106(const double* A, const double* B, double* C_hi,
                                           double* C_lo, int M, int N, int K) {
    return guarded([&] { return gemm_host_106(A, B, C_hi, C_lo, M, N, K, vexa::threads_for_call()); });
}

extern "C" VEXA_API int vexa_gemm_batch_106(const double* const* A, const double* const* B,
                                            double* const* C_hi, double* const* C_lo, int count,
                                            int M, int N, int K) {
    return guarded([&] { return gemm_batch_106(A, B, C_hi, C_lo, count, M, N, K); });
}

extern "C" VEXA_API int vexa_gemm_host_f64res(const double* A, const double* B, double* C_hi,
                                              double* C_lo, double* C_res, int M, int N, int K) {
    return guarded([&] { return gemm_host(A, B, C_hi, C_lo, C_res, M, N, K, 0); });
}

extern "C" VEXA_API int vexa_gemm_host_f64res_threads(const double* A, const double* B,
                                                      double* C_hi, double* C_lo, double* C_res,
                                                      int M, int N, int K, int threads) {
    return guarded([&] { return gemm_host(A, B, C_hi, C_lo, C_res, M, N, K, threads); });
}

extern "C" VEXA_API int vexa_release_workspace(void) {
    try {
        vexa::release_parked_workspace();
        return VEXA_OK;
    } catch (...) {  // a failed mutex lock
        return VEXA_ERROR_INTERNAL;
    }
}

extern "C" VEXA_API size_t vexa_workspace_parked_bytes(void) {
    try {
        return vexa::parked_workspace_bytes();
    } catch (...) {  // a failed mutex lock
        return 0;
    }
}

extern "C" VEXA_API size_t vexa_workspace_keep_limit(void) { return vexa::workspace_keep_limit(); }

extern "C" VEXA_API const char* vexa_version(void) {
    try {
        static const std::string text = version_text();
        return text.c_str();
    } catch (...) {
        return VEXA_VERSION_TEXT " (kernel: unknown)";
    }
}

extern "C" VEXA_API int vexa_last_phase_seconds(double* out, int count) {
    try {
        const vexa::fast::Timing t = vexa::fast::last_timing();
        if (t.moduli == 0 || !out) return 0;
        const double values[] = {t.planning,       t.residues, t.products, t.reconstruction,
                                 t.fallback,       double(t.moduli), t.average_moduli};
        const int written = std::clamp(count, 0, int(sizeof values / sizeof values[0]));
        std::copy(values, values + written, out);
        return written;
    } catch (...) {  // a failed mutex lock
        return 0;
    }
}

extern "C" VEXA_API int vexa_set_num_threads(int n) {
    if (n < 0) return VEXA_ERROR_INVALID_ARGUMENT;
    vexa::set_threads_for_calls(n);
    return VEXA_OK;
}

extern "C" VEXA_API int vexa_get_num_threads(void) {
    try {
        return vexa::threads_for_call();
    } catch (...) {
        return 1;
    }
}

extern "C" VEXA_API int vexa_max_threads(void) { return vexa::kMaxThreads; }

extern "C" VEXA_API int vexa_kernel_count(void) {
    std::size_t count = 0;
    vexa::kernel_table(&count);
    return static_cast<int>(count);
}

extern "C" VEXA_API const char* vexa_kernel_name(int index) {
    const vexa::Kernel* kernel = kernel_at(index);
    return kernel ? kernel->name : nullptr;
}

extern "C" VEXA_API int vexa_kernel_supported(int index) {
    try {
        const vexa::Kernel* kernel = kernel_at(index);
        if (!kernel) return VEXA_ERROR_INVALID_ARGUMENT;
        return kernel->is_supported() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" VEXA_API int vexa_kernel_active(void) {
    try {
        const vexa::Kernel& active = vexa::active_kernel();
        for (int index = 0; index < vexa_kernel_count(); ++index)
            if (kernel_at(index) == &active) return index;
        return vexa_kernel_count() - 1;  // the exact core closes the table
    } catch (...) {
        return vexa_kernel_count() - 1;
    }
}

extern "C" VEXA_API const char* vexa_cpu_features(void) {
    try {
        return vexa::cpu::feature_names();
    } catch (...) {
        return "";
    }
}
