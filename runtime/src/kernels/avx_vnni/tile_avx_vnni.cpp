// The int16 engine's 6x16 tile with vpdpwssd: one instruction per pair of k and eight
// columns where AVX2 takes a vpmaddwd and a vpaddd, so a step of the loop is 26
// instructions instead of 35, twelve of them multiply-adds. The products, their order and
// their wrap-around modulo 2^32 are those of the avx2 tile, and so are the results.
//
// The loop is the frame's intrinsics loop, the multiply-add alone in inline assembly
// (dot_pairs), rather than assembly as the avx2 loop is: with the adds fused, twelve
// accumulators, the two vectors of B and the broadcast leave a register free, and the same
// source, with the intrinsic in place of that one instruction, runs in the emulated build.
#include <immintrin.h>

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

inline void accumulate_pairs(__m256i* c, const int16_t* aq, const int16_t* bq, int64_t pairs,
                             const avx2::ReductionConstants* constants, bool reduce) {
    const auto dot = [](__m256i sum, __m256i b, __m256i a) { return dot_pairs(sum, b, a); };
    avx2::accumulate_pairs_with(dot, c, aq, bq, pairs, constants, reduce);
}

}  // namespace

void tile(const int16::Modulus& mod, const int16_t* a, const int16_t* b, int64_t k_padded,
          uint16_t* acc, int64_t acc_stride, bool accumulate) {
    avx2::tile_for(accumulate_pairs, mod, a, b, k_padded, acc, acc_stride, accumulate);
}

extern const int16::Int16Ops kInt16Ops = {avx2::residues_a, avx2::residues_b_panel, tile, avx2::crt_round,
                                          avx2::scan_lines};

}  // namespace vexa::avx_vnni
