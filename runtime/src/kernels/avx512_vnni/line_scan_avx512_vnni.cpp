// AVX-512 scans for the fast path's planning: the lowest and highest set bits and the sum
// of squares of each row of A and each column of B, eight elements per vector.
// Built with AVX-512 flags; nothing here runs unless the registry found VNNI.
//
// The common pass keeps three running values per lane, a dozen instructions per vector:
// - the largest magnitude as an unsigned integer, whose exponent (or leading bit, for a
//   subnormal) is the highest bit, and which is at least inf's pattern when an inf or NaN
//   is there;
// - the smallest key (E' + t + 1023) << 52 of a nonzero element, E' its biased exponent
//   (1 for a subnormal) and t the trailing zeros of its significand, so the lowest bit is
//   E' + t - 1075: with bit 52 set under the fraction, x & -x isolates 2^t (t <= 52), whose
//   exact conversion to double carries t + 1023 in its exponent field;
// - the sum of squares, by a multiply-add per element in the line's own order.
// A line with an inf or NaN is rare and goes through the exact per-lane pass again, which
// leaves those elements out of its bits. The bits come from integer operations and exact
// conversions of integers of at least 1, so a caller's flush-to-zero or denormals-are-zero
// mode cannot change them (a floating-point lowest-bit trick would save three instructions
// but lose subnormals there).
#include <immintrin.h>

#include <cstdint>

#include "kernels/avx512_vnni/avx512_vnni_pieces.h"

namespace vexa::avx512_vnni {
namespace {

inline __m512i splat(int64_t v) { return _mm512_set1_epi64(v); }

constexpr int64_t kHidden = int64_t(1) << 52;
constexpr int64_t kExponent = int64_t(0x7ff) << 52;
constexpr int64_t kMagnitude = ~(int64_t(1) << 63);
constexpr uint64_t kNoKey = ~uint64_t(0);

// floor(log2 v) per lane for 0 < v < 2^53.
inline __m512i log2_floor(__m512i v) {
    const __m512i bits = _mm512_castpd_si512(_mm512_cvtepu64_pd(v));
    return _mm512_sub_epi64(_mm512_srli_epi64(bits, 52), splat(1023));
}

// The exact pass: every lane's bits with the inf and NaN lanes left out.
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
        const __m512i fraction = _mm512_and_si512(bits, splat(kHidden - 1));
        const __mmask8 non_finite = _mm512_cmpeq_epi64_mask(biased, splat(0x7ff));
        special |= live & non_finite;
        const __mmask8 normal = _mm512_test_epi64_mask(biased, biased);
        // A double is m * 2^e: m the significand with its hidden bit (below 2^53), or the
        // bare fraction of a subnormal with e = -1074.
        const __m512i m = _mm512_mask_or_epi64(fraction, normal, fraction, splat(kHidden));
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

// The common pass (see the top of the file). Zero lanes change nothing but the sums,
// which gain +0.
struct Quick {
    __m512i top = _mm512_setzero_si512();
    __m512i key = _mm512_set1_epi64(int64_t(kNoKey));
    __m512d squares = _mm512_setzero_pd();

