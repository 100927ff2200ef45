// The int16 engine's product tile: 6 rows of A by 16 columns of B with vpmaddwd, twelve
// int32 accumulators held in registers over the whole K, reduced every kReduceEvery terms;
// and the table of the folder's pieces.
#include <immintrin.h>

#include <cstring>

#include "kernels/avx2/avx2.h"
#include "kernels/avx2/avx2_pieces.h"

namespace vexa::avx2 {
namespace {

using int16::kRowGroup;
using int16::kPanelWidth;

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

#if VEXA_SIMDE
// The emulated test build (VEXA_SIMDE) has no ymm registers to name: the same steps in
// intrinsics.
inline void accumulate_pairs(__m256i* c, const int16_t* aq, const int16_t* bq, int64_t pairs,
                             const ReductionConstants* constants, bool reduce) {
    const __m256 inverse = _mm256_load_ps(constants->inverse);
    const __m256i p = _mm256_load_si256(reinterpret_cast<const __m256i*>(constants->p));
    while (pairs > 0) {
        int64_t steps = pairs < int16::kReduceEvery / 2 ? pairs : int16::kReduceEvery / 2;
        pairs -= steps;
        for (; steps > 0; --steps, aq += 2 * kRowGroup, bq += 2 * kPanelWidth) {
            const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bq));
            const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bq + 16));
            for (int r = 0; r < kRowGroup; ++r) {
                int32_t pair;
                std::memcpy(&pair, aq + 2 * r, sizeof pair);
                const __m256i a = _mm256_set1_epi32(pair);
                c[2 * r] = _mm256_add_epi32(c[2 * r], _mm256_madd_epi16(b0, a));
                c[2 * r + 1] = _mm256_add_epi32(c[2 * r + 1], _mm256_madd_epi16(b1, a));
            }
        }
        if (reduce)
            for (int i = 0; i < 2 * kRowGroup; ++i) c[i] = reduce_near(c[i], inverse, p);
    }
}
#else
// One k pair of one row: the A pair broadcast, times both column halves of B (ymm12,
// ymm13), added to the row's accumulators.
#define VEXA_ROW_STEP(offset, c0, c1)                  \
    "vpbroadcastd " #offset "(%[aq]), %%ymm14\n\t"    \
    "vpmaddwd %%ymm12, %%ymm14, %%ymm15\n\t"          \
    "vpaddd %%ymm15, %%" #c0 ", %%" #c0 "\n\t"        \
    "vpmaddwd %%ymm13, %%ymm14, %%ymm14\n\t"          \
    "vpaddd %%ymm14, %%" #c1 ", %%" #c1 "\n\t"

// One accumulator from |x| < 2^31 to within 1.1 p of zero, as reduce_near, with ymm14 as
// scratch; (%[k]) holds RN(1/p) and 32(%[k]) p, eight lanes each.
#define VEXA_REDUCE(c)                                 \
    "vcvtdq2ps %%" #c ", %%ymm14\n\t"                  \
    "vmulps (%[k]), %%ymm14, %%ymm14\n\t"             \
    "vcvtps2dq %%ymm14, %%ymm14\n\t"                  \
    "vpmulld 32(%[k]), %%ymm14, %%ymm14\n\t"          \
    "vpsubd %%ymm14, %%" #c ", %%" #c "\n\t"

