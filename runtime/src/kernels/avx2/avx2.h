// What the avx2 folder offers the registry. Everything in it needs x86-64-v3 (AVX2, FMA,
// BMI2, with the OS saving the YMM state: cpu::has_avx2).
#pragma once

#include "fastpath/int16_engine.h"

namespace vexa::avx2 {

// The int16 engine's pieces: residues by 15-bit limbs, the 6x16 vpmaddwd tile, the CRT four
// elements per vector, and the line scans four elements per vector.
extern const int16::Int16Ops kInt16Ops;

}  // namespace vexa::avx2
