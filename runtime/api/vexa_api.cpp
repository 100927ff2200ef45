// The exported entry points: argument checks, the kernel choice and the error boundary.
// Nothing below this file sees an invalid argument, and no exception gets past it.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "kernel.h"
#include "vexa.h"
#include "workspace_pool.h"

namespace {

int gemm_host(const double* A, const double* B, double* C_hi, double* C_lo, float* C_res,
              int M, int N, int K) {
    if (M < 0 || N < 0 || K < 0) return VEXA_ERROR_NEGATIVE_DIMENSION;
    const int64_t m = M, n = N, k = K;
    if ((m * k > 0 && !A) || (k * n > 0 && !B)) return VEXA_ERROR_NULL_POINTER;
    if (m * n > 0 && (!C_hi || !C_lo || !C_res)) return VEXA_ERROR_NULL_POINTER;
    if (m * n == 0) return VEXA_OK;
    if (k == 0) {  // the empty sum: +0 in all three words
        std::memset(C_hi, 0, static_cast<size_t>(m * n) * sizeof(double));
        std::memset(C_lo, 0, static_cast<size_t>(m * n) * sizeof(double));
        std::memset(C_res, 0, static_cast<size_t>(m * n) * sizeof(float));
        return VEXA_OK;
    }
    const vexa::GemmProblem problem{A, B, C_hi, C_lo, C_res, m, n, k};
    const int threads = vexa::configured_threads();
    const vexa::Kernel& kernel = vexa::active_kernel();
    int status = kernel.gemm(problem, threads);
    // A fast kernel's workspace is a multiple of the inputs; the exact core needs about one
    // more copy of B, so it may still succeed. Kernels write nothing before their
    // allocations succeed, so the output is still untouched here.
    if (status == VEXA_ERROR_OUT_OF_MEMORY && &kernel != &vexa::kScalarKernel)
        status = vexa::kScalarKernel.gemm(problem, threads);
    return status;
}

std::string version_text() {
    std::string text = std::string(VEXA_VERSION_TEXT " (kernel: ") + vexa::active_kernel().name;
    if (const char* refused = vexa::refused_kernel())
        text += std::string("; VEXA_KERNEL=") + refused + " is not available here";
    return text + ")";
}

}  // namespace

extern "C" VEXA_API int vexa_gemm_host(const double* A, const double* B, double* C_hi,
                                       double* C_lo, float* C_res, int M, int N, int K) {
    try {
        return gemm_host(A, B, C_hi, C_lo, C_res, M, N, K);
    } catch (const std::bad_alloc&) {
        return VEXA_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VEXA_ERROR_INTERNAL;
    }
}

extern "C" VEXA_API int vexa_release_workspace(void) {
    try {
        vexa::release_parked_workspace();
        return VEXA_OK;
    } catch (...) {  // a failed mutex lock
        return VEXA_ERROR_INTERNAL;
    }
}

extern "C" VEXA_API const char* vexa_version(void) {
    try {
        static const std::string text = version_text();
        return text.c_str();
    } catch (...) {
        return VEXA_VERSION_TEXT " (kernel: unknown)";
    }
}
