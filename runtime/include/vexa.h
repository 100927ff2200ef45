/* libvexa: float64 matrix products to about 130 bits, every element correctly rounded.
 *
 * The whole C ABI of the runtime. Every entry point reports failure through its
 * return value; nothing prints, aborts or lets a C++ exception escape.
 */
#ifndef VEXA_H
#define VEXA_H

#include <stddef.h>

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

/* Status codes of the entry points. On any error vexa_gemm_host writes no output element. */
enum vexa_status {
    VEXA_OK = 0,
    VEXA_ERROR_NEGATIVE_DIMENSION = -1, /* M, N or K below zero */
    VEXA_ERROR_NULL_POINTER = -2,       /* a null pointer for a matrix that has elements */
    VEXA_ERROR_OUT_OF_MEMORY = -3,      /* workspace could not be allocated */
    VEXA_ERROR_INTERNAL = -4,           /* a failure the runtime could not attribute to the arguments */
    VEXA_ERROR_INVALID_ARGUMENT = -5    /* a count or index outside its documented range */
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
 * Threads used: the count given to vexa_set_num_threads, else VEXA_NUM_THREADS if set to a
 * positive integer, else every CPU available to the process. VEXA_KERNEL=<name> forces a
 * kernel when the CPU supports it; VEXA_KERNEL=cuda sends large products to an NVIDIA GPU
 * through libvexa_cuda.so when that library (built with VEXA_CUDA=ON) and a device are there. */
VEXA_API int vexa_gemm_host(const double* A, const double* B, double* C_hi, double* C_lo,
                            float* C_res, int M, int N, int K);

/* vexa_gemm_host on `threads` threads for this call alone (counts above 1024 are taken as
 * 1024), whatever the process-wide count; threads == 0 takes that count, as vexa_gemm_host
 * does. VEXA_ERROR_INVALID_ARGUMENT for threads < 0. For callers that divide the CPUs among
 * their own threads (a task scheduler's workers) without changing the count for others. */
VEXA_API int vexa_gemm_host_threads(const double* A, const double* B, double* C_hi,
                                    double* C_lo, float* C_res, int M, int N, int K, int threads);

/* The first two words of vexa_gemm_host alone (about 106 bits): C_hi = RN(x) and
 * C_lo = RN(x - C_hi), bit for bit as vexa_gemm_host gives them, with the same rules, status
 * codes and threads. */
VEXA_API int vexa_gemm_host_106(const double* A, const double* B, double* C_hi, double* C_lo,
                                int M, int N, int K);

/* `count` products of one shape at once: C_hi[t], C_lo[t] = A[t] * B[t] as vexa_gemm_host_106
 * gives them, for t < count. Operand pointers may repeat (a broadcast operand); output
 * matrices must not overlap. Small products (M*N*K below 2^22) run side by side, one thread
 * each; larger ones one after another, each on all the threads. Every pointer is checked
 * before any product runs; VEXA_ERROR_INVALID_ARGUMENT for count < 0. After a failure
 * during the products, some of them may have been written. */
VEXA_API int vexa_gemm_batch_106(const double* const* A, const double* const* B,
                                 double* const* C_hi, double* const* C_lo, int count,
                                 int M, int N, int K);

/* vexa_gemm_host with a float64 third word: C_res = RN(x - C_hi - C_lo) as a double, so
 * about 160 bits for |x| above about 1e-276, where it turns subnormal (the float32 word
 * of vexa_gemm_host turns subnormal below |x| of about 1e-6 and is 0 above about 1e70).
 * It never overflows: C_res is 0 only where x - C_hi - C_lo rounds to 0 or C_hi is inf or
 * NaN. The same rules otherwise. The same kernels run it, but their CRT and rounding take
 * the portable form, so it is slower than vexa_gemm_host. */
VEXA_API int vexa_gemm_host_f64res(const double* A, const double* B, double* C_hi,
                                   double* C_lo, double* C_res, int M, int N, int K);

/* vexa_gemm_host_f64res with the thread count of vexa_gemm_host_threads. */
VEXA_API int vexa_gemm_host_f64res_threads(const double* A, const double* B, double* C_hi,
                                           double* C_lo, double* C_res, int M, int N, int K,
                                           int threads);

/* Frees at once the scratch memory that the fast kernels keep between calls (at most
 * VEXA_WORKSPACE_KEEP bytes, 64 MiB unless set). Later calls allocate it again as needed.
 * Safe to call at any time, also while products run on other threads. Returns VEXA_OK, or
 * VEXA_ERROR_INTERNAL should the system refuse the lock that guards the block. */
VEXA_API int vexa_release_workspace(void);

/* Bytes of scratch memory kept now between calls (0 after vexa_release_workspace). */
VEXA_API size_t vexa_workspace_parked_bytes(void);

/* The most bytes kept between calls: VEXA_WORKSPACE_KEEP when it is a decimal number of
 * bytes, else 64 MiB. */
VEXA_API size_t vexa_workspace_keep_limit(void);

/* Library version and the kernel in use, e.g. "2.0.0 (kernel: scalar)", followed by any
 * setting that was not taken as given: "2.0.0 (kernel: avx2; VEXA_KERNEL=x is not available
 * here; VEXA_NUM_THREADS=abc is not a positive integer; VEXA_WORKSPACE_KEEP=64M is not a
 * number of bytes)". VEXA_NUM_THREADS above 1024 is "capped at 1024". Never null. */
VEXA_API const char* vexa_version(void);

/* Threads for every later vexa_gemm_host call in this process: n >= 1 sets the count
 * (counts above 1024 are taken as 1024), n == 0 returns to the default (VEXA_NUM_THREADS,
 * else every CPU available). Returns VEXA_OK, or VEXA_ERROR_INVALID_ARGUMENT for n < 0.
 * Safe while other threads are inside vexa_gemm_host: each call keeps the count it read
 * when it started. */
VEXA_API int vexa_set_num_threads(int n);

/* The thread count the next vexa_gemm_host call will use; always at least 1. */
VEXA_API int vexa_get_num_threads(void);

/* The most threads any call runs with (1024): larger counts, given to vexa_set_num_threads,
 * to the *_threads entry points or in VEXA_NUM_THREADS, are taken as this. */
VEXA_API int vexa_max_threads(void);

/* The kernels compiled into this library, in priority order; index 0 .. count - 1. */
VEXA_API int vexa_kernel_count(void);

/* The name of kernel `index` (as VEXA_KERNEL spells it), or null for an index out of range. */
VEXA_API const char* vexa_kernel_name(int index);

/* 1 when this CPU and OS can run kernel `index`, 0 when not, VEXA_ERROR_INVALID_ARGUMENT
 * for an index out of range. */
VEXA_API int vexa_kernel_supported(int index);

/* The index of the kernel vexa_gemm_host uses. */
VEXA_API int vexa_kernel_active(void);

/* Where the wall time of the process's last fast-path product went, for benchmarks:
 * writes up to `count` of, in order, the seconds of planning, residues, products,
 * reconstruction (CRT, rounding, stores into C) and excluded lines, then the largest and
 * the average modulus count; returns how many it wrote (0 before any fast-path product).
 * Products that other threads run at the same time overwrite one another's record. */
VEXA_API int vexa_last_phase_seconds(double* out, int count);

/* The instruction set features this CPU and OS offer that libvexa looks for, as lower-case
 * names separated by single spaces (e.g. "avx2 fma bmi2"); empty when none. Never null. */
VEXA_API const char* vexa_cpu_features(void);

#ifdef __cplusplus
}
#endif

#endif /* VEXA_H */
