// The int8 engine's tile on NEON, for the kernel folders whose CPUs have a four-way int8
// dot product: neon_dotprod (sdot) and neon_i8mm (usdot). Only their sources include this,
// each built with its own -march; everything here is a template over the folder's Dot, so
// each folder gets its own copy compiled with its own instructions (no shared inline
// function whose one surviving copy could hold the other folder's instructions).
//
// Dot supplies
//   static int32x4_t dot(int32x4_t acc, uint32_t a_quad, int8x16_t b)
//       acc[j] += sum over i < 4 of A byte i of a_quad times b[4 j + i] (B signed), except
//       that when kCentred the A bytes are taken as a - 128;
//   static constexpr bool kCentred
//       the products were of a - 128: the tile adds 128 times each column's sum of B.
#pragma once

#include <arm_neon.h>

#include <cstdint>
#include <cstring>

#include "fastpath/int8_fastpath.h"

// Loops over rows and vectors fully unrolled, so that the sums stay in registers.
#if defined(__clang__)
#define VEXA_NEON_UNROLL _Pragma("unroll")
#else
#define VEXA_NEON_UNROLL _Pragma("GCC unroll 8")
#endif

namespace vexa::int8::neon {

// Columns of one strip: four vectors of four int32 sums. With six rows, 24 accumulators,
// four B vectors and an A broadcast stay within the 32 vector registers.
constexpr int kStrip = 16;
constexpr int kStrips = kPanelWidth / kStrip;
static_assert(kStrip == kColumnGroup, "a strip is a column group, which the padding skips whole");

template <class Dot>
inline uint32_t a_quad(const uint8_t* a) {
    uint32_t w;
    std::memcpy(&w, a, sizeof w);
    return w;
}

// The products of `Rows` rows by one strip of 16 columns over `quads` groups of four k.
// b points at the strip's first column in the packed panel ([k / 4][column][k % 4]).
template <class Dot, int Rows>
inline void strip_sums(const uint8_t* a, int64_t a_stride, const int8_t* b, int64_t quads,
                       int32x4_t (&sum)[Rows][4]) {
    VEXA_NEON_UNROLL
    for (int r = 0; r < Rows; ++r)
        VEXA_NEON_UNROLL
        for (int j = 0; j < 4; ++j) sum[r][j] = vdupq_n_s32(0);
    for (int64_t q = 0; q < quads; ++q) {
        const int8_t* bq = b + q * 4 * kPanelWidth;
        const int8x16_t b0 = vld1q_s8(bq), b1 = vld1q_s8(bq + 16), b2 = vld1q_s8(bq + 32),
                        b3 = vld1q_s8(bq + 48);
        VEXA_NEON_UNROLL
        for (int r = 0; r < Rows; ++r) {
            const uint32_t w = a_quad<Dot>(a + r * a_stride + 4 * q);
            sum[r][0] = Dot::dot(sum[r][0], w, b0);
            sum[r][1] = Dot::dot(sum[r][1], w, b1);
            sum[r][2] = Dot::dot(sum[r][2], w, b2);
            sum[r][3] = Dot::dot(sum[r][3], w, b3);
        }
    }
}

// 128 times the sum over k of every column of the panel, for centred products.
template <class Dot>
inline void column_corrections(const int8_t* b_panel, int64_t quads, int32x4_t (&out)[kPanelWidth / 4]) {
    for (int v = 0; v < kPanelWidth / 4; ++v) out[v] = vdupq_n_s32(0);
    const int8x16_t ones = vdupq_n_s8(1);
    for (int64_t q = 0; q < quads; ++q)
        for (int v = 0; v < kPanelWidth / 4; ++v)
            out[v] = vdotq_s32(out[v], vld1q_s8(b_panel + q * 4 * kPanelWidth + 16 * v), ones);
    for (int v = 0; v < kPanelWidth / 4; ++v) out[v] = vshlq_n_s32(out[v], 7);
}

// Reduction of int32 sums modulo p. A sum s of one chunk has |s| <= 255 * 128 * 65536 <
// 2^31 - 2^23, so u = s + p * ceil(2^31 / p) lies in [0, 2^32) and is congruent to s.
// With m = floor(2^32 / p), q = floor(u * m / 2^32) is floor(u / p) or one less, so
// u - q p is in [0, 2p) and one conditional subtraction finishes it.
template <class Dot>
struct Reduce {
    uint32x4_t p, m, offset;

    explicit Reduce(int modulus)
        : p(vdupq_n_u32(uint32_t(modulus))),
          m(vdupq_n_u32(uint32_t((uint64_t(1) << 32) / uint64_t(modulus)))),
          offset(vdupq_n_u32(uint32_t(modulus) * uint32_t(((uint64_t(1) << 31) + modulus - 1) / modulus))) {}

