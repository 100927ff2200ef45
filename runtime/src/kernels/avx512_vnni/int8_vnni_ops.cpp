// AVX-512 VNNI pieces of the int8 fast path: residues of A and B, and the int8 product
// tile with vpdpbusd (unsigned A bytes times signed B bytes, four at a time into int32).
// Built with AVX-512 flags; nothing here runs unless the kernel table found VNNI.
#include <immintrin.h>

// GCC 12 reports the intrinsics' own placeholder operands as maybe-uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cstdint>
#include <cstring>

#include "int8_fastpath.h"

namespace vexa {
namespace int8 {
namespace {

// Both halves of a residue computation, per lane: r = x mod p for an integer-valued
// double 0 <= x < 2^53 (or |x| < 2^31 in the tile epilogue). The quotient from RN(1/p)
// is off by at most one (relative error below 2^-51 on a quotient below 2^49), and the
// fused multiply-subtract is exact because the true remainder is a small integer.
inline __m512d mod_pd(__m512d x, __m512d p, __m512d inv) {
    const __m512d q = _mm512_roundscale_pd(_mm512_mul_pd(x, inv), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    __m512d r = _mm512_fnmadd_pd(q, p, x);
    r = _mm512_mask_add_pd(r, _mm512_cmp_pd_mask(r, _mm512_setzero_pd(), _CMP_LT_OQ), r, p);
    r = _mm512_mask_sub_pd(r, _mm512_cmp_pd_mask(r, p, _CMP_GE_OQ), r, p);
    return r;
}

// An element split as |x| * 2^-shift = m * 2^t, with m < 2^53 an integer and t >= 0
// (t = max(floor(log2(|x| 2^-shift)) - 52, 0): the 53 significand bits all lie at or above
// bit t). Zero gives m = 0, t = 0.
struct Split {
    __m512d m;
    __m256i t;
    __mmask8 negative;
};

inline Split split(__m512d x, __m512d shift) {
    Split s;
    const __m512d ax = _mm512_abs_pd(x);
    s.negative = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_LT_OQ);
    // getexp(0) is -inf, which the max below turns into t = 0.
    const __m512d u = _mm512_sub_pd(_mm512_getexp_pd(ax), shift);
    const __m512d t = _mm512_max_pd(_mm512_sub_pd(u, _mm512_set1_pd(52.0)), _mm512_setzero_pd());
    s.m = _mm512_scalef_pd(ax, _mm512_sub_pd(_mm512_setzero_pd(), _mm512_add_pd(shift, t)));
    s.t = _mm512_cvttpd_epi32(t);
    return s;
}

// Residue in [0, p) of the signed element.
inline __m512d residue(const Split& s, const Modulus& mod, const double* pow2) {
    const __m512d p = _mm512_set1_pd(mod.p_double), inv = _mm512_set1_pd(mod.inverse);
    const __m512d pw = _mm512_i32gather_pd(s.t, pow2, 8);
    const __m512d r = mod_pd(_mm512_mul_pd(mod_pd(s.m, p, inv), pw), p, inv);
    const __mmask8 flip = s.negative & _mm512_cmp_pd_mask(r, _mm512_setzero_pd(), _CMP_NEQ_UQ);
    return _mm512_mask_sub_pd(r, flip, p, r);
}

void vnni_residues_a(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows,
                     int64_t k_count, const int32_t* shift, const uint8_t* included,
                     uint8_t* out, int64_t out_row_stride, int64_t out_modulus_stride) {
    for (int64_t r = 0; r < rows; ++r) {
        if (!included[r]) {
            for (int l = 0; l < plan.count; ++l)
                std::memset(out + l * out_modulus_stride + r * out_row_stride, 0,
                            size_t(out_row_stride));
            continue;
        }
        const __m512d sh = _mm512_set1_pd(double(shift[r]));
        const double* row = a + r * lda;
        for (int64_t k = 0; k < out_row_stride; k += 8) {
            const int64_t left = k_count - k;
            const __mmask8 live = left >= 8 ? __mmask8(0xff) : left > 0 ? __mmask8((1u << left) - 1) : __mmask8(0);
            const Split s = split(_mm512_maskz_loadu_pd(live, row + k), sh);
            const int64_t room = out_row_stride - k;
            const __mmask16 store = room >= 8 ? __mmask16(0xff) : __mmask16((1u << room) - 1);
            for (int l = 0; l < plan.count; ++l) {
                const __m512d v =
                    residue(s, plan.moduli[l], plan.pow2 + size_t(l) * size_t(plan.shift_limit));
                const __m128i bytes = _mm256_cvtepi32_epi8(_mm512_cvttpd_epi32(v));
                _mm_mask_storeu_epi8(out + l * out_modulus_stride + r * out_row_stride + k, store, bytes);
            }
        }
    }
}

void vnni_residues_b_panel(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                           int64_t k_count, int64_t k_padded, const int32_t* shift,
                           const uint8_t* included, int8_t* out, int64_t out_modulus_stride) {
    constexpr int kGroups = kPanelWidth / 8;
    __mmask8 live[kGroups];
    __m512d sh[kGroups];
    for (int g = 0; g < kGroups; ++g) {
        unsigned m = 0;
        alignas(32) int32_t s8[8] = {};
        for (int c = 0; c < 8; ++c) {
            const int64_t col = g * 8 + c;
            if (col < cols && included[col]) {
                m |= 1u << c;
                s8[c] = shift[col];
            }
        }
        live[g] = __mmask8(m);
        sh[g] = _mm512_cvtepi32_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(s8)));
    }
    const __m256i low_byte = _mm256_set1_epi32(0xff);
    for (int64_t k0 = 0; k0 < k_padded; k0 += 4) {
        for (int g = 0; g < kGroups; ++g) {
            Split s[4];
            for (int kk = 0; kk < 4; ++kk) {
                const int64_t k = k0 + kk;
                const __mmask8 m = k < k_count ? live[g] : __mmask8(0);
                s[kk] = split(_mm512_maskz_loadu_pd(m, b + k * ldb + g * 8), sh[g]);
            }
            for (int l = 0; l < plan.count; ++l) {
                const Modulus& mod = plan.moduli[l];
                const double* pow2 = plan.pow2 + size_t(l) * size_t(plan.shift_limit);
                const __m512d p = _mm512_set1_pd(mod.p_double);
                const __m512d half = _mm512_set1_pd(double((mod.p + 1) / 2));
                __m256i word = _mm256_setzero_si256();
                for (int kk = 0; kk < 4; ++kk) {
                    __m512d v = residue(s[kk], mod, pow2);
                    // Symmetric range: [-128, 127] for 256, [-(p-1)/2, (p-1)/2] for odd p.
                    v = _mm512_mask_sub_pd(v, _mm512_cmp_pd_mask(v, half, _CMP_GE_OQ), v, p);
                    const __m256i iv = _mm256_and_si256(_mm512_cvttpd_epi32(v), low_byte);
                    word = _mm256_or_si256(word, _mm256_slli_epi32(iv, 8 * kk));
                }
                _mm256_storeu_si256(
                    reinterpret_cast<__m256i*>(out + l * out_modulus_stride + k0 * kPanelWidth + g * 32),
                    word);
            }
        }
    }
}

// Reduces 16 int32 sums modulo p and adds them modulo p into 16 residue bytes.
inline void fold_into(__m512i sums, const Modulus& mod, uint8_t* acc) {
    const __m512d p = _mm512_set1_pd(mod.p_double), inv = _mm512_set1_pd(mod.inverse);
    const __m512d lo = mod_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(sums)), p, inv);
    const __m512d hi = mod_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(sums, 1)), p, inv);
    __m512i r = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvttpd_epi32(lo)),
                                   _mm512_cvttpd_epi32(hi), 1);
    r = _mm512_add_epi32(r, _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(acc))));
    const __m512i pi = _mm512_set1_epi32(mod.p);
    r = _mm512_mask_sub_epi32(r, _mm512_cmpge_epi32_mask(r, pi), r, pi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc), _mm512_cvtepi32_epi8(r));
}

