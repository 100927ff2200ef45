// The int16 engine's residues with AVX2, sixteen elements at a time.
//
// An element of an included line is x = s * X * 2^shift with X a nonnegative integer below
// 2^shift_limit. X is cut once into 15-bit limbs d_j (two variable shifts of the
// significand each), and then for every modulus X mod p is that of sum_j d_j w_j with
// w_j = 2^(15 j) mod p, centred: one vpmuldq and one add per limb. The sum S is below
// 24 * 2^15 * 2^12 < 2^32, exact in a double, and the centred residue of s * S is
// s * S - p * round(s * S / p): the quotient from RN(1/p) is within 2^-30 of S / p, which
// for odd p is at least 1 / (2p) from a half-integer, so the rounding is exact and the
// fused multiply-subtract gives the residue exactly. For 2^16 the residue is the low word
// of d_0 + 2^15 d_1, negated with the sign.
//
// Where the integers have at most kMaxPairedLimbs limbs (every product of numbers less
// than 2^240 wide) the limbs take the sign of their element and go two to a 32-bit lane,
// and vpmaddwd multiplies eight elements' pairs by the pair of weights at once, four
// times the work of a vpmuldq. The sum stays within int32: each term is below
// 2^15 * 4095 in magnitude, and sixteen of them below 2^31 - 1. Its residue comes from a
// quotient estimated in float, as in the tile, and one correction each way.
#include <immintrin.h>

#include <cstring>
#include <utility>

#include "kernels/avx2/avx2_pieces.h"

namespace vexa::avx2 {
namespace {

using int16::kMaxLimbs15;
using int16::kPanelWidth;
using int16::kRowGroup;

constexpr int kBlock = 16;  // elements per block: four vectors of four doubles
constexpr int kMaxPairedLimbs = 16;
constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52: its ulp is 1

// Large blocks go past the caches (fast::streams_residues).
inline bool streams_residues(int64_t modulus_stride, int moduli) {
    return fast::streams_residues(modulus_stride * moduli * int64_t(sizeof(int16_t)));
}

inline void store_residues(__m256i* to, __m256i v, bool stream) {
#if !VEXA_SIMDE
    if (stream && reinterpret_cast<uintptr_t>(to) % 32 == 0) return _mm256_stream_si256(to, v);
#endif
    _mm256_storeu_si256(to, v);
}

// Non-temporal stores are weakly ordered: fenced before the residues are handed on.
inline void finish_stream(bool stream) {
    if (stream) _mm_sfence();
}

struct Constants {
    int count = 0;
    int limbs = 0;
    bool power[fast::kMaxModuli];
    double p[fast::kMaxModuli];
    double inverse[fast::kMaxModuli];
    int64_t weight[fast::kMaxModuli][kMaxLimbs15];
    // Weights 2j and 2j + 1 as the words of one int32, and RN(1/p) in float.
    int32_t weight_pair[fast::kMaxModuli][kMaxLimbs15 / 2];
    float inverse_f[fast::kMaxModuli];
};

// false when the integers are too wide for the limb table (never for what the planning
// admits; the portable pieces then take the call).
bool constants_of(const fast::ResiduePlan& plan, Constants& k) {
    k.count = plan.count;
    k.limbs = (plan.shift_limit + 14) / 15;
    if (k.limbs > kMaxLimbs15) return false;
    for (int l = 0; l < plan.count; ++l) {
        const int p = plan.moduli[l].p;
        k.power[l] = p == int16::kPowerModulus;
        // The weights 2^(15 j) mod p of the limbs in use, read off the plan's powers of two
        // (15 j < shift_limit for j < limbs): making them afresh took a division each, per
        // call, which cost a small product more than its residues.
        int32_t w[kMaxLimbs15] = {};
        for (int j = 0; j < k.limbs; ++j) {
            const int32_t v = int32_t(plan.pow2[l * plan.shift_limit + 15 * j]);
            w[j] = !k.power[l] && v > (p - 1) / 2 ? v - p : v;
        }
        k.p[l] = double(p);
        k.inverse[l] = 1.0 / double(p);
        for (int j = 0; j < kMaxLimbs15; ++j) k.weight[l][j] = w[j];
        // 2^15 modulo 2^16 is 2^15, whose word is -2^15: the same modulo 2^16.
        for (int j = 0; j < kMaxLimbs15 / 2; ++j)
            k.weight_pair[l][j] = int32_t(uint32_t(uint16_t(w[2 * j])) | uint32_t(uint16_t(w[2 * j + 1])) << 16);
        k.inverse_f[l] = 1.0f / float(p);
    }
    return true;
}

// The limbs and sign of one vector of four doubles, J limbs.
template <int J>
struct Split {
    __m256i limb[J];
    __m256i negative;  // all ones where x < 0
};

template <int J>
inline void split(__m256d x, __m256i shift, Split<J>& s) {
    const __m256i bits = _mm256_castpd_si256(x);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i biased = _mm256_and_si256(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(0x7ff));
    const __m256i normal = _mm256_cmpgt_epi64(biased, zero);
    const __m256i m = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x((int64_t(1) << 52) - 1)),
                                      _mm256_and_si256(normal, _mm256_set1_epi64x(int64_t(1) << 52)));
    // The lowest bit of m sits at 2^(e - shift) of X, e = max(biased, 1) - 1075.
    const __m256i offset = _mm256_sub_epi64(
        _mm256_add_epi64(_mm256_sub_epi64(biased, _mm256_set1_epi64x(1074)), normal), shift);
    // Limb j is bits [15 j, 15 j + 15) of m * 2^offset; a shift count outside [0, 63], a
    // negative one included, gives zero.
    __m256i down = _mm256_sub_epi64(zero, offset), up = offset;
    const __m256i step = _mm256_set1_epi64x(15), mask = _mm256_set1_epi64x(0x7fff);
    for (int j = 0; j < J; ++j) {
        s.limb[j] = _mm256_and_si256(_mm256_or_si256(_mm256_srlv_epi64(m, down), _mm256_sllv_epi64(m, up)), mask);
        down = _mm256_add_epi64(down, step);
        up = _mm256_sub_epi64(up, step);
    }
    s.negative = _mm256_cmpgt_epi64(zero, bits);
}

