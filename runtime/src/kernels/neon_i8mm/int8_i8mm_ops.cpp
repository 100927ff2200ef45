// The int8 engine on ARMv8.6 i8mm: usdot multiplies unsigned bytes by signed ones, which is
// the residue layout itself (A in [0, 256), B symmetric), so the tile needs no correction.
#include <arm_neon.h>

#include "../neon_int8_tile.h"
#include "neon_i8mm.h"

namespace vexa::neon_i8mm {
namespace {

struct Dot {
    static constexpr bool kCentred = false;
    static int32x4_t dot(int32x4_t acc, uint32_t a_quad, int8x16_t b) {
        return vusdotq_s32(acc, vreinterpretq_u8_u32(vdupq_n_u32(a_quad)), b);
    }
};

}  // namespace

// kPortableOps is constant-initialised (function addresses only), so it is complete before
// this table is filled in at load time.
const int8::Int8Ops kInt8Ops = {int8::kPortableOps.residues_a, int8::kPortableOps.residues_b_panel,
                                int8::neon::tile<Dot>,          int8::kPortableOps.crt,
                                int8::kPortableOps.crt_round,   int8::kPortableOps.scan_lines};

}  // namespace vexa::neon_i8mm
