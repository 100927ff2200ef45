// AVX-512 CRT reassembly of the int8 fast path: the exact signed integer of each output
// element from its residues, sixteen elements per pass in 32-bit lanes.
// Built with AVX-512 flags; nothing here runs unless the registry found VNNI.
//
// The portable version (fast::portable_crt, crt_plan.cpp) forms c_l = r_l (Q_l mod p_l)^-1 mod p_l and
// sums c_l Q_l in 32-bit digits: three multiplies per modulus for c_l and one 32 x 32-bit
// multiply per digit, eight lanes at a time. Here the inverse rides in the basis instead:
// e_l = inverse_l * Q_l is below P (inverse_l < p_l), congruent to 1 modulo p_l and to 0
// modulo the other moduli, so y = sum_l r_l e_l is congruent to x modulo P as well, only
// larger: y < L * 256 * P. Held in signed 16-bit digits, r_l and the digits of e_l fit the
// operands of vpdpwssd, which multiplies two moduli's words and adds both products into an
// int32 lane: one instruction per pair of moduli and digit for sixteen elements.
//
// Then, as in the portable version, q = round(y / P) from doubles and x = y - q P.
//
// crt_round goes on to the rounded triples of x * 2^scale, the run's integers passed
// through a small buffer in L1, eight lanes at a time, with the few elements the vector code
// does not cover sent to exact::round_triple itself. Up to ten words (|x| < 2^157, up to 19
// moduli: nearly every product of normal numbers) the rounding is done in floating point,
// three exact 53-bit fields summed by Fast2Sums; wider integers take exact::round_triple's
// short path in 64-bit integer lanes. On Zen 4 the floating-point rounding took the
// reassembly of 18 moduli from 8.4 to 6.0-6.6 ns per element (bench_kernels, one thread).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "exact/exact_core.h"
#include "kernels/avx512_vnni/avx512_vnni_pieces.h"
#include "support/wide_int.h"

