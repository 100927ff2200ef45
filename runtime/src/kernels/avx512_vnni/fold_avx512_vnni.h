// The reduction of int32 product sums to residue bytes, shared by the folders whose tiles
// sum into int32 and that are built with AVX-512 flags (avx512_vnni, amx_int8).
//
// A row of 64 sums S (plus, when accumulating, the residue bytes already there, which keeps
// one reduction per lane) goes to floating point exactly, and n = round-to-nearest(S * RN(1/p))
// comes from one fused multiply-add onto the integer grid of a magic constant. Since
// |S * RN(1/p) - S / p| < 1 / p whenever |S| times the relative error of RN(1/p) is below 1,
// n is within 1/2 + 1/p of S / p, and r = S - n p, exact by the fused multiply-subtract, lies
// in (-p/2 - 1, p/2 + 1). One fix-up on 16-bit lanes, min_u16(r, r + p), then gives [0, p):
// a negative r is huge as unsigned. Three widths:
// - short, for chunks of at most kShortFoldChunk products of residues (A in [0, p), B in
//   [-(p/2), (p-1)/2]): |n| <= K (p - 1) / 2 + 1 < 2^15, which is then the low word of the
//   bits of magic + n (the magic's low word is zero), and one vpdpwssd of those bits against
//   (-p, 0) takes S to S - n p in integers;
// - narrow, for chunks of at most kNarrowFoldChunk products: |S| + 255 < 2^24, exact in
//   float, and float's RN(1/p) errs by at most 2^-24 relatively: sixteen lanes per op;
// - wide, any chunk up to kMaxChunk: |S| + 255 < 2^31. S = h 2^16 + l, with h its signed
//   high word and l its unsigned low one, is congruent to T = h w + l for w = 2^16 mod p
//   taken in [-128, 128]: one vpdpwssd of S's words against (0, w) onto l. |T| < 2^15 * 128
//   + 2^16 < 2^24, so T folds narrow: 7 instructions per 16 sums, where a fold in double,
//   eight lanes per op, takes 12.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kernels/avx512_vnni/avx512_vnni_pieces.h"

namespace vexa::avx512_vnni {
// Each folder keeps its own copy: none may become the one the linker keeps for another.
namespace {

enum class FoldWidth { kShort, kNarrow, kWide };

// The longest chunk that folds short: 256 * 255 / 2 + 1 < 2^15.
constexpr int64_t kShortFoldChunk = 256;
static_assert(kShortFoldChunk * 255 / 2 + 1 < (int64_t(1) << 15), "short quotients must fit a signed word");

// The longest chunk that folds narrow: 512 * 255 * 128 + 255 < 2^24.
constexpr int64_t kNarrowFoldChunk = 512;
static_assert(kNarrowFoldChunk * 255 * 128 + 255 < (int64_t(1) << 24), "narrow sums must be exact in float");
static_assert(int64_t(kMaxChunk) * 255 * 128 + 255 < (int64_t(1) << 31) - 1, "wide sums must not wrap");
static_assert((int64_t(1) << 15) * 128 + 0xffff < (int64_t(1) << 24), "a wide sum's word sum must fold narrow");

// The magic constant: its ulp is 1 and it leaves room for |n| < 2^22.
constexpr float kMagicF = 12582912.0f;  // 1.5 * 2^23

// What a fold needs of one modulus, set up once per tile.
struct FoldConstants {
    __m512 p_f, inv_f, magic_f;
    __m512i p16;          // p in every 16-bit lane
    __m512i minus_p_word;  // -p in the low word of every 32-bit lane, 0 in the high one
    __m512i high_weight;   // 2^16 mod p in [-128, 128] in the high word, 0 in the low one
};

inline int16_t centred_high_weight(int p) {
    const int w = (1 << 16) % p;
    return int16_t(2 * w > p ? w - p : w);
}

inline FoldConstants fold_constants(const Modulus& mod) {
    return {_mm512_set1_ps(float(mod.p)), _mm512_set1_ps(1.0f / float(mod.p)), _mm512_set1_ps(kMagicF),
            _mm512_set1_epi16(int16_t(mod.p)), _mm512_set1_epi32(int32_t(uint16_t(-mod.p))),
            _mm512_set1_epi32(int32_t(uint32_t(uint16_t(centred_high_weight(mod.p))) << 16))};
}

// S, plus the 16 residue bytes at `acc` when accumulating.
inline __m512i with_accumulated(__m512i sums, const uint8_t* acc, bool accumulate) {
    if (!accumulate) return sums;
    return _mm512_add_epi32(sums, _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(acc))));
}

