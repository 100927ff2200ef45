// AVX-512 CRT reassembly of the int8 fast path: the exact signed integer of each output
// element from its residues, eight elements per pass in 64-bit lanes.
// Built with AVX-512 flags; nothing here runs unless the kernel table found VNNI.
#include <immintrin.h>

#include <cstdint>
#include <utility>

#include "int8_fastpath.h"

namespace vexa {
namespace int8 {
namespace {

// The CRT of up to eight elements per pass, one per 64-bit lane, in the steps of the
// portable version (int8_fastpath.cpp): digits c_l, the digit sums, carries, the quotient
// q = round(y / P), x = y - q P, and the magnitude.
template <int D>
void crt_lanes(const CrtPlan& t, const uint8_t* residues, int64_t stride, int count,
               uint32_t* magnitude, uint8_t* negative) {
    const __m512i low32 = _mm512_set1_epi64(0xffffffffu);
    for (int e0 = 0; e0 < count; e0 += 8) {
        const int n = count - e0 < 8 ? count - e0 : 8;
        const __mmask8 live = __mmask8((1u << n) - 1);
        __m512i acc[D];
        for (int j = 0; j < D; ++j) acc[j] = _mm512_setzero_si512();
        for (int l = 0; l < t.count; ++l) {
            const __m512i r =
                _mm512_cvtepu8_epi64(_mm_maskz_loadu_epi8(live, residues + l * stride + e0));
            const __m512i x = _mm512_mul_epu32(r, _mm512_set1_epi64(t.inverse[l]));
            const __m512i q = _mm512_srli_epi64(_mm512_mul_epu32(x, _mm512_set1_epi64(t.reciprocal[l])), 32);
            const __m512i c = _mm512_sub_epi64(x, _mm512_mul_epu32(q, _mm512_set1_epi64(t.p[l])));
            const uint32_t* cof = t.cofactor[l];
#pragma GCC unroll 12
            for (int j = 0; j < D; ++j)
                acc[j] = _mm512_add_epi64(acc[j], _mm512_mul_epu32(c, _mm512_set1_epi64(cof[j])));
        }
        __m512i carry = _mm512_setzero_si512();
        for (int j = 0; j < D; ++j) {
            const __m512i v = _mm512_add_epi64(acc[j], carry);
            acc[j] = _mm512_and_si512(v, low32);
            carry = _mm512_srli_epi64(v, 32);
        }
        __m512d yd = _mm512_setzero_pd();
        const __m512d radix = _mm512_set1_pd(4294967296.0);
        for (int j = D - 1; j >= 0; --j) yd = _mm512_fmadd_pd(yd, radix, _mm512_cvtepu64_pd(acc[j]));
        const __m512i q = _mm512_cvtpd_epu64(_mm512_roundscale_pd(
            _mm512_mul_pd(yd, _mm512_set1_pd(t.product_inverse)), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
        __m512i borrow = _mm512_setzero_si512();
        for (int j = 0; j < D; ++j) {
            const __m512i sub = _mm512_add_epi64(_mm512_mul_epu32(q, _mm512_set1_epi64(t.product[j])), borrow);
            const __m512i v = _mm512_sub_epi64(acc[j], _mm512_and_si512(sub, low32));
            acc[j] = _mm512_and_si512(v, low32);
            borrow = _mm512_add_epi64(_mm512_srli_epi64(sub, 32), _mm512_srli_epi64(v, 63));
        }
        const __mmask8 neg = _mm512_test_epi64_mask(acc[D - 1], _mm512_set1_epi64(0x80000000u));
        __m512i c = _mm512_set1_epi64(1);
        for (int j = 0; j < D; ++j) {
            const __m512i v = _mm512_add_epi64(_mm512_andnot_si512(acc[j], low32), c);
            acc[j] = _mm512_mask_and_epi64(acc[j], neg, v, low32);
            c = _mm512_srli_epi64(v, 32);
        }
        for (int j = 0; j < D; ++j)
            _mm256_mask_storeu_epi32(magnitude + j * kCrtRun + e0, live, _mm512_cvtepi64_epi32(acc[j]));
        _mm_mask_storeu_epi8(negative + e0, live,
                             _mm_maskz_mov_epi8(__mmask16(neg), _mm_set1_epi8(1)));
    }
}

template <int... D>
void crt_dispatch(std::integer_sequence<int, D...>, const CrtPlan& t, const uint8_t* residues,
                  int64_t stride, int count, uint32_t* magnitude, uint8_t* negative) {
    ((t.digits == D + 1 ? (crt_lanes<D + 1>(t, residues, stride, count, magnitude, negative), 0) : 0), ...);
}

}  // namespace

void vnni_crt(const CrtPlan& t, const uint8_t* residues, int64_t stride, int count,
              uint32_t* magnitude, uint8_t* negative) {
    crt_dispatch(std::make_integer_sequence<int, kMaxDigits>(), t, residues, stride, count, magnitude,
                 negative);
}

}  // namespace int8
}  // namespace vexa