template <int R>
void tile_rows(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, const int8_t* b_panel,
               int64_t k_padded, uint8_t* acc, int64_t acc_stride) {
    __m512i c[R][4];
    for (int r = 0; r < R; ++r)
        for (int j = 0; j < 4; ++j) c[r][j] = _mm512_setzero_si512();
    const uint8_t* a_rows[R];
    for (int r = 0; r < R; ++r) a_rows[r] = a + r * a_row_stride;
    for (int64_t k = 0; k < k_padded; k += 4) {
        const int8_t* bp = b_panel + k * kPanelWidth;
        const __m512i b0 = _mm512_loadu_si512(bp);
        const __m512i b1 = _mm512_loadu_si512(bp + 64);
        const __m512i b2 = _mm512_loadu_si512(bp + 128);
        const __m512i b3 = _mm512_loadu_si512(bp + 192);
#pragma GCC unroll 6
        for (int r = 0; r < R; ++r) {
            int32_t quad;
            std::memcpy(&quad, a_rows[r] + k, 4);
            const __m512i av = _mm512_set1_epi32(quad);
            c[r][0] = _mm512_dpbusd_epi32(c[r][0], av, b0);
            c[r][1] = _mm512_dpbusd_epi32(c[r][1], av, b1);
            c[r][2] = _mm512_dpbusd_epi32(c[r][2], av, b2);
            c[r][3] = _mm512_dpbusd_epi32(c[r][3], av, b3);
        }
    }
    for (int r = 0; r < R; ++r)
        for (int j = 0; j < 4; ++j) fold_into(c[r][j], mod, acc + r * acc_stride + j * 16);
}