// The residue of one modulus, whose limb weights are given, in the low word of each lane.
template <int J>
inline __m256i residue(const Split<J>& s, const __m256i* weight, bool power, __m256d p, __m256d inverse) {
    __m256i sum = _mm256_mul_epi32(s.limb[0], weight[0]);
    for (int j = 1; j < J; ++j) sum = _mm256_add_epi64(sum, _mm256_mul_epi32(s.limb[j], weight[j]));
    sum = _mm256_sub_epi64(_mm256_xor_si256(sum, s.negative), s.negative);
    if (power) return sum;
    const __m256d magic = _mm256_set1_pd(kMagic);
    const __m256d value = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(sum, _mm256_castpd_si256(magic))), magic);
    const __m256d q = _mm256_round_pd(_mm256_mul_pd(value, inverse), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    return _mm256_castpd_si256(_mm256_add_pd(_mm256_fnmadd_pd(q, p, value), magic));
}

// Four vectors of residues (low words of the 64-bit lanes) as sixteen words in order.
inline __m256i gather_words(const __m256i r[4]) {
    const __m256i word = _mm256_set1_epi64x(0xffff);
    const __m256i low = _mm256_or_si256(_mm256_and_si256(r[0], word), _mm256_slli_epi64(_mm256_and_si256(r[1], word), 16));
    const __m256i high = _mm256_or_si256(_mm256_and_si256(r[2], word), _mm256_slli_epi64(_mm256_and_si256(r[3], word), 16));
    // Lane i now holds elements i, 4 + i, 8 + i, 12 + i.
    const __m256i mixed = _mm256_or_si256(low, _mm256_slli_epi64(high, 32));
    const __m256i pairs = _mm256_shuffle_epi8(
        mixed, _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,
                                0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15));
    return _mm256_permutevar8x32_epi32(pairs, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// Residues of sixteen elements, out[l] for every modulus, with J limbs: the count is a
// template argument so that the limb loops unroll and each weight is broadcast once per
// modulus for all four vectors.
template <int J>
void block_residues_of(const double* x, const __m256i shift[4], const Constants& k, __m256i* out) {
    Split<J> s[4];
    for (int v = 0; v < 4; ++v) split<J>(_mm256_loadu_pd(x + 4 * v), shift[v], s[v]);
    for (int l = 0; l < k.count; ++l) {
        __m256i weight[J];
        for (int j = 0; j < J; ++j) weight[j] = _mm256_set1_epi64x(k.weight[l][j]);
        const __m256d p = _mm256_set1_pd(k.p[l]), inverse = _mm256_set1_pd(k.inverse[l]);
        __m256i r[4];
        for (int v = 0; v < 4; ++v) r[v] = residue<J>(s[v], weight, k.power[l], p, inverse);
        out[l] = gather_words(r);
    }
}

// Limb j of four elements, negated where the element is.
template <int J>
inline __m256i signed_limb(const Split<J>& s, int j) {
    return _mm256_sub_epi64(_mm256_xor_si256(s.limb[j], s.negative), s.negative);
}

// Signed limbs 2i and 2i + 1 of sixteen elements as the words of int32 lanes, in element
// order: pair[i][h] holds elements 8h to 8h + 7.
template <int J>
struct PairedLimbs {
    static constexpr int kPairs = (J + 1) / 2;
    __m256i pair[kPairs][2];
};

template <int J>
inline void pair_limbs(const Split<J> s[4], PairedLimbs<J>& out) {
    const __m256i low_word = _mm256_set1_epi64x(0xffff), high_word = _mm256_set1_epi64x(0xffff0000);
    // Lanes of four elements' pairs and the next four's, interleaved: e0 e4 e1 e5 e2 e6 e3 e7.
    const __m256i in_order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    for (int i = 0; i < PairedLimbs<J>::kPairs; ++i)
        for (int h = 0; h < 2; ++h) {
            __m256i four[2];
            for (int v = 0; v < 2; ++v) {
                const Split<J>& e = s[2 * h + v];
                const __m256i high = 2 * i + 1 < J ? signed_limb(e, 2 * i + 1) : _mm256_setzero_si256();
                four[v] = _mm256_or_si256(_mm256_and_si256(signed_limb(e, 2 * i), low_word),
                                          _mm256_and_si256(_mm256_slli_epi64(high, 16), high_word));
            }
            out.pair[i][h] = _mm256_permutevar8x32_epi32(_mm256_or_si256(four[0], _mm256_slli_epi64(four[1], 32)),
                                                         in_order);
        }
}

// The residues of eight elements for one modulus, in the low words of the int32 lanes:
// centred for a prime, the low 16 bits for 2^16.
template <int J>
inline __m256i paired_residue(const PairedLimbs<J>& x, int h, const __m256i* weight, bool power, __m256 inverse,
                              __m256i p) {
    __m256i sum = _mm256_madd_epi16(x.pair[0][h], weight[0]);
    for (int i = 1; i < PairedLimbs<J>::kPairs; ++i) sum = _mm256_add_epi32(sum, _mm256_madd_epi16(x.pair[i][h], weight[i]));
    if (power) return sum;
    // |sum / p| < 2^18.1, and the estimate is within 0.05 of it: the quotient is off by
    // one at most (in any rounding mode), and the result within 1.05 p of zero.
    const __m256i q = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(sum), inverse));
    __m256i r = _mm256_sub_epi32(sum, _mm256_mullo_epi32(q, p));
    const __m256i half = _mm256_srli_epi32(p, 1);  // (p - 1) / 2
    r = _mm256_sub_epi32(r, _mm256_and_si256(_mm256_cmpgt_epi32(r, half), p));
    return _mm256_add_epi32(r, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), half), r), p));
}

