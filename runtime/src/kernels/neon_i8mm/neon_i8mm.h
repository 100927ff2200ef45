// What the neon_i8mm folder offers the registry. Everything in it needs the ARMv8.6 int8
// matrix multiplies and the dot products (cpu::has_neon_i8mm).
#pragma once

#include "fastpath/int8_fastpath.h"

namespace vexa::neon_i8mm {

// The int8 engine's pieces: the 6x64 tile through usdot (unsigned A by signed B, the
// residue layout as it is), and the portable residues, CRT and line scans.
extern const int8::Int8Ops kInt8Ops;

}  // namespace vexa::neon_i8mm