// acc += dot4(a as u8, b as s8) per int32 lane, in place. Written as asm because GCC 12
// copies the accumulator around the builtin on every use, which spills the 24 accumulators.
#define VEXA_DPBUSD(acc, a, b) __asm__("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(a), "vm"(b))

// The hot loop for a full group of six rows, accumulators spelled out so that all 24
// stay in registers (with 4 B vectors and one broadcast: 29 of the 32 zmm registers).
void tile_six(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, const int8_t* b_panel,
              int64_t k_padded, uint8_t* acc, int64_t acc_stride) {
#define VEXA_ROW_ACCUMULATORS(r) \
    __m512i c##r##0 = _mm512_setzero_si512(), c##r##1 = _mm512_setzero_si512(), \
            c##r##2 = _mm512_setzero_si512(), c##r##3 = _mm512_setzero_si512();
    VEXA_ROW_ACCUMULATORS(0) VEXA_ROW_ACCUMULATORS(1) VEXA_ROW_ACCUMULATORS(2)
    VEXA_ROW_ACCUMULATORS(3) VEXA_ROW_ACCUMULATORS(4) VEXA_ROW_ACCUMULATORS(5)
#undef VEXA_ROW_ACCUMULATORS
    const uint8_t* a0 = a;
    const uint8_t* a1 = a + a_row_stride;
    const uint8_t* a2 = a + 2 * a_row_stride;
    const uint8_t* a3 = a + 3 * a_row_stride;
    const uint8_t* a4 = a + 4 * a_row_stride;
    const uint8_t* a5 = a + 5 * a_row_stride;
    for (int64_t k = 0; k < k_padded; k += 4) {
        const int8_t* bp = b_panel + k * kPanelWidth;
        const __m512i b0 = _mm512_loadu_si512(bp);
        const __m512i b1 = _mm512_loadu_si512(bp + 64);
        const __m512i b2 = _mm512_loadu_si512(bp + 128);
        const __m512i b3 = _mm512_loadu_si512(bp + 192);
#define VEXA_ROW_STEP(r)                                              \
    {                                                                 \
        int32_t quad;                                                 \
        std::memcpy(&quad, a##r + k, 4);                             \
        const __m512i av = _mm512_set1_epi32(quad);                   \
        VEXA_DPBUSD(c##r##0, av, b0);                                 \
        VEXA_DPBUSD(c##r##1, av, b1);                                 \
        VEXA_DPBUSD(c##r##2, av, b2);                                 \
        VEXA_DPBUSD(c##r##3, av, b3);                                 \
    }
        VEXA_ROW_STEP(0) VEXA_ROW_STEP(1) VEXA_ROW_STEP(2)
        VEXA_ROW_STEP(3) VEXA_ROW_STEP(4) VEXA_ROW_STEP(5)
#undef VEXA_ROW_STEP
    }
#define VEXA_ROW_FOLD(r)                                              \
    fold_into(c##r##0, mod, acc + r * acc_stride);                    \
    fold_into(c##r##1, mod, acc + r * acc_stride + 16);               \
    fold_into(c##r##2, mod, acc + r * acc_stride + 32);               \
    fold_into(c##r##3, mod, acc + r * acc_stride + 48);
    VEXA_ROW_FOLD(0) VEXA_ROW_FOLD(1) VEXA_ROW_FOLD(2)
    VEXA_ROW_FOLD(3) VEXA_ROW_FOLD(4) VEXA_ROW_FOLD(5)
#undef VEXA_ROW_FOLD
}

void vnni_tile(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, int rows,
               const int8_t* b_panel, int64_t k_padded, uint8_t* acc, int64_t acc_stride) {
    switch (rows) {
        case 6: tile_six(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride); break;
        case 5: tile_rows<5>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride); break;
        case 4: tile_rows<4>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride); break;
        case 3: tile_rows<3>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride); break;
        case 2: tile_rows<2>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride); break;
        case 1: tile_rows<1>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride); break;
        default: break;
    }
}

}  // namespace

// In crt_vnni.cpp.
void vnni_crt(const CrtPlan& t, const uint8_t* residues, int64_t stride, int count,
              uint32_t* magnitude, uint8_t* negative);

extern const Int8Ops kVnniOps = {vnni_residues_a, vnni_residues_b_panel, vnni_tile, vnni_crt};

}  // namespace int8
}  // namespace vexa
