// The folder's own piece, the tile; the other slots of its table are the avx512_vnni
// folder's, whose flags this folder's include. Nothing built for the baseline CPU may
// include this.
#pragma once

#include <cstdint>

#include "kernels/avx512_vnni/avx512_vnni_pieces.h"

namespace vexa::amx_int8 {

// The folder's code is written against the int8 engine's layout and types.
using namespace vexa::int8;

// Up to kWideRowGroup rows (gemm_wide passes exactly that many) by one B panel.
void tile(const Modulus& modulus, const uint8_t* a, int64_t a_row_stride, int rows, const int8_t* b_panel,
          int cols, int64_t k_padded, uint8_t* acc, int64_t acc_stride, bool accumulate);

}  // namespace vexa::amx_int8
