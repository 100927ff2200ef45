// AVX2 scans for the fast path's planning: the lowest and highest set bits and the sum of
// squares of each row of A and each column of B, four elements per vector.
//
// Each lane keeps three running values, as the AVX-512 folder's common pass does:
// - the largest magnitude as an integer (sign cleared, so a signed compare orders it),
//   whose exponent (or leading bit, for a subnormal) is the highest bit, and which is at
//   least inf's pattern when an inf or NaN is there;
// - the smallest key of a nonzero element, (E' + t + 1023) << 52 less 2^63 so that a
//   signed compare orders it, E' its biased exponent (1 for a subnormal) and t the trailing
//   zeros of its significand: with bit 52 set under the fraction, x & -x isolates 2^t
//   (t <= 52), which 2^52's bits plus 2^t, less 2^52, turn into a double exactly;
// - the sum of squares, by a multiply-add per element.
// A line with an inf or NaN is rare and is scanned again by the portable code, which
// leaves those elements out of its bits. Only integer operations and exact conversions
// give the bits, so a caller's flush-to-zero or denormals-are-zero mode cannot change them.
#include <immintrin.h>

#include <cstdint>

#include "fastpath/planning.h"
#include "kernels/avx2/avx2_pieces.h"

namespace vexa::avx2 {
namespace {

using fast::LineScan;

inline __m256i splat(int64_t v) { return _mm256_set1_epi64x(v); }

constexpr int64_t kHidden = int64_t(1) << 52;
constexpr int64_t kExponent = int64_t(0x7ff) << 52;
constexpr int64_t kMagnitude = ~(int64_t(1) << 63);
constexpr int64_t kNoKey = INT64_MAX;
// Subtracted from every key: 2^63, which keeps the keys (below 2^64) in the signed range.
constexpr uint64_t kKeyOffset = uint64_t(1) << 63;

inline __m256i max64(__m256i a, __m256i b) { return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(b, a)); }
inline __m256i min64(__m256i a, __m256i b) { return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(a, b)); }

struct Lanes {
    __m256i top = _mm256_setzero_si256();
    __m256i key = splat(kNoKey);
    __m256d squares = _mm256_setzero_pd();

    void add(__m256d x) {
        squares = _mm256_fmadd_pd(x, x, squares);
        const __m256i bits = _mm256_castpd_si256(x);
        const __m256i magnitude = _mm256_and_si256(bits, splat(kMagnitude));
        top = max64(top, magnitude);
        const __m256i marked = _mm256_or_si256(bits, splat(kHidden));
        const __m256i isolated = _mm256_and_si256(marked, _mm256_sub_epi64(_mm256_setzero_si256(), marked));
        const __m256d two52 = _mm256_set1_pd(4503599627370496.0);
        const __m256i power = _mm256_castpd_si256(
            _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(isolated, _mm256_castpd_si256(two52))), two52));
        // The exponent fields are multiples of 2^52 below 2^63: as pairs of 32-bit halves
        // the high ones alone differ, and they are positive.
        const __m256i exponent = _mm256_max_epi32(_mm256_and_si256(bits, splat(kExponent)), splat(kHidden));
        const __m256i k = _mm256_add_epi64(_mm256_add_epi64(exponent, power), splat(int64_t(kKeyOffset)));
        const __m256i zero = _mm256_cmpeq_epi64(magnitude, _mm256_setzero_si256());
        key = min64(key, _mm256_blendv_epi8(k, splat(kNoKey), zero));
    }
};

// A line's bits from its largest magnitude and smallest key; false when it holds an inf or
// NaN (the caller scans it again exactly).
inline bool decode(int64_t top, int64_t key, LineScan& s) {
    if (top >= kExponent) return false;
    if (top != 0) {
        const int biased = int(top >> 52);
        s.highest = biased ? biased - 1023 : 63 - __builtin_clzll(uint64_t(top)) - 1074;
        s.lowest = int32_t((uint64_t(key) + kKeyOffset) >> 52) - 2098;
    }
    s.special = false;
    return true;
}