namespace vexa::avx512_vnni {
namespace {

// The plan's basis in signed 16-bit digits (fast::WordBasis), derived with the plan.
using fast::kMaxWords;
using fast::WordBasis;

// acc += the pairwise products of pair's words with the word pair at *basis, in every lane.
// GCC 12 keeps the accumulator of the intrinsic in a fresh register and copies it back, two
// moves per multiply-add in the loop below; tied in place and with the basis read as an
// embedded broadcast, the loop is the multiply-adds alone.
inline __m512i dot_words(__m512i acc, __m512i pair, const uint32_t* basis) {
#if !VEXA_SIMDE
    asm("vpdpwssd %2%{1to16%}, %1, %0" : "+v"(acc) : "v"(pair), "m"(*basis));
    return acc;
#else
    return _mm512_dpwssd_epi32(acc, pair, _mm512_set1_epi32(int(*basis)));
#endif
}

// J = words. Bounds, with L <= 40 moduli: a digit sum is at most 40 * 255 * 2^15 < 2^28.4
// in magnitude, and after subtracting q P (q <= 40 * 255 + 1 < 2^14) still below 2^29.5.
//
// For each run of up to 16 elements from e0 on (lanes `live`), hands sink(e0, live, words,
// negative) the signs and x as J 16-bit digits in 32-bit lanes: when Magnitude, those of
// |x|; otherwise those of x mod 2^(16 J), the two's complement that the caller negates
// itself, where wider limbs make that cheaper than a pass over the J digits.
template <int J, bool Magnitude, class Sink>
void crt_words(const CrtPlan& t, const WordBasis& w, const uint8_t* residues, int64_t stride,
               int count, Sink&& sink) {
    const int pairs = (t.count + 1) / 2;
    const __m512i low16 = _mm512_set1_epi32(0xffff);
    constexpr int kTop = J < 3 ? J : 3;
    const __m512d inverse = _mm512_set1_pd(std::ldexp(t.product_inverse, 16 * (J - kTop)));
    for (int e0 = 0; e0 < count; e0 += 16) {
        const int n = count - e0 < 16 ? count - e0 : 16;
        const __mmask16 live = __mmask16((1u << n) - 1);
        __m512i acc[J];
        for (int j = 0; j < J; ++j) acc[j] = _mm512_setzero_si512();
        const uint8_t* r = residues + e0;
        for (int g = 0; g < pairs; ++g, r += 2 * stride) {
            const __m128i ra = _mm_maskz_loadu_epi8(live, r);
            const __m128i rb = 2 * g + 1 < t.count ? _mm_maskz_loadu_epi8(live, r + stride)
                                                   : _mm_setzero_si128();
            // Words r_(2g), r_(2g+1) of element e side by side in lane e.
            const __m512i pair = _mm512_cvtepu8_epi16(_mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_unpacklo_epi8(ra, rb)), _mm_unpackhi_epi8(ra, rb), 1));
            const uint32_t* basis = w.basis + g * w.words;
#pragma GCC unroll 24
            for (int j = 0; j < J; ++j)
                acc[j] = dot_words(acc[j], pair, basis + j);
        }
        // q = round(y / P) from the top T = min(J, 3) digit sums alone. Those left out add
        // under 2^28.4 * (2^(16 (J - T)) - 1) / (2^16 - 1) < 2^(28.41 + 16 (J - T - 1)) in
        // magnitude, and P >= 2^(16 J - 18) (J = ceil((bits(P) + 2) / 16)), so dropping them
        // moves y / P by under 2^(30.41 - 16 T): 2^-17.5 (nothing when T = J). The digit sums
        // are exact in doubles, and each of the T Horner steps errs by at most 2^-53 of
        // sum_l r_l sum_j |d_lj| 2^(16 j): the top digit of e_l is not negative, so that inner
        // sum is below e_l + 1.0001 * 2^(16 (J - 1)), under 10 P, and the whole below 2^17 P.
        // Scaling 1/P by a power of two is exact. y / P is thus known to within 2^-17,
        // against the 0.0002 that |x| < 0.4998 P leaves.
        __m512d y_low = _mm512_setzero_pd(), y_high = _mm512_setzero_pd();
        const __m512d radix = _mm512_set1_pd(65536.0);
        for (int j = J - 1; j >= J - kTop; --j) {
            y_low = _mm512_fmadd_pd(y_low, radix, _mm512_cvtepi32_pd(_mm512_castsi512_si256(acc[j])));
            y_high = _mm512_fmadd_pd(y_high, radix, _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(acc[j], 1)));
        }
        constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
        const __m512i q = _mm512_inserti64x4(
            _mm512_castsi256_si512(_mm512_cvt_roundpd_epi32(_mm512_mul_pd(y_low, inverse), kNearest)),
            _mm512_cvt_roundpd_epi32(_mm512_mul_pd(y_high, inverse), kNearest), 1);
        // (-q, 0) word pairs: q < 2^14, so -q is a word.
        const __m512i minus_q = _mm512_and_si512(_mm512_sub_epi32(_mm512_setzero_si512(), q), low16);
        // x = y - q P, normalised to digits in [0, 2^16) with the carries; what is left
        // over is 0 or -1: the sign of x (|x| < P/2 < 2^(16 J)).
        __m512i carry = _mm512_setzero_si512();
        for (int j = 0; j < J; ++j) {
            const __m512i v = _mm512_add_epi32(
                dot_words(acc[j], minus_q, w.product_words + j), carry);
            acc[j] = _mm512_and_si512(v, low16);
            carry = _mm512_srai_epi32(v, 16);
        }
        const __mmask16 neg = _mm512_movepi32_mask(carry);
        if (Magnitude) {
            // |x|: for negative lanes 2^(16 J) - digits, by complement and increment.
            const __m512i flip = _mm512_maskz_mov_epi32(neg, low16);
            __m512i c = _mm512_srli_epi32(flip, 15);
            for (int j = 0; j < J; ++j) {
                const __m512i v = _mm512_add_epi32(_mm512_xor_si512(acc[j], flip), c);
                acc[j] = _mm512_and_si512(v, low16);
                c = _mm512_srli_epi32(v, 16);
            }
        }
        sink(e0, live, acc, neg);
    }
}

// Digits 2k and 2k + 1 of |x| as one 32-bit digit (zero past the J words).
template <int J>
inline __m512i digit_pair(const __m512i* words, int k) {
    auto word = [&](int j) { return j < J ? words[j] : _mm512_setzero_si512(); };
    return _mm512_or_si512(word(2 * k), _mm512_slli_epi32(word(2 * k + 1), 16));
}

template <int J>
void crt_to_digits(const CrtPlan& t, const WordBasis& w, const uint8_t* residues, int64_t stride,
                   int count, uint32_t* magnitude, uint8_t* negative) {
    const int D = t.digits;  // >= ceil(J / 2)
    crt_words<J, true>(t, w, residues, stride, count,
                       [&](int e0, __mmask16 live, const __m512i* words, __mmask16 neg) {
                     // A fixed count of nonzero digits, so that the words stay in registers.
                     constexpr int kPairs = (J + 1) / 2;
#pragma GCC unroll 12
                     for (int k = 0; k < kPairs; ++k)
                         _mm512_mask_storeu_epi32(magnitude + k * kCrtRun + e0, live, digit_pair<J>(words, k));
                     for (int k = kPairs; k < D; ++k)
                         _mm512_mask_storeu_epi32(magnitude + k * kCrtRun + e0, live, _mm512_setzero_si512());
                     _mm_mask_storeu_epi8(negative + e0, live, _mm_maskz_mov_epi8(neg, _mm_set1_epi8(1)));
                 });
}

