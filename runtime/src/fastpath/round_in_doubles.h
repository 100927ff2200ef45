// The rounding of an integer below 2^157 into the three words in floating point, one
// element at a time: what the AVX-512 and AVX2 CRT pieces do eight and four lanes at a time
// (crt_avx512_vnni.cpp argues each step), for the portable CRT of byte residues.
#pragma once

#include <cstdint>

#include "support/bits.h"

namespace vexa::fast {

// s = a + b and its exact error, for a zero or of an exponent not below b's.
inline double fast_two_sum(double a, double b, double& err) {
    const double s = a + b;
    err = b - (s - a);
    return s;
}

// exact::round_triple of x * 2^scale for a nonzero x with |x| < 2^157, given as the three
// little-endian 64-bit limbs of its two's complement. Cut at bits 53 and 106 into exact
// doubles, x = hi + lo + f by a chain of Fast2Sums; hi is accepted where lo lies strictly
// inside its rounding interval, and every nonzero word must stay normal, a binade clear.
// Returns false, writing nothing, where a check fails.
inline bool round_in_doubles(const uint64_t* w, int64_t scale, double* hi, double* lo, float* res) {
    constexpr uint64_t kField = (uint64_t(1) << 53) - 1;
    const double a0 = double(w[0] & kField);
    const double a1 = double(((w[0] >> 53) | (w[1] << 11)) & kField) * 0x1p53;
    const double a2 = double(int64_t((w[1] >> 42) | (w[2] << 22))) * 0x1p106;
    double e1, e2, r, f;
    const double s = fast_two_sum(a2, a1, e1);
    const double t = fast_two_sum(e1, a0, e2);
    const uint64_t h = bits::of(fast_two_sum(s, t, r));
    const uint64_t l = bits::of(fast_two_sum(r, e2, f));
    const uint32_t rs = bits::of(float(f));
    const int64_t h_exp = int64_t((h >> 52) & 0x7ff), l_abs = int64_t(l & ~(uint64_t(1) << 63));
    // Half an ulp of hi, or a quarter where hi is a power of two and lo points toward zero.
    const bool narrow = (h & ((uint64_t(1) << 52) - 1)) == 0 && ((h ^ l) >> 63) != 0;
    if (l_abs >= ((h_exp - 53 - (narrow ? 1 : 0)) << 52)) return false;
    if (h_exp + scale < 2 || h_exp + scale > 2046) return false;
    if (l_abs != 0 && (l_abs >> 52) + scale < 2) return false;
    const int64_t r_exp = int64_t((rs >> 23) & 0xff);
    if ((rs & 0x7fffffffu) != 0 && (r_exp + scale < 2 || r_exp + scale > 254)) return false;
    *hi = bits::to_double(h + (uint64_t(scale) << 52));
    *lo = l_abs ? bits::to_double(l + (uint64_t(scale) << 52)) : 0.0;
    *res = (rs & 0x7fffffffu) ? bits::to_float(rs + (uint32_t(scale) << 23)) : 0.0f;
    return true;
}

}  // namespace vexa::fast
