// The int8 engine on ARMv8.2 dotprod. sdot multiplies signed bytes only, so the tile takes
// the A residues a in [0, 256) as a - 128, which fits a signed byte, and adds back 128
// times each column's sum of B; the B residues are already signed.
#include <arm_neon.h>

#include "kernels/neon_int8_tile.h"
#include "kernels/neon_dotprod/neon_dotprod.h"

namespace vexa::neon_dotprod {
namespace {

struct Dot {
    static constexpr bool kCentred = true;
    static int32x4_t dot(int32x4_t acc, uint32_t a_quad, int8x16_t b) {
        const int8x16_t a = vreinterpretq_s8_u32(vdupq_n_u32(a_quad ^ 0x80808080u));
        return vdotq_s32(acc, b, a);
    }
};

}  // namespace

const int8::Int8Ops kInt8Ops = int8::neon::pieces<Dot>();

}  // namespace vexa::neon_dotprod