// ---- The CRT fused with the rounding ----
//
// exact::round_triple's short path, eight elements at a time in 64-bit lanes: the
// magnitude as a window of three 64-bit words (w2 on top), normalised so that bit 191 is
// set, each word one fixed-width rounding of the window's top bits. Lanes whose words are
// not all normal (or zero) go to exact::round_triple itself.

inline __m512i splat(int64_t v) { return _mm512_set1_epi64(v); }
constexpr int kOr3 = 0xfe;  // ternary logic: a | b | c

inline __mmask8 all_zero(__m512i a, __m512i b, __m512i c) {
    const __m512i any = _mm512_ternarylogic_epi64(a, b, c, kOr3);
    return _mm512_testn_epi64_mask(any, any);
}

// Leading zeros of each lane, 64 for zero: vplzcntq (AVX-512 CD, which the registry's
// check for this folder includes), written out because the folder is not built with -mavx512cd.
// Emulated, through the double conversion: converted with truncation, the double keeps the
// exponent floor(log2 v).
inline __m512i leading_zeros(__m512i v) {
#if !VEXA_SIMDE
    __m512i z;
    asm("vplzcntq %1, %0" : "=v"(z) : "v"(v));
    return z;
#else
    const __m512d d = _mm512_cvt_roundepu64_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512i biased = _mm512_srli_epi64(_mm512_castpd_si512(d), 52);
    return _mm512_min_epu64(_mm512_sub_epi64(splat(1023 + 63), biased), splat(64));
#endif
}

// Shifts the window left until bit 191 is set (a zero window stays zero); returns the
// shift. Variable shifts by 64 or more, or by "negative" counts, give zero, so every word
// gathers its bits from wherever they land without selecting cases.
//
// Low = false: the caller knows w2 is zero, so the shift is at least 64 and w0 comes out
// zero; the window is then the two words w2, w1 (w0 left as it was, zero).
template <bool Low>
inline __m512i normalise(__m512i& w2, __m512i& w1, __m512i& w0) {
    if constexpr (!Low) {
        const __m512i z1 = leading_zeros(w1), z0 = leading_zeros(w0);
        // t = s - 64 in [0, 128], what w1:w0 moves up into w2:w1.
        const __m512i t = _mm512_mask_add_epi64(z1, _mm512_cmpeq_epi64_mask(z1, splat(64)), z1, z0);
        w2 = _mm512_ternarylogic_epi64(_mm512_sllv_epi64(w1, t), _mm512_srlv_epi64(w0, _mm512_sub_epi64(splat(64), t)),
                                       _mm512_sllv_epi64(w0, _mm512_sub_epi64(t, splat(64))), kOr3);
        w1 = _mm512_sllv_epi64(w0, t);
        w0 = _mm512_setzero_si512();
        return _mm512_add_epi64(t, splat(64));
    }
    const __m512i z2 = leading_zeros(w2), z1 = leading_zeros(w1), z0 = leading_zeros(w0);
    const __mmask8 top_zero = _mm512_cmpeq_epi64_mask(z2, splat(64));
    __m512i s = _mm512_mask_add_epi64(z2, top_zero, z2, z1);
    s = _mm512_mask_add_epi64(s, top_zero & _mm512_cmpeq_epi64_mask(z1, splat(64)), s, z0);
    const __m512i s64 = _mm512_sub_epi64(s, splat(64)), s128 = _mm512_sub_epi64(s, splat(128));
    const __m512i r64 = _mm512_sub_epi64(splat(64), s), r128 = _mm512_sub_epi64(splat(128), s);
    const __m512i n2 = _mm512_ternarylogic_epi64(
        _mm512_ternarylogic_epi64(_mm512_sllv_epi64(w2, s), _mm512_srlv_epi64(w1, r64),
                                  _mm512_sllv_epi64(w1, s64), kOr3),
        _mm512_srlv_epi64(w0, r128), _mm512_sllv_epi64(w0, s128), kOr3);
    const __m512i n1 = _mm512_ternarylogic_epi64(_mm512_sllv_epi64(w1, s), _mm512_srlv_epi64(w0, r64),
                                                 _mm512_sllv_epi64(w0, s64), kOr3);
    w0 = _mm512_sllv_epi64(w0, s);
    w1 = n1;
    w2 = n2;
    return s;
}

