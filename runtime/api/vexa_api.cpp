// Placeholder runtime: a plain float64 product, so the Python side has something to load.
#include "vexa.h"

#include <cstdint>

extern "C" VEXA_API int vexa_gemm_host(const double* A, const double* B, double* C_hi,
                                       double* C_lo, float* C_res, int M, int N, int K) {
    if (M < 0 || N < 0 || K < 0) return VEXA_ERROR_NEGATIVE_DIMENSION;
    for (int64_t i = 0; i < M; ++i)
        for (int64_t j = 0; j < N; ++j) {
            double s = 0.0;
            for (int64_t k = 0; k < K; ++k) s += A[i * K + k] * B[k * N + j];
            C_hi[i * N + j] = s;
            C_lo[i * N + j] = 0.0;
            C_res[i * N + j] = 0.0f;
        }
    return VEXA_OK;
}

extern "C" VEXA_API const char* vexa_version(void) { return "2.0.0 (placeholder: plain float64)"; }