double sum_of(__m256d v) {
    alignas(32) double d[4];
    _mm256_store_pd(d, v);
    return (d[0] + d[1]) + (d[2] + d[3]);
}

void quick_row(const double* x, int64_t cols, LineScan& s) {
    Lanes even, odd;
    int64_t k = 0;
    for (; k + 8 <= cols; k += 8) {
        even.add(_mm256_loadu_pd(x + k));
        odd.add(_mm256_loadu_pd(x + k + 4));
    }
    alignas(32) int64_t top[8], key[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(top), even.top);
    _mm256_store_si256(reinterpret_cast<__m256i*>(top + 4), odd.top);
    _mm256_store_si256(reinterpret_cast<__m256i*>(key), even.key);
    _mm256_store_si256(reinterpret_cast<__m256i*>(key + 4), odd.key);
    int64_t t = 0, m = kNoKey;
    for (int i = 0; i < 8; ++i) {
        t = top[i] > t ? top[i] : t;
        m = key[i] < m ? key[i] : m;
    }
    fast::WindowScan tail;
    tail.add_run(x + k, cols - k);
    if (!decode(t, m, s) || tail.special) {
        fast::WindowScan whole;
        whole.add_run(x, cols);
        s = whole;
        return;
    }
    s.lowest = tail.lowest < s.lowest ? tail.lowest : s.lowest;
    s.highest = tail.highest > s.highest ? tail.highest : s.highest;
    s.sum_squares = (sum_of(even.squares) + sum_of(odd.squares)) + tail.sum_squares;
}

// Column c of the strip again, element by element: for a column with an inf or NaN.
LineScan portable_column(const double* b, int64_t ldb, int64_t rows) {
    fast::WindowScan s;
    for (int64_t r = 0; r < rows; ++r) s.add(b[r * ldb]);
    return s;
}

// Up to kMax strips of four columns side by side, walked down the rows together: each row
// is read in one stretch of up to kMax * 32 bytes (the strips' running values stay in L1)
// rather than a strip at a time with a stride of a whole row of B per load. `width` is a
// multiple of four.
template <int64_t kMax>
void quick_strips(const double* b, int64_t ldb, int64_t rows, int64_t width, LineScan* out) {
    const int64_t strips = width / 4;
    Lanes q[kMax];
    for (int64_t r = 0; r < rows; ++r) {
        const double* row = b + r * ldb;
        for (int64_t g = 0; g < strips; ++g) q[g].add(_mm256_loadu_pd(row + 4 * g));
    }
    for (int64_t g = 0; g < strips; ++g) {
        alignas(32) int64_t top[4], key[4];
        alignas(32) double squares[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(top), q[g].top);
        _mm256_store_si256(reinterpret_cast<__m256i*>(key), q[g].key);
        _mm256_store_pd(squares, q[g].squares);
        for (int64_t i = 0; i < 4; ++i) {
            LineScan& s = out[4 * g + i];
            if (decode(top[i], key[i], s))
                s.sum_squares = squares[i];
            else
                s = portable_column(b + 4 * g + i, ldb, rows);
        }
    }
}

}  // namespace

void scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows, LineScan* out) {
    if (by_rows) {
        for (int64_t r = 0; r < rows; ++r) quick_row(b + r * ldb, cols, out[r] = LineScan{});
        return;
    }
    constexpr int64_t kStrips = 64;
    const int64_t whole = cols / 4 * 4;
    for (int64_t c0 = 0; c0 < whole; c0 += 4 * kStrips) {
        const int64_t width = whole - c0 < 4 * kStrips ? whole - c0 : 4 * kStrips;
        LineScan* o = out + c0;
        for (int64_t c = 0; c < width; ++c) o[c] = LineScan{};
        quick_strips<kStrips>(b + c0, ldb, rows, width, o);
    }
    for (int64_t c = whole; c < cols; ++c) out[c] = portable_column(b + c, ldb, rows);
}

}  // namespace vexa::avx2