// As block_residues_of, for integers of at most kMaxPairedLimbs limbs.
template <int J>
void block_residues_paired(const double* x, const __m256i shift[4], const Constants& k, __m256i* out) {
    static_assert(J <= kMaxPairedLimbs, "sixteen terms keep the sum within int32");
    Split<J> s[4];
    for (int v = 0; v < 4; ++v) split<J>(_mm256_loadu_pd(x + 4 * v), shift[v], s[v]);
    PairedLimbs<J> limbs;
    pair_limbs<J>(s, limbs);
    const __m256i word = _mm256_set1_epi32(0xffff);
    for (int l = 0; l < k.count; ++l) {
        __m256i weight[PairedLimbs<J>::kPairs];
        for (int i = 0; i < PairedLimbs<J>::kPairs; ++i) weight[i] = _mm256_set1_epi32(k.weight_pair[l][i]);
        const __m256i p = _mm256_set1_epi32(int32_t(k.p[l]));
        const __m256 inverse = _mm256_set1_ps(k.inverse_f[l]);
        const __m256i low = _mm256_and_si256(paired_residue<J>(limbs, 0, weight, k.power[l], inverse, p), word);
        const __m256i high = _mm256_and_si256(paired_residue<J>(limbs, 1, weight, k.power[l], inverse, p), word);
        out[l] = _mm256_permute4x64_epi64(_mm256_packus_epi32(low, high), 0xd8);
    }
}

