/* libvexa.dll as a Windows program meets it: found by name through the DLL search order,
 * loaded with LoadLibrary, its entry points taken with GetProcAddress and called through
 * plain C function pointers, the convention ctypes.CDLL uses on x64 Windows. One product
 * whose every word is worked out by hand below is checked bit for bit.
 *
 * Usage: load_library [DLL], default "libvexa.dll". Exit status 0 when everything holds. */
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef int (*gemm_host_fn)(const double*, const double*, double*, double*, float*, int, int, int);
typedef const char* (*version_fn)(void);

static int failures = 0;

static void expect_bits(const char* what, const void* got, const void* want, size_t size) {
    if (memcmp(got, want, size) != 0) {
        printf("FAIL: %s differs\n", what);
        ++failures;
    }
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "libvexa.dll";
    HMODULE library = LoadLibraryA(name);
    if (!library) {
        printf("FAIL: LoadLibrary(\"%s\") failed, error %lu\n", name, (unsigned long)GetLastError());
        return 1;
    }
    gemm_host_fn gemm_host = (gemm_host_fn)(void (*)(void))GetProcAddress(library, "vexa_gemm_host");
    version_fn version = (version_fn)(void (*)(void))GetProcAddress(library, "vexa_version");
    if (!gemm_host || !version) {
        printf("FAIL: vexa_gemm_host or vexa_version is not exported\n");
        return 1;
    }
    printf("loaded %s, version %s\n", name, version());

    /* A (2 x 3) times B (3 x 2). Exactly:
     *   c00 = 1 + 2^-60 + 2^-120          -> hi 1,      lo 2^-60,  res 2^-120
     *   c01 = 3 + 2^-113                  -> hi 3,      lo 2^-113, res 0
     *   c10 = 2^100 - 2^40 + 2^-30        -> hi 2^100,  lo -2^40,  res 2^-30
     *   c11 = 3 * 2^100 - 2^47            -> hi 3*2^100, lo -2^47, res 0
     * (2^40 is under half an ulp of 2^100, 2^47 a quarter ulp of 3 * 2^100.) Plain float64
     * loses every low word, and c10's 2^-30 entirely. */
    const double A[6] = {1, ldexp(1, -30), ldexp(1, -60), ldexp(1, 100), 1, -ldexp(1, 100)};
    const double B[6] = {1, 3, ldexp(1, -30), 0, ldexp(1, -60), ldexp(1, -53)};
    const double want_hi[4] = {1, 3, ldexp(1, 100), 3 * ldexp(1, 100)};
    const double want_lo[4] = {ldexp(1, -60), ldexp(1, -113), -ldexp(1, 40), -ldexp(1, 47)};
    const float want_res[4] = {ldexpf(1, -120), 0, ldexpf(1, -30), 0};
    double hi[4], lo[4];
    float res[4];
    const int status = gemm_host(A, B, hi, lo, res, 2, 2, 3);
    if (status != 0) {
        printf("FAIL: vexa_gemm_host returned %d\n", status);
        return 1;
    }
    expect_bits("C_hi", hi, want_hi, sizeof hi);
    expect_bits("C_lo", lo, want_lo, sizeof lo);
    expect_bits("C_res", res, want_res, sizeof res);

    /* The status code crosses the boundary too, and a refused call writes nothing. */
    hi[0] = 42;
    if (gemm_host(A, B, hi, lo, res, -1, 2, 3) != -1 || hi[0] != 42) {
        printf("FAIL: a negative dimension was not refused cleanly\n");
        ++failures;
    }
    printf(failures ? "%d check(s) failed\n" : "every word as expected\n", failures);
    return failures ? 1 : 0;
}
