// The int8 engine on ARMv8.2 dotprod. sdot multiplies signed bytes only, so the tile takes
// the A residues a in [0, 256) as a - 128, which fits a signed byte, and adds back 128
// times each column's sum of B; the B residues are already signed.
#include <arm_neon.h>

#include "../neon_int8_tile.h"
#include "neon_dotprod.h"

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

// kPortableOps is constant-initialised (function addresses only), so it is complete before
// this table is filled in at load time.
const int8::Int8Ops kInt8Ops = {int8::kPortableOps.residues_a, int8::kPortableOps.residues_b_panel,
                                int8::neon::tile<Dot>,          int8::kPortableOps.crt,
                                int8::kPortableOps.crt_round,   int8::kPortableOps.scan_lines};

}  // namespace vexa::neon_dotprod