// S - n p per lane as above, in (-p/2 - 1, p/2 + 1).
inline __m512i centred_narrow(__m512i sums, const FoldConstants& c) {
    const __m512 x = _mm512_cvtepi32_ps(sums);
    const __m512 n = _mm512_sub_ps(_mm512_fmadd_ps(x, c.inv_f, c.magic_f), c.magic_f);
    return _mm512_cvttps_epi32(_mm512_fnmadd_ps(n, c.p_f, x));
}

inline __m512i centred_short(__m512i sums, const FoldConstants& c) {
    const __m512 t = _mm512_fmadd_ps(_mm512_cvtepi32_ps(sums), c.inv_f, c.magic_f);
    return _mm512_dpwssd_epi32(sums, _mm512_castps_si512(t), c.minus_p_word);
}

inline __m512i centred_wide(__m512i sums, const FoldConstants& c) {
    const __m512i low = _mm512_and_si512(sums, _mm512_set1_epi32(0xffff));
    return centred_narrow(_mm512_dpwssd_epi32(low, sums, c.high_weight), c);
}

// Four vectors of centred residues (columns 0-15, 16-31, 32-47, 48-63) to 64 bytes in [0, p).
// The packs narrow within 128-bit lanes, so lane i ends up holding dword i of each vector
// in turn; one dword permutation puts them back in column order.
inline void store_row(__m512i r0, __m512i r1, __m512i r2, __m512i r3, const FoldConstants& c, uint8_t* out) {
    __m512i w01 = _mm512_packs_epi32(r0, r1), w23 = _mm512_packs_epi32(r2, r3);
    w01 = _mm512_min_epu16(w01, _mm512_add_epi16(w01, c.p16));
    w23 = _mm512_min_epu16(w23, _mm512_add_epi16(w23, c.p16));
    const __m512i bytes = _mm512_packus_epi16(w01, w23);
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    _mm512_storeu_si512(out, _mm512_permutexvar_epi32(order, bytes));
}

// Reduces one row of 64 int32 sums (four vectors in column order) modulo p into the 64
// residue bytes at `acc`, added modulo p to what they hold when `accumulate`, in place of it
// otherwise. The sums are of at most kShortFoldChunk products for kShort, of at most
// kNarrowFoldChunk for kNarrow.
template <FoldWidth kWidth>
inline void fold_row(__m512i s0, __m512i s1, __m512i s2, __m512i s3, const FoldConstants& c, uint8_t* acc,
                     bool accumulate) {
    s0 = with_accumulated(s0, acc, accumulate);
    s1 = with_accumulated(s1, acc + 16, accumulate);
    s2 = with_accumulated(s2, acc + 32, accumulate);
    s3 = with_accumulated(s3, acc + 48, accumulate);
    if constexpr (kWidth == FoldWidth::kShort)
        store_row(centred_short(s0, c), centred_short(s1, c), centred_short(s2, c), centred_short(s3, c), c, acc);
    else if constexpr (kWidth == FoldWidth::kNarrow)
        store_row(centred_narrow(s0, c), centred_narrow(s1, c), centred_narrow(s2, c), centred_narrow(s3, c), c, acc);
    else
        store_row(centred_wide(s0, c), centred_wide(s1, c), centred_wide(s2, c), centred_wide(s3, c), c, acc);
}

}  // namespace
}  // namespace vexa::avx512_vnni
