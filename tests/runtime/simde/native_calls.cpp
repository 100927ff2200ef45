// The instructions themselves: built with AVX-512 flags (and AVX-VNNI's), each called only
// where the CPU has it.
#define VEXA_SHIM_TEST_CALLS
#include "intrinsic_calls.h"

#include "support/cpu_features.h"

bool vexa_shim_test::native_call(Intrinsic which, int imm, uint64_t mask, const Vec& a, const Vec& b,
                                 const Vec& c, Vec& out) {
    if (which == Intrinsic::dpwssd_avx_epi32) return vexa::cpu::has_avx_vnni() && call(which, imm, mask, a, b, c, out);
    return vexa::cpu::has_avx512_vnni() && call(which, imm, mask, a, b, c, out);
}
