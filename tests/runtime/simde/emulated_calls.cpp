// The shim's side of the comparison: built with the emulated kernels' flags, so every
// intrinsic here is SIMDe's or intrinsics_shim.h's.
#define VEXA_SHIM_TEST_CALLS
#include "intrinsic_calls.h"

bool vexa_shim_test::emulated_call(Intrinsic which, int imm, uint64_t mask, const Vec& a, const Vec& b,
                                   const Vec& c, Vec& out) {
    return call(which, imm, mask, a, b, c, out);
}
