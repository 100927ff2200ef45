// The folder's own piece, the tile; the other slots of its table are the avx2 folder's.
// Nothing built for the baseline CPU may include this.
#pragma once

#include <cstdint>

#include "kernels/avx2/avx2_pieces.h"

namespace vexa::avx_vnni {

void tile(const int16::Modulus& mod, const int16_t* a, const int16_t* b, int64_t k_padded, uint16_t* acc,
          int64_t acc_stride, bool accumulate);

}  // namespace vexa::avx_vnni
