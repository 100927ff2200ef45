// The int8 fast path against the exact core, bit for bit, on inputs chosen to sit on the
// edges of its bounds: extreme residues, K at the int32 chunk edge, exponent spreads at
// the admitted width and beyond it, specials, signed zeros.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "exact/exact_core.h"
#include "fastpath_support.h"
#include "residue_lines.h"
#include "fastpath/int8_fastpath.h"
#include "kernel.h"
#include "vexa.h"
#include "support/workspace_pool.h"

namespace {

using vexa::GemmProblem;
namespace int8 = vexa::int8;

using namespace fastpath_test;

// One int8 entry's pieces, named for messages.
struct Ops {
    const char* name;
    const int8::Int8Ops* ops;
};
Ops ops_of(const EntryParam& p) { return {p.entry->id, p.entry->int8}; }
auto int8_entry = [](const vexa::registry::Entry& e) { return e.int8 != nullptr; };

class Int8FastPath : public EntryTest {};

TEST(Int8Moduli, PairwiseCoprimeAndMinimalForEveryBitCount) {
    const int* p;
    const int n = int8::modulus_list(&p);
    ASSERT_GE(n, int8::kMaxModuli);
    for (int i = 0; i < n; ++i) {
        EXPECT_LE(p[i], 256);
        EXPECT_GE(p[i], 2);
        for (int j = 0; j < i; ++j) EXPECT_EQ(std::gcd(p[i], p[j]), 1) << p[i] << " " << p[j];
    }
    for (int bits = 0; bits < 400; ++bits) {
        const int L = int8::moduli_for_bits(bits, int8::kMaxModuli);
        mpz_class P = 1, target;
        mpz_ui_pow_ui(target.get_mpz_t(), 2, unsigned(bits));
        int want = 0;
        for (int l = 0; l < int8::kMaxModuli; ++l) {
            P *= p[l];
            if (P >= target) {
                want = l + 1;
                break;
            }
        }
        EXPECT_EQ(L, want) << bits;
    }
}

TEST(Int8Window, LabelledLines) {
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct Case {
        const char* label;
        std::vector<double> x;
        int32_t shift, width;
        bool special;
    };
    const std::vector<Case> cases = {
        {"small integers", {1.0, -3.0, 0.0}, 0, 2, false},
        {"even integers", {4.0, 12.0}, 2, 2, false},
        {"binary fractions", {0.5, -0.75}, -2, 2, false},
        {"full significand", {1.0 + std::ldexp(1.0, -52)}, -52, 53, false},
        {"smallest subnormal", {tiny, -2 * tiny}, -1074, 2, false},
        {"subnormal to DBL_MAX", {tiny, std::numeric_limits<double>::max()}, -1074, 2098, false},
        {"all zero", {0.0, -0.0}, 0, 0, false},
        {"infinity", {1.0, -inf}, 0, 1, true},
        {"NaN", {std::nan("")}, 0, 0, true},
    };
    for (const Case& c : cases) {
        const int8::LineWindow w = int8::window_of(c.x.data(), 1, int64_t(c.x.size()));
        EXPECT_EQ(w.special, c.special) << c.label;
        EXPECT_EQ(w.width, c.width) << c.label;
        if (c.width) {
            EXPECT_EQ(w.shift, c.shift) << c.label;
        }
    }
}

// Residues at their largest: -1 is p - 1 (255 for 256) in A and 128 is -128 (256) or
// -127 (255) in B, so every int32 term is at its bound and a full chunk of them is
// within 2^31 only by the margin the chunk size leaves.
TEST_P(Int8FastPath, ExtremeResiduesOverAFullChunk) {
    for (int64_t K : {int8::kMaxChunk - 1, int8::kMaxChunk, int8::kMaxChunk + 1}) {
        Matrices m{6, 64, K, std::vector<double>(size_t(6 * K), -1.0),
                   std::vector<double>(size_t(K * 64), 128.0)};
        for (int64_t j = 0; j < 64; j += 2)
            for (int64_t k = 0; k < K; ++k) m.B[size_t(k * 64 + j)] = -128.0;
        // One 1 per column pins the column's scale at 2^0, so 128 stays 128.
        for (int64_t j = 0; j < 64; ++j) m.B[size_t(j)] = 1.0;
        int8::Int8Options opt = eager(GetParam());
        opt.chunk = int8::kMaxChunk;
        const Result r = run(m, GetParam(), opt, 2);
        expect_matches_exact_core(m, r, "extreme residues K=" + std::to_string(K));
        // The exact values are known here: -1 -+ 128 (K - 1).
        EXPECT_EQ(r.hi[0], 128.0 * double(K - 1) - 1.0);
        EXPECT_EQ(r.hi[1], -128.0 * double(K - 1) - 1.0);
    }
}

// The scans of each line against the frexp reference.
void expect_scans_of(const std::vector<std::vector<double>>& lines, const std::vector<int8::LineScan>& by_row,
                     const std::vector<int8::LineScan>& by_col, const char* name) {
    for (size_t i = 0; i < lines.size(); ++i) {
        int lowest = 1 << 20, highest = -(1 << 20);
        bool special = false;
        double squares = 0;
        for (double v : lines[i]) {
            if (!std::isfinite(v)) {
                special = true;
                continue;
            }
            squares += v * v;
            if (v == 0) continue;
            int e;
            const double f = std::frexp(std::fabs(v), &e);
            const uint64_t m = uint64_t(std::ldexp(f, 53));
            lowest = std::min(lowest, e - 53 + __builtin_ctzll(m));
            highest = std::max(highest, e - 1);
        }
        for (const int8::LineScan& got : {by_row[i], by_col[i]}) {
            EXPECT_EQ(got.special, special) << name << ", line " << i;
            if (special) continue;
            EXPECT_EQ(got.lowest, lowest) << name << ", line " << i;
            EXPECT_EQ(got.highest, highest) << name << ", line " << i;
            if (std::isinf(squares))
                EXPECT_TRUE(std::isinf(got.sum_squares)) << name << ", line " << i;
            else
                EXPECT_LE(std::fabs(got.sum_squares - squares), squares * 1e-14) << name << ", line " << i;
        }
    }
}

// Every implementation's line scans against a reference built on frexp: |x| = f 2^e with
// f in [0.5, 1), so f 2^53 is an integer whose lowest set bit sits at 2^(e - 53 + ctz).
class Int8Scans : public EntryTest {};

TEST_P(Int8Scans, OfRowsAndColumns) {
    const Ops o = ops_of(GetParam());
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    std::mt19937_64 rng(8);
    std::vector<std::vector<double>> lines = {
        {1.0, -3.0, 0.0}, {0.5, -0.75}, {1.0 + std::ldexp(1.0, -52)}, {tiny, -2 * tiny},
        {tiny, std::numeric_limits<double>::max()}, {0.0, -0.0}, {1.0, -inf}, {std::nan("")},
        {std::numeric_limits<double>::min(), -std::numeric_limits<double>::min() / 3}, {}};
    for (int n : {1, 7, 8, 9, 16, 17, 40}) {
        std::vector<double> x(static_cast<size_t>(n));
        for (double& v : x) {
            const uint64_t bits = rng();
            std::memcpy(&v, &bits, sizeof v);
            if (!std::isfinite(v) || rng() % 4 == 0) v = std::ldexp(double(rng() % 1000) - 500, int(rng() % 80) - 40);
        }
        lines.push_back(x);
    }
    const int64_t K = 45;  // every line padded with zeros to K, placed at an offset
    const int64_t count = int64_t(lines.size());
    std::vector<double> rows(size_t(count * K), 0.0), cols(size_t(K * count), 0.0);
    for (int64_t i = 0; i < count; ++i)
        for (size_t k = 0; k < lines[size_t(i)].size(); ++k) {
            const int64_t at = (int64_t(k) + i) % K;
            rows[size_t(i * K + at)] = lines[size_t(i)][k];
            cols[size_t(at * count + i)] = lines[size_t(i)][k];
        }
    std::vector<int8::LineScan> by_row(static_cast<size_t>(count)), by_col(static_cast<size_t>(count));
    o.ops->scan_lines(rows.data(), K, count, K, true, by_row.data());
    o.ops->scan_lines(cols.data(), count, K, count, false, by_col.data());
    expect_scans_of(lines, by_row, by_col, o.name);
}


// log2 of a positive integer, to double precision.
double log2_of(const mpz_class& v) {
    long e;
    const double d = mpz_get_d_2exp(&e, v.get_mpz_t());
    return double(e) + std::log2(d);
}

mpz_class modulus_product(int count) {
    const int* p;
    int8::modulus_list(&p);
    mpz_class P = 1;
    for (int l = 0; l < count; ++l) P *= p[l];
    return P;
}

// The moduli cover 2 * 2^log2_bound with the stated room, and one fewer would not.
TEST(Int8Moduli, AboveTwiceTheBound) {
    for (double b = -3.0; b < 380.0; b += 0.37) {
        const int L = int8::moduli_above_twice(b, int8::kMaxModuli);
        if (L == 0) {
            EXPECT_LE(log2_of(modulus_product(int8::kMaxModuli)), b + 1 + 1.0 / 512) << b;
            continue;
        }
        EXPECT_GT(log2_of(modulus_product(L)), b + 1 + 1.0 / 2048) << b;
        if (L > 1) EXPECT_LE(log2_of(modulus_product(L - 1)), b + 1 + 1.0 / 512) << b;
    }
}

// log2_norm bounds the Euclidean norm of the scaled integer line from above, and is close
// to it where the sum of squares neither overflows nor underflows.
TEST(Int8Window, NormBound) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct Line {
        const char* label;
        std::vector<double> x;
        bool tight;
    };
    std::vector<Line> lines = {
        {"one element", {-3.0}, true},
        {"equal elements", {5.0, 5.0, -5.0, 5.0}, true},
        {"subnormals only", {tiny, 3 * tiny, -2 * tiny}, false},
        {"near overflow", {1e300, -1e300, 3e299}, false},
        {"huge and tiny", {1e300, tiny}, false},
    };
    for (double scale : {1.0, 1e-150, 1e150, 1e-310}) {
        Line l{"random normal", std::vector<double>(300), scale == 1.0 || scale == 1e150};
        for (double& v : l.x) v = normal(rng) * scale;
        lines.push_back(l);
    }
    for (const Line& l : lines) {
        const int8::LineWindow w = int8::window_of(l.x.data(), 1, int64_t(l.x.size()));
        mpz_class sum = 0;
        for (double v : l.x) {
            if (v == 0) continue;
            int e;
            const double f = std::frexp(std::fabs(v), &e);
            mpz_class m = mpz_class(std::ldexp(f, 53)), sq;  // |v| = m * 2^(e - 53)
            const int up = e - 53 - w.shift;  // negative only over trailing zero bits of m
            if (up >= 0) mpz_mul_2exp(m.get_mpz_t(), m.get_mpz_t(), unsigned(up));
            else mpz_fdiv_q_2exp(m.get_mpz_t(), m.get_mpz_t(), unsigned(-up));
            sq = m * m;
            sum += sq;
        }
        const double truth = 0.5 * log2_of(sum);
        EXPECT_GE(w.log2_norm, truth) << l.label;
        EXPECT_LE(w.log2_norm, truth + (l.tight ? 1e-6 : 0.5 * std::log2(double(l.x.size())) + 1))
            << l.label;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Int8FastPath, ::testing::ValuesIn(entries_with_prefix("int8/")), param_name);

// Each ISA entry's residues and tile against the portable ones, byte for byte.
class Int8VectorPieces : public EntryTest {};
// A build without any ISA folder has no instances.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Int8VectorPieces);

TEST_P(Int8VectorPieces, MatchPortable) {
    const int8::Int8Ops& ops = *GetParam().entry->int8;
    std::mt19937_64 rng(3);
    std::normal_distribution<double> d;
    // The tile takes whole row groups only.
    const int64_t rows = GetParam().entry->layout.row_group, K = 37, kpad = 40;
    std::vector<double> a(size_t(rows * K)), b(size_t(K * 50));
    for (double& x : a) x = d(rng) * std::ldexp(1.0, int(rng() % 40) - 20);
    for (double& x : b) x = d(rng);
    int8::ResiduePlan plan;
    plan.count = 30;
    const int* p;
    int8::modulus_list(&p);
    plan.shift_limit = 200;
    std::vector<double> pow2(size_t(plan.count * plan.shift_limit));
    for (int l = 0; l < plan.count; ++l) {
        plan.moduli[l] = {p[l], double(p[l]), 1.0 / p[l]};
        mpz_class two = 1;
        for (int s = 0; s < plan.shift_limit; ++s, two *= 2)
            pow2[size_t(l * plan.shift_limit + s)] = double(mpz_class(two % p[l]).get_si());
    }
    plan.pow2 = pow2.data();
    std::vector<int32_t> row_shift(rows), col_shift(64);
    for (int64_t r = 0; r < rows; ++r) row_shift[size_t(r)] = int8::window_of(&a[size_t(r * K)], 1, K).shift;
    for (int64_t c = 0; c < 50; ++c) col_shift[size_t(c)] = int8::window_of(&b[size_t(c)], 50, K).shift;
    const int64_t a_stride = rows * kpad, b_stride = kpad * 64;
    std::vector<uint8_t> ra1(size_t(plan.count * a_stride)), ra2(ra1.size(), 7);
    std::vector<int8_t> rb1(size_t(plan.count * b_stride)), rb2(rb1.size(), 7);
    int8::kPortableOps.residues_a(plan, a.data(), K, rows, K, row_shift.data(), ra1.data(), kpad, a_stride);
    ops.residues_a(plan, a.data(), K, rows, K, row_shift.data(), ra2.data(), kpad, a_stride);
    EXPECT_EQ(ra1, ra2);
    int8::kPortableOps.residues_b_panel(plan, b.data(), 50, 50, K, kpad, col_shift.data(), rb1.data(), b_stride);
    ops.residues_b_panel(plan, b.data(), 50, 50, K, kpad, col_shift.data(), rb2.data(), b_stride);
    EXPECT_EQ(rb1, rb2);
    for (int l = 0; l < plan.count; ++l) {
        std::vector<uint8_t> acc1(size_t(rows * 64)), acc2;
        for (size_t e = 0; e < acc1.size(); ++e) acc1[e] = uint8_t(e % size_t(p[l]));
        acc2 = acc1;
        for (bool accumulate : {true, false}) {
            int8::kPortableOps.tile(plan.moduli[l], &ra1[size_t(l * a_stride)], kpad, int(rows),
                                    &rb1[size_t(l * b_stride)], 50, kpad, acc1.data(), 64, accumulate);
            ops.tile(plan.moduli[l], &ra1[size_t(l * a_stride)], kpad, int(rows), &rb1[size_t(l * b_stride)], 50,
                     kpad, acc2.data(), 64, accumulate);
            EXPECT_EQ(acc1, acc2) << "modulus " << p[l] << ", accumulate " << accumulate;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, Int8VectorPieces,
                         ::testing::ValuesIn(entries_where([](const vexa::registry::Entry& e) { return e.int8 && e.native; })),
                         param_name);

// ---- The residue pieces against GMP, on lines built to a chosen integer width ----

int8::ResiduePlan residue_plan(const std::vector<int>& moduli, int shift_limit, std::vector<double>& pow2) {
    int8::ResiduePlan plan;
    plan.count = int(moduli.size());
    plan.shift_limit = shift_limit;
    pow2.assign(moduli.size() * size_t(shift_limit), 0.0);
    for (size_t l = 0; l < moduli.size(); ++l) {
        const int p = moduli[l];
        plan.moduli[l] = {p, double(p), 1.0 / p};
        for (int t = 0; t < shift_limit; ++t) {
            mpz_class v;
            mpz_ui_pow_ui(v.get_mpz_t(), 2, static_cast<unsigned long>(t));
            pow2[l * size_t(shift_limit) + size_t(t)] = double(mpz_class(v % p).get_si());
        }
    }
    plan.pow2 = pow2.data();
    return plan;
}
// Rows of A, one per line (a line of width 0 is a zero row), over k_count with rows padded to
// row_stride and each modulus's rows `modulus_gap` bytes past the last one's; the NaNs past
// k_count must not be read. Both kernels against GMP, every byte of the output.
void check_residues_a(const Ops& o, const std::vector<int>& moduli, const std::vector<Line>& lines, int64_t k_count,
                      int64_t row_stride, std::mt19937_64& rng, const std::string& what,
                      int64_t modulus_gap = 0) {
    const int64_t rows = int64_t(lines.size()), lda = k_count + 3;
    std::vector<double> a(size_t(rows * lda), std::numeric_limits<double>::quiet_NaN());
    std::vector<int32_t> shift(static_cast<size_t>(rows));
    int widest = 1;
    for (int64_t r = 0; r < rows; ++r) {
        const Line& line = lines[size_t(r)];
        shift[size_t(r)] = line.shift;
        if (line.width <= 0) {
            std::fill_n(a.begin() + r * lda, k_count, 0.0);
            continue;
        }
        const std::vector<double> x = line_of_width(line.width, line.shift, k_count, rng);
        std::copy(x.begin(), x.end(), a.begin() + r * lda);
        widest = std::max(widest, line.width);
    }
    std::vector<double> pow2;
    const int8::ResiduePlan plan = residue_plan(moduli, widest + 1, pow2);
    const int64_t modulus_stride = rows * row_stride + modulus_gap;
    std::vector<uint8_t> expected(size_t(plan.count * modulus_stride), 0xa5);
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t k = 0; k < row_stride; ++k) {
            const bool zero = k >= k_count || lines[size_t(r)].width <= 0;
            const mpz_class v = zero ? mpz_class(0) : scaled_integer(a[size_t(r * lda + k)], shift[size_t(r)]);
            for (int l = 0; l < plan.count; ++l)
                expected[size_t(l * modulus_stride + r * row_stride + k)] = uint8_t(residue_of(v, moduli[size_t(l)]));
        }
    AlignedBuffer<uint8_t> out(expected.size(), 0xa5);
    o.ops->residues_a(plan, a.data(), lda, rows, k_count, shift.data(), out.data(),
                      row_stride, modulus_stride);
    for (size_t e = 0; e < expected.size(); ++e)
        if (out[e] != expected[e]) {
            const int64_t l = int64_t(e) / modulus_stride, r = int64_t(e) % modulus_stride / row_stride;
            ADD_FAILURE() << what << ", " << o.name << ": A residue mod " << moduli[size_t(l)] << " of row " << r
                          << " (width " << lines[size_t(r)].width << "), k " << int64_t(e) % row_stride
                          << ": " << int(out[e]) << " instead of " << int(expected[e]);
            break;
        }
}

// One panel of B, one column per line (lines past the panel width are ignored, columns
// past `lines` are padding), over k_count rows padded to k_padded. Side by side from column
// 0, or, `moved`, scattered over a wider matrix in no order and read through
// residues_b_columns; every other element is infinite (the largest double where the
// columns are moved, which a stray gather turns into a wrong residue, not a crash). Each
// modulus's panel starts `modulus_gap` bytes past the last one's end.
void check_residues_b(const Ops& o, const std::vector<int>& moduli, const std::vector<Line>& lines, int64_t k_count,
                      int64_t k_padded, std::mt19937_64& rng, const std::string& what, bool moved = false,
                      int64_t modulus_gap = 0) {
    const int64_t cols = std::min<int64_t>(int64_t(lines.size()), int8::kPanelWidth);
    const int64_t ldb = moved ? 3 * int8::kPanelWidth + 1 : int8::kPanelWidth + 5;
    std::vector<int64_t> at(static_cast<size_t>(ldb));
    std::iota(at.begin(), at.end(), int64_t(0));
    if (moved) std::shuffle(at.begin(), at.end(), rng);
    at.resize(size_t(cols));
    std::vector<double> b(size_t(k_count * ldb),
                          moved ? -std::numeric_limits<double>::max() : std::numeric_limits<double>::infinity());
    std::vector<int32_t> shift(size_t(int8::kPanelWidth), 0);
    int widest = 1;
    for (int64_t c = 0; c < cols; ++c) {
        const Line& line = lines[size_t(c)];
        shift[size_t(c)] = line.shift;
        if (line.width <= 0) {
            for (int64_t k = 0; k < k_count; ++k) b[size_t(k * ldb + at[size_t(c)])] = 0.0;
            continue;
        }
        const std::vector<double> x = line_of_width(line.width, line.shift, k_count, rng);
        for (int64_t k = 0; k < k_count; ++k) b[size_t(k * ldb + at[size_t(c)])] = x[size_t(k)];
        widest = std::max(widest, line.width);
    }
    std::vector<double> pow2;
    const int8::ResiduePlan plan = residue_plan(moduli, widest + 1, pow2);
    const int64_t panel_bytes = k_padded * int8::kPanelWidth, modulus_stride = panel_bytes + modulus_gap;
    std::vector<int8_t> expected(size_t(plan.count * modulus_stride), int8_t(0x5a));
    for (int l = 0; l < plan.count; ++l) std::fill_n(expected.begin() + l * modulus_stride, panel_bytes, int8_t(0));
    for (int64_t c = 0; c < cols; ++c)
        for (int64_t k = 0; k < k_count && lines[size_t(c)].width > 0; ++k) {
            const mpz_class v = scaled_integer(b[size_t(k * ldb + at[size_t(c)])], shift[size_t(c)]);
            for (int l = 0; l < plan.count; ++l) {
                const int p = moduli[size_t(l)];
                int r = residue_of(v, p);
                if (r >= (p + 1) / 2) r -= p;  // the symmetric range
                expected[size_t(l * modulus_stride + (k / 4) * 4 * int8::kPanelWidth + c * 4 + k % 4)] = int8_t(r);
            }
        }
    AlignedBuffer<int8_t> out(expected.size(), int8_t(0x5a));
    if (moved)
        o.ops->residues_b_columns(plan, b.data(), ldb, at.data(), cols, k_count, k_padded, shift.data(), out.data(),
                                  modulus_stride);
    else
        o.ops->residues_b_panel(plan, b.data(), ldb, cols, k_count, k_padded, shift.data(), out.data(),
                                modulus_stride);
    for (size_t e = 0; e < expected.size(); ++e)
        if (out[e] != expected[e]) {
            const int64_t l = int64_t(e) / modulus_stride, at = int64_t(e) % modulus_stride;
            const int64_t c = at % (4 * int8::kPanelWidth) / 4;
            ADD_FAILURE() << what << (moved ? " (moved columns)" : "") << ", " << o.name << ": B residue mod " << moduli[size_t(l)] << " of column "
                          << c << ", k " << at / (4 * int8::kPanelWidth) * 4 + at % 4 << ": " << int(out[e])
                          << " instead of " << int(expected[e]);
            break;
        }
}

std::vector<int> first_moduli(int count) {
    const int* p;
    int8::modulus_list(&p);
    return std::vector<int>(p, p + count);
}

// Widths on both sides of every change in the digit layout (8-bit digits, four to a
// dword, two dwords to a 64-bit limb), up to the widest the digits take and past it.
const std::vector<int> kEdgeWidths = {1,   2,   7,   8,   9,   31,  32,  33,   53,   54,   63,   64,  65,
                                      95,  96,  97,  127, 128, 129, 160, 191,  192,  193,  255,  256, 257,
                                      370, 511, 512, 513, 700, 1023, 1024, 1025, 1500, 2000};

// The residue pieces of every int8 entry against GMP.
class Int8ResiduePieces : public EntryTest {};

TEST_P(Int8ResiduePieces, EdgeWidthsAgainstGmp) {
    const Ops o = ops_of(GetParam());
    std::mt19937_64 rng(11);
    std::vector<Line> lines;
    for (int w : kEdgeWidths) lines.push_back({w, shift_for_width(w, rng)});
    lines.push_back({0, 0});                 // excluded
    lines.push_back({60, -1074});            // subnormals and the smallest normals
    lines.push_back({53, 1024 - 53});        // up to the largest doubles
    lines.push_back({2000, -1074});          // the full exponent range in one line
    std::shuffle(lines.begin(), lines.end(), rng);
    for (int64_t k_count : {1, 7, 9, 64, 67, 130}) {
        const std::string what = "K " + std::to_string(k_count);
        check_residues_a(o, first_moduli(int8::kMaxModuli), lines, k_count, (k_count + 3) / 4 * 4 + (k_count % 2) * 8, rng, what);
        for (bool moved : {false, true})
            check_residues_b(o, first_moduli(int8::kMaxModuli), lines, k_count,
                             (k_count + 3) / 4 * 4 + (k_count % 2) * 4, rng, what, moved);
    }
}

TEST_P(Int8ResiduePieces, EveryModulusCount) {
    const Ops o = ops_of(GetParam());
    std::mt19937_64 rng(12);
    for (int count = 1; count <= int8::kMaxModuli; ++count) {
        std::vector<Line> lines;
        for (int i = 0; i < 7; ++i) {
            const int w = 1 + int(rng() % 140);
            lines.push_back({i == 3 ? 0 : w, shift_for_width(w, rng)});
        }
        const std::string what = std::to_string(count) + " moduli";
        check_residues_a(o, first_moduli(count), lines, 45, 52, rng, what);
        for (bool moved : {false, true}) check_residues_b(o, first_moduli(count), lines, 45, 48, rng, what, moved);
    }
}

// Moduli below 32, and the even ones below 256, take other paths through the reduction.
TEST_P(Int8ResiduePieces, SmallAndEvenModuli) {
    const Ops o = ops_of(GetParam());
    std::mt19937_64 rng(13);
    std::vector<Line> lines;
    for (int w : {5, 33, 64, 96, 128, 129, 300}) lines.push_back({w, shift_for_width(w, rng)});
    for (const std::vector<int>& moduli :
         {std::vector<int>{256, 31, 29, 23, 19, 17, 13, 11, 7, 5, 3}, std::vector<int>{2, 3, 5},
          std::vector<int>{254, 253, 251}, std::vector<int>{128, 255}, std::vector<int>{33, 32, 31}}) {
        std::string what = "moduli";
        for (int p : moduli) what += " " + std::to_string(p);
        check_residues_a(o, moduli, lines, 70, 72, rng, what);
        for (bool moved : {false, true}) check_residues_b(o, moduli, lines, 70, 72, rng, what, moved);
    }
}

// A full panel of columns of assorted widths, and a block of rows whose widest elements
// fall in different 64-element blocks.
TEST_P(Int8ResiduePieces, FullPanelsAndLongRows) {
    const Ops o = ops_of(GetParam());
    std::mt19937_64 rng(14);
    std::vector<Line> lines;
    for (int c = 0; c < int8::kPanelWidth; ++c) {
        const int w = c % 9 == 4 ? 0 : 1 + int(rng() % 110);
        lines.push_back({w, shift_for_width(std::max(w, 1), rng)});
    }
    for (bool moved : {false, true}) check_residues_b(o, first_moduli(21), lines, 257, 260, rng, "full panel", moved);
    lines.resize(12);
    check_residues_a(o, first_moduli(21), lines, 1000, 1000, rng, "long rows");
}

// Residue blocks of many megabytes, as large products have, are stored otherwise than
// small ones; the moduli's blocks here are spread that far apart, with 64-byte aligned
// starts and ragged ends, and the gaps between them must stay untouched.
TEST_P(Int8ResiduePieces, BlocksSpreadOverMegabytes) {
    const Ops o = ops_of(GetParam());
    std::mt19937_64 rng(15);
    std::vector<Line> lines;
    for (int c = 0; c < int8::kPanelWidth; ++c) {
        const int w = 1 + int(rng() % 120);
        lines.push_back({w, shift_for_width(w, rng)});
    }
    const int64_t gap = (int64_t(1) << 20) + 64;
    for (bool moved : {false, true})
        check_residues_b(o, first_moduli(21), lines, 130, 132, rng, "spread panels", moved, gap);
    lines.resize(9);
    check_residues_a(o, first_moduli(21), lines, 300, 320, rng, "spread rows", gap);
    check_residues_a(o, first_moduli(21), lines, 300, 300, rng, "spread ragged rows", gap + 8);
}

INSTANTIATE_TEST_SUITE_P(Entries, Int8Scans, ::testing::ValuesIn(entries_where(int8_entry)), param_name);
INSTANTIATE_TEST_SUITE_P(Entries, Int8ResiduePieces, ::testing::ValuesIn(entries_where(int8_entry)), param_name);

}  // namespace