// The pairs of the six rows' blocks for modulus l (words[u][l]: row u's pairs 0-3 in the
// low lane, 4-7 in the high) in the group layout, pair by pair, each pair's six rows side
// by side: 48 pairs in six vectors, one transpose in registers where storing them one by
// one took a load and a store each.
inline void interleave_rows(const __m256i (*words)[fast::kMaxModuli], int l, __m256i* group) {
    static_assert(kRowGroup == 6, "the transpose is for six rows");
    const __m256i r01_low = _mm256_unpacklo_epi32(words[0][l], words[1][l]);  // 0.0 1.0 0.1 1.1
    const __m256i r01_high = _mm256_unpackhi_epi32(words[0][l], words[1][l]);  // 0.2 1.2 0.3 1.3
    const __m256i r23_low = _mm256_unpacklo_epi32(words[2][l], words[3][l]);
    const __m256i r23_high = _mm256_unpackhi_epi32(words[2][l], words[3][l]);
    const __m256i r45_low = _mm256_unpacklo_epi32(words[4][l], words[5][l]);   // 4.0 5.0 4.1 5.1
    const __m256i r45_high = _mm256_unpackhi_epi32(words[4][l], words[5][l]);  // 4.2 5.2 4.3 5.3
    const __m256i pair1 = _mm256_unpackhi_epi64(r01_low, r23_low);   // 0.1 1.1 2.1 3.1
    const __m256i pair3 = _mm256_unpackhi_epi64(r01_high, r23_high);  // 0.3 1.3 2.3 3.3
    // A lane's 24 words of the layout, four at a time (row.pair).
    const __m256i quarter[6] = {
        _mm256_unpacklo_epi64(r01_low, r23_low),    // 0.0 1.0 2.0 3.0
        _mm256_unpacklo_epi64(r45_low, pair1),      // 4.0 5.0 0.1 1.1
        _mm256_unpackhi_epi64(pair1, r45_low),      // 2.1 3.1 4.1 5.1
        _mm256_unpacklo_epi64(r01_high, r23_high),  // 0.2 1.2 2.2 3.2
        _mm256_unpacklo_epi64(r45_high, pair3),     // 4.2 5.2 0.3 1.3
        _mm256_unpackhi_epi64(pair3, r45_high),     // 2.3 3.3 4.3 5.3
    };
    for (int j = 0; j < 3; ++j) {
        group[j] = _mm256_permute2x128_si256(quarter[2 * j], quarter[2 * j + 1], 0x20);
        group[3 + j] = _mm256_permute2x128_si256(quarter[2 * j], quarter[2 * j + 1], 0x31);
    }
}

using BlockResidues = void (*)(const double*, const __m256i*, const Constants&, __m256i*);

template <int... J>
BlockResidues paired_version(int limbs, std::integer_sequence<int, J...>) {
    static constexpr BlockResidues table[] = {block_residues_paired<J + 1>...};
    return table[limbs - 1];
}

template <int... J>
BlockResidues wide_version(int limbs, std::integer_sequence<int, J...>) {
    static constexpr BlockResidues table[] = {block_residues_of<kMaxPairedLimbs + J + 1>...};
    return table[limbs - 1 - kMaxPairedLimbs];
}

// The version for the call's limb count (1 to kMaxLimbs15).
BlockResidues block_residues_for(int limbs) {
    if (limbs <= kMaxPairedLimbs) return paired_version(limbs, std::make_integer_sequence<int, kMaxPairedLimbs>());
    return wide_version(limbs, std::make_integer_sequence<int, kMaxLimbs15 - kMaxPairedLimbs>());
}

}  // namespace