// Rounds each normalised window to its top Precision bits (nearest, ties to even) and
// returns the significands; *up marks the lanes rounded up. When Remainder, the window
// then holds the magnitude of the remainder, of the opposite sign where rounded up.
// Low = false: w0 is zero and stays so.
template <int Precision, bool Remainder, bool Low = true>
inline __m512i round_window(__m512i& w2, __m512i& w1, __m512i& w0, __mmask8* up) {
    constexpr int kDrop = 64 - Precision;
    constexpr int64_t kLowMask = (int64_t(1) << kDrop) - 1;
    constexpr int64_t kHalf = int64_t(1) << (kDrop - 1);
    const __m512i m = _mm512_srli_epi64(w2, kDrop);
    const __mmask8 half = _mm512_test_epi64_mask(w2, splat(kHalf));
    const __mmask8 below = ~all_zero(_mm512_and_si512(w2, splat(kHalf - 1)), w1, Low ? w0 : w1);
    *up = half & (below | _mm512_test_epi64_mask(m, splat(1)));
    if (Remainder) {
        // Rounded up: the remainder's magnitude is 2^(192 - Precision) minus the low bits,
        // their two's complement within that width.
        const __m512i low = _mm512_and_si512(w2, splat(kLowMask));
        const __mmask8 zero0 = Low ? _mm512_testn_epi64_mask(w0, w0) : __mmask8(0xff);
        const __mmask8 zero01 = zero0 & _mm512_testn_epi64_mask(w1, w1);
        const __m512i not1 = _mm512_xor_si512(w1, splat(-1)), not2 = _mm512_xor_si512(low, splat(-1));
        const __m512i n0 = _mm512_sub_epi64(_mm512_setzero_si512(), w0);
        const __m512i n1 = _mm512_mask_add_epi64(not1, zero0, not1, splat(1));
        const __m512i n2 = _mm512_and_si512(_mm512_mask_add_epi64(not2, zero01, not2, splat(1)), splat(kLowMask));
        if (Low) w0 = _mm512_mask_blend_epi64(*up, w0, n0);
        w1 = _mm512_mask_blend_epi64(*up, w1, n1);
        w2 = _mm512_mask_blend_epi64(*up, low, n2);
    }
    return _mm512_mask_add_epi64(m, *up, m, splat(1));
}

inline __mmask8 in_range(__m512i v, int64_t lowest, int64_t highest) {
    return _mm512_cmpge_epi64_mask(v, splat(lowest)) & _mm512_cmple_epi64_mask(v, splat(highest));
}

// Bits of the normal double m * 2^(top - 52) (float m * 2^(top - 23), in the low half of
// the lane) for m up to 2^53 (2^24) inclusive: the carry of the largest m into the
// exponent field is what the addition does anyway.
inline __m512i double_bits(__m512i m, __m512i top, __mmask8 negative) {
    const __m512i bits = _mm512_add_epi64(_mm512_slli_epi64(_mm512_add_epi64(top, splat(1022)), 52), m);
    return _mm512_mask_or_epi64(bits, negative, bits, splat(INT64_MIN));
}
inline __m512i float_bits(__m512i m, __m512i top, __mmask8 negative) {
    const __m512i bits = _mm512_add_epi64(_mm512_slli_epi64(_mm512_add_epi64(top, splat(126)), 23), m);
    return _mm512_mask_or_epi64(bits, negative, bits, splat(int64_t(1) << 31));
}

// After a rounding to 53 bits the remainder's top word holds at most 11 bits. Where it is
// not zero (all but about one lane in a thousand), one shift by s = leading_zeros(w2) in
// [53, 63] normalises the window again; lanes where it is zero are left to the scalar code.
template <bool Low>
inline void shift_window(__m512i& w2, __m512i& w1, __m512i& w0, __m512i s) {
    const __m512i r = _mm512_sub_epi64(splat(64), s);
    w2 = _mm512_or_si512(_mm512_sllv_epi64(w2, s), _mm512_srlv_epi64(w1, r));
    if constexpr (Low) {
        w1 = _mm512_or_si512(_mm512_sllv_epi64(w1, s), _mm512_srlv_epi64(w0, r));
        w0 = _mm512_sllv_epi64(w0, s);
    } else {
        w1 = _mm512_sllv_epi64(w1, s);
    }
}

// The words of eight lanes, of the `ok` ones at least.
__attribute__((always_inline)) inline void store_lanes(__mmask8 owned, __mmask8 ok, double* hi, double* lo, float* res,
                                                       __m512d hi_bits, __m512d lo_bits, __m256i res_bits) {
    if (owned == 0xff) {
        // Whole stores where all eight are ours: what they put in the lanes that are not
        // ok, the caller writes again. A later load of one element can take its value
        // from a whole store still in flight, never from a masked one.
        _mm512_storeu_pd(hi, hi_bits);
        _mm512_storeu_pd(lo, lo_bits);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(res), res_bits);
    } else {
        _mm512_mask_storeu_pd(hi, ok, hi_bits);
        _mm512_mask_storeu_pd(lo, ok, lo_bits);
        _mm256_mask_storeu_epi32(res, ok, res_bits);
    }
}

