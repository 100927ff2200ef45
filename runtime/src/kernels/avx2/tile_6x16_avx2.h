// The frame of the int16 engine's 6x16 tiles, for the folders whose tile runs on AVX2
// registers (avx2's vpmaddwd, avx_vnni's vpdpwssd): the reduction of the int32 accumulators
// modulo p, the stores into the accumulator rows, and the product loop in intrinsics with
// the multiply-add of pairs left to the folder. Included by kernel sources only; its
// internal linkage keeps each folder's copy, built with that folder's flags, its own.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "fastpath/int16_engine.h"

namespace vexa::avx2 {
namespace {

// x - q p with q = round(x / p) estimated in float: float(x), RN(1/p) and their product are
// each within 2^-23 relatively (whatever the rounding mode), so for |x| < 2^31 and p > 2^12
// the estimate is within 0.1 of x / p and the result within 1.1 p of zero.
inline __m256i reduce_near(__m256i x, __m256 inverse, __m256i p) {
    const __m256i q = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(x), inverse));
    return _mm256_sub_epi32(x, _mm256_mullo_epi32(q, p));
}

// From |x| < 2.2 p to [0, p).
inline __m256i into_range(__m256i x, __m256i p) {
    const __m256i zero = _mm256_setzero_si256(), top = _mm256_sub_epi32(p, _mm256_set1_epi32(1));
    x = _mm256_add_epi32(x, _mm256_and_si256(_mm256_cmpgt_epi32(zero, x), p));
    x = _mm256_add_epi32(x, _mm256_and_si256(_mm256_cmpgt_epi32(zero, x), p));
    x = _mm256_sub_epi32(x, _mm256_and_si256(_mm256_cmpgt_epi32(x, top), p));
    return _mm256_sub_epi32(x, _mm256_and_si256(_mm256_cmpgt_epi32(x, top), p));
}

// What a reduction reads, eight lanes of each.
struct alignas(32) ReductionConstants {
    float inverse[8];  // RN(1/p)
    int32_t p[8];
};

// Sixteen int32 residues in [0, p) of one row as words, added modulo p to the stored ones
// when `accumulate`.
template <bool kPower>
inline void store_row(__m256i low, __m256i high, __m256i p, uint16_t* out, bool accumulate) {
    if (kPower) {
        const __m256i mask = _mm256_set1_epi32(0xffff);
        low = _mm256_and_si256(low, mask);
        high = _mm256_and_si256(high, mask);
    }
    __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(low, high), 0xd8);
    if (accumulate) {
        const __m256i old = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(out));
        if (kPower) {
            words = _mm256_add_epi16(words, old);  // wraps modulo 2^16
        } else {
            // Both below p <= 8191: the sum fits a word; subtract p where it reaches p.
            const __m256i p16 = _mm256_packus_epi32(p, p);
            words = _mm256_add_epi16(words, old);
            const __m256i reached = _mm256_cmpgt_epi16(words, _mm256_sub_epi16(p16, _mm256_set1_epi16(1)));
            words = _mm256_sub_epi16(words, _mm256_and_si256(reached, p16));
        }
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), words);
}

// The product of `pairs` k pairs into the twelve accumulators c[2 r + h] (row r,
// column half h), reduced every kReduceEvery terms where `reduce`. `dot(sum, b, a)` is
// sum + the pairwise products of the words of b and a, modulo 2^32 in each lane. The
// reduction's constants are loaded where it runs, not held over the loop: with a fused
// `dot`, the accumulators, B's two vectors and the broadcast then stay in registers.
template <class Dot>
inline void accumulate_pairs_with(Dot dot, __m256i* c, const int16_t* aq, const int16_t* bq, int64_t pairs,
                                  const ReductionConstants* constants, bool reduce) {
    constexpr int64_t kRowGroup = int16::kRowGroup, kPanelWidth = int16::kPanelWidth;
    __m256i sum[2 * kRowGroup];
    for (__m256i& v : sum) v = _mm256_setzero_si256();
    while (pairs > 0) {
        int64_t steps = pairs < int16::kReduceEvery / 2 ? pairs : int16::kReduceEvery / 2;
        pairs -= steps;
        for (; steps > 0; --steps, aq += 2 * kRowGroup, bq += 2 * kPanelWidth) {
            const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bq));
            const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bq + 16));
#pragma GCC unroll 6
            for (int r = 0; r < kRowGroup; ++r) {
                int32_t pair;
                std::memcpy(&pair, aq + 2 * r, sizeof pair);
                const __m256i a = _mm256_set1_epi32(pair);
                sum[2 * r] = dot(sum[2 * r], b0, a);
                sum[2 * r + 1] = dot(sum[2 * r + 1], b1, a);
            }
        }
        if (reduce) {
            const __m256 inverse = _mm256_load_ps(constants->inverse);
            const __m256i p = _mm256_load_si256(reinterpret_cast<const __m256i*>(constants->p));
            for (int i = 0; i < 2 * kRowGroup; ++i) sum[i] = reduce_near(sum[i], inverse, p);
        }
    }
    for (int i = 0; i < 2 * kRowGroup; ++i) c[i] = sum[i];
}

// A 6x16 tile around `pairs_of(c, a, b, pairs, constants, reduce)`, a loop as above that
// starts its accumulators at zero in registers (zeroing them in memory here, to be loaded
// there, took a microcoded rep stos per call).
template <bool kPower, class Pairs>
inline void tile_6x16(Pairs pairs_of, const int16::Modulus& mod, const int16_t* a, const int16_t* b,
                      int64_t k_padded, uint16_t* acc, int64_t acc_stride, bool accumulate) {
    static_assert(int16::kRowGroup == 6 && int16::kPanelWidth == 16, "the tiles are 6 x 16");
    alignas(32) __m256i c[2 * int16::kRowGroup];
    ReductionConstants constants;
    for (int i = 0; i < 8; ++i) {
        constants.inverse[i] = 1.0f / float(mod.p);
        constants.p[i] = mod.p;
    }
    // The rows this tile ends in are read (and written) after its whole product, and they
    // are 4 KiB and more apart, where no prefetcher follows: asked for now, they come
    // while the products run.
    for (int r = 0; r < int16::kRowGroup; ++r)
        _mm_prefetch(reinterpret_cast<const char*>(acc + r * acc_stride), _MM_HINT_T0);
    pairs_of(c, a, b, k_padded / 2, &constants, !kPower);
    const __m256i p = _mm256_set1_epi32(mod.p);
    for (int r = 0; r < int16::kRowGroup; ++r) {
        __m256i low = c[2 * r], high = c[2 * r + 1];
        if (!kPower) {
            low = into_range(low, p);
            high = into_range(high, p);
        }
        store_row<kPower>(low, high, p, acc + r * acc_stride, accumulate);
    }
}

// The tile for either kind of modulus: 2^16 wraps and needs no reduction.
template <class Pairs>
inline void tile_for(Pairs pairs_of, const int16::Modulus& mod, const int16_t* a, const int16_t* b,
                     int64_t k_padded, uint16_t* acc, int64_t acc_stride, bool accumulate) {
    if (mod.p == int16::kPowerModulus)
        tile_6x16<true>(pairs_of, mod, a, b, k_padded, acc, acc_stride, accumulate);
    else
        tile_6x16<false>(pairs_of, mod, a, b, k_padded, acc, acc_stride, accumulate);
}

}  // namespace
}  // namespace vexa::avx2