    void add(__m512d x) {
        squares = _mm512_fmadd_pd(x, x, squares);
        const __m512i bits = _mm512_castpd_si512(x);
        top = _mm512_max_epu64(top, _mm512_and_si512(bits, splat(kMagnitude)));
        const __m512i marked = _mm512_or_si512(bits, splat(kHidden));
        const __m512i isolated = _mm512_and_si512(marked, _mm512_sub_epi64(_mm512_setzero_si512(), marked));
        const __m512i exponent = _mm512_max_epu64(_mm512_and_si512(bits, splat(kExponent)), splat(kHidden));
        const __m512i k = _mm512_add_epi64(exponent, _mm512_castpd_si512(_mm512_cvtepu64_pd(isolated)));
        key = _mm512_mask_min_epu64(key, _mm512_test_epi64_mask(bits, splat(kMagnitude)), key, k);
    }
};

// A line's bits from its largest magnitude and smallest key; false when it holds an inf or
// NaN (the caller scans it again exactly).
inline bool decode(uint64_t top, uint64_t key, LineScan& s) {
    if (top >= uint64_t(kExponent)) return false;
    if (top != 0) {
        const int biased = int(top >> 52);
        s.highest = biased ? biased - 1023 : 63 - __builtin_clzll(top) - 1074;
        s.lowest = int32_t(key >> 52) - 2098;
    }
    s.special = false;
    return true;
}

inline __mmask8 first(int64_t n) { return n >= 8 ? __mmask8(0xff) : __mmask8((1u << n) - 1); }

void exact_row(const double* x, int64_t cols, LineScan& s) {
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
    s.lowest = a.lowest < c.lowest ? a.lowest : c.lowest;
    s.highest = a.highest > c.highest ? a.highest : c.highest;
    s.special = a.special || c.special;
    s.sum_squares = a.sum_squares + c.sum_squares;
}

// Summed exactly as exact_row sums (the same lanes, the same reductions), so a row's sum
// does not depend on which pass made it.
void quick_row(const double* x, int64_t cols, LineScan& s) {
    Quick even, odd;
    int64_t k = 0;
    for (; k + 16 <= cols; k += 16) {
        even.add(_mm512_loadu_pd(x + k));
        odd.add(_mm512_loadu_pd(x + k + 8));
    }
    for (; k < cols; k += 8) even.add(_mm512_maskz_loadu_pd(first(cols - k), x + k));
    alignas(64) uint64_t top[16], key[16];
    _mm512_store_si512(top, even.top);
    _mm512_store_si512(top + 8, odd.top);
    _mm512_store_si512(key, even.key);
    _mm512_store_si512(key + 8, odd.key);
    uint64_t t = 0, m = kNoKey;
    for (int i = 0; i < 16; ++i) {
        t = top[i] > t ? top[i] : t;
        m = key[i] < m ? key[i] : m;
    }
    if (!decode(t, m, s)) return exact_row(x, cols, s);
    s.sum_squares = _mm512_reduce_add_pd(even.squares) + _mm512_reduce_add_pd(odd.squares);
}

void exact_strip(const double* b, int64_t ldb, int64_t rows, int64_t width, LineScan* out) {
    const __mmask8 live = first(width);
    Lanes lanes;
    for (int64_t r = 0; r < rows; ++r) lanes.add(_mm512_maskz_loadu_pd(live, b + r * ldb), live);
    for (int i = 0; i < width; ++i) out[i] = lanes.lane(i);
}

// Up to kMax strips of eight columns side by side, walked down the rows together: each row
// is read in one stretch of up to kMax * 64 bytes (the strips' running values stay in L1)
// rather than a strip at a time with a stride of a whole row of B per load. Each column
// sums its squares in row order, as exact_strip does.
template <int64_t kMax>
void quick_strips(const double* b, int64_t ldb, int64_t rows, int64_t width, LineScan* out) {
    const int64_t strips = (width + 7) / 8;
    const __mmask8 tail = first(width - 8 * (strips - 1));
    Quick q[kMax];
    // Four rows per visit of a strip's running values: a quarter of their loads and stores.
    constexpr int64_t kRows = 4;
    int64_t r = 0;
    for (; r + kRows <= rows; r += kRows) {
        const double* row = b + r * ldb;
        int64_t g = 0;
        for (; g + 1 < strips; ++g) {
            Quick s = q[g];
            for (int64_t u = 0; u < kRows; ++u) s.add(_mm512_loadu_pd(row + u * ldb + 8 * g));
            q[g] = s;
        }
        Quick s = q[g];
        for (int64_t u = 0; u < kRows; ++u) s.add(_mm512_maskz_loadu_pd(tail, row + u * ldb + 8 * g));
        q[g] = s;
    }
    for (; r < rows; ++r) {
        const double* row = b + r * ldb;
        int64_t g = 0;
        for (; g + 1 < strips; ++g) q[g].add(_mm512_loadu_pd(row + 8 * g));
        q[g].add(_mm512_maskz_loadu_pd(tail, row + 8 * g));
    }
    for (int64_t g = 0; g < strips; ++g) {
        alignas(64) uint64_t top[8], key[8];
        alignas(64) double squares[8];
        _mm512_store_si512(top, q[g].top);
        _mm512_store_si512(key, q[g].key);
        _mm512_store_pd(squares, q[g].squares);
        const int64_t n = width - 8 * g < 8 ? width - 8 * g : 8;
        bool exact = true;
        for (int64_t i = 0; i < n && exact; ++i) {
            exact = decode(top[i], key[i], out[8 * g + i]);
            out[8 * g + i].sum_squares = squares[i];
        }
        if (!exact) exact_strip(b + 8 * g, ldb, rows, n, out + 8 * g);
    }
}

}  // namespace

void scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                LineScan* out) {
    if (by_rows) {
        for (int64_t r = 0; r < rows; ++r) quick_row(b + r * ldb, cols, out[r] = LineScan{});
        return;
    }
    constexpr int64_t kStrips = 32;
    for (int64_t c0 = 0; c0 < cols; c0 += 8 * kStrips) {
        const int64_t width = cols - c0 < 8 * kStrips ? cols - c0 : 8 * kStrips;
        LineScan* o = out + c0;
        for (int64_t c = 0; c < width; ++c) o[c] = LineScan{};
        quick_strips<kStrips>(b + c0, ldb, rows, width, o);
    }
}

}  // namespace vexa::avx512_vnni