// Eight elements (lanes `live`, magnitudes [w2, w1, w0] not zero there, signs `negative`,
// scales 2^scale): their triples into hi, lo, res where all three words come out normal
// or zero. Returns the live lanes that did not. Where `owned` is all eight lanes, all eight
// are stored and the caller writes again what is not a live lane's finished triple;
// otherwise nothing but those triples is written. Low = false: w2 is zero, and the
// magnitudes fit w1, w0.
template <bool Low>
__attribute__((always_inline)) inline __mmask8 round_lanes(__m512i w2, __m512i w1, __m512i w0,
                                                           __mmask8 negative, __m512i scale, __mmask8 owned,
                                                           __mmask8 live, double* hi, double* lo, float* res) {
    const __m512i top = _mm512_sub_epi64(_mm512_add_epi64(scale, splat(191)), normalise<Low>(w2, w1, w0));
    __mmask8 ok = live & in_range(top, -1022, 1022);
    __mmask8 lo_flip, res_flip, unused;
    const __m512i m_hi = round_window<53, true, Low>(w2, w1, w0, &lo_flip);
    const __mmask8 lo_zero = all_zero(w2, w1, Low ? w0 : w1);
    ok &= lo_zero | _mm512_test_epi64_mask(w2, w2);
    const __m512i s_lo = leading_zeros(w2);
    shift_window<Low>(w2, w1, w0, s_lo);
    const __m512i top_lo = _mm512_sub_epi64(top, s_lo);
    ok &= lo_zero | _mm512_cmpge_epi64_mask(top_lo, splat(-1022));
    const __m512i m_lo = round_window<53, true, Low>(w2, w1, w0, &res_flip);
    const __mmask8 res_zero = lo_zero | all_zero(w2, w1, Low ? w0 : w1);
    ok &= res_zero | _mm512_test_epi64_mask(w2, w2);
    const __m512i s_res = leading_zeros(w2);
    // Only the top word and whether anything is below it matter for res.
    __m512i below = Low ? _mm512_or_si512(_mm512_sllv_epi64(w1, s_res), w0) : _mm512_sllv_epi64(w1, s_res);
    w2 = _mm512_or_si512(_mm512_sllv_epi64(w2, s_res), _mm512_srlv_epi64(w1, _mm512_sub_epi64(splat(64), s_res)));
    const __m512i top_res = _mm512_sub_epi64(top_lo, s_res);
    // Below -126 res is subnormal; above 126 it might round up to 2^128 and overflow.
    ok &= res_zero | in_range(top_res, -126, 126);
    __m512i zero = _mm512_setzero_si512();
    const __m512i m_res = round_window<24, false>(w2, below, zero, &unused);
    const __mmask8 lo_negative = negative ^ lo_flip, res_negative = lo_negative ^ res_flip;
    const __m512d hi_bits = _mm512_castsi512_pd(double_bits(m_hi, top, negative));
    const __m512d lo_bits =
        _mm512_castsi512_pd(_mm512_maskz_mov_epi64(__mmask8(~lo_zero), double_bits(m_lo, top_lo, lo_negative)));
    const __m256i res_bits =
        _mm512_cvtepi64_epi32(_mm512_maskz_mov_epi64(__mmask8(~res_zero), float_bits(m_res, top_res, res_negative)));
    store_lanes(owned, ok, hi, lo, res, hi_bits, lo_bits, res_bits);
    return live & __mmask8(~ok);
}

// ---- The rounding in floating point, for integers below 2^157 ----
//
// x in two's complement over three 64-bit limbs, cut at bits 53 and 106 into exact doubles:
// a0 = bits 0..52 and a1 = bits 53..105 times 2^53, both nonnegative, and a2 = x >> 106
// times 2^106, signed and within 52 bits for |x| < 2^157. Every value below is an integer,
// so nothing underflows, and each Fast2Sum (s = a + b, err = b - (s - a)) is exact because
// b's exponent is not above a's:
// - s, e1 of a2 + a1: a2 is zero or a multiple of 2^106 above a1. a2 + a1 and so s are
//   multiples of 2^53, and so is e1; e1 != 0 only where s needed rounding, |s| > 2^106.
// - t, e2 of e1 + a0: e1 is zero or at least 2^53 > a0.
// - hi, r of s + t: with e1 == 0, t = a0 < 2^53 <= |s| (or s = 0); otherwise |t| <=
//   ulp(s) / 2 + 2^53 <= ulp(s).
// - lo, f of r + e2: s, t and hi are multiples of ulp(t), so r is zero or at least ulp(t),
//   and |e2| <= ulp(t) / 2.
// So x = hi + r + e2 = hi + lo + f exactly, with hi = RN(s + t) and lo = RN(r + e2). hi is
// RN(x) where x - hi lies strictly inside hi's rounding interval: |lo| below half an ulp of
// hi, or a quarter where hi is a power of two and lo points down to the finer binade (RN is
// monotone, and those bounds are doubles, so |lo| below one means |x - hi| below it). Then
// lo = RN(x - hi) and res = RN_f32(f) = RN_f32(x - hi - lo), one rounding each; scaling by
// 2^scale changes none of them where every nonzero word stays a normal number, which the
// exponents are checked for with a binade to spare. A lane that fails any check (about one
// in 2^50 for random integers, more for ties) goes to exact::round_triple.

