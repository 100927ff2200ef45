// The exported entry points: argument checks, the kernel choice and the error boundary.
// Nothing below this file sees an invalid argument, and no exception gets past it.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "cpu_features.h"
#include "kernel.h"
#include "thread_count.h"
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
    const int threads = vexa::threads_for_call();
    const vexa::Kernel& kernel = vexa::active_kernel();
    int status = kernel.gemm(problem, threads);
    // A fast kernel's workspace is a multiple of the inputs; the exact core needs about one
    // more copy of B, so it may still succeed. Kernels write nothing before their
    // allocations succeed, so the output is still untouched here.
    if (status == VEXA_ERROR_OUT_OF_MEMORY && &kernel != &vexa::kScalarKernel)
        status = vexa::kScalarKernel.gemm(problem, threads);
    return status;
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
        text += std::string("; VEXA_KERNEL=") + refused + " is not available here";
    if (const char* note = vexa::num_threads_note()) text += std::string("; ") + note;
    if (const char* refused = vexa::refused_workspace_keep())
        text += std::string("; VEXA_WORKSPACE_KEEP=") + refused + " is not a number of bytes";
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
