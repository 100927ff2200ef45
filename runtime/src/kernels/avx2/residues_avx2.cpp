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
constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52: its ulp is 1

struct Constants {
    int count = 0;
    int limbs = 0;
    bool power[fast::kMaxModuli];
    double p[fast::kMaxModuli];
    double inverse[fast::kMaxModuli];
    int64_t weight[fast::kMaxModuli][kMaxLimbs15];
};

// false when the integers are too wide for the limb table (never for what the planning
// admits; the portable pieces then take the call).
bool constants_of(const fast::ResiduePlan& plan, Constants& k) {
    k.count = plan.count;
    k.limbs = (plan.shift_limit + 14) / 15;
    if (k.limbs > kMaxLimbs15) return false;
    for (int l = 0; l < plan.count; ++l) {
        const int p = plan.moduli[l].p;
        int32_t w[kMaxLimbs15];
        int16::limb_weights(p, w);
        k.power[l] = p == int16::kPowerModulus;
        k.p[l] = double(p);
        k.inverse[l] = 1.0 / double(p);
        for (int j = 0; j < kMaxLimbs15; ++j) k.weight[l][j] = w[j];
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

using BlockResidues = void (*)(const double*, const __m256i*, const Constants&, __m256i*);

template <int... J>
BlockResidues block_residues_for(int limbs, std::integer_sequence<int, J...>) {
    static constexpr BlockResidues table[] = {block_residues_of<J + 1>...};
    return table[limbs - 1];
}

// The version for the call's limb count (1 to kMaxLimbs15).
BlockResidues block_residues_for(int limbs) {
    return block_residues_for(limbs, std::make_integer_sequence<int, kMaxLimbs15>());
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
    const int64_t pairs = k_padded / 2;
    for (int u = 0; u < kRowGroup; ++u) {
        const __m256i row_shift = _mm256_set1_epi64x(shift[u]);
        const __m256i shifts[4] = {row_shift, row_shift, row_shift, row_shift};
        for (int64_t k0 = 0; k0 < k_padded; k0 += kBlock) {
            alignas(32) __m256i words[fast::kMaxModuli];
            if (!rows[u] || k0 >= k_count) {
                for (int l = 0; l < k.count; ++l) words[l] = _mm256_setzero_si256();
            } else if (k0 + kBlock <= k_count) {
                block_residues(rows[u] + k0, shifts, k, words);
            } else {
                double tail[kBlock] = {};
                std::memcpy(tail, rows[u] + k0, size_t(k_count - k0) * sizeof(double));
                block_residues(tail, shifts, k, words);
            }
            // Pair i of the block goes to pair k0 / 2 + i of row u.
            const int64_t live = pairs - k0 / 2 < kBlock / 2 ? pairs - k0 / 2 : kBlock / 2;
            for (int l = 0; l < k.count; ++l) {
                alignas(32) int32_t word_pairs[kBlock / 2];
                _mm256_store_si256(reinterpret_cast<__m256i*>(word_pairs), words[l]);
                int16_t* o = out + l * modulus_stride + k0 * kRowGroup + 2 * u;
                for (int64_t i = 0; i < live; ++i) std::memcpy(o + i * 2 * kRowGroup, &word_pairs[i], 4);
            }
        }
    }
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
    for (int64_t kk = 0; kk < k_padded; kk += 2) {
        __m256i even[fast::kMaxModuli], odd[fast::kMaxModuli];
        row_residues(kk, even);
        row_residues(kk + 1, odd);
        for (int l = 0; l < k.count; ++l) {
            const __m256i low = _mm256_unpacklo_epi16(even[l], odd[l]);   // columns 0-3, 8-11
            const __m256i high = _mm256_unpackhi_epi16(even[l], odd[l]);  // columns 4-7, 12-15
            __m256i* o = reinterpret_cast<__m256i*>(out + l * modulus_stride + kk * kPanelWidth);
            _mm256_storeu_si256(o, _mm256_permute2x128_si256(low, high, 0x20));
            _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(low, high, 0x31));
        }
    }
}

}  // namespace vexa::avx2
