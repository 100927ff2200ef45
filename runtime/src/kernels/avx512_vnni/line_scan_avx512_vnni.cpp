// AVX-512 scans for the fast path's planning: the lowest and highest set bits and the sum
// of squares of each row of A and each column of B, eight elements per vector. The bit
// positions come from exact int64 -> double conversions: every significand is below 2^53.
// Built with AVX-512 flags; nothing here runs unless the registry found VNNI.
#include <immintrin.h>

#include <cstdint>

#include "kernels/avx512_vnni/avx512_vnni_pieces.h"

namespace vexa::avx512_vnni {
namespace {

inline __m512i splat(int64_t v) { return _mm512_set1_epi64(v); }

// floor(log2 v) per lane for 0 < v < 2^53.
inline __m512i log2_floor(__m512i v) {
    const __m512i bits = _mm512_castpd_si512(_mm512_cvtepu64_pd(v));
    return _mm512_sub_epi64(_mm512_srli_epi64(bits, 52), splat(1023));
}

struct Lanes {
    __m512i lowest = _mm512_set1_epi64(1 << 20);
    __m512i highest = _mm512_set1_epi64(-(1 << 20));
    __mmask8 special = 0;
    __m512d squares = _mm512_setzero_pd();

    // Folds in the elements of the `live` lanes of x (the others are zero).
    void add(__m512d x, __mmask8 live) {
        squares = _mm512_fmadd_pd(x, x, squares);
        const __m512i bits = _mm512_castpd_si512(x);
        const __m512i biased = _mm512_and_si512(_mm512_srli_epi64(bits, 52), splat(0x7ff));
        const __m512i fraction = _mm512_and_si512(bits, splat((int64_t(1) << 52) - 1));
        const __mmask8 non_finite = _mm512_cmpeq_epi64_mask(biased, splat(0x7ff));
        special |= live & non_finite;
        const __mmask8 normal = _mm512_test_epi64_mask(biased, biased);
        // A double is m * 2^e: m the significand with its hidden bit (below 2^53), or the
        // bare fraction of a subnormal with e = -1074.
        const __m512i m = _mm512_mask_or_epi64(fraction, normal, fraction, splat(int64_t(1) << 52));
        const __m512i e = _mm512_mask_sub_epi64(splat(-1074), normal, biased, splat(1075));
        const __mmask8 counted = live & ~non_finite & _mm512_test_epi64_mask(m, m);
        const __m512i lowest_bit = _mm512_and_si512(m, _mm512_sub_epi64(_mm512_setzero_si512(), m));
        lowest = _mm512_mask_min_epi64(lowest, counted, lowest, _mm512_add_epi64(e, log2_floor(lowest_bit)));
        highest = _mm512_mask_max_epi64(highest, counted, highest, _mm512_add_epi64(e, log2_floor(m)));
    }

    LineScan lane(int i) const {
        alignas(64) int64_t lo[8], hi[8];
        alignas(64) double sq[8];
        _mm512_store_si512(lo, lowest);
        _mm512_store_si512(hi, highest);
        _mm512_store_pd(sq, squares);
        LineScan s;
        s.lowest = int32_t(lo[i]);
        s.highest = int32_t(hi[i]);
        s.special = (special >> i) & 1;
        s.sum_squares = sq[i];
        return s;
    }

    LineScan whole() const {
        LineScan s;
        s.lowest = int32_t(_mm512_reduce_min_epi64(lowest));
        s.highest = int32_t(_mm512_reduce_max_epi64(highest));
        s.special = special != 0;
        s.sum_squares = _mm512_reduce_add_pd(squares);
        return s;
    }
};

inline __mmask8 first(int64_t n) { return n >= 8 ? __mmask8(0xff) : __mmask8((1u << n) - 1); }

}  // namespace

void scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                LineScan* out) {
    if (by_rows) {
        for (int64_t r = 0; r < rows; ++r) {
            const double* x = b + r * ldb;
            // Two sets of lanes so that the sums of squares do not wait on each other.
            Lanes even, odd;
            int64_t k = 0;
            for (; k + 16 <= cols; k += 16) {
                even.add(_mm512_loadu_pd(x + k), 0xff);
                odd.add(_mm512_loadu_pd(x + k + 8), 0xff);
            }
            for (; k < cols; k += 8) {
                const __mmask8 live = first(cols - k);
                even.add(_mm512_maskz_loadu_pd(live, x + k), live);
            }
            const LineScan a = even.whole(), c = odd.whole();
            LineScan& s = out[r];
            s.lowest = a.lowest < c.lowest ? a.lowest : c.lowest;
            s.highest = a.highest > c.highest ? a.highest : c.highest;
            s.special = a.special || c.special;
            s.sum_squares = a.sum_squares + c.sum_squares;
        }
        return;
    }
    for (int64_t c0 = 0; c0 < cols; c0 += 8) {
        const __mmask8 live = first(cols - c0);
        Lanes lanes;
        for (int64_t r = 0; r < rows; ++r) lanes.add(_mm512_maskz_loadu_pd(live, b + r * ldb + c0), live);
        for (int i = 0; i < 8 && c0 + i < cols; ++i) out[c0 + i] = lanes.lane(i);
    }
}

}  // namespace vexa::avx512_vnni
