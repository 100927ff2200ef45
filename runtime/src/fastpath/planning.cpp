#include "fastpath/planning.h"

#include <cstring>
#include <limits>

#include "support/bits.h"
#include "support/wide_int.h"

namespace vexa::fast {

// Four interleaved partial sums of squares, so the additions do not wait on each other.
// Any order of summation keeps the error bound of norm_bound.
void WindowScan::add_run(const double* x, int64_t count) {
    double partial[4] = {0, 0, 0, 0};
    int64_t k = 0;
    for (; k + 4 <= count; k += 4)
        for (int u = 0; u < 4; ++u) {
            partial[u] += x[k + u] * x[k + u];
            add_bits(x[k + u]);
        }
    for (; k < count; ++k) {
        partial[0] += x[k] * x[k];
        add_bits(x[k]);
    }
    sum_squares += (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

void WindowScan::add_bits(double v) {
    const uint64_t bits = bits::of(v);
    const int biased = int((bits >> 52) & 0x7ff);
    const uint64_t frac = bits & ((uint64_t(1) << 52) - 1);
    if (biased == 0x7ff) {
        special = true;
        return;
    }
    if (biased == 0 && frac == 0) return;
    const uint64_t m = biased ? (frac | (uint64_t(1) << 52)) : frac;
    const int e = biased ? biased - 1075 : -1074;
    lowest = std::min(lowest, e + wide::trailing_zeros(m));
    highest = std::max(highest, e + 63 - wide::leading_zeros(m));
}

LineWindow WindowScan::window(int64_t count, double log2_count) const {
    LineWindow w;
    w.special = special;
    if (highest >= lowest) {
        w.shift = lowest;
        w.width = highest - lowest + 1;
        w.log2_norm = norm_bound(count, log2_count, w);
    }
    return w;
}

// Two bounds, the smaller wins:
// - every scaled element is below 2^width, so the norm is below sqrt(count) * 2^width;
// - from the sum of squares s computed in double: a sum of n products rounded to
//   nearest is within gamma_n = n u / (1 - n u) (u = 2^-53) of the true sum when no
//   underflow occurs, below 2^-21 for n < 2^31; each product or sum that lands in the
//   subnormal range adds at most 2^-1075 more. So the true sum is at most
//   s (1 + 2^-20) + n 2^-1074, and the norm at most the square root of that. The bound
//   is only used when s is finite (no overflow) and n < 2^31. A contracted
//   multiply-add rounds once where the plain form rounds twice: the bound covers both.
// log2 and the final sum are rounded, with errors far below the 2^-30 added to each.
double WindowScan::norm_bound(int64_t count, double log2_count, const LineWindow& w) const {
    constexpr double kSlack = 1.0 / (1 << 30);
    const double by_width = double(w.width) + 0.5 * log2_count + kSlack;
    if (!(sum_squares < std::numeric_limits<double>::infinity()) || count >= (int64_t(1) << 31))
        return by_width;
    // The subnormal term matters only for a tiny sum: from 2^-900 up, n 2^-1074 < 2^-1043 is
    // below half an ulp of the sum (rounding to nearest leaves it unchanged), and below the
    // 2^-21 s the relative margin leaves over gamma_n in any case. Left out there, it costs
    // no microcode assist for a subnormal product (a few hundred cycles a line on x86).
    const double scaled = sum_squares * (1.0 + 1.0 / (1 << 20));
    const double sum_up =
        scaled >= 0x1p-900 ? scaled : scaled + double(count) * std::numeric_limits<double>::denorm_min();
    const double by_sum = 0.5 * std::log2(sum_up) - double(w.shift) + kSlack;
    return std::min(by_width, by_sum);
}

LineWindow window_of(const double* x, int64_t stride, int64_t count) {
    WindowScan scan;
    if (stride == 1) {
        scan.add_run(x, count);
    } else {
        for (int64_t k = 0; k < count; ++k) scan.add(x[k * stride]);
    }
    return scan.window(count);
}

void portable_scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                         LineScan* out) {
    if (by_rows) {
        for (int64_t r = 0; r < rows; ++r) {
            WindowScan scan;
            scan.add_run(b + r * ldb, cols);
            out[r] = scan;
        }
        return;
    }
    // Row by row of the block, so that B is read along its rows, 2 KiB of a row at a time:
    // narrower blocks visit a page per row for a few cache lines, and at n = 2048 every
    // row of a 64-column block cost a TLB miss (3x the time of a row scan).
    constexpr int64_t kColumns = 256;
    for (int64_t c0 = 0; c0 < cols; c0 += kColumns) {
        const int64_t width = std::min(kColumns, cols - c0);
        WindowScan scans[kColumns];
        for (int64_t k = 0; k < rows; ++k) {
            const double* row = b + k * ldb + c0;
            for (int64_t c = 0; c < width; ++c) scans[c].add(row[c]);
        }
        for (int64_t c = 0; c < width; ++c) out[c0 + c] = scans[c];
    }
}

ModulusLadder::ModulusLadder(const ModulusList& list, int max_moduli)
    : limit_(std::max(0, std::min(std::min(max_moduli, kMaxModuli), list.count))) {
    double log2_p = 0;
    for (int l = 0; l < limit_; ++l) {
        log2_p += std::log2(double(list.p[l]));
        log2_p_[l] = log2_p;
    }
}

int moduli_above_twice(const ModulusList& list, double log2_bound, int max_moduli) {
    return ModulusLadder(list, max_moduli).needed(log2_bound);
}

WidthCensus census(const std::vector<LineWindow>& windows) {
    WidthCensus c;
    int32_t top = 0;
    for (const LineWindow& w : windows) if (!w.special) top = std::max(top, w.width);
    std::vector<int64_t> count(size_t(top) + 1, 0);
    std::vector<double> norm(size_t(top) + 1, -std::numeric_limits<double>::infinity());
    for (const LineWindow& w : windows)
        if (!w.special) {
            ++count[size_t(w.width)];
            norm[size_t(w.width)] = std::max(norm[size_t(w.width)], w.log2_norm);
        }
    c.at_most.resize(count.size());
    c.norm_at_most.resize(count.size());
    int64_t run = 0;
    double largest = -std::numeric_limits<double>::infinity();
    for (size_t w = 0; w < count.size(); ++w) {
        run += count[w];
        c.at_most[w] = run;
        largest = std::max(largest, norm[w]);
        c.norm_at_most[w] = largest;
        if (count[w]) c.distinct.push_back(int32_t(w));
    }
    c.lines = int64_t(windows.size());
    return c;
}

ModulusChoice choose_moduli(const WidthCensus& rows, const WidthCensus& cols, int64_t M,
                            int64_t N, int64_t K, const ModulusList& list, const Options& opt,
                            CountScope scope) {
    const ModulusLadder ladder(list, std::max(1, opt.max_moduli));
    const double mnk = double(M) * double(N) * double(K);
    ModulusChoice best;
    double best_cost = opt.exact_cost_ratio * mnk;
    // Per pair, the lines sorted by their bounds meet in row groups and panels that take
    // the count their own bounds need, so admitting a wide line costs the moduli it adds
    // to its own elements, not to all of them. weighted[j] holds the sum over the admitted
    // row and column widths so far (rows up to the current one, columns up to j) of lines
    // x lines x count: the modulus-products the admitted elements take.
    std::vector<double> weighted(cols.distinct.size(), 0.0);
    // The bounds grow with both widths (norm_at_most is a running maximum), and so do the
    // counts: each search starts at the count of the last smaller bound.
    int first_count = 1;
    int64_t rows_below = 0;
    for (int32_t wa : rows.distinct) {
        const double ex_a = double(rows.lines - rows.at_most[size_t(wa)]);
        const double rows_here = double(rows.at_most[size_t(wa)] - rows_below);
        rows_below = rows.at_most[size_t(wa)];
        int from = first_count;
        double along = 0.0;  // this row width against the column widths up to wb
        int64_t cols_below = 0;
        for (size_t j = 0; j < cols.distinct.size(); ++j) {
            const int32_t wb = cols.distinct[j];
            // By Cauchy-Schwarz every admitted |x_ij| is at most ||a_i|| ||b_j|| on the
            // scaled integers, below 2^(norm_a + norm_b) with the per-line bounds of
            // WindowScan::norm_bound.
            const double log2_bound = rows.norm_at_most[size_t(wa)] + cols.norm_at_most[size_t(wb)];
            const int count = ladder.needed(log2_bound, from);
            if (j == 0) first_count = std::max(1, count);
            if (count == 0) break;
            from = count;
            along += double(cols.at_most[size_t(wb)] - cols_below) * count;
            cols_below = cols.at_most[size_t(wb)];
            weighted[j] += rows_here * along;
            const double ex_b = double(cols.lines - cols.at_most[size_t(wb)]);
            const double excluded = ex_a * double(N) + ex_b * double(M) - ex_a * ex_b;
            // Residues, reduction and reassembly grow with the count too; 16 products'
            // worth per output element and modulus is a fair estimate.
            const double products =
                scope == CountScope::kPerPair ? weighted[j] : double(count) * double(M) * double(N);
            const double cost = products * double(K + 16) + count * 4.0 * double(K) * double(M + N) +
                                opt.exact_cost_ratio * double(K) * excluded;
            if (cost < best_cost) {
                best_cost = cost;
                best.cap_a = wa;
                best.cap_b = wb;
                best.count = count;
            }
        }
    }
    return best;
}

}  // namespace vexa::fast
