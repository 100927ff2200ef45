// The int16 engine's 6x16 tile with vpdpwssd: one instruction per pair of k and eight
// columns where AVX2 takes a vpmaddwd and a vpaddd, so a step of the loop is 26
// instructions instead of 35, twelve of them multiply-adds. The products, their order and
// their wrap-around modulo 2^32 are those of the avx2 tile, and so are the results.
//
// Written in intrinsics, the multiply-add alone in inline assembly (dot_pairs), rather than
// as the avx2 loop is: with the adds fused, twelve accumulators, the two vectors of B and
// the broadcast leave a register free, and the same source, with the intrinsic in place of
// that one instruction, runs in the emulated test build.
#include <immintrin.h>

#include <cstring>

#include "kernels/avx2/tile_6x16_avx2.h"
#include "kernels/avx_vnni/avx_vnni.h"
#include "kernels/avx_vnni/avx_vnni_pieces.h"

namespace vexa::avx_vnni {
namespace {

// sum + the pairwise products of the words of b and a. GCC 12 allocates registers for the
// intrinsic so that every accumulator goes through the stack each step; the instruction
// alone, its accumulator tied in place, leaves them in registers.
inline __m256i dot_pairs(__m256i sum, __m256i b, __m256i a) {
#if VEXA_SIMDE
    return _mm256_dpwssd_avx_epi32(sum, b, a);
#else
    __asm__("%{vex%} vpdpwssd %2, %1, %0" : "+x"(sum) : "x"(b), "x"(a));
    return sum;
#endif
}

// One k pair of row r: its A pair broadcast, times both column halves of B, added to the
// row's two accumulators.
#define VEXA_ROW_STEP(r, low, high)                                  \
    {                                                                \
        int32_t pair;                                                \
        std::memcpy(&pair, aq + 2 * (r), sizeof pair);               \
        const __m256i a = _mm256_set1_epi32(pair);                   \
        low = dot_pairs(low, b0, a);                                 \
        high = dot_pairs(high, b1, a);                               \
    }

// The product of `pairs` k pairs into c[2 r + h] (row r, column half h), reduced every
// kReduceEvery terms where `reduce`. The twelve accumulators, two vectors of B and the
// broadcast take fifteen registers: the accumulators are named one by one (held in an array
// they go through the stack every step), and the reduction's constants are loaded where it
// runs rather than held over the loop.
inline void accumulate_pairs(__m256i* c, const int16_t* aq, const int16_t* bq, int64_t pairs,
                             const avx2::ReductionConstants* constants, bool reduce) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i c0 = zero, c1 = zero, c2 = zero, c3 = zero, c4 = zero, c5 = zero;
    __m256i c6 = zero, c7 = zero, c8 = zero, c9 = zero, c10 = zero, c11 = zero;
    while (pairs > 0) {
        int64_t steps = pairs < int16::kReduceEvery / 2 ? pairs : int16::kReduceEvery / 2;
        pairs -= steps;
        for (; steps > 0; --steps, aq += 2 * int16::kRowGroup, bq += 2 * int16::kPanelWidth) {
            const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bq));
            const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bq + 16));
            VEXA_ROW_STEP(0, c0, c1)
            VEXA_ROW_STEP(1, c2, c3)
            VEXA_ROW_STEP(2, c4, c5)
            VEXA_ROW_STEP(3, c6, c7)
            VEXA_ROW_STEP(4, c8, c9)
            VEXA_ROW_STEP(5, c10, c11)
        }
        if (reduce) {
            const __m256 inverse = _mm256_load_ps(constants->inverse);
            const __m256i p = _mm256_load_si256(reinterpret_cast<const __m256i*>(constants->p));
            c0 = avx2::reduce_near(c0, inverse, p), c1 = avx2::reduce_near(c1, inverse, p);
            c2 = avx2::reduce_near(c2, inverse, p), c3 = avx2::reduce_near(c3, inverse, p);
            c4 = avx2::reduce_near(c4, inverse, p), c5 = avx2::reduce_near(c5, inverse, p);
            c6 = avx2::reduce_near(c6, inverse, p), c7 = avx2::reduce_near(c7, inverse, p);
            c8 = avx2::reduce_near(c8, inverse, p), c9 = avx2::reduce_near(c9, inverse, p);
            c10 = avx2::reduce_near(c10, inverse, p), c11 = avx2::reduce_near(c11, inverse, p);
        }
    }
    c[0] = c0, c[1] = c1, c[2] = c2, c[3] = c3, c[4] = c4, c[5] = c5;
    c[6] = c6, c[7] = c7, c[8] = c8, c[9] = c9, c[10] = c10, c[11] = c11;
}
#undef VEXA_ROW_STEP

}  // namespace

void tile(const int16::Modulus& mod, const int16_t* a, const int16_t* b, int64_t k_padded,
          uint16_t* acc, int64_t acc_stride, bool accumulate) {
    avx2::tile_for(accumulate_pairs, mod, a, b, k_padded, acc, acc_stride, accumulate);
}

extern const int16::Int16Ops kInt16Ops = {avx2::residues_a, avx2::residues_b_panel, tile, avx2::crt_round,
                                          avx2::scan_lines};

}  // namespace vexa::avx_vnni