// The product of `pairs` k pairs added to the twelve accumulators c[2 r + h] (row r,
// column half h), reduced every kReduceEvery terms where `reduce`. Written out in
// assembly: twelve accumulators, two vectors of B, the broadcast and one product take all
// sixteen registers, and the compiler, left to itself, hoists the six broadcasts and spills
// half the accumulators to the stack every step. The reductions stay in the registers too,
// rather than all twelve accumulators stored and loaded again around each.
inline void accumulate_pairs(__m256i* c, const int16_t* aq, const int16_t* bq, int64_t pairs,
                             const ReductionConstants* constants, bool reduce) {
    int64_t steps = 0;
    const int64_t per_reduction = int16::kReduceEvery / 2;
    __asm__ volatile(
        "vmovdqa 0(%[c]), %%ymm0\n\t"
        "vmovdqa 32(%[c]), %%ymm1\n\t"
        "vmovdqa 64(%[c]), %%ymm2\n\t"
        "vmovdqa 96(%[c]), %%ymm3\n\t"
        "vmovdqa 128(%[c]), %%ymm4\n\t"
        "vmovdqa 160(%[c]), %%ymm5\n\t"
        "vmovdqa 192(%[c]), %%ymm6\n\t"
        "vmovdqa 224(%[c]), %%ymm7\n\t"
        "vmovdqa 256(%[c]), %%ymm8\n\t"
        "vmovdqa 288(%[c]), %%ymm9\n\t"
        "vmovdqa 320(%[c]), %%ymm10\n\t"
        "vmovdqa 352(%[c]), %%ymm11\n\t"
        "test %[pairs], %[pairs]\n\t"
        "jz 4f\n\t"
        "1:\n\t"
        "mov %[pairs], %[steps]\n\t"
        "cmp %[per_reduction], %[steps]\n\t"
        "cmova %[per_reduction], %[steps]\n\t"
        "sub %[steps], %[pairs]\n\t"
        "2:\n\t"
        "vmovdqu (%[bq]), %%ymm12\n\t"
        "vmovdqu 32(%[bq]), %%ymm13\n\t"
        VEXA_ROW_STEP(0, ymm0, ymm1)
        VEXA_ROW_STEP(4, ymm2, ymm3)
        VEXA_ROW_STEP(8, ymm4, ymm5)
        VEXA_ROW_STEP(12, ymm6, ymm7)
        VEXA_ROW_STEP(16, ymm8, ymm9)
        VEXA_ROW_STEP(20, ymm10, ymm11)
        "add $64, %[bq]\n\t"
        "add $24, %[aq]\n\t"
        "dec %[steps]\n\t"
        "jnz 2b\n\t"
        "test %[reduce], %[reduce]\n\t"
        "jz 3f\n\t"
        VEXA_REDUCE(ymm0) VEXA_REDUCE(ymm1) VEXA_REDUCE(ymm2) VEXA_REDUCE(ymm3)
        VEXA_REDUCE(ymm4) VEXA_REDUCE(ymm5) VEXA_REDUCE(ymm6) VEXA_REDUCE(ymm7)
        VEXA_REDUCE(ymm8) VEXA_REDUCE(ymm9) VEXA_REDUCE(ymm10) VEXA_REDUCE(ymm11)
        "3:\n\t"
        "test %[pairs], %[pairs]\n\t"
        "jnz 1b\n\t"
        "4:\n\t"
        "vmovdqa %%ymm0, 0(%[c])\n\t"
        "vmovdqa %%ymm1, 32(%[c])\n\t"
        "vmovdqa %%ymm2, 64(%[c])\n\t"
        "vmovdqa %%ymm3, 96(%[c])\n\t"
        "vmovdqa %%ymm4, 128(%[c])\n\t"
        "vmovdqa %%ymm5, 160(%[c])\n\t"
        "vmovdqa %%ymm6, 192(%[c])\n\t"
        "vmovdqa %%ymm7, 224(%[c])\n\t"
        "vmovdqa %%ymm8, 256(%[c])\n\t"
        "vmovdqa %%ymm9, 288(%[c])\n\t"
        "vmovdqa %%ymm10, 320(%[c])\n\t"
        "vmovdqa %%ymm11, 352(%[c])\n\t"
        : [aq] "+r"(aq), [bq] "+r"(bq), [pairs] "+r"(pairs), [steps] "+r"(steps)
        : [c] "r"(c), [k] "r"(constants), [per_reduction] "r"(per_reduction), [reduce] "r"(int64_t(reduce))
        : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
          "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}
#undef VEXA_REDUCE
#undef VEXA_ROW_STEP
#endif

template <bool kPower>
void tile_6x16(const int16::Modulus& mod, const int16_t* a, const int16_t* b, int64_t k_padded,
               uint16_t* acc, int64_t acc_stride, bool accumulate) {
    static_assert(kRowGroup == 6 && kPanelWidth == 16, "the assembly is for 6 x 16");
    alignas(32) __m256i c[2 * kRowGroup];
    for (__m256i& v : c) v = _mm256_setzero_si256();
    ReductionConstants constants;
    for (int i = 0; i < 8; ++i) {
        constants.inverse[i] = 1.0f / float(mod.p);
        constants.p[i] = mod.p;
    }
    // The rows this tile ends in are read (and written) after its whole product, and they
    // are 4 KiB and more apart, where no prefetcher follows: asked for now, they come
    // while the products run.
    for (int r = 0; r < kRowGroup; ++r) _mm_prefetch(reinterpret_cast<const char*>(acc + r * acc_stride), _MM_HINT_T0);
    accumulate_pairs(c, a, b, k_padded / 2, &constants, !kPower);
    const __m256i p = _mm256_set1_epi32(mod.p);
    for (int r = 0; r < kRowGroup; ++r) {
        __m256i low = c[2 * r], high = c[2 * r + 1];
        if (!kPower) {
            low = into_range(low, p);
            high = into_range(high, p);
        }
        store_row<kPower>(low, high, p, acc + r * acc_stride, accumulate);
    }
}

}  // namespace

void tile(const int16::Modulus& mod, const int16_t* a, const int16_t* b, int64_t k_padded,
          uint16_t* acc, int64_t acc_stride, bool accumulate) {
    if (mod.p == int16::kPowerModulus)
        tile_6x16<true>(mod, a, b, k_padded, acc, acc_stride, accumulate);
    else
        tile_6x16<false>(mod, a, b, k_padded, acc, acc_stride, accumulate);
}

extern const int16::Int16Ops kInt16Ops = {residues_a, residues_b_panel, tile, crt_round, scan_lines};

}  // namespace vexa::avx2
