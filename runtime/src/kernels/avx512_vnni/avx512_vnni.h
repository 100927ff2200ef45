// What the avx512_vnni folder offers the registry. Everything in it needs AVX-512 F/BW/DQ/VL
// and VNNI (cpu::has_avx512_vnni).
#pragma once

#include "fastpath/int8_fastpath.h"

namespace vexa::avx512_vnni {

// The int8 engine's pieces: residues by byte digits through vpdpbusd, the 6x64 vpdpbusd
// tile, the CRT as vpdpwssd sums fused with a vectorised rounding, and the line scans.
extern const int8::Int8Ops kInt8Ops;

}  // namespace vexa::avx512_vnni
