// The residues of A and B for the int8 fast path with AVX-512 VNNI: byte digits of the
// scaled integers times their weights modulo p, four at a time through vpdpbusd.
// Built with AVX-512 flags; nothing here runs unless the registry found VNNI.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/avx512_vnni/avx512_vnni_pieces.h"

namespace vexa::avx512_vnni {
namespace {

// ---- Residues ----
//
// An element of an included line is x = s * X * 2^shift with X a nonnegative integer of at
// most W bits. The bytes of X are its base-256 digits, X = sum_j d_j 256^j, so X mod p is
// that of sum_j d_j w_j with w_j = 256^j mod p taken in [-128, 127]: one vpdpbusd adds four
// digit-times-weight products per int32 lane, with the digits as unsigned bytes and the
// weights as signed ones. The digits are extracted once per element for all moduli, and a
// modulus costs ceil(W / 32) vpdpbusd per sixteen elements plus one reduction, no gathers.
//
// The reduction is exact without fix-ups. With `groups` dwords of digits the sum S obeys
// |S| <= digit_sum_bound(groups), and A = S + offset, offset = C p - low with C p just above
// that bound, is an integer in [0, 2^23): exact in float32. For q = floor(A / p), A / p lies
// in [q, q + (p - 1) / p], and A * RU(1/p) exceeds it by less than A 2^-23 / p < 1 / p, so
// one fused multiply-add rounded down onto the integer grid of M = 1.5 * 2^23 gives M + q
// exactly. Then A - q p, also exact, is (S - low) mod p. For up to kNarrowGroups dwords and
// p >= kNarrowMinModulus, q < 2^15 is the low word of the bits of M + q (M's own low word
// is zero), so one vpdpwssd of those bits against (-p, 0) takes A to A - q p in integers.
constexpr int kBlockVectors = 4;  // 16-lane vectors per block: 64 elements
constexpr int kMaxGroups = 32;    // dwords of four digits per element: up to 2^1024
constexpr int kMaxBlockWidth = 32 * kMaxGroups;
constexpr int kNarrowGroups = 4;
constexpr int kNarrowMinModulus = 32;
constexpr float kFloorMagic = 12582912.0f;  // 1.5 * 2^23: its ulp is 1 over [2^23, 2^24)
constexpr int64_t kPrefetchRows = 8;         // rows of B ahead of the quad being reduced

constexpr int32_t digit_sum_bound(int groups) { return 4 * groups * 255 * 128; }
static_assert(2 * int64_t(digit_sum_bound(kMaxGroups)) + 256 + 128 < (int64_t(1) << 23),
              "the reduction needs A < 2^23");
static_assert(2 * int64_t(digit_sum_bound(kNarrowGroups)) + 256 + 128 <
                  int64_t(kNarrowMinModulus) << 15,
              "the integer finish needs q < 2^15");

// What the vector code needs of one modulus p <= 256, built once per process for every p:
// the residue functions are called a row at a time, too often to rebuild anything per call.
struct ModulusEntry {
    float p;
    float inverse_up;  // RU(1/p)
    int32_t modulus;       // p
    int32_t minus_p_word;  // -p in the low word, 0 in the high one
    // [symmetric][groups]: C p - low for `groups` <= kNarrowGroups dwords of digits, or for
    // any up to kMaxGroups at [0].
    int32_t offset[2][kNarrowGroups + 1];
    int8_t low[2];     // 0, and (p + 1) / 2 - p for the symmetric range
    // The weights of digits 4g..4g+3, 256^j mod p in [-128, 127], as four signed bytes.
    int32_t weights[kMaxGroups];
};

struct ModulusTable {
    ModulusEntry entry[257];
    ModulusTable() {
        for (int p = 2; p <= 256; ++p) {
            ModulusEntry& e = entry[p];
            e.p = float(p);
            e.inverse_up = 1.0f / float(p);
            if (double(e.inverse_up) * p < 1.0) e.inverse_up = __builtin_nextafterf(e.inverse_up, 2.0f);
            e.modulus = p;
            e.minus_p_word = int32_t(uint16_t(-p));
            for (int symmetric = 0; symmetric < 2; ++symmetric) {
                const int low = symmetric ? (p + 1) / 2 - p : 0;
                e.low[symmetric] = int8_t(low);
                for (int g = 0; g <= kNarrowGroups; ++g)
                    e.offset[symmetric][g] = (digit_sum_bound(g ? g : kMaxGroups) / p + 1) * p - low;
            }
            int v = 1;
            for (int g = 0; g < kMaxGroups; ++g) {
                uint32_t quad = 0;
                for (int i = 0; i < 4; ++i) {
                    quad |= uint32_t(uint8_t(int8_t(v >= 128 ? v - p : v))) << (8 * i);
                    v = v * 256 % p;
                }
                e.weights[g] = int32_t(quad);
            }
        }
    }
};

const ModulusTable& modulus_table() {
    static const ModulusTable table;
    return table;
}

// The moduli of one call.
class ModulusConstants {
public:
    ModulusConstants(const ResiduePlan& plan, bool symmetric)
        : count_(plan.count), symmetric_(symmetric) {
        const ModulusTable& table = modulus_table();
        for (int l = 0; l < count_; ++l) {
            const int p = plan.moduli[l].p;
            entry_[l] = &table.entry[p];
            narrow_ &= p >= kNarrowMinModulus;
        }
    }
    int count() const { return count_; }
    const ModulusEntry& operator[](int l) const { return *entry_[l]; }
    // For `groups` <= kNarrowGroups dwords of digits, or 0 for any up to kMaxGroups.
    int32_t offset(int l, int groups) const { return entry_[l]->offset[symmetric_][groups]; }
    int8_t low(int l) const { return entry_[l]->low[symmetric_]; }
    // Every modulus allows the integer finish.
    bool narrow() const { return narrow_; }

private:
    int count_;
    int symmetric_;
    bool narrow_ = true;
    const ModulusEntry* entry_[kMaxModuli];
};

// One block: 4 vectors of 16 elements, each loaded as two halves of 8 doubles, with the
// shift of every lane. A blocks are 64 consecutive elements of a row (byte 16 v + lane);
// B blocks are 4 rows k of 16 panel columns, in quads of k (byte 4 lane + v).
struct Block {
    __m512d x[kBlockVectors][2];
    __m512d shift[kBlockVectors][2];
};

// Where a block's residues go: 64 bytes per modulus, `store` marks the ones to write, and
// `stream` says whether whole aligned blocks bypass the caches (see streams_residues).
struct BlockOut {
    uint8_t* base;
    int64_t modulus_stride;
    __mmask64 store;
    bool stream;
};

// Large blocks go past the caches (fast::streams_residues) where the tile allows it
// (kMayStream). The AMX tile waits out every miss of its loads (DEVELOPING.md), so for it
// the residues stay in the third level, where ordinary stores leave them.
template <Stores kStores>
inline bool streams_residues(int64_t modulus_stride, int moduli) {
    return kStores == Stores::kMayStream && fast::streams_residues(modulus_stride * moduli);
}

inline void store_block(const BlockOut& out, int l, __m512i bytes) {
    uint8_t* const to = out.base + l * out.modulus_stride;
    // Masked byte stores are slow on some cores; only the tail of a row needs one.
    if (out.store != ~__mmask64(0))
        _mm512_mask_storeu_epi8(to, out.store, bytes);
#if !VEXA_SIMDE
    else if (out.stream && reinterpret_cast<uintptr_t>(to) % 64 == 0)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(to), bytes);
#endif
    else
        _mm512_storeu_si512(to, bytes);
}

// Non-temporal stores are weakly ordered: fenced before the residues are handed on.
inline void finish_stream(bool stream) {
    if (stream) _mm_sfence();
}

// Bits of the widest integer in the block, 0 when all are zero.
inline int block_width(const Block& b) {
    __m512d top = _mm512_set1_pd(-__builtin_inf());
    for (int v = 0; v < kBlockVectors; ++v)
        for (int h = 0; h < 2; ++h)
            top = _mm512_max_pd(top, _mm512_sub_pd(_mm512_getexp_pd(b.x[v][h]), b.shift[v][h]));
    const double t = _mm512_reduce_max_pd(top);
    return t >= 0 ? int(t) + 1 : 0;
}

// The byte of element (v, lane) in a block.
template <bool kPanel>
constexpr int block_byte(int v, int lane) { return kPanel ? 4 * lane + v : 16 * v + lane; }

// Four vectors of residues in [0, 256) to the block's byte order.
template <bool kPanel>
inline __m512i pack_block(const __m512i r[kBlockVectors]) {
    // After the packs, 128-bit lane i holds elements 4i..4i+3 of vectors 0, 1, 2, 3 in turn.
    const __m512i bytes =
        _mm512_packus_epi16(_mm512_packus_epi32(r[0], r[1]), _mm512_packus_epi32(r[2], r[3]));
    if (kPanel) {
        // Transpose each lane's 4x4 bytes: the four k of one column become adjacent.
        const __m512i transpose = _mm512_broadcast_i32x4(
            _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
        return _mm512_shuffle_epi8(bytes, transpose);
    }
    // Dword 4 v + i comes from lane i, dword v.
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    return _mm512_permutexvar_epi32(order, bytes);
}

// The residues of one block whose integers are below 2^(32 groups). kGroups = 0 takes the
// count at run time and finishes the reduction in floats; otherwise it is at most
// kNarrowGroups and every modulus at least kNarrowMinModulus.
template <int kGroups, bool kPanel>
void block_residues(const Block& b, int runtime_groups, const ModulusConstants& mc, const BlockOut& out) {
    const int groups = kGroups ? kGroups : runtime_groups;
    const int limbs = (groups + 1) / 2;
    constexpr int kSlots = kGroups ? kGroups : kMaxGroups;
    constexpr int kLimbSlots = (kSlots + 1) / 2;
    // digit[g][v]: dword `lane` holds digits 4g..4g+3 of element (v, lane).
    __m512i digit[kSlots][kBlockVectors];
    uint64_t negative = 0;
    const __m512d limb_radix = _mm512_set1_pd(18446744073709551616.0);  // 2^64
    const __m512d inverse_limb_radix = _mm512_set1_pd(1.0 / 18446744073709551616.0);
    const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odd = _mm512_add_epi32(even, _mm512_set1_epi32(1));
    for (int v = 0; v < kBlockVectors; ++v) {
        __m512i limb[2][kLimbSlots];
        for (int h = 0; h < 2; ++h) {
            const __mmask8 sign = _mm512_cmp_pd_mask(b.x[v][h], _mm512_setzero_pd(), _CMP_LT_OQ);
            if (kPanel)
                negative |= _pdep_u64(sign, uint64_t(0x11111111) << (32 * h + v));
            else
                negative |= uint64_t(sign) << (16 * v + 8 * h);
            // All exact: a power-of-two scaling to an integer below 2^(64 limbs), then
            // truncations and differences that keep to its 53 significant bits.
            __m512d t = _mm512_scalef_pd(_mm512_abs_pd(b.x[v][h]),
                                         _mm512_sub_pd(_mm512_setzero_pd(), b.shift[v][h]));
#pragma GCC unroll 4
            for (int i = 0; i + 1 < limbs; ++i) {
                const __m512d next = _mm512_roundscale_pd(_mm512_mul_pd(t, inverse_limb_radix),
                                                          _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
                limb[h][i] = _mm512_cvttpd_epu64(_mm512_fnmadd_pd(next, limb_radix, t));
                t = next;
            }
            limb[h][limbs - 1] = _mm512_cvttpd_epu64(t);
        }
#pragma GCC unroll 4
        for (int i = 0; i < limbs; ++i) {
            digit[2 * i][v] = _mm512_permutex2var_epi32(limb[0][i], even, limb[1][i]);
            if (2 * i + 1 < groups)
                digit[2 * i + 1][v] = _mm512_permutex2var_epi32(limb[0][i], odd, limb[1][i]);
        }
    }
    const __m512 magic = _mm512_set1_ps(kFloorMagic);
    for (int l = 0; l < mc.count(); ++l) {
        const ModulusEntry& e = mc[l];
        const int32_t* w = e.weights;
        const __m512 p = _mm512_set1_ps(e.p), inv = _mm512_set1_ps(e.inverse_up);
        const __m512i offset = _mm512_set1_epi32(mc.offset(l, kGroups));
        const __m512i minus_p_word = _mm512_set1_epi32(e.minus_p_word);
        __m512i r[kBlockVectors];
        for (int v = 0; v < kBlockVectors; ++v) {
            __m512i acc = offset;
#pragma GCC unroll 4
            for (int g = 0; g < groups; ++g)
                acc = _mm512_dpbusd_epi32(acc, digit[g][v], _mm512_set1_epi32(w[g]));
            const __m512 a = _mm512_cvtepi32_ps(acc);
            const __m512 mq = _mm512_fmadd_round_ps(a, inv, magic, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            if (kGroups != 0)  // the integer finish: A + q (-p)
                r[v] = _mm512_dpwssd_epi32(acc, _mm512_castps_si512(mq), minus_p_word);
            else
                r[v] = _mm512_cvttps_epi32(_mm512_fnmadd_ps(_mm512_sub_ps(mq, magic), p, a));
        }
        __m512i bytes = pack_block<kPanel>(r);
        if (kPanel) {
            // The residue of |x| moved into [low, low + p), then negated: that stays in
            // range but for -low = p / 2 of an even p, which wraps to -p / 2 by itself only
            // for p = 256.
            bytes = _mm512_add_epi8(bytes, _mm512_set1_epi8(mc.low(l)));
            bytes = _mm512_mask_sub_epi8(bytes, negative, _mm512_setzero_si512(), bytes);
            if (e.modulus % 2 == 0 && e.modulus != 256) {
                const __mmask64 over = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(char(e.modulus / 2)));
                bytes = _mm512_mask_sub_epi8(bytes, over, bytes, _mm512_set1_epi8(char(e.modulus)));
            }
        } else {
            // -x has residue p - r, or 0 for r = 0 (p = 256 wraps to 0 - r by itself).
            const __mmask64 flip = negative & _mm512_test_epi8_mask(bytes, bytes);
            bytes = _mm512_mask_sub_epi8(bytes, flip, _mm512_set1_epi8(char(e.modulus)), bytes);
        }
        store_block(out, l, bytes);
    }
}

// x * 2^-shift mod p in [0, p), by integer arithmetic on the significand.
int scalar_residue(double x, double shift, int p) {
    if (x == 0.0) return 0;
    const double ax = __builtin_fabs(x);
    const int u = __builtin_ilogb(ax) - int(shift);
    const int t = u > 52 ? u - 52 : 0;
    const int64_t m = int64_t(__builtin_scalbn(ax, -int(shift) - t));
    int64_t r = m % p, base = 2 % p;
    for (int e = t; e > 0; e >>= 1, base = base * base % p)
        if (e & 1) r = r * base % p;
    if (x < 0 && r != 0) r = p - r;
    return int(r);
}

// Blocks wider than 2^1024 (admitted lines are far narrower; this keeps any input from
// overflowing the scaling).
template <bool kPanel>
void block_residues_scalar(const Block& b, const ModulusConstants& mc, const BlockOut& out) {
    alignas(64) double x[kBlockVectors][16], shift[kBlockVectors][16];
    for (int v = 0; v < kBlockVectors; ++v)
        for (int h = 0; h < 2; ++h) {
            _mm512_store_pd(&x[v][8 * h], b.x[v][h]);
            _mm512_store_pd(&shift[v][8 * h], b.shift[v][h]);
        }
    for (int l = 0; l < mc.count(); ++l) {
        alignas(64) uint8_t bytes[64];
        const int p = mc[l].modulus;
        for (int v = 0; v < kBlockVectors; ++v)
            for (int e = 0; e < 16; ++e) {
                int r = scalar_residue(x[v][e], shift[v][e], p);
                if (kPanel && r >= (p + 1) / 2) r -= p;
                bytes[block_byte<kPanel>(v, e)] = uint8_t(r);
            }
        store_block(out, l, _mm512_load_si512(bytes));
    }
}

template <bool kPanel>
void residues_of_block(const Block& b, const ModulusConstants& mc, const BlockOut& out) {
    const int width = block_width(b);
    if (width == 0) {
        for (int l = 0; l < mc.count(); ++l) store_block(out, l, _mm512_setzero_si512());
        return;
    }
    if (width > kMaxBlockWidth) return block_residues_scalar<kPanel>(b, mc, out);
    const int groups = (width + 31) / 32;
    if (!mc.narrow()) return block_residues<0, kPanel>(b, groups, mc, out);
    switch (groups) {
        case 1: return block_residues<1, kPanel>(b, groups, mc, out);
        case 2: return block_residues<2, kPanel>(b, groups, mc, out);
        case 3: return block_residues<3, kPanel>(b, groups, mc, out);
        case 4: return block_residues<4, kPanel>(b, groups, mc, out);
        default: return block_residues<0, kPanel>(b, groups, mc, out);
    }
}

inline __mmask8 lanes_below(int64_t n) {
    return n >= 8 ? __mmask8(0xff) : n > 0 ? __mmask8((1u << n) - 1) : __mmask8(0);
}

// One panel of B, its columns either side by side from `b` (kIndexed false) or at
// b[columns[c]] for the sorted columns of a block small enough to stay in cache: gathered
// here, they need no copy of the block first.
template <bool kIndexed, Stores kStores>
void panel_residues(const ResiduePlan& plan, const double* b, int64_t ldb, const int64_t* columns, int64_t cols,
                    int64_t k_count, int64_t k_padded, const int32_t* shift, int8_t* out,
                    int64_t out_modulus_stride) {
    const ModulusConstants mc(plan, true);
    const bool stream = streams_residues<kStores>(out_modulus_stride, mc.count());
    constexpr int kGroups = kPanelWidth / 8;
    __mmask8 live[kGroups];
    __m512d sh[kGroups];
    for (int g = 0; g < kGroups; ++g) {
        unsigned m = 0;
        alignas(32) int32_t s8[8] = {};
        for (int c = 0; c < 8; ++c) {
            const int64_t col = g * 8 + c;
            if (col < cols) {
                m |= 1u << c;
                s8[c] = shift[col];
            }
        }
        live[g] = __mmask8(m);
        sh[g] = _mm512_cvtepi32_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(s8)));
    }
    uint8_t* bytes = reinterpret_cast<uint8_t*>(out);
    Block blk;
    // Moved columns are copied a quad of rows ahead into a stage that stays in L1 (gather
    // instructions measured slower than scalar loads on Ice Lake server), so that
    // the copies have left the store buffer when the quad is read.
    alignas(64) double stage[2][kBlockVectors][kPanelWidth];
    auto copy_quad = [&](int64_t k0, double (*to)[kPanelWidth]) {
        for (int kk = 0; kk < kBlockVectors && k0 + kk < k_count; ++kk) {
            const double* const row = b + (k0 + kk) * ldb;
            for (int64_t c = 0; c < cols; ++c) to[kk][c] = row[columns[c]];
        }
    };
    if (kIndexed) copy_quad(0, stage[0]);
    for (int64_t k0 = 0; k0 < k_padded; k0 += 4) {
        double (*const quad)[kPanelWidth] = stage[(k0 / 4) % 2];
        if (kIndexed && k0 + 4 < k_count) copy_quad(k0 + 4, stage[(k0 / 4 + 1) % 2]);
        // The hardware prefetchers miss these rows (up to a matrix row apart, and read a
        // quarter at a time); fetching two quads ahead hides most of the wait. Gathered
        // panels come from a block that is in cache already.
        if (!kIndexed)
            for (int64_t k = k0 + kPrefetchRows; k < std::min(k0 + kPrefetchRows + 4, k_count); ++k)
                for (int line = 0; line < kPanelWidth / 8; ++line)
                    _mm_prefetch(reinterpret_cast<const char*>(b + k * ldb + 8 * line), _MM_HINT_T0);
        for (int quarter = 0; quarter < kPanelWidth / 16; ++quarter) {
            for (int kk = 0; kk < kBlockVectors; ++kk) {
                const int64_t k = k0 + kk;
                for (int h = 0; h < 2; ++h) {
                    const int g = 2 * quarter + h;
                    const __mmask8 m = k < k_count ? live[g] : __mmask8(0);
                    if (kIndexed)
                        blk.x[kk][h] = _mm512_maskz_loadu_pd(m, quad[kk] + g * 8);
                    else
                        blk.x[kk][h] = _mm512_maskz_loadu_pd(m, b + k * ldb + g * 8);
                    blk.shift[kk][h] = sh[g];
                }
            }
            residues_of_block<true>(
                blk, mc, BlockOut{bytes + k0 * kPanelWidth + quarter * 64, out_modulus_stride, ~__mmask64(0), stream});
        }
    }
    finish_stream(stream);
}

}  // namespace

