// The reduction of int32 product sums to residue bytes, shared by the folders whose tiles
// sum into int32 and that are built with AVX-512 flags (avx512_vnni, amx_int8).
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kernels/avx512_vnni/avx512_vnni_pieces.h"

namespace vexa::avx512_vnni {
// Each folder keeps its own copy: none may become the one the linker keeps for another.
namespace {

// r = x mod p per lane for an integer-valued double |x| < 2^31 (the tile's int32 sums).
// The quotient from RN(1/p) is off by at most one, and the fused multiply-subtract is exact
// because the true remainder is a small integer.
inline __m512d mod_pd(__m512d x, __m512d p, __m512d inv) {
    const __m512d q = _mm512_roundscale_pd(_mm512_mul_pd(x, inv), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    __m512d r = _mm512_fnmadd_pd(q, p, x);
    r = _mm512_mask_add_pd(r, _mm512_cmp_pd_mask(r, _mm512_setzero_pd(), _CMP_LT_OQ), r, p);
    r = _mm512_mask_sub_pd(r, _mm512_cmp_pd_mask(r, p, _CMP_GE_OQ), r, p);
    return r;
}

// Reduces 16 int32 sums modulo p into 16 residue bytes, added modulo p to what they hold
// when `accumulate`, in place of it otherwise.
inline void fold_into(__m512i sums, const Modulus& mod, uint8_t* acc, bool accumulate) {
    const __m512d p = _mm512_set1_pd(mod.p_double), inv = _mm512_set1_pd(mod.inverse);
    const __m512d lo = mod_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(sums)), p, inv);
    const __m512d hi = mod_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(sums, 1)), p, inv);
    __m512i r = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvttpd_epi32(lo)),
                                   _mm512_cvttpd_epi32(hi), 1);
    if (accumulate) {
        r = _mm512_add_epi32(r, _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(acc))));
        const __m512i pi = _mm512_set1_epi32(mod.p);
        r = _mm512_mask_sub_epi32(r, _mm512_cmpge_epi32_mask(r, pi), r, pi);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc), _mm512_cvtepi32_epi8(r));
}

}  // namespace
}  // namespace vexa::avx512_vnni
