// The int16 engine's CRT on AVX2, four elements per vector, the whole run first, followed by
// the exact core's rounding element by element.
//
// The steps are those of fast::portable_crt: c_l = r_l * (Q_l mod p_l)^-1 mod p_l, then
// y = sum_l c_l Q_l in 32-bit digits accumulated in 64-bit lanes (c_l * digit < 2^48, and
// fewer than 2^16 such terms), the quotient q = round(y / P) from doubles, x = y - q P in
// two's complement, and its magnitude and sign.
#include <immintrin.h>

#include <cstdint>
#include <utility>

#include "exact/exact_core.h"
#include "kernels/avx2/avx2_pieces.h"

namespace vexa::avx2 {
namespace {

using fast::CrtPlan;
using fast::kMaxDigits;
constexpr int kRun = int16::kPanelWidth;  // elements per call at most
constexpr int kLanes = 4;

// c_l of eight elements (32-bit lanes) for modulus p, from residues r < p.
// For the primes r * inverse < 2^26: the quotient estimate from floats is within 2^-9 of
// (r * inverse) / p, so truncating it is off by at most one either way and one correction
// on each side lands in [0, p). For 2^16 the low word is the answer.
inline __m256i coefficients(__m256i r, uint32_t inverse, uint32_t p) {
    const __m256i x = _mm256_mullo_epi32(r, _mm256_set1_epi32(int32_t(inverse)));
    if (p == uint32_t(int16::kPowerModulus)) return _mm256_and_si256(x, _mm256_set1_epi32(0xffff));
    const __m256i pv = _mm256_set1_epi32(int32_t(p));
    const __m256i q = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(x), _mm256_set1_ps(1.0f / float(p))));
    __m256i c = _mm256_sub_epi32(x, _mm256_mullo_epi32(q, pv));
    c = _mm256_add_epi32(c, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), c), pv));
    return _mm256_sub_epi32(c, _mm256_and_si256(_mm256_cmpgt_epi32(c, _mm256_sub_epi32(pv, _mm256_set1_epi32(1))), pv));
}

// The magnitudes and signs of G groups of four elements, groups g0 .. g0 + G - 1 of the
// coefficients c[l][g] (64-bit lanes): limbs[g][w] the 64-bit limbs of |x|, negative[g]
// all ones where x < 0. The G groups share one pass over the moduli, so each digit of a
// cofactor is broadcast once for all of them. A 32-bit broadcast suffices: vpmuludq reads
// only the low half of each lane.
template <int D, int G>
inline void reconstruct(const CrtPlan& t, const __m256i (*c)[kRun / kLanes], int g0,
                        __m256i (*limbs)[(D + 1) / 2], __m256i* negative) {
    __m256i acc[G][D];
    for (int i = 0; i < G; ++i)
        for (int j = 0; j < D; ++j) acc[i][j] = _mm256_setzero_si256();
    for (int l = 0; l < t.count; ++l)
        for (int j = 0; j < D; ++j) {
            const __m256i cofactor = _mm256_set1_epi32(int32_t(t.cofactor[l][j]));
            for (int i = 0; i < G; ++i)
                acc[i][j] = _mm256_add_epi64(acc[i][j], _mm256_mul_epu32(c[l][g0 + i], cofactor));
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

// Two passes over the run: the CRT leaves every element's limbs and sign in a small buffer,
// two groups of four at a time where their accumulators fit the registers, and the rounding
// then takes the elements one by one.
template <int D>
void crt_round_run(const CrtPlan& t, const uint16_t* residues, int64_t stride, int count,
                   int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                   uint8_t* zero) {
    constexpr int kGroups = kRun / kLanes, kLimbs = (D + 1) / 2;
    // Two groups' accumulators, D each, and the coefficients and cofactor digit they share
    // fit the 16 registers up to D = 6.
    constexpr int kTogether = D <= 6 ? 2 : 1;
    alignas(32) uint16_t padded[kRun];
    __m256i c[fast::kMaxModuli][kGroups];
    for (int l = 0; l < t.count; ++l) {
        const uint16_t* r = residues + l * stride;
        if (count < kRun) {
            for (int e = 0; e < kRun; ++e) padded[e] = e < count ? r[e] : 0;
            r = padded;
        }
        for (int half = 0; half < 2; ++half) {
            const __m256i words = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + 8 * half)));
            const __m256i cl = coefficients(words, t.inverse[l], t.p[l]);
            c[l][2 * half] = _mm256_cvtepu32_epi64(_mm256_castsi256_si128(cl));
            c[l][2 * half + 1] = _mm256_cvtepu32_epi64(_mm256_extracti128_si256(cl, 1));
        }
    }
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
    for (int e = 0; e < count; ++e) {
        const int g = e / kLanes, lane = e % kLanes;
        uint64_t mag[kLimbs];
        uint64_t any = 0;
        for (int w = 0; w < kLimbs; ++w) {
            mag[w] = limbs[g][w][lane];
            any |= mag[w];
        }
        zero[e] = any == 0;
        if (any) {
            exact::round_triple(negative[g][lane] != 0, mag, kLimbs, scale_base + scale[e], &hi[e], &lo[e], &res[e]);
        } else {
            hi[e] = 0.0;
            lo[e] = 0.0;
            res[e] = 0.0f;
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
