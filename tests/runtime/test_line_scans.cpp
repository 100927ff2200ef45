// Every entry's line scans (rows of A, columns of B) against a per-element reference made
// here from frexp and ctz, and their sums of squares and norm bounds against GMP: a
// labelled table of edge doubles, lines mixing them at every lane position, and shapes
// whose column counts are no multiple of a vector, with strides wider than the lines and
// poison (NaN) in between that a scan must not read.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fastpath/int16_engine.h"
#include "fastpath/int8_fastpath.h"
#include "fastpath/planning.h"
#include "fastpath_support.h"

namespace {

using namespace fastpath_test;
using vexa::fast::LineScan;
using Scan = void (*)(const double*, int64_t, int64_t, int64_t, bool, LineScan*);

Scan scan_of(const EntryParam& p) {
    return p.entry->int8 ? p.entry->int8->scan_lines : p.entry->int16->scan_lines;
}

constexpr int32_t kNoLowest = 1 << 20, kNoHighest = -(1 << 20);
const double kInf = std::numeric_limits<double>::infinity();
const double kTiny = std::numeric_limits<double>::denorm_min();
const double kMax = std::numeric_limits<double>::max();
const double kMin = std::numeric_limits<double>::min();

double from_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// The reference: |v| = f 2^e with f in [0.5, 1), so f 2^53 is an integer m and the lowest
// set bit of v sits at 2^(e - 53 + ctz m), the highest at 2^(e - 1).
struct Expected {
    int32_t lowest = kNoLowest, highest = kNoHighest;
    bool special = false;
};
Expected reference(const std::vector<double>& line) {
    Expected x;
    for (double v : line) {
        if (std::isnan(v) || std::isinf(v)) {
            x.special = true;
            continue;
        }
        if (v == 0) continue;
        int e;
        const double f = std::frexp(std::fabs(v), &e);
        const auto m = uint64_t(std::ldexp(f, 53));
        x.lowest = std::min(x.lowest, int32_t(e - 53 + __builtin_ctzll(m)));
        x.highest = std::max(x.highest, int32_t(e - 1));
    }
    return x;
}

mpq_class exact_square_sum(const std::vector<double>& line) {
    mpq_class s = 0;
    for (double v : line) {
        const mpq_class q(v);
        s += q * q;
    }
    return s;
}

// The bits, and a sum of squares within what any order of summation in double may give:
// |s - sum| <= 2^-20 sum + n 2^-1074 (the norm bound's own allowance), or inf only where
// the sum comes within that of the largest double.
void expect_scan(const std::vector<double>& line, const LineScan& got, const std::string& where) {
    const Expected want = reference(line);
    EXPECT_EQ(got.special, want.special) << where;
    EXPECT_EQ(got.lowest, want.lowest) << where;
    EXPECT_EQ(got.highest, want.highest) << where;
    if (want.special) return;
    const mpq_class sum = exact_square_sum(line);
    const mpq_class margin = sum / (1 << 20) + mpq_class(kTiny) * mpq_class(double(line.size()));
    if (std::isinf(got.sum_squares)) {
        EXPECT_GE(sum + margin, mpq_class(kMax)) << where << ": the sum overflowed early";
        return;
    }
    ASSERT_TRUE(std::isfinite(got.sum_squares)) << where;
    const mpq_class s(got.sum_squares);
    EXPECT_LE(s, sum + margin) << where << ": sum of squares " << got.sum_squares;
    EXPECT_GE(s, sum - margin) << where << ": sum of squares " << got.sum_squares;
}

// The lines as rows (stride ld_rows) and as columns (stride ld_cols >= count), scanned by
// both modes; the gaps hold NaN.
void check_lines(Scan scan, const std::vector<std::vector<double>>& lines, int64_t length, int64_t row_pad,
                 int64_t col_pad, const std::string& what) {
    const int64_t count = int64_t(lines.size()), ld_rows = length + row_pad, ld_cols = count + col_pad;
    const double poison = std::nan("");
    std::vector<double> rows(size_t(count * ld_rows + 1), poison), cols(size_t(length * ld_cols + 1), poison);
    for (int64_t i = 0; i < count; ++i)
        for (int64_t k = 0; k < length; ++k) {
            rows[size_t(i * ld_rows + k)] = lines[size_t(i)][size_t(k)];
            cols[size_t(k * ld_cols + i)] = lines[size_t(i)][size_t(k)];
        }
    // One entry past the end, so that a scan writing beyond the lines shows.
    std::vector<LineScan> by_row(size_t(count + 1)), by_col(size_t(count + 1));
    LineScan canary;
    canary.lowest = 77;
    by_row[size_t(count)] = by_col[size_t(count)] = canary;
    scan(rows.data(), ld_rows, count, length, true, by_row.data());
    scan(cols.data(), ld_cols, length, count, false, by_col.data());
    EXPECT_EQ(by_row[size_t(count)].lowest, 77) << what << ": rows written past the end";
    EXPECT_EQ(by_col[size_t(count)].lowest, 77) << what << ": columns written past the end";
    for (int64_t i = 0; i < count; ++i) {
        const std::string at = what + ", line " + std::to_string(i);
        expect_scan(lines[size_t(i)], by_row[size_t(i)], at + " as a row");
        expect_scan(lines[size_t(i)], by_col[size_t(i)], at + " as a column");
    }
}

struct Edge {
    const char* label;
    double value;
    int32_t lowest, highest;  // worked out by hand
    bool special;
};
const std::vector<Edge>& edges() {
    static const std::vector<Edge> table = {
        {"+0", 0.0, kNoLowest, kNoHighest, false},
        {"-0", -0.0, kNoLowest, kNoHighest, false},
        {"2^-1074", kTiny, -1074, -1074, false},
        {"-3 * 2^-1074", -3 * kTiny, -1074, -1073, false},
        {"5 * 2^-1072", 20 * kTiny, -1072, -1070, false},
        {"largest subnormal", kMin - kTiny, -1074, -1023, false},
        {"2^-1023 (subnormal)", kMin / 2, -1023, -1023, false},
        {"DBL_MIN", kMin, -1022, -1022, false},
        {"-(DBL_MIN + 2^-1074)", -(kMin + kTiny), -1074, -1022, false},
        {"1", 1.0, 0, 0, false},
        {"-1.5", -1.5, -1, 0, false},
        {"1 + 2^-52", 1.0 + std::ldexp(1.0, -52), -52, 0, false},
        {"2^52 + 1", 4503599627370497.0, 0, 52, false},
        {"-2^53 * 3", -27021597764222976.0, 53, 54, false},
        {"0.1", 0.1, -55, -4, false},
        {"2^1023", std::ldexp(1.0, 1023), 1023, 1023, false},
        {"DBL_MAX", kMax, 971, 1023, false},
        {"-DBL_MAX", -kMax, 971, 1023, false},
        {"+inf", kInf, kNoLowest, kNoHighest, true},
        {"-inf", -kInf, kNoLowest, kNoHighest, true},
        {"quiet NaN", std::nan(""), kNoLowest, kNoHighest, true},
        {"-NaN", -std::nan(""), kNoLowest, kNoHighest, true},
        {"signalling NaN", from_bits(0x7ff0000000000001ull), kNoLowest, kNoHighest, true},
        {"NaN, all fraction bits", from_bits(0xffffffffffffffffull), kNoLowest, kNoHighest, true},
    };
    return table;
}

class LineScans : public EntryTest {};

// Each edge double alone among zeros, at every position of a line of 19 (so at every lane
// of a vector and in the tail), in 19 lines side by side.
TEST_P(LineScans, EachEdgeDoubleAtEveryPosition) {
    const Scan scan = scan_of(GetParam());
    for (const Edge& e : edges()) {
        std::vector<std::vector<double>> lines;
        for (int at = 0; at < 19; ++at) {
            lines.emplace_back(19, 0.0);
            lines.back()[size_t(at)] = e.value;
        }
        // The table against the reference first, so that both are checked.
        const Expected ref = reference(lines[0]);
        EXPECT_EQ(ref.lowest, e.lowest) << e.label;
        EXPECT_EQ(ref.highest, e.highest) << e.label;
        EXPECT_EQ(ref.special, e.special) << e.label;
        check_lines(scan, lines, 19, 3, 5, e.label);
    }
}

// Pairs of edge doubles in one line: the finite one's bits whatever the other is, inf and
// NaN included (a line's bits are those of its finite elements).
TEST_P(LineScans, PairsOfEdgeDoubles) {
    const Scan scan = scan_of(GetParam());
    std::vector<std::vector<double>> lines;
    for (const Edge& a : edges())
        for (const Edge& b : edges()) {
            std::vector<double> line(11, 0.0);
            line[size_t(lines.size() % 11)] = a.value;
            line[size_t((lines.size() * 7 + 3) % 11)] += b.value;  // may land on a's spot
            lines.push_back(line);
        }
    check_lines(scan, lines, 11, 0, 1, "pairs");
}

// Random doubles of every exponent, some edges and sparse specials, over shapes around the
// vector width and the scans' blocks, strides beyond the lines.
TEST_P(LineScans, OddShapesAndStrides) {
    const Scan scan = scan_of(GetParam());
    std::mt19937_64 rng(41);
    const std::vector<Edge>& table = edges();
    auto element = [&]() -> double {
        const uint64_t pick = rng() % 16;
        if (pick < 2) return 0.0;
        if (pick < 3) return table[size_t(rng() % table.size())].value;
        const double v = from_bits(rng());
        if (std::isnan(v) || std::isinf(v)) return 1.0;
        // Half the time a narrow-exponent value, as most data are.
        return pick < 9 ? v : std::ldexp(double(int64_t(rng() % 2001) - 1000), int(rng() % 61) - 30);
    };
    struct Shape {
        int64_t count, length, row_pad, col_pad;
    };
    const std::vector<Shape> shapes = {{1, 1, 0, 0},    {1, 40, 0, 3},   {40, 1, 2, 0},   {7, 5, 1, 1},
                                       {8, 16, 0, 0},   {9, 17, 5, 7},   {15, 33, 1, 9},  {17, 2, 0, 64},
                                       {31, 9, 3, 1},   {33, 12, 0, 31}, {64, 3, 1, 0},   {255, 4, 0, 1},
                                       {257, 6, 2, 3},  {300, 5, 7, 100}, {520, 3, 0, 8}};
    for (const Shape& s : shapes)
        for (bool with_specials : {false, true}) {
            std::vector<std::vector<double>> lines(size_t(s.count), std::vector<double>(size_t(s.length)));
            for (auto& line : lines)
                for (double& v : line) {
                    v = element();
                    if (!with_specials && (std::isnan(v) || std::isinf(v))) v = -2.0;
                }
            if (with_specials) lines[size_t(s.count / 2)][size_t(rng() % uint64_t(s.length))] = -kInf;
            check_lines(scan, lines, s.length, s.row_pad, s.col_pad,
                        std::to_string(s.count) + " lines of " + std::to_string(s.length) +
                            (with_specials ? " with specials" : ""));
        }
}

// No lines, or lines of no elements: nothing read, nothing but the empty scans written.
TEST_P(LineScans, EmptyLines) {
    const Scan scan = scan_of(GetParam());
    const double poison = std::nan("");
    LineScan out[3];
    scan(&poison, 1, 3, 0, true, out);
    scan(&poison, 3, 0, 3, false, out);  // three columns of no elements
    for (const LineScan& s : out) {
        EXPECT_FALSE(s.special);
        EXPECT_EQ(s.lowest, kNoLowest);
        EXPECT_EQ(s.highest, kNoHighest);
        EXPECT_EQ(s.sum_squares, 0.0);
    }
}

// The norm bound of each line's window, from the entry's scan, above the exact norm of the
// line's scaled integers (GMP), on lines whose squares underflow, sit at the size where
// the bound's subnormal allowance stops counting, or overflow.
TEST_P(LineScans, NormBoundsHoldFromEachScan) {
    const Scan scan = scan_of(GetParam());
    std::mt19937_64 rng(7);
    auto line_of = [&](int64_t n, int exponent, bool wide) {
        std::vector<double> line(static_cast<size_t>(n));
        for (double& v : line) v = std::ldexp(1.0 + double(rng() % 8) / 8, exponent) * (rng() % 2 ? 1 : -1);
        if (wide) line[0] = std::ldexp(1.0 + std::ldexp(1.0, -52), exponent);  // 53 bits: the width bound loses
        return line;
    };
    struct Case {
        int n, exponent;
        bool wide;
    };
    std::vector<Case> cases;
    for (int n : {1, 9, 100})
        for (int exponent : {-1070, -600, -540, -520, -452, -450, -448, -300, 0, 400, 508, 511, 1000})
            for (bool wide : {false, true}) cases.push_back({n, exponent, wide});
    for (const Case& c : cases) {
        const int n = c.n, exponent = c.exponent;
        const std::vector<double> line = line_of(n, exponent, c.wide);
        LineScan as_row, as_col[1];
        scan(line.data(), n, 1, n, true, &as_row);
        scan(line.data(), 1, n, 1, false, as_col);
        const Expected ref = reference(line);
        mpz_class square_norm = 0;  // of the integers v 2^-lowest
        for (double v : line) {
            mpq_class q(v);
            if (ref.lowest >= 0) q /= mpq_class(mpz_class(1) << mp_bitcnt_t(ref.lowest));
            else q *= mpq_class(mpz_class(1) << mp_bitcnt_t(-ref.lowest));
            ASSERT_EQ(q.get_den(), 1);
            square_norm += q.get_num() * q.get_num();
        }
        long e;
        const double d = mpz_get_d_2exp(&e, square_norm.get_mpz_t());
        const double log2_norm = 0.5 * (double(e) + std::log2(d));
        for (const LineScan& s : {as_row, as_col[0]}) {
            const vexa::fast::LineWindow w = vexa::fast::WindowScan(s).window(n);
            const std::string where = std::to_string(n) + " elements near 2^" + std::to_string(ref.highest);
            EXPECT_EQ(w.shift, ref.lowest) << where;
            EXPECT_EQ(w.width, ref.highest - ref.lowest + 1) << where;
            EXPECT_GE(w.log2_norm, log2_norm) << where;
            // Not loose either where no square underflows: within a bit and a half of the
            // truth, where the width bound alone is off by 50 bits on the wide lines.
            if (exponent > -500) EXPECT_LE(w.log2_norm, log2_norm + 1.5) << where;
        }
    }
}

auto scanning_entry = [](const vexa::registry::Entry& e) { return e.int8 != nullptr || e.int16 != nullptr; };
INSTANTIATE_TEST_SUITE_P(Entries, LineScans, ::testing::ValuesIn(entries_where(scanning_entry)), param_name);

}  // namespace
