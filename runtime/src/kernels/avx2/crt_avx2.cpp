// The int16 engine's CRT on AVX2, four elements per vector, the whole run first, followed by
// the rounding to triples, also four elements per vector: in floating point where P is below
// 2^157 (up to 11 moduli), which took the reassembly from 19 to 13 ns per element on Zen 4
// with this kernel forced; in 64-bit integer lanes beyond.
//
// The steps are those of fast::portable_crt: c_l = r_l * (Q_l mod p_l)^-1 mod p_l, then
// y = sum_l c_l Q_l in 32-bit digits accumulated in 64-bit lanes (c_l * digit < 2^48, and
// fewer than 2^16 such terms), the quotient q = round(y / P) from doubles, x = y - q P in
// two's complement, and its magnitude and sign.
#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "exact/exact_core.h"
#include "kernels/avx2/avx2_pieces.h"

namespace vexa::avx2 {
namespace {

using fast::CrtPlan;
using fast::kMaxDigits;
constexpr int kRun = int16::kPanelWidth;  // elements per call at most
constexpr int kLanes = 4;

// c_l of sixteen elements (16-bit lanes) from residues r < p, for p < 2^15 or 2^16, by
// Shoup's method: with w = floor(inverse * 2^16 / p), q = floor(r w / 2^16) is
// floor(r * inverse / p) or one less for every r < 2^16, so r * inverse - q p lies in
// [0, 2p): its low 16 bits are it, and the unsigned minimum of it and it less p (which
// wraps where it is below p) lands in [0, p). For 2^16 the low word of r * inverse is c_l.
inline __m256i coefficients(__m256i r, uint32_t inverse, uint16_t shoup, uint32_t p) {
    const __m256i x = _mm256_mullo_epi16(r, _mm256_set1_epi16(int16_t(inverse)));
    if (p == uint32_t(int16::kPowerModulus)) return x;
    const __m256i pv = _mm256_set1_epi16(int16_t(p));
    const __m256i q = _mm256_mulhi_epu16(r, _mm256_set1_epi16(int16_t(shoup)));
    const __m256i t = _mm256_sub_epi16(x, _mm256_mullo_epi16(q, pv));
    return _mm256_min_epu16(t, _mm256_sub_epi16(t, pv));
}

// c_l of every modulus for a run of up to kRun elements, as words in c[l]; the elements
// past `count` come from zero residues. Kept as words, and widened where they are read,
// the coefficients cost one store per modulus.
inline void run_coefficients(const CrtPlan& t, const uint16_t* residues, int64_t stride, int count,
                             uint16_t (*c)[kRun]) {
    static_assert(kRun == 16, "one vector of coefficients per modulus");
    alignas(32) uint16_t padded[kRun];
    for (int l = 0; l < t.count; ++l) {
        const uint16_t* r = residues + l * stride;
        if (count < kRun) {
            for (int e = 0; e < kRun; ++e) padded[e] = e < count ? r[e] : 0;
            r = padded;
        }
        const __m256i cl = coefficients(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r)), t.inverse[l],
                                        t.inverse_shoup[l], t.p[l]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(c[l]), cl);
    }
}

// Group g of four coefficients of one modulus in 64-bit lanes.
inline __m256i coefficient_group(const uint16_t* c, int g) {
    return _mm256_cvtepu16_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + kLanes * g)));
}