inline __m512d fast_two_sum(__m512d a, __m512d b, __m512d& err) {
    const __m512d s = _mm512_add_pd(a, b);
    err = _mm512_sub_pd(b, _mm512_sub_pd(s, a));
    return s;
}

// Eight elements as round_lanes, x given as the sign-extended limbs w2, w1, w0.
__attribute__((always_inline)) inline __mmask8 round_lanes_float(__m512i w2, __m512i w1, __m512i w0, __m512i scale,
                                                                 __mmask8 owned, __mmask8 live, double* hi,
                                                                 double* lo, float* res) {
    constexpr int kOrThenAnd = 0xa8;  // ternary logic: (a | b) & c
    const __m512i field = splat((int64_t(1) << 53) - 1);
    const __m512d a0 = _mm512_cvtepu64_pd(_mm512_and_si512(w0, field));
    const __m512d a1 = _mm512_mul_pd(
        _mm512_cvtepu64_pd(_mm512_ternarylogic_epi64(_mm512_srli_epi64(w0, 53), _mm512_slli_epi64(w1, 11), field, kOrThenAnd)),
        _mm512_set1_pd(0x1p53));
    const __m512d a2 = _mm512_mul_pd(_mm512_cvtepi64_pd(_mm512_or_si512(_mm512_srli_epi64(w1, 42), _mm512_slli_epi64(w2, 22))),
                                     _mm512_set1_pd(0x1p106));
    __m512d e1, e2, r, f;
    const __m512d s = fast_two_sum(a2, a1, e1);
    const __m512d t = fast_two_sum(e1, a0, e2);
    const __m512i h = _mm512_castpd_si512(fast_two_sum(s, t, r));
    const __m512i l = _mm512_castpd_si512(fast_two_sum(r, e2, f));
    const __m512i rs = _mm512_cvtepu32_epi64(_mm256_castps_si256(_mm512_cvtpd_ps(f)));
    // Half an ulp of hi is the double with hi's exponent less 53 and no fraction.
    const __m512i h_exp = _mm512_and_si512(h, splat(int64_t(0x7ff) << 52));
    const __m512i l_abs = _mm512_and_si512(l, splat(INT64_MAX));
    const __mmask8 narrow =
        _mm512_testn_epi64_mask(h, splat((int64_t(1) << 52) - 1)) & _mm512_movepi64_mask(_mm512_xor_si512(h, l));
    const __m512i half_ulp = _mm512_sub_epi64(h_exp, splat(int64_t(53) << 52));
    const __m512i limit = _mm512_mask_sub_epi64(half_ulp, narrow, half_ulp, splat(int64_t(1) << 52));
    __mmask8 ok = live & _mm512_cmpgt_epi64_mask(limit, l_abs);
    // Biased exponents after scaling, one binade clear of the subnormals and of the top.
    ok &= in_range(_mm512_add_epi64(_mm512_srli_epi64(h_exp, 52), scale), 2, 2046);
    const __mmask8 lo_zero = _mm512_testn_epi64_mask(l_abs, l_abs);
    ok &= lo_zero | _mm512_cmpge_epi64_mask(_mm512_add_epi64(_mm512_srli_epi64(l_abs, 52), scale), splat(2));
    const __m512i rs_abs = _mm512_and_si512(rs, splat(0x7fffffff));
    const __mmask8 res_zero = _mm512_testn_epi64_mask(rs_abs, rs_abs);
    ok &= res_zero | in_range(_mm512_add_epi64(_mm512_srli_epi64(rs_abs, 23), scale), 2, 254);
    const __m512i scale_hi = _mm512_slli_epi64(scale, 52);
    const __m512d hi_bits = _mm512_castsi512_pd(_mm512_add_epi64(h, scale_hi));
    const __m512d lo_bits = _mm512_castsi512_pd(_mm512_maskz_add_epi64(__mmask8(~lo_zero), l, scale_hi));
    const __m256i res_bits =
        _mm512_cvtepi64_epi32(_mm512_maskz_add_epi64(__mmask8(~res_zero), rs, _mm512_slli_epi64(scale, 23)));
    store_lanes(owned, ok, hi, lo, res, hi_bits, lo_bits, res_bits);
    return live & __mmask8(~ok);
}

