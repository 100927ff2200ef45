// The fast path's planning: integer windows of lines, their norm bounds, and how many
// moduli a bound needs. Baseline code only (no ISA file includes it).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fastpath/fastpath.h"

namespace vexa::fast {

// Running lowest set bit and highest bit of the nonzero finite elements of a line.
struct WindowScan : LineScan {
    WindowScan() = default;
    explicit WindowScan(const LineScan& scan) : LineScan(scan) {}
    void add(double v) {
        sum_squares += v * v;
        add_bits(v);
    }
    // A contiguous run, with interleaved partial sums of squares.
    void add_run(const double* x, int64_t count);
    void add_bits(double v);
    LineWindow window(int64_t count) const { return window(count, std::log2(double(count))); }
    // With log2(count) made once for many lines of one length.
    LineWindow window(int64_t count, double log2_count) const;
    // log2 of an upper bound on the Euclidean norm of the scaled line x * 2^-shift.
    double norm_bound(int64_t count, double log2_count, const LineWindow& w) const;
};

// log2 of the modulus products P_1 < P_2 < ... of the first moduli of a list, for repeated
// look-ups of the count a bound needs (see moduli_above_twice).
class ModulusLadder {
public:
    ModulusLadder(const ModulusList& list, int max_moduli);
    // The sum of up to 40 logarithms is off by far less than 2^-30; the margin of 2^-10
    // keeps P >= 2^(2^-10) * 2 * bound even so, which leaves the CRT quotient its slack.
    int needed(double log2_bound) const { return needed(log2_bound, 1); }
    // The same where the answer is known to be at least `from` (>= 1): a bound no smaller
    // than one that needed `from` moduli.
    int needed(double log2_bound, int from) const {
        constexpr double kMargin = 1.0 / 1024;
        for (int l = from - 1; l < limit_; ++l)
            if (log2_p_[l] > log2_bound + 1.0 + kMargin) return l + 1;
        return 0;
    }

private:
    int limit_;
    double log2_p_[kMaxModuli] = {};
};

struct ModulusChoice {
    int32_t cap_a = -1, cap_b = -1;  // widths admitted; -1: nothing goes through the CRT
    int count = 0;
};

// Histogram of the widths of the non-special lines; specials are counted apart.
struct WidthCensus {
    std::vector<int64_t> at_most;      // at_most[w]: lines of width <= w (non-special)
    std::vector<double> norm_at_most;  // largest log2_norm of those lines (-inf if none)
    int64_t lines = 0;                 // all lines, specials included
    std::vector<int32_t> distinct;     // widths that occur, ascending
};
WidthCensus census(const std::vector<LineWindow>& windows);

// Whether the engine gives each row group and panel pair the count its own lines need
// (the CPU driver, its lines sorted by their bounds) or every element the largest count
// (the GPU engine: one batched product over all moduli).
enum class CountScope { kPerPair, kWhole };

// Picks the admitted widths by a cost model: each admitted element costs one integer
// product per modulus it takes, each excluded line costs its elements in the exact core.
// Any choice is exact; this only decides speed.
ModulusChoice choose_moduli(const WidthCensus& rows, const WidthCensus& cols, int64_t M,
                            int64_t N, int64_t K, const ModulusList& list, const Options& opt,
                            CountScope scope);

}  // namespace vexa::fast