// The magnitudes and signs of G groups of four elements, groups g0 .. g0 + G - 1 of the
// coefficients c[l]: limbs[g][w] the 64-bit limbs of |x|, negative[g] all ones where
// x < 0. The G groups share one pass over the moduli, so each digit of a cofactor is
// broadcast once for all of them. A 32-bit broadcast suffices: vpmuludq reads
// only the low half of each lane.
template <int D, int G>
inline void reconstruct(const CrtPlan& t, const uint16_t (*c)[kRun], int g0,
                        __m256i (*limbs)[(D + 1) / 2], __m256i* negative) {
    __m256i acc[G][D];
    for (int i = 0; i < G; ++i)
        for (int j = 0; j < D; ++j) acc[i][j] = _mm256_setzero_si256();
    // Two moduli per pass: rolled, GCC copies most accumulators between registers (or to
    // the stack) every modulus; unrolled, the CRT runs 4% fewer instructions.
#pragma GCC unroll 2
    for (int l = 0; l < t.count; ++l) {
        __m256i cl[G];
        for (int i = 0; i < G; ++i) cl[i] = coefficient_group(c[l], g0 + i);
        for (int j = 0; j < D; ++j) {
            const __m256i cofactor = _mm256_set1_epi32(int32_t(t.cofactor[l][j]));
            for (int i = 0; i < G; ++i)
                acc[i][j] = _mm256_add_epi64(acc[i][j], _mm256_mul_epu32(cl[i], cofactor));
        }
    }
    const __m256i low32 = _mm256_set1_epi64x(0xffffffff);
    const __m256d two52 = _mm256_set1_pd(4503599627370496.0);
    for (int i = 0; i < G; ++i) {
        __m256i carry = _mm256_setzero_si256();
        for (int j = 0; j < D; ++j) {
            const __m256i v = _mm256_add_epi64(acc[i][j], carry);
            acc[i][j] = _mm256_and_si256(v, low32);
            carry = _mm256_srli_epi64(v, 32);
        }
        // y / P in doubles: every digit is exact, the sum within 2^-48 relatively (see the
        // portable CRT for why that settles q).
        __m256d y = _mm256_setzero_pd();
        for (int j = D - 1; j >= 0; --j) {
            const __m256d digit =
                _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(acc[i][j], _mm256_castpd_si256(two52))), two52);
            y = _mm256_add_pd(_mm256_mul_pd(y, _mm256_set1_pd(4294967296.0)), digit);
        }
        const __m256d q = _mm256_round_pd(_mm256_mul_pd(y, _mm256_set1_pd(t.product_inverse)),
                                          _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const __m256i qi = _mm256_and_si256(_mm256_castpd_si256(_mm256_add_pd(q, two52)), low32);
        // x = y - q P, digit by digit with a borrow; the top digit's bit 31 is the sign.
        __m256i borrow = _mm256_setzero_si256();
        for (int j = 0; j < D; ++j) {
            const __m256i sub =
                _mm256_add_epi64(_mm256_mul_epu32(qi, _mm256_set1_epi32(int32_t(t.product[j]))), borrow);
            const __m256i v = _mm256_sub_epi64(acc[i][j], _mm256_and_si256(sub, low32));
            acc[i][j] = _mm256_and_si256(v, low32);
            borrow = _mm256_add_epi64(_mm256_srli_epi64(sub, 32), _mm256_srli_epi64(v, 63));
        }
        const __m256i sign = _mm256_and_si256(_mm256_srli_epi64(acc[i][D - 1], 31), _mm256_set1_epi64x(1));
        negative[i] = _mm256_sub_epi64(_mm256_setzero_si256(), sign);
        // |x|: the digits complemented and one added where x < 0, then paired into limbs.
        const __m256i flip = _mm256_and_si256(negative[i], low32);
        carry = sign;
        __m256i digit[D];
        for (int j = 0; j < D; ++j) {
            const __m256i v = _mm256_add_epi64(_mm256_xor_si256(acc[i][j], flip), carry);
            digit[j] = _mm256_and_si256(v, low32);
            carry = _mm256_srli_epi64(v, 32);
        }
        for (int w = 0; w < (D + 1) / 2; ++w)
            limbs[i][w] = 2 * w + 1 < D ? _mm256_or_si256(digit[2 * w], _mm256_slli_epi64(digit[2 * w + 1], 32))
                                        : digit[2 * w];
    }
}

// ---- The rounding, four elements per vector ----
//
// exact::round_triple's short path in 64-bit lanes, as the VNNI folder's eight-lane version
// does it: the magnitude as a window of three 64-bit words (w2 on top), normalised so that
// bit 191 is set, each word one fixed-width rounding of the window's top bits. AVX2 has no
// mask registers: a lane mask is a vector of all ones or all zeros per lane. Lanes whose
// words are not all normal (or zero) go to exact::round_triple itself.