// Two passes over the run: the CRT leaves every element's magnitude as limbs, its sign and
// whether it is zero in a small buffer, and the rounding then takes them eight at a time.
// Apart, each loop keeps its own constants and state in registers; together they did not
// fit, and the rounding reloaded its constants for every eight elements.
template <int J>
void crt_to_triples(const CrtPlan& t, const WordBasis& w, const uint8_t* residues, int64_t stride,
                    int count, int64_t scale_base, const int32_t* scale, double* hi, double* lo,
                    float* res, uint8_t* zero) {
    constexpr int kLimbs = (J + 3) / 4;
    static_assert(kLimbs <= 3, "the vector rounding takes up to three limbs");
    // |x| < P / 2 <= 2^(16 J - 3): below 2^157 for J <= 10, as round_lanes_float needs. It
    // takes two's complement limbs; the integer rounding takes magnitudes.
    constexpr bool kFloat = J <= 10;
    constexpr int kStored = kFloat ? 3 : kLimbs;
    // The top limb's bits below 2^(16 J): what is left of a negated two's complement
    // x mod 2^(16 J) once the bits above it are dropped, |x| < 2^(16 J - 1).
    constexpr int kTopBits = 16 * J - 64 * (kLimbs - 1);
    constexpr int kGroups = kCrtRun / 8;
    alignas(64) uint64_t limbs[kGroups][kStored][8];
    __mmask8 negatives[kGroups], nonzeros[kGroups];
    crt_words<J, false>(t, w, residues, stride, count,
                        [&](int e0, __mmask16 live, const __m512i* words, __mmask16 neg) {
        // x mod 2^(16 J) is zero exactly where x is.
        __m512i pairs[2 * kLimbs];
        for (int k = 0; k < 2 * kLimbs; ++k) pairs[k] = digit_pair<J>(words, k);
        __m512i any = pairs[0];
        for (int k = 1; k < 2 * kLimbs; ++k) any = _mm512_or_si512(any, pairs[k]);
        const __mmask16 nonzero = live & _mm512_test_epi32_mask(any, any);
        for (int h = 0; h < 2; ++h) {
            const int g = e0 / 8 + h;
            // Limb k of lane i: 32-bit digits 2k (low) and 2k + 1 (high) of element 8 h + i,
            // interleaved by one two-source permute.
            const __m512i interleave = h ? _mm512_set_epi32(31, 15, 30, 14, 29, 13, 28, 12, 27, 11, 26, 10, 25, 9, 24, 8)
                                         : _mm512_set_epi32(23, 7, 22, 6, 21, 5, 20, 4, 19, 3, 18, 2, 17, 1, 16, 0);
            const __mmask8 negative = __mmask8(neg >> (8 * h));
            if constexpr (kFloat) {
                // x itself: x mod 2^(16 J) with the sign copied into the bits above.
                for (int k = 0; k < 3; ++k) {
                    __m512i limb = k < kLimbs ? _mm512_permutex2var_epi32(pairs[2 * k], interleave, pairs[2 * k + 1])
                                              : _mm512_setzero_si512();
                    if (k == kLimbs - 1 && kTopBits < 64)
                        limb = _mm512_mask_or_epi64(limb, negative, limb, splat(int64_t(~(~uint64_t(0) >> (64 - kTopBits)))));
                    if (k >= kLimbs) limb = _mm512_maskz_mov_epi64(negative, splat(-1));
                    _mm512_store_si512(limbs[g][k], limb);
                }
                negatives[g] = negative;
                nonzeros[g] = __mmask8(nonzero >> (8 * h));
                continue;
            }
            // |x| in negative lanes: -(x mod 2^(16 J)) over the limbs, ~limb plus the
            // borrow that passes up through zero limbs, then cut to 16 J bits.
            __mmask8 carry_in = negative;
            for (int k = 0; k < kLimbs; ++k) {
                __m512i limb = _mm512_permutex2var_epi32(pairs[2 * k], interleave, pairs[2 * k + 1]);
                const __mmask8 zero_limb = _mm512_testn_epi64_mask(limb, limb);
                limb = _mm512_mask_xor_epi64(limb, negative, limb, _mm512_set1_epi64(-1));
                limb = _mm512_mask_add_epi64(limb, carry_in, limb, _mm512_set1_epi64(1));
                carry_in &= zero_limb;
                if (k == kLimbs - 1) limb = _mm512_and_si512(limb, _mm512_set1_epi64(int64_t(~uint64_t(0) >> (64 - kTopBits))));
                _mm512_store_si512(limbs[g][k], limb);
            }
            negatives[g] = negative;
            nonzeros[g] = __mmask8(nonzero >> (8 * h));
        }
    });
    const __m512i base = splat(scale_base);
    // Eight elements from e = 8 g, `half_live` of them (all eight when Full).
    auto round_group = [&](auto full, int g, __mmask8 half_live) __attribute__((always_inline)) {
        constexpr bool kFull = decltype(full)::value;
        const int e = 8 * g;
        const __mmask8 half_nonzero = nonzeros[g], negative = negatives[g];
        __m512i limb[3];
        for (int k = 0; k < 3; ++k) limb[k] = k < kStored ? _mm512_load_si512(limbs[g][k]) : _mm512_setzero_si512();
        const __m256i lane_shift = kFull ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(scale + e))
                                         : _mm256_maskz_loadu_epi32(half_live, scale + e);
        const __m512i lane_scale = _mm512_add_epi64(base, _mm512_cvtepi32_epi64(lane_shift));
        // Exact zeros: +0 words, flagged for the caller, whose sign rule needs the inputs.
        // All eight lanes live: round_lanes writes every lane (a zero's lanes are then
        // written again), and the flags go in one whole store.
        const __mmask8 zeros = half_live & __mmask8(~half_nonzero);
        const __mmask8 owned = kFull ? __mmask8(0xff) : half_nonzero;
        __mmask8 left;
        if constexpr (kFloat)
            left = round_lanes_float(limb[2], limb[1], limb[0], lane_scale, owned, half_nonzero, hi + e, lo + e, res + e);
        else
            left = round_lanes<(kLimbs > 2)>(limb[2], limb[1], limb[0], negative, lane_scale, owned, half_nonzero,
                                             hi + e, lo + e, res + e);
        if (zeros) {
            _mm512_mask_storeu_pd(hi + e, zeros, _mm512_setzero_pd());
            _mm512_mask_storeu_pd(lo + e, zeros, _mm512_setzero_pd());
            _mm256_mask_storeu_ps(res + e, zeros, _mm256_setzero_ps());
        }
        const __m128i flags = _mm_maskz_mov_epi8(zeros, _mm_set1_epi8(1));
        if (kFull)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(zero + e), flags);
        else
            _mm_mask_storeu_epi8(zero + e, half_live, flags);
        for (unsigned bits = left; bits; bits &= bits - 1) {
            const int lane = __builtin_ctz(bits);
            const bool lane_negative = (negative >> lane) & 1;
            uint64_t mag[3];
            for (int k = 0; k < 3; ++k) mag[k] = k < kStored ? limbs[g][k < kStored ? k : 0][lane] : 0;
            if (kFloat && lane_negative) wide::negate(mag, 3);
            exact::round_triple(lane_negative, mag, 3, scale_base + scale[e + lane], hi + e + lane, lo + e + lane,
                                res + e + lane);
        }
    };
    const int full_groups = count / 8;
    for (int g = 0; g < full_groups; ++g) round_group(std::true_type(), g, __mmask8(0xff));
    if (count % 8) round_group(std::false_type(), full_groups, __mmask8((1u << (count % 8)) - 1));
}