    // x - p where x >= p, else x (x < 2p): the wrapped x - p is larger than x otherwise.
    uint32x4_t below_p(uint32x4_t x) const { return vminq_u32(x, vsubq_u32(x, p)); }

    uint32x4_t residue(int32x4_t s) const {
        const uint32x4_t u = vaddq_u32(vreinterpretq_u32_s32(s), offset);
        const uint64x2_t lo = vmull_u32(vget_low_u32(u), vget_low_u32(m));
        const uint64x2_t hi = vmull_high_u32(u, m);
        const uint32x4_t q = vuzp2q_u32(vreinterpretq_u32_u64(lo), vreinterpretq_u32_u64(hi));
        return below_p(vmlsq_u32(u, q, p));
    }

    // Sixteen sums to sixteen residue bytes at out, added modulo p to those there when
    // `accumulate`.
    void store(const int32x4_t (&sum)[4], uint8_t* out, bool accumulate) const {
        uint32x4_t r[4];
        for (int j = 0; j < 4; ++j) r[j] = residue(sum[j]);
        if (accumulate) {
            const uint8x16_t old = vld1q_u8(out);
            const uint16x8_t lo = vmovl_u8(vget_low_u8(old)), hi = vmovl_high_u8(old);
            r[0] = below_p(vaddq_u32(r[0], vmovl_u16(vget_low_u16(lo))));
            r[1] = below_p(vaddq_u32(r[1], vmovl_high_u16(lo)));
            r[2] = below_p(vaddq_u32(r[2], vmovl_u16(vget_low_u16(hi))));
            r[3] = below_p(vaddq_u32(r[3], vmovl_high_u16(hi)));
        }
        const uint16x8_t lo = vcombine_u16(vmovn_u32(r[0]), vmovn_u32(r[1]));
        const uint16x8_t hi = vcombine_u16(vmovn_u32(r[2]), vmovn_u32(r[3]));
        vst1q_u8(out, vcombine_u8(vmovn_u16(lo), vmovn_u16(hi)));
    }
};

// Strips from live_strips on hold only the panel's zero padding: their sums are zero
// without the products (a centred product's correction of a zero column is zero too).
template <class Dot, int Rows>
void tile_rows(const Reduce<Dot>& reduce, const uint8_t* a, int64_t a_row_stride, const int8_t* b_panel,
               int live_strips, int64_t k_padded, uint8_t* acc, int64_t acc_stride, bool accumulate) {
    const int64_t quads = k_padded / 4;
    int32x4_t correction[kPanelWidth / 4];
    if constexpr (Dot::kCentred) column_corrections<Dot>(b_panel, quads, correction);
    for (int s = 0; s < kStrips; ++s) {
        int32x4_t sum[Rows][4];
        if (s < live_strips) {
            strip_sums<Dot, Rows>(a, a_row_stride, b_panel + s * kStrip * 4, quads, sum);
        } else {
            for (int r = 0; r < Rows; ++r)
                for (int j = 0; j < 4; ++j) sum[r][j] = vdupq_n_s32(0);
        }
        for (int r = 0; r < Rows; ++r) {
            if constexpr (Dot::kCentred)
                for (int j = 0; j < 4; ++j) sum[r][j] = vaddq_s32(sum[r][j], correction[s * 4 + j]);
            reduce.store(sum[r], acc + r * acc_stride + s * kStrip, accumulate);
        }
    }
}

// Int8Ops::tile.
template <class Dot>
void tile(const Modulus& modulus, const uint8_t* a, int64_t a_row_stride, int rows, const int8_t* b_panel,
          int cols, int64_t k_padded, uint8_t* acc, int64_t acc_stride, bool accumulate) {
    const Reduce<Dot> reduce(modulus.p);
    // The driver passes whole row groups only (the packing pads A to kRowGroup rows).
    if (rows == kRowGroup)
        tile_rows<Dot, kRowGroup>(reduce, a, a_row_stride, b_panel, live_column_groups(cols), k_padded, acc,
                                  acc_stride, accumulate);
}

// A folder's table: this tile, and the portable reference's other pieces. kPortableOps is
// constant-initialised (function addresses only), so it is complete before a folder's table
// is filled in at load time.
template <class Dot>
Int8Ops pieces() {
    return {kPortableOps.residues_a, kPortableOps.residues_b_panel, tile<Dot>, kPortableOps.crt_round,
            kPortableOps.scan_lines, kPortableOps.residues_b_columns};
}

}  // namespace vexa::int8::neon