inline __m256i splat(int64_t v) { return _mm256_set1_epi64x(v); }
inline __m256i ones() { return _mm256_set1_epi64x(-1); }
inline __m256i or3(__m256i a, __m256i b, __m256i c) { return _mm256_or_si256(_mm256_or_si256(a, b), c); }
inline __m256i is_zero(__m256i a) { return _mm256_cmpeq_epi64(a, _mm256_setzero_si256()); }
inline __m256i all_zero(__m256i a, __m256i b, __m256i c) { return is_zero(or3(a, b, c)); }
inline __m256i has_bit(__m256i v, int64_t bit) { return _mm256_cmpeq_epi64(_mm256_and_si256(v, splat(bit)), splat(bit)); }
inline __m256i outside(__m256i v, int64_t lowest, int64_t highest) {
    return _mm256_or_si256(_mm256_cmpgt_epi64(splat(lowest), v), _mm256_cmpgt_epi64(v, splat(highest)));
}

// Leading zeros of each lane, 64 for zero. No vplzcntq here: the top nonzero half, x, as
// the double 2x + 1 (exact, below 2^33, built from the bits of 2^52 + 2x + 1) has the
// exponent floor(log2 x) + 1, and 0 for x = 0, which counts 32 zeros in that half.
inline __m256i leading_zeros(__m256i v) {
    const __m256i high = _mm256_srli_epi64(v, 32);
    const __m256i in_low = is_zero(high);
    const __m256i x = _mm256_blendv_epi8(high, _mm256_and_si256(v, splat(0xffffffff)), in_low);
    const __m256i magic = splat(0x4330000000000000);
    const __m256d d = _mm256_sub_pd(
        _mm256_castsi256_pd(or3(_mm256_slli_epi64(x, 1), splat(1), magic)), _mm256_castsi256_pd(magic));
    const __m256i e = _mm256_srli_epi64(_mm256_castpd_si256(d), 52);
    return _mm256_add_epi64(_mm256_and_si256(in_low, splat(32)), _mm256_sub_epi64(splat(1023 + 32), e));
}

// Shifts the window left until bit 191 is set (a zero window stays zero); returns the
// shift. Variable shifts by 64 or more, or by "negative" counts, give zero, so every word
// gathers its bits from wherever they land without selecting cases.
//
// Low = false: w2 is zero, so the shift is at least 64 and w0 comes out zero.
template <bool Low>
inline __m256i normalise(__m256i& w2, __m256i& w1, __m256i& w0) {
    if constexpr (!Low) {
        const __m256i z1 = leading_zeros(w1), z0 = leading_zeros(w0);
        // t = s - 64 in [0, 128], what w1:w0 moves up into w2:w1.
        const __m256i t = _mm256_add_epi64(z1, _mm256_and_si256(_mm256_cmpeq_epi64(z1, splat(64)), z0));
        w2 = or3(_mm256_sllv_epi64(w1, t), _mm256_srlv_epi64(w0, _mm256_sub_epi64(splat(64), t)),
                 _mm256_sllv_epi64(w0, _mm256_sub_epi64(t, splat(64))));
        w1 = _mm256_sllv_epi64(w0, t);
        w0 = _mm256_setzero_si256();
        return _mm256_add_epi64(t, splat(64));
    }
    const __m256i z2 = leading_zeros(w2), z1 = leading_zeros(w1), z0 = leading_zeros(w0);
    const __m256i top_zero = _mm256_cmpeq_epi64(z2, splat(64));
    __m256i s = _mm256_add_epi64(z2, _mm256_and_si256(top_zero, z1));
    s = _mm256_add_epi64(s, _mm256_and_si256(_mm256_and_si256(top_zero, _mm256_cmpeq_epi64(z1, splat(64))), z0));
    const __m256i s64 = _mm256_sub_epi64(s, splat(64)), s128 = _mm256_sub_epi64(s, splat(128));
    const __m256i r64 = _mm256_sub_epi64(splat(64), s), r128 = _mm256_sub_epi64(splat(128), s);
    const __m256i n2 = _mm256_or_si256(or3(_mm256_sllv_epi64(w2, s), _mm256_srlv_epi64(w1, r64), _mm256_sllv_epi64(w1, s64)),
                                       _mm256_or_si256(_mm256_srlv_epi64(w0, r128), _mm256_sllv_epi64(w0, s128)));
    const __m256i n1 = or3(_mm256_sllv_epi64(w1, s), _mm256_srlv_epi64(w0, r64), _mm256_sllv_epi64(w0, s64));
    w0 = _mm256_sllv_epi64(w0, s);
    w1 = n1;
    w2 = n2;
    return s;
}

