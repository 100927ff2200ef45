/* A stand-in runtime that multiplies in plain float64 and leaves the low words zero:
 * the kind of result the self-test must refuse. */
int vexa_gemm_host(const double* A, const double* B, double* C_hi, double* C_lo, float* C_res,
                   int M, int N, int K) {
    if (M < 0 || N < 0 || K < 0) return -1;
    for (long i = 0; i < M; ++i)
        for (long j = 0; j < N; ++j) {
            double sum = 0.0;
            for (long k = 0; k < K; ++k) sum += A[i * K + k] * B[k * N + j];
            C_hi[i * N + j] = sum;
            C_lo[i * N + j] = 0.0;
            C_res[i * N + j] = 0.0f;
        }
    return 0;
}

const char* vexa_version(void) { return "fake-float64 1.0"; }
