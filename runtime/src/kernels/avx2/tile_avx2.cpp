// The int16 engine's product tile: 6 rows of A by 16 columns of B with vpmaddwd, twelve
// int32 accumulators held in registers over the whole K, reduced every kReduceEvery terms;
// and the table of the folder's pieces.
#include <immintrin.h>

#include "kernels/avx2/avx2.h"
#include "kernels/avx2/avx2_pieces.h"
#include "kernels/avx2/tile_6x16_avx2.h"

namespace vexa::avx2 {
namespace {

#if VEXA_SIMDE
// The emulated test build (VEXA_SIMDE) has no ymm registers to name: the same steps in
// intrinsics.
inline void accumulate_pairs(__m256i* c, const int16_t* aq, const int16_t* bq, int64_t pairs,
                             const ReductionConstants* constants, bool reduce) {
    const auto madd = [](__m256i sum, __m256i b, __m256i a) { return _mm256_add_epi32(sum, _mm256_madd_epi16(b, a)); };
    accumulate_pairs_with(madd, c, aq, bq, pairs, constants, reduce);
}
#else
// One k pair of one row: the A pair broadcast, times both column halves of B (ymm12,
// ymm13), added to the row's accumulators. `offset` is an assembler expression.
#define VEXA_ROW_STEP(offset, c0, c1)                  \
    "vpbroadcastd " offset "(%[aq]), %%ymm14\n\t"      \
    "vpmaddwd %%ymm12, %%ymm14, %%ymm15\n\t"          \
    "vpaddd %%ymm15, %%" #c0 ", %%" #c0 "\n\t"        \
    "vpmaddwd %%ymm13, %%ymm14, %%ymm14\n\t"          \
    "vpaddd %%ymm14, %%" #c1 ", %%" #c1 "\n\t"

// Step u of the loop's body: k pair u past aq (24 bytes of A each) and bq (64 of B).
#define VEXA_STEP(u)                                                        \
    "vmovdqu (" #u "*64)(%[bq]), %%ymm12\n\t"                               \
    "vmovdqu (" #u "*64+32)(%[bq]), %%ymm13\n\t"                            \
    VEXA_ROW_STEP("(" #u "*24)", ymm0, ymm1)                                \
    VEXA_ROW_STEP("(" #u "*24+4)", ymm2, ymm3)                              \
    VEXA_ROW_STEP("(" #u "*24+8)", ymm4, ymm5)                              \
    VEXA_ROW_STEP("(" #u "*24+12)", ymm6, ymm7)                             \
    VEXA_ROW_STEP("(" #u "*24+16)", ymm8, ymm9)                             \
    VEXA_ROW_STEP("(" #u "*24+20)", ymm10, ymm11)

// One accumulator from |x| < 2^31 to within 1.1 p of zero, as reduce_near, with ymm14 as
// scratch; (%[k]) holds RN(1/p) and 32(%[k]) p, eight lanes each.
#define VEXA_REDUCE(c)                                 \
    "vcvtdq2ps %%" #c ", %%ymm14\n\t"                  \
    "vmulps (%[k]), %%ymm14, %%ymm14\n\t"             \
    "vcvtps2dq %%ymm14, %%ymm14\n\t"                  \
    "vpmulld 32(%[k]), %%ymm14, %%ymm14\n\t"          \
    "vpsubd %%ymm14, %%" #c ", %%" #c "\n\t"

// The product of `pairs` k pairs into the twelve accumulators c[2 r + h] (row r,
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
        "vpxor %%xmm0, %%xmm0, %%xmm0\n\t"
        "vpxor %%xmm1, %%xmm1, %%xmm1\n\t"
        "vpxor %%xmm2, %%xmm2, %%xmm2\n\t"
        "vpxor %%xmm3, %%xmm3, %%xmm3\n\t"
        "vpxor %%xmm4, %%xmm4, %%xmm4\n\t"
        "vpxor %%xmm5, %%xmm5, %%xmm5\n\t"
        "vpxor %%xmm6, %%xmm6, %%xmm6\n\t"
        "vpxor %%xmm7, %%xmm7, %%xmm7\n\t"
        "vpxor %%xmm8, %%xmm8, %%xmm8\n\t"
        "vpxor %%xmm9, %%xmm9, %%xmm9\n\t"
        "vpxor %%xmm10, %%xmm10, %%xmm10\n\t"
        "vpxor %%xmm11, %%xmm11, %%xmm11\n\t"
        "test %[pairs], %[pairs]\n\t"
        "jz 4f\n\t"
        "1:\n\t"
        "mov %[pairs], %[steps]\n\t"
        "cmp %[per_reduction], %[steps]\n\t"
        "cmova %[per_reduction], %[steps]\n\t"
        "sub %[steps], %[pairs]\n\t"
        // Four steps a turn while four are left: a step already issues 35 instructions
        // for its 24 on the vector pipes, and the loop's own three once per four steps
        // instead of every step took 3-4% off the products' median time.
        "cmp $4, %[steps]\n\t"
        "jb 5f\n\t"
        "2:\n\t"
        VEXA_STEP(0) VEXA_STEP(1) VEXA_STEP(2) VEXA_STEP(3)
        "add $256, %[bq]\n\t"
        "add $96, %[aq]\n\t"
        "sub $4, %[steps]\n\t"
        "cmp $4, %[steps]\n\t"
        "jae 2b\n\t"
        "5:\n\t"
        "test %[steps], %[steps]\n\t"
        "jz 7f\n\t"
        "6:\n\t"
        VEXA_STEP(0)
        "add $64, %[bq]\n\t"
        "add $24, %[aq]\n\t"
        "dec %[steps]\n\t"
        "jnz 6b\n\t"
        "7:\n\t"
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
#undef VEXA_STEP
#undef VEXA_ROW_STEP
#endif

}  // namespace

void tile(const int16::Modulus& mod, const int16_t* a, const int16_t* b, int64_t k_padded,
          uint16_t* acc, int64_t acc_stride, bool accumulate) {
    tile_for(accumulate_pairs, mod, a, b, k_padded, acc, acc_stride, accumulate);
}

extern const int16::Int16Ops kInt16Ops = {residues_a, residues_b_panel, tile, crt_round, scan_lines};

}  // namespace vexa::avx2