// Rounds each normalised window to its top Precision bits (nearest, ties to even) and
// returns the significands; *up marks the lanes rounded up. When Remainder, the window
// then holds the magnitude of the remainder, of the opposite sign where rounded up.
// Low = false: w0 is zero and stays so.
template <int Precision, bool Remainder, bool Low = true>
inline __m256i round_window(__m256i& w2, __m256i& w1, __m256i& w0, __m256i* up) {
    constexpr int kDrop = 64 - Precision;
    constexpr int64_t kLowMask = (int64_t(1) << kDrop) - 1;
    constexpr int64_t kHalf = int64_t(1) << (kDrop - 1);
    const __m256i m = _mm256_srli_epi64(w2, kDrop);
    const __m256i half = has_bit(w2, kHalf);
    const __m256i exact_half = all_zero(_mm256_and_si256(w2, splat(kHalf - 1)), w1, Low ? w0 : w1);
    // Up where half and (something below it, or m odd).
    *up = _mm256_and_si256(half, _mm256_or_si256(_mm256_xor_si256(exact_half, ones()), has_bit(m, 1)));
    if (Remainder) {
        // Rounded up: the remainder's magnitude is 2^(192 - Precision) minus the low bits,
        // their two's complement within that width (adding a lane mask of ones subtracts 1).
        const __m256i low = _mm256_and_si256(w2, splat(kLowMask));
        const __m256i zero0 = Low ? is_zero(w0) : ones();
        const __m256i zero01 = _mm256_and_si256(zero0, is_zero(w1));
        const __m256i n1 = _mm256_sub_epi64(_mm256_xor_si256(w1, ones()), zero0);
        const __m256i n2 = _mm256_and_si256(_mm256_sub_epi64(_mm256_xor_si256(low, ones()), zero01), splat(kLowMask));
        if (Low) w0 = _mm256_blendv_epi8(w0, _mm256_sub_epi64(_mm256_setzero_si256(), w0), *up);
        w1 = _mm256_blendv_epi8(w1, n1, *up);
        w2 = _mm256_blendv_epi8(low, n2, *up);
    }
    return _mm256_sub_epi64(m, *up);
}

// Bits of the normal double m * 2^(top - 52) (float m * 2^(top - 23), in the low half of
// the lane) for m up to 2^53 (2^24) inclusive: the carry of the largest m into the
// exponent field is what the addition does anyway.
inline __m256i double_bits(__m256i m, __m256i top, __m256i negative) {
    const __m256i bits = _mm256_add_epi64(_mm256_slli_epi64(_mm256_add_epi64(top, splat(1022)), 52), m);
    return _mm256_or_si256(bits, _mm256_and_si256(negative, splat(INT64_MIN)));
}
inline __m256i float_bits(__m256i m, __m256i top, __m256i negative) {
    const __m256i bits = _mm256_add_epi64(_mm256_slli_epi64(_mm256_add_epi64(top, splat(126)), 23), m);
    return _mm256_or_si256(bits, _mm256_and_si256(negative, splat(int64_t(1) << 31)));
}