template <Stores kStores>
void residues_a(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows, int64_t k_count,
                const int32_t* shift, uint8_t* out, int64_t out_row_stride, int64_t out_modulus_stride) {
    const ModulusConstants mc(plan, false);
    const bool stream = streams_residues<kStores>(out_modulus_stride, mc.count());
    for (int64_t r = 0; r < rows; ++r) {
        const __m512d sh = _mm512_set1_pd(double(shift[r]));
        const double* row = a + r * lda;
        Block b;
        for (int64_t k = 0; k < out_row_stride; k += 16 * kBlockVectors) {
            for (int v = 0; v < kBlockVectors; ++v)
                for (int h = 0; h < 2; ++h) {
                    const int64_t k8 = k + 16 * v + 8 * h;
                    b.x[v][h] = _mm512_maskz_loadu_pd(lanes_below(k_count - k8), row + k8);
                    b.shift[v][h] = sh;
                }
            const int64_t room = out_row_stride - k;
            const __mmask64 store = room >= 64 ? ~__mmask64(0) : (__mmask64(1) << room) - 1;
            residues_of_block<false>(b, mc,
                                     BlockOut{out + r * out_row_stride + k, out_modulus_stride, store, stream});
        }
    }
    finish_stream(stream);
}

template <Stores kStores>
void residues_b_panel(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols, int64_t k_count,
                      int64_t k_padded, const int32_t* shift, int8_t* out, int64_t out_modulus_stride) {
    panel_residues<false, kStores>(plan, b, ldb, nullptr, cols, k_count, k_padded, shift, out, out_modulus_stride);
}

