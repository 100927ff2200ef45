// The int8 engine on ARMv8.6 i8mm: usdot multiplies unsigned bytes by signed ones, which is
// the residue layout itself (A in [0, 256), B symmetric), so the tile needs no correction.
#include <arm_neon.h>

#include "kernels/neon_int8_tile.h"
#include "kernels/neon_i8mm/neon_i8mm.h"

namespace vexa::neon_i8mm {
namespace {

struct Dot {
    static constexpr bool kCentred = false;
    static int32x4_t dot(int32x4_t acc, uint32_t a_quad, int8x16_t b) {
        return vusdotq_s32(acc, vreinterpretq_u8_u32(vdupq_n_u32(a_quad)), b);
    }
};

}  // namespace

const int8::Int8Ops kInt8Ops = int8::neon::pieces<Dot>();

}  // namespace vexa::neon_i8mm