// After a rounding to 53 bits the remainder's top word holds at most 11 bits. Where it is
// not zero (all but about one lane in a thousand), one shift by s = leading_zeros(w2) in
// [53, 63] normalises the window again; lanes where it is zero are left to the scalar code.
template <bool Low>
inline void shift_window(__m256i& w2, __m256i& w1, __m256i& w0, __m256i s) {
    const __m256i r = _mm256_sub_epi64(splat(64), s);
    w2 = _mm256_or_si256(_mm256_sllv_epi64(w2, s), _mm256_srlv_epi64(w1, r));
    if constexpr (Low) {
        w1 = _mm256_or_si256(_mm256_sllv_epi64(w1, s), _mm256_srlv_epi64(w0, r));
        w0 = _mm256_sllv_epi64(w0, s);
    } else {
        w1 = _mm256_sllv_epi64(w1, s);
    }
}

// The words of four lanes, res in the low halves of res_wide: all four when `whole`, else
// the live lanes that are not bad. Returns the bits of the live bad ones.
__attribute__((always_inline)) inline int store_lanes(__m256i bad, bool whole, __m256i live, double* hi, double* lo,
                                                      float* res, __m256d hi_bits, __m256d lo_bits, __m256i res_wide) {
    const __m128 res_bits = _mm_castsi128_ps(_mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(res_wide, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6))));
    if (whole) {
        _mm256_storeu_pd(hi, hi_bits);
        _mm256_storeu_pd(lo, lo_bits);
        _mm_storeu_ps(res, res_bits);
    } else {
        const __m256i store = _mm256_andnot_si256(bad, live);
        _mm256_maskstore_pd(hi, store, hi_bits);
        _mm256_maskstore_pd(lo, store, lo_bits);
        _mm_maskstore_ps(res, _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(store, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6))),
                         res_bits);
    }
    return _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_and_si256(bad, live)));
}

// Four elements (magnitudes [w2, w1, w0], lanes `nonzero` where not zero, signs
// `negative`, scales 2^scale): the triples of the lanes whose three words come out normal
// or zero, and +0 words in zero lanes. Returns the bits of the nonzero lanes that did not
// come out so, for the caller's scalar rounding. `live` lanes are stored: all four with
// whole stores when `whole` (a lane left over is written again by the caller), otherwise
// by masked stores. Low = false: w2 is zero, and the magnitudes fit w1, w0.
template <bool Low>
__attribute__((always_inline)) inline int round_lanes(__m256i w2, __m256i w1, __m256i w0, __m256i nonzero,
                                                      __m256i negative, __m256i scale, bool whole, __m256i live,
                                                      double* hi, double* lo, float* res) {
    const __m256i top = _mm256_sub_epi64(_mm256_add_epi64(scale, splat(191)), normalise<Low>(w2, w1, w0));
    __m256i bad = outside(top, -1022, 1022);
    __m256i lo_flip, res_flip, unused;
    const __m256i m_hi = round_window<53, true, Low>(w2, w1, w0, &lo_flip);
    const __m256i lo_zero = all_zero(w2, w1, Low ? w0 : w1);
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(lo_zero, is_zero(w2)));
    const __m256i s_lo = leading_zeros(w2);
    shift_window<Low>(w2, w1, w0, s_lo);
    const __m256i top_lo = _mm256_sub_epi64(top, s_lo);
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(lo_zero, _mm256_cmpgt_epi64(splat(-1022), top_lo)));
    const __m256i m_lo = round_window<53, true, Low>(w2, w1, w0, &res_flip);
    const __m256i res_zero = _mm256_or_si256(lo_zero, all_zero(w2, w1, Low ? w0 : w1));
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(res_zero, is_zero(w2)));
    const __m256i s_res = leading_zeros(w2);
    // Only the top word and whether anything is below it matter for res.
    __m256i below = Low ? _mm256_or_si256(_mm256_sllv_epi64(w1, s_res), w0) : _mm256_sllv_epi64(w1, s_res);
    w2 = _mm256_or_si256(_mm256_sllv_epi64(w2, s_res), _mm256_srlv_epi64(w1, _mm256_sub_epi64(splat(64), s_res)));
    const __m256i top_res = _mm256_sub_epi64(top_lo, s_res);
    // Below -126 res is subnormal; above 126 it might round up to 2^128 and overflow.
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(res_zero, outside(top_res, -126, 126)));
    __m256i zero = _mm256_setzero_si256();
    const __m256i m_res = round_window<24, false>(w2, below, zero, &unused);
    const __m256i lo_negative = _mm256_xor_si256(negative, lo_flip);
    const __m256i res_negative = _mm256_xor_si256(lo_negative, res_flip);
    // Zero lanes: all three words +0.
    const __m256d hi_bits = _mm256_castsi256_pd(_mm256_and_si256(nonzero, double_bits(m_hi, top, negative)));
    const __m256d lo_bits = _mm256_castsi256_pd(
        _mm256_andnot_si256(lo_zero, _mm256_and_si256(nonzero, double_bits(m_lo, top_lo, lo_negative))));
    const __m256i res_wide =
        _mm256_andnot_si256(res_zero, _mm256_and_si256(nonzero, float_bits(m_res, top_res, res_negative)));
    return store_lanes(_mm256_and_si256(bad, nonzero), whole, live, hi, lo, res, hi_bits, lo_bits, res_wide);
}