// Integers wider than the vector rounding takes: digits first, then one element at a time.
template <int J>
void crt_to_triples_wide(const CrtPlan& t, const WordBasis& w, const uint8_t* residues, int64_t stride,
                         int count, int64_t scale_base, const int32_t* scale, double* hi, double* lo,
                         float* res, uint8_t* zero) {
    alignas(64) uint32_t magnitude[kMaxDigits * kCrtRun];
    uint8_t negative[kCrtRun];
    const int D = t.digits, nl = (D + 1) / 2;
    for (int c0 = 0; c0 < count; c0 += kCrtRun) {
        const int run = count - c0 < kCrtRun ? count - c0 : kCrtRun;
        crt_to_digits<J>(t, w, residues + c0, stride, run, magnitude, negative);
        for (int e = 0; e < run; ++e) {
            uint64_t limbs[kMaxLimbs];
            uint64_t any = 0;
            for (int l = 0; l < nl; ++l) {
                const uint64_t high = 2 * l + 1 < D ? magnitude[(2 * l + 1) * kCrtRun + e] : 0;
                limbs[l] = magnitude[2 * l * kCrtRun + e] | (high << 32);
                any |= limbs[l];
            }
            const int at = c0 + e;
            zero[at] = any == 0;
            if (any) {
                exact::round_triple(negative[e] != 0, limbs, nl, scale_base + scale[at], hi + at, lo + at, res + at);
            } else {
                hi[at] = 0.0, lo[at] = 0.0, res[at] = 0.0f;
            }
        }
    }
}

template <int... J, class Run>
void dispatch_words(std::integer_sequence<int, J...>, int words, Run&& run) {
    ((words == J + 1 ? (run(std::integral_constant<int, J + 1>()), 0) : 0), ...);
}

}  // namespace

// The CRT and the rounding in one. For e < count, with x_e the integer that
// the CRT rebuilds from residues[l * stride + e]: where x_e != 0, hi[e], lo[e], res[e]
// are exact::round_triple of x_e * 2^(scale_base + scale[e]) and zero[e] = 0; where
// x_e == 0, the three words are +0 and zero[e] = 1 (the sign of an exact zero sum depends
// on the inputs, which only the caller has). Nothing past `count` is read or written.
void crt_round(const CrtPlan& t, const uint8_t* residues, int64_t stride, int count,
               int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
               uint8_t* zero) {
    const WordBasis& w = t.word_basis;
    dispatch_words(std::make_integer_sequence<int, kMaxWords>(), w.words, [&](auto words) {
        constexpr int J = decltype(words)::value;
        if constexpr (J <= 12)
            crt_to_triples<J>(t, w, residues, stride, count, scale_base, scale, hi, lo, res, zero);
        else
            crt_to_triples_wide<J>(t, w, residues, stride, count, scale_base, scale, hi, lo, res, zero);
    });
}

}  // namespace vexa::avx512_vnni
