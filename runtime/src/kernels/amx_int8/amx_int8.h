// What the amx_int8 folder offers the registry. Everything in it needs AMX-TILE and
// AMX-INT8 with the tile data state granted to the process (cpu::has_amx_int8), and the
// AVX-512 of the avx512_vnni folder, whose residues, reduction and CRT it shares.
#pragma once

#include "fastpath/int8_fastpath.h"

namespace vexa::amx_int8 {

// The int8 engine's pieces with tdpbusd tile products: sixteen rows by one 64-column panel
// per call, 64 bytes of K per instruction. Run through gemm_wide (16-row groups).
extern const int8::Int8Ops kInt8Ops;

}  // namespace vexa::amx_int8
