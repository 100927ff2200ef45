/* Seconds of one n x n x n vexa_gemm_host, after one product that warms the workspace and
 * the caches, through a libvexa loaded at run time (dlopen, or LoadLibrary on Windows): the
 * same program times libvexa.so natively and libvexa.dll under Wine (bench/bench_wine.sh).
 *
 *   gemm_seconds LIBRARY N        prints: <kernel version text> <seconds> */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#if defined(_WIN32)
#include <windows.h>
#define open_library(path) ((void*)LoadLibraryA(path))
#define find_symbol(lib, name) ((void (*)(void))GetProcAddress((HMODULE)(lib), name))
static double now_seconds(void) {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart / (double)frequency.QuadPart;
}
#else
#include <dlfcn.h>
#define open_library(path) dlopen(path, RTLD_NOW | RTLD_LOCAL)
#define find_symbol(lib, name) ((void (*)(void))dlsym(lib, name))
static double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}
#endif

typedef int (*gemm_host_fn)(const double*, const double*, double*, double*, float*, int, int, int);
typedef const char* (*version_fn)(void);

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY N\n", argv[0]);
        return 2;
    }
    const int n = atoi(argv[2]);
    void* library = open_library(argv[1]);
    if (!library || n <= 0) {
        fprintf(stderr, "cannot load %s, or N is not positive\n", argv[1]);
        return 1;
    }
    gemm_host_fn gemm_host = (gemm_host_fn)find_symbol(library, "vexa_gemm_host");
    version_fn version = (version_fn)find_symbol(library, "vexa_version");
    const size_t count = (size_t)n * (size_t)n;
    double* a = malloc(count * sizeof(double));
    double* b = malloc(count * sizeof(double));
    double* hi = malloc(count * sizeof(double));
    double* lo = malloc(count * sizeof(double));
    float* res = malloc(count * sizeof(float));
    if (!gemm_host || !version || !a || !b || !hi || !lo || !res) return 1;
    /* Uniform in (-1, 1) from a fixed LCG: the same operands on every system. */
    unsigned long long state = 42;
    for (size_t i = 0; i < 2 * count; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double u = (double)(state >> 11) * 0x1p-53 * 2.0 - 1.0;
        if (i < count) a[i] = u; else b[i - count] = u;
    }
    if (gemm_host(a, b, hi, lo, res, n, n, n) != 0) return 1;
    const double start = now_seconds();
    if (gemm_host(a, b, hi, lo, res, n, n, n) != 0) return 1;
    printf("%s\t%.6f\n", version(), now_seconds() - start);
    return 0;
}