void residues_a(const fast::ResiduePlan& plan, const double* const* rows, const int32_t* shift,
                int64_t k_count, int64_t k_padded, int16_t* out, int64_t modulus_stride) {
    Constants k;
    if (!constants_of(plan, k)) {
        int16::kPortableOps.residues_a(plan, rows, shift, k_count, k_padded, out, modulus_stride);
        return;
    }
    const BlockResidues block_residues = block_residues_for(k.limbs);
    __m256i shifts[kRowGroup][4];
    for (int u = 0; u < kRowGroup; ++u)
        for (__m256i& v : shifts[u]) v = _mm256_set1_epi64x(shift[u]);
    const int64_t pairs = k_padded / 2;
    const bool stream = streams_residues(modulus_stride, k.count);
    alignas(32) __m256i words[kRowGroup][fast::kMaxModuli];
    for (int64_t k0 = 0; k0 < k_padded; k0 += kBlock) {
        for (int u = 0; u < kRowGroup; ++u) {
            if (!rows[u] || k0 >= k_count) {
                for (int l = 0; l < k.count; ++l) words[u][l] = _mm256_setzero_si256();
            } else if (k0 + kBlock <= k_count) {
                block_residues(rows[u] + k0, shifts[u], k, words[u]);
            } else {
                double tail[kBlock] = {};
                std::memcpy(tail, rows[u] + k0, size_t(k_count - k0) * sizeof(double));
                block_residues(tail, shifts[u], k, words[u]);
            }
        }
        // The block's pairs k0 / 2 onwards, as many as K has left.
        const int64_t live = pairs - k0 / 2 < kBlock / 2 ? pairs - k0 / 2 : kBlock / 2;
        for (int l = 0; l < k.count; ++l) {
            __m256i group[kRowGroup];
            interleave_rows(words, l, group);
            int16_t* o = out + l * modulus_stride + k0 * kRowGroup;
            if (live == kBlock / 2) {
                for (int v = 0; v < kRowGroup; ++v) store_residues(reinterpret_cast<__m256i*>(o) + v, group[v], stream);
            } else {
                alignas(32) int16_t whole[kBlock * kRowGroup];
                for (int v = 0; v < kRowGroup; ++v) _mm256_store_si256(reinterpret_cast<__m256i*>(whole) + v, group[v]);
                std::memcpy(o, whole, size_t(live) * 2 * kRowGroup * sizeof(int16_t));
            }
        }
    }
    finish_stream(stream);
}

void residues_b_panel(const fast::ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                      int64_t k_count, int64_t k_padded, const int32_t* shift, int16_t* out,
                      int64_t modulus_stride) {
    static_assert(kPanelWidth == kBlock, "a panel row is one block");
    Constants k;
    if (!constants_of(plan, k)) {
        int16::kPortableOps.residues_b_panel(plan, b, ldb, cols, k_count, k_padded, shift, out, modulus_stride);
        return;
    }
    const BlockResidues block_residues = block_residues_for(k.limbs);
    __m256i shifts[4];
    for (int v = 0; v < 4; ++v)
        shifts[v] = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(shift + 4 * v)));
    auto row_residues = [&](int64_t kk, __m256i* words) {
        if (kk >= k_count) {
            for (int l = 0; l < k.count; ++l) words[l] = _mm256_setzero_si256();
        } else if (cols == kPanelWidth) {
            block_residues(b + kk * ldb, shifts, k, words);
        } else {
            double row[kBlock] = {};
            std::memcpy(row, b + kk * ldb, size_t(cols) * sizeof(double));
            block_residues(row, shifts, k, words);
        }
    };
    const bool stream = streams_residues(modulus_stride, k.count);
    for (int64_t kk = 0; kk < k_padded; kk += 2) {
        __m256i even[fast::kMaxModuli], odd[fast::kMaxModuli];
        row_residues(kk, even);
        row_residues(kk + 1, odd);
        for (int l = 0; l < k.count; ++l) {
            const __m256i low = _mm256_unpacklo_epi16(even[l], odd[l]);   // columns 0-3, 8-11
            const __m256i high = _mm256_unpackhi_epi16(even[l], odd[l]);  // columns 4-7, 12-15
            __m256i* o = reinterpret_cast<__m256i*>(out + l * modulus_stride + kk * kPanelWidth);
            store_residues(o, _mm256_permute2x128_si256(low, high, 0x20), stream);
            store_residues(o + 1, _mm256_permute2x128_si256(low, high, 0x31), stream);
        }
    }
    finish_stream(stream);
}

}  // namespace vexa::avx2
