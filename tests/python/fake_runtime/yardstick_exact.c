/* A stand-in runtime whose words are the exact product rounded to about 2**-106.
 *
 * Each product of two doubles is exact in binary128 (106 of its 113 bits), and the sum
 * is compensated (TwoSum in binary128), so it is exact to about 2**-226 of the magnitudes
 * involved: the words are RN(x) and RN(x - RN(x)) of the exact x, barring a near-tie, and
 * carry it to about 1e-32, far inside the self-test's 1e-28. */
#if defined(__aarch64__)
typedef long double binary128; /* the AAPCS64 long double; __float128 is x86's name */
#else
typedef __float128 binary128;
#endif

int vexa_gemm_host(const double* A, const double* B, double* C_hi, double* C_lo, float* C_res,
                   int M, int N, int K) {
    if (M < 0 || N < 0 || K < 0) return -1;
    for (long i = 0; i < M; ++i)
        for (long j = 0; j < N; ++j) {
            binary128 sum = 0, compensation = 0;
            for (long k = 0; k < K; ++k) {
                binary128 product = (binary128)A[i * K + k] * (binary128)B[k * N + j];
                binary128 total = sum + product;
                binary128 big = total - product;
                compensation += (sum - big) + (product - (total - big));
                sum = total;
            }
            /* sum + compensation is the exact value to ~2**-226; sum - hi is exact. */
            double hi = (double)(sum + compensation);
            binary128 rest = (sum - (binary128)hi) + compensation;
            double lo = (double)rest;
            C_hi[i * N + j] = hi;
            C_lo[i * N + j] = lo;
            C_res[i * N + j] = (float)(rest - (binary128)lo);
        }
    return 0;
}

const char* vexa_version(void) { return "fake-exact 1.0"; }
