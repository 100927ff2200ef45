// What the avx_vnni folder offers the registry. Everything in it needs AVX-VNNI (the VEX
// form of vpdpwssd, 256 bits wide) besides what the avx2 folder needs (cpu::has_avx_vnni):
// Intel's cores from Alder Lake on and its E-core servers, AMD's from Zen 5 on.
#pragma once

#include "fastpath/int16_engine.h"

namespace vexa::avx_vnni {

// The int16 engine's pieces with the 6x16 tile's multiply-adds fused (vpdpwssd); the
// residues, the CRT and the line scans are the avx2 folder's, whose flags this folder's
// include.
extern const int16::Int16Ops kInt16Ops;

}  // namespace vexa::avx_vnni
