// What the neon_dotprod folder offers the registry. Everything in it needs the ARMv8.2 dot
// products (cpu::has_neon_dotprod).
#pragma once

#include "fastpath/int8_fastpath.h"

namespace vexa::neon_dotprod {

// The int8 engine's pieces: the 6x64 tile through sdot on centred A residues, and the
// portable residues, CRT and line scans.
extern const int8::Int8Ops kInt8Ops;

}  // namespace vexa::neon_dotprod
