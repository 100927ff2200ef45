// The entry points of the AMX-INT8 folder. Everything in it needs AMX-TILE and AMX-INT8
// with the tile data state granted to the process (cpu::has_amx_int8), and the AVX-512 of
// the avx512_vnni folder, whose residues, reduction and CRT it shares.
#pragma once

#include "int8_fastpath.h"

namespace vexa::int8 {

// The int8 engine's pieces with tdpbusd tile products: sixteen rows by one 64-column panel
// per call, 64 bytes of K per instruction. Run through gemm_wide (16-row groups).
extern const Int8Ops kAmxOps;

}  // namespace vexa::int8
