/* libvexa: float64 matrix products to about 130 bits, every element correctly rounded.
 *
 * The whole C ABI of the runtime. Every entry point reports failure through its
 * return value; nothing prints, aborts or lets a C++ exception escape.
 */
#ifndef VEXA_H
#define VEXA_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  if defined(VEXA_BUILDING)
#    define VEXA_API __declspec(dllexport)
#  else
#    define VEXA_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define VEXA_API __attribute__((visibility("default")))
#else
#  define VEXA_API
#endif

/* Status codes of vexa_gemm_host. On any error no output element is written. */
enum vexa_status {
    VEXA_OK = 0,
    VEXA_ERROR_NEGATIVE_DIMENSION = -1, /* M, N or K below zero */
    VEXA_ERROR_NULL_POINTER = -2,       /* a null pointer for a matrix that has elements */
    VEXA_ERROR_OUT_OF_MEMORY = -3,      /* workspace could not be allocated */
    VEXA_ERROR_INTERNAL = -4            /* a failure the runtime could not attribute to the arguments */
};

/* C = A * B for row-major A (M x K) and B (K x N). Every element of C is returned as
 * three words: C_hi = RN(x), C_lo = RN(x - C_hi), C_res = RN_float(x - C_hi - C_lo),
 * where x is the exact sum of products. Returns a vexa_status value.
 *
 * RN is IEEE round-to-nearest, ties to even, subnormals included; a nonzero value that
 * rounds to zero keeps its sign, as in IEEE arithmetic. Beyond that:
 *   - C_res is 0 where RN_float would overflow float32;
 *   - where RN(x) overflows, C_hi = +-inf and C_lo = C_res = 0;
 *   - a NaN product, inf * 0, or infinite products of both signs give C_hi = NaN, and
 *     otherwise any infinite product gives C_hi = +-inf; C_lo = C_res = 0 in both cases;
 *   - x = 0 gives +0 in all three words, except C_hi = -0 when every product is -0;
 *     K = 0 gives +0 everywhere.
 * The result depends on A and B alone: not on the thread count, the kernel or the machine.
 * Dimensions may make M*K, K*N and M*N exceed 2^31. Safe to call from many threads at once.
 * Threads used: VEXA_NUM_THREADS if set to a positive integer, else every CPU available to
 * the process. VEXA_KERNEL=<name> forces a kernel when the CPU supports it. */
VEXA_API int vexa_gemm_host(const double* A, const double* B, double* C_hi, double* C_lo,
                            float* C_res, int M, int N, int K);

/* Frees at once the scratch memory that the fast kernels keep between calls (at most
 * VEXA_WORKSPACE_KEEP bytes, 512 MiB unless set). Later calls allocate it again as needed.
 * Safe to call at any time, also while products run on other threads. Returns VEXA_OK, or
 * VEXA_ERROR_INTERNAL should the system refuse the lock that guards the block. */
VEXA_API int vexa_release_workspace(void);

/* Library version and the kernel in use, e.g. "2.0.0 (kernel: scalar)". Never null. */
VEXA_API const char* vexa_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VEXA_H */