// ---- The rounding in floating point, for magnitudes below 2^156 ----
//
// The VNNI folder's round_lanes_float on the magnitude, in fields of 52 bits rather than 53:
// without a conversion from 64-bit integers, a field v below 2^52 becomes the double
// 2^e (1 + v 2^-52) from its bits, less 2^e, which is v 2^(e - 52) exactly. So a0 = bits
// 0..51, a1 = bits 52..103 times 2^52 and a2 = bits 104..155 times 2^104, all exact and
// nonnegative, and the same chain of Fast2Sums with 52 in place of 53 leaves
// |x| = hi + lo + f exactly, hi and lo checked as there. The sign goes on last: rounding to
// nearest is symmetric, and zero words stay +0.

inline __m256d fast_two_sum(__m256d a, __m256d b, __m256d& err) {
    const __m256d s = _mm256_add_pd(a, b);
    err = _mm256_sub_pd(b, _mm256_sub_pd(s, a));
    return s;
}

// v 2^(e - 52) for v < 2^52, with power = 2^e.
inline __m256d field(__m256i v, double power) {
    const __m256d p = _mm256_set1_pd(power);
    return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(v, _mm256_castpd_si256(p))), p);
}

// Four elements as round_lanes, for magnitudes below 2^156.
__attribute__((always_inline)) inline int round_lanes_float(__m256i w2, __m256i w1, __m256i w0, __m256i nonzero,
                                                            __m256i negative, __m256i scale, bool whole,
                                                            __m256i live, double* hi, double* lo, float* res) {
    const __m256i low52 = splat((int64_t(1) << 52) - 1);
    const __m256d a0 = field(_mm256_and_si256(w0, low52), 0x1p52);
    const __m256d a1 = field(_mm256_and_si256(_mm256_or_si256(_mm256_srli_epi64(w0, 52), _mm256_slli_epi64(w1, 12)), low52), 0x1p104);
    const __m256d a2 = field(_mm256_or_si256(_mm256_srli_epi64(w1, 40), _mm256_slli_epi64(w2, 24)), 0x1p156);
    __m256d e1, e2, r, f;
    const __m256d s = fast_two_sum(a2, a1, e1);
    const __m256d t = fast_two_sum(e1, a0, e2);
    const __m256i h = _mm256_castpd_si256(fast_two_sum(s, t, r));
    const __m256i l = _mm256_castpd_si256(fast_two_sum(r, e2, f));
    const __m256i rs = _mm256_cvtepu32_epi64(_mm_castps_si128(_mm256_cvtpd_ps(f)));
    // hi is positive; half an ulp of it is the double with its exponent less 53, a quarter
    // where it is a power of two and lo negative.
    const __m256i h_exp = _mm256_and_si256(h, splat(int64_t(0x7ff) << 52));
    const __m256i l_abs = _mm256_and_si256(l, splat(INT64_MAX));
    const __m256i narrow = _mm256_and_si256(is_zero(_mm256_and_si256(h, low52)), _mm256_cmpgt_epi64(_mm256_setzero_si256(), l));
    const __m256i limit = _mm256_sub_epi64(_mm256_sub_epi64(h_exp, splat(int64_t(53) << 52)),
                                           _mm256_and_si256(narrow, splat(int64_t(1) << 52)));
    __m256i bad = _mm256_xor_si256(_mm256_cmpgt_epi64(limit, l_abs), ones());
    // Biased exponents after scaling, one binade clear of the subnormals and of the top.
    bad = _mm256_or_si256(bad, outside(_mm256_add_epi64(_mm256_srli_epi64(h_exp, 52), scale), 2, 2046));
    const __m256i lo_zero = is_zero(l_abs);
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(lo_zero, _mm256_cmpgt_epi64(splat(2), _mm256_add_epi64(_mm256_srli_epi64(l_abs, 52), scale))));
    const __m256i rs_abs = _mm256_and_si256(rs, splat(0x7fffffff));
    const __m256i res_zero = is_zero(rs_abs);
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(res_zero, outside(_mm256_add_epi64(_mm256_srli_epi64(rs_abs, 23), scale), 2, 254)));
    const __m256i sign = _mm256_and_si256(negative, splat(INT64_MIN));
    const __m256i scale_hi = _mm256_slli_epi64(scale, 52);
    // Zero lanes: all three words +0.
    const __m256d hi_bits = _mm256_castsi256_pd(_mm256_and_si256(nonzero, _mm256_or_si256(_mm256_add_epi64(h, scale_hi), sign)));
    const __m256d lo_bits = _mm256_castsi256_pd(
        _mm256_andnot_si256(lo_zero, _mm256_and_si256(nonzero, _mm256_xor_si256(_mm256_add_epi64(l, scale_hi), sign))));
    const __m256i res_wide = _mm256_andnot_si256(
        res_zero, _mm256_and_si256(nonzero, _mm256_xor_si256(_mm256_add_epi64(rs, _mm256_slli_epi64(scale, 23)),
                                                             _mm256_srli_epi64(sign, 32))));
    return store_lanes(_mm256_and_si256(bad, nonzero), whole, live, hi, lo, res, hi_bits, lo_bits, res_wide);
}

