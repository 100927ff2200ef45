/* A stand-in for libvexa that records how it was called.
 *
 * The binding's tests load it in place of the real runtime to see exactly what crosses
 * the C ABI: the buffer addresses, the dimensions and their order, whether the outputs
 * arrived zero-filled, and how often the version was asked for. The status, the words
 * written to the outputs and the version string are chosen by the test through the
 * fake_* functions.
 *
 * Built with -DFAKE_OMIT_GEMM or -DFAKE_OMIT_VERSION to leave out an entry point.
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */

#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#define EXPORT __attribute__((visibility("default")))

static int status_to_return;
static atomic_long call_count;
static uintptr_t last_pointers[5];
static long long last_dimensions[3];
static int outputs_were_zero;

/* Words written to C_hi and C_lo, element by element, when their count matches M * N. */
#define MAX_SCRIPTED 64
static double scripted_high[MAX_SCRIPTED];
static double scripted_low[MAX_SCRIPTED];
static int scripted_count;

/* When positive, each call waits (up to ~10 s) until this many calls are inside at once. */
static int rendezvous_target;
static atomic_int callers_inside;
static int rendezvous_met;

static long version_calls;
static int version_mode;

EXPORT void fake_reset(void) {
    status_to_return = 0;
    atomic_store(&call_count, 0);
    memset(last_pointers, 0, sizeof last_pointers);
    memset(last_dimensions, 0, sizeof last_dimensions);
    outputs_were_zero = -1;
    scripted_count = 0;
    rendezvous_target = 0;
    atomic_store(&callers_inside, 0);
    rendezvous_met = 0;
    version_calls = 0;
    version_mode = 0;
}

EXPORT void fake_set_status(int status) { status_to_return = status; }
EXPORT long fake_call_count(void) { return atomic_load(&call_count); }
EXPORT uintptr_t fake_last_pointer(int position) { return last_pointers[position]; }
EXPORT long long fake_last_dimension(int position) { return last_dimensions[position]; }
EXPORT int fake_outputs_were_zero(void) { return outputs_were_zero; }
EXPORT long fake_version_calls(void) { return version_calls; }
EXPORT void fake_set_version_mode(int mode) { version_mode = mode; }
EXPORT void fake_set_rendezvous(int target) { rendezvous_target = target; }
EXPORT int fake_rendezvous_met(void) { return rendezvous_met; }

EXPORT void fake_script_outputs(const double* high, const double* low, int count) {
    if (count > MAX_SCRIPTED) count = MAX_SCRIPTED;
    memcpy(scripted_high, high, sizeof(double) * (size_t)count);
    memcpy(scripted_low, low, sizeof(double) * (size_t)count);
    scripted_count = count;
}

static void wait_for_peers(void) {
    int inside = atomic_fetch_add(&callers_inside, 1) + 1;
    struct timespec pause = {0, 1000000};
    for (int waited = 0; inside < rendezvous_target && waited < 10000; ++waited) {
        nanosleep(&pause, NULL);
        inside = atomic_load(&callers_inside);
    }
    if (inside >= rendezvous_target) rendezvous_met = 1;
}

#ifndef FAKE_OMIT_GEMM
EXPORT int vexa_gemm_host(const double* A, const double* B, double* C_hi, double* C_lo,
                          float* C_res, int M, int N, int K) {
    atomic_fetch_add(&call_count, 1);
    last_pointers[0] = (uintptr_t)A;
    last_pointers[1] = (uintptr_t)B;
    last_pointers[2] = (uintptr_t)C_hi;
    last_pointers[3] = (uintptr_t)C_lo;
    last_pointers[4] = (uintptr_t)C_res;
    last_dimensions[0] = M;
    last_dimensions[1] = N;
    last_dimensions[2] = K;

    long long count = (M > 0 && N > 0) ? (long long)M * N : 0;
    outputs_were_zero = 1;
    for (long long i = 0; i < count; ++i)
        if (C_hi[i] != 0.0 || C_lo[i] != 0.0 || C_res[i] != 0.0f) outputs_were_zero = 0;

    if (rendezvous_target > 0) wait_for_peers();

    if (scripted_count > 0 && count == scripted_count) {
        for (long long i = 0; i < count; ++i) {
            C_hi[i] = scripted_high[i];
            C_lo[i] = scripted_low[i];
            C_res[i] = 1.0f; /* never surfaces: the binding drops the residual */
        }
    }
    return status_to_return;
}
#endif

#ifndef FAKE_OMIT_VERSION
EXPORT const char* vexa_version(void) {
    ++version_calls;
    switch (version_mode) {
        case 1: return NULL;
        case 2: return "fake \xff\xfe";
        default: return "fake-runtime 0.1";
    }
}
#endif