template <Stores kStores>
void residues_b_columns(const ResiduePlan& plan, const double* b, int64_t ldb, const int64_t* columns,
                        int64_t cols, int64_t k_count, int64_t k_padded, const int32_t* shift, int8_t* out,
                        int64_t out_modulus_stride) {
    panel_residues<true, kStores>(plan, b, ldb, columns, cols, k_count, k_padded, shift, out, out_modulus_stride);
}

#define VEXA_RESIDUE_PIECES(stores)                                                                              \
    template void residues_a<stores>(const ResiduePlan&, const double*, int64_t, int64_t, int64_t,              \
                                     const int32_t*, uint8_t*, int64_t, int64_t);                               \
    template void residues_b_panel<stores>(const ResiduePlan&, const double*, int64_t, int64_t, int64_t,        \
                                           int64_t, const int32_t*, int8_t*, int64_t);                          \
    template void residues_b_columns<stores>(const ResiduePlan&, const double*, int64_t, const int64_t*,        \
                                             int64_t, int64_t, int64_t, const int32_t*, int8_t*, int64_t);
VEXA_RESIDUE_PIECES(Stores::kMayStream)
VEXA_RESIDUE_PIECES(Stores::kCached)
#undef VEXA_RESIDUE_PIECES

}  // namespace vexa::avx512_vnni