// Two passes over the run: the CRT leaves every element's limbs and sign in a small buffer,
// two groups of four at a time where their accumulators fit the registers, and the rounding
// then takes them four at a time (up to three limbs; wider integers one by one). Apart,
// each loop keeps its own constants and state in registers.
template <int D>
void crt_round_run(const CrtPlan& t, const uint16_t* residues, int64_t stride, int count,
                   int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                   uint8_t* zero) {
    constexpr int kGroups = kRun / kLanes, kLimbs = (D + 1) / 2;
    // Two groups' accumulators, D each, and the coefficients and cofactor digit they share
    // fit the 16 registers up to D = 6.
    constexpr int kTogether = D <= 6 ? 2 : 1;
    alignas(32) uint16_t c[fast::kMaxModuli][kRun];
    run_coefficients(t, residues, stride, count, c);
    alignas(32) uint64_t limbs[kGroups][kLimbs][kLanes];
    alignas(32) uint64_t negative[kGroups][kLanes];
    const int groups = (count + kLanes - 1) / kLanes;
    for (int g = 0; g < groups; g += kTogether) {
        __m256i l[kTogether][kLimbs], neg[kTogether];
        // The group after the run's last is reconstructed from the padding's zeros, and
        // its limbs are never read.
        reconstruct<D, kTogether>(t, c, g, l, neg);
        for (int i = 0; i < kTogether; ++i) {
            for (int w = 0; w < kLimbs; ++w)
                _mm256_store_si256(reinterpret_cast<__m256i*>(limbs[g + i][w]), l[i][w]);
            _mm256_store_si256(reinterpret_cast<__m256i*>(negative[g + i]), neg[i]);
        }
    }
    auto scalar = [&](int e) {
        const int g = e / kLanes, lane = e % kLanes;
        uint64_t mag[kLimbs];
        for (int w = 0; w < kLimbs; ++w) mag[w] = limbs[g][w][lane];
        exact::round_triple(negative[g][lane] != 0, mag, kLimbs, scale_base + scale[e], &hi[e], &lo[e], &res[e]);
    };
    if constexpr (kLimbs <= 3) {
        // |x| < P / 2: below 2^156 where P is below 2^157, as round_lanes_float needs.
        const int top_digit = t.product[D - 1] ? 32 - __builtin_clz(t.product[D - 1]) : 0;
        const bool in_doubles = 32 * (D - 1) + top_digit <= 157;
        const __m256i base = splat(scale_base);
        for (int g = 0; g < groups; ++g) {
            const int e = g * kLanes, n = count - e < kLanes ? count - e : kLanes;
            const bool whole = n == kLanes;
            const __m256i live = _mm256_cmpgt_epi64(splat(n), _mm256_setr_epi64x(0, 1, 2, 3));
            __m256i limb[3];
            for (int w = 0; w < 3; ++w)
                limb[w] = w < kLimbs ? _mm256_load_si256(reinterpret_cast<const __m256i*>(limbs[g][w < kLimbs ? w : 0]))
                                     : _mm256_setzero_si256();
            const __m256i nonzero = _mm256_xor_si256(all_zero(limb[0], limb[1], limb[2]), ones());
            const __m128i shift =
                whole ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(scale + e))
                      : _mm_maskload_epi32(scale + e, _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
                                                          live, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6))));
            const __m256i lane_scale = _mm256_add_epi64(base, _mm256_cvtepi32_epi64(shift));
            const __m256i sign = _mm256_load_si256(reinterpret_cast<const __m256i*>(negative[g]));
            const int left = in_doubles ? round_lanes_float(limb[2], limb[1], limb[0], nonzero, sign, lane_scale,
                                                            whole, live, hi + e, lo + e, res + e)
                                        : round_lanes<(kLimbs > 2)>(limb[2], limb[1], limb[0], nonzero, sign,
                                                                    lane_scale, whole, live, hi + e, lo + e, res + e);
            // The four zero flags as bytes in one word: bit i of the mask times 2^(7 i) is
            // bit 8 i, and no two products meet.
            const uint32_t zeros = uint32_t(~_mm256_movemask_pd(_mm256_castsi256_pd(nonzero)) & 0xf);
            const uint32_t flags = (zeros * 0x00204081u) & 0x01010101u;
            if (whole)
                std::memcpy(zero + e, &flags, sizeof flags);
            else
                for (int i = 0; i < n; ++i) zero[e + i] = uint8_t(flags >> (8 * i));
            for (int bits = left; bits; bits &= bits - 1) scalar(e + __builtin_ctz(unsigned(bits)));
        }
    } else {
        for (int e = 0; e < count; ++e) {
            const int g = e / kLanes, lane = e % kLanes;
            uint64_t any = 0;
            for (int w = 0; w < kLimbs; ++w) any |= limbs[g][w][lane];
            zero[e] = any == 0;
            if (any) {
                scalar(e);
            } else {
                hi[e] = 0.0;
                lo[e] = 0.0;
                res[e] = 0.0f;
            }
        }
    }
}

template <int... D>
void dispatch(std::integer_sequence<int, D...>, const CrtPlan& t, const uint16_t* residues,
              int64_t stride, int count, int64_t scale_base, const int32_t* scale, double* hi,
              double* lo, float* res, uint8_t* zero) {
    ((t.digits == D + 1 ? crt_round_run<D + 1>(t, residues, stride, count, scale_base, scale, hi, lo, res, zero)
                        : void()),
     ...);
}

}  // namespace

void crt_round(const CrtPlan& plan, const uint16_t* residues, int64_t stride, int count,
               int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res, uint8_t* zero) {
    dispatch(std::make_integer_sequence<int, kMaxDigits>(), plan, residues, stride, count, scale_base, scale, hi,
             lo, res, zero);
}

}  // namespace vexa::avx2
