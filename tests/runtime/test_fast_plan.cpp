// The fast path's plans, made and checked without running them: each row group and panel
// pair's modulus count against GMP norms of its lines, the admitted and excluded lines
// against windows worked out here, the blocking against the workspace target. For the
// layout of every engine.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fastpath/fast_plan.h"
#include "vexa.h"

namespace {

using vexa::fast::EngineLayout;
using vexa::fast::FastPlan;

struct LayoutParam {
    const char* name;
    EngineLayout (*layout)();
};
void PrintTo(const LayoutParam& p, std::ostream* os) { *os << p.name; }

class PlanOf : public ::testing::TestWithParam<LayoutParam> {};

struct Operands {
    int64_t M, N, K;
    std::vector<double> A, B;
    vexa::GemmProblem problem() const {
        return vexa::GemmProblem{A.data(), B.data(), nullptr, nullptr, nullptr, M, N, K};
    }
};

// Rows and columns whose magnitudes vary by up to 2^±20, so that the sorted groups and
// panels need different counts.
Operands graded(int64_t M, int64_t N, int64_t K, uint32_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> d;
    Operands o{M, N, K, std::vector<double>(size_t(M * K)), std::vector<double>(size_t(K * N))};
    for (int64_t i = 0; i < M; ++i) {
        const double scale = std::ldexp(1.0, int(gen() % 41) - 20);
        for (int64_t k = 0; k < K; ++k) o.A[size_t(i * K + k)] = d(gen) * scale;
    }
    for (int64_t j = 0; j < N; ++j) {
        const double scale = std::ldexp(1.0, int(gen() % 41) - 20);
        for (int64_t k = 0; k < K; ++k) o.B[size_t(k * N + j)] = d(gen) * scale;
    }
    return o;
}

vexa::fast::Options eager() {
    vexa::fast::Options o;
    o.min_work = 0;
    o.min_side = 0;
    o.min_cols = o.min_outputs = o.min_depth = 0;
    // Columns sorted wherever that spares a modulus, so that small operands take the
    // sorted paths too.
    o.sort_gain = 0;
    return o;
}

// A line's elements as exact integers times 2^shift, shift the lowest set bit of any of them.
struct Line {
    bool special = false;
    int64_t shift = 0, width = 0;
    mpz_class square_norm;  // of the integers
};

Line line_of(const double* x, int64_t stride, int64_t count) {
    Line line;
    int64_t lowest = std::numeric_limits<int64_t>::max(), highest = std::numeric_limits<int64_t>::min();
    for (int64_t k = 0; k < count; ++k) {
        const double v = x[k * stride];
        if (!std::isfinite(v)) line.special = true;
        if (!std::isfinite(v) || v == 0) continue;
        int e;
        const double f = std::frexp(std::fabs(v), &e);
        const auto m = int64_t(std::ldexp(f, 53));  // |v| = m * 2^(e - 53)
        lowest = std::min<int64_t>(lowest, e - 53 + __builtin_ctzll(uint64_t(m)));
        highest = std::max<int64_t>(highest, e - 1);
    }
    if (highest < lowest) return line;
    line.shift = lowest;
    line.width = highest - lowest + 1;
    for (int64_t k = 0; k < count; ++k) {
        const double v = x[k * stride];
        if (!std::isfinite(v) || v == 0) continue;
        int e;
        const double f = std::frexp(std::fabs(v), &e);
        mpz_class m = mpz_class(std::to_string(int64_t(std::ldexp(f, 53))));
        const int64_t s = e - 53 - lowest;  // m has at least -s trailing zeros when negative
        if (s >= 0) m <<= mp_bitcnt_t(s);
        else m >>= mp_bitcnt_t(-s);
        line.square_norm += m * m;
    }
    return line;
}

std::vector<Line> rows_of(const Operands& o) {
    std::vector<Line> v;
    for (int64_t i = 0; i < o.M; ++i) v.push_back(line_of(&o.A[size_t(i * o.K)], 1, o.K));
    return v;
}
std::vector<Line> cols_of(const Operands& o) {
    std::vector<Line> v;
    for (int64_t j = 0; j < o.N; ++j) v.push_back(line_of(&o.B[size_t(j)], o.N, o.K));
    return v;
}

// The product of the first `count` moduli of the layout's list.
mpz_class modulus_product(const EngineLayout& e, int count) {
    mpz_class P = 1;
    for (int l = 0; l < count; ++l) P *= e.moduli.p[l];
    return P;
}

double log2_of(const mpz_class& v) {
    if (v == 0) return -std::numeric_limits<double>::infinity();
    long e;
    const double d = mpz_get_d_2exp(&e, v.get_mpz_t());
    return double(e) + std::log2(d);
}

// Every pair's count is enough for the Cauchy-Schwarz bound of its lines (P^2 > 4 |a|^2 |b|^2),
// and one fewer would not be, to within the slack of a bound computed in double.
TEST_P(PlanOf, EachPairCountCoversItsLinesAndNoMore) {
    const EngineLayout e = GetParam().layout();
    const Operands o = graded(100, 150, 37, 5);
    const FastPlan p = vexa::fast::plan(o.problem(), e, eager(), 2);
    ASSERT_TRUE(p.fast);
    ASSERT_TRUE(p.excluded_rows.empty() && p.excluded_cols.empty());
    const std::vector<Line> rows = rows_of(o), cols = cols_of(o);
    std::vector<mpz_class> group_sq(size_t(p.groups)), panel_sq(size_t(p.panels));
    for (size_t r = 0; r < p.row_order.size(); ++r) {
        const Line& line = rows[size_t(p.row_order[r])];
        EXPECT_EQ(p.row_shift[size_t(p.row_order[r])], line.shift);
        mpz_class& g = group_sq[r / size_t(e.row_group)];
        g = std::max(g, line.square_norm);
    }
    for (size_t c = 0; c < p.col_order.size(); ++c) {
        const Line& line = cols[size_t(p.col_order[c])];
        EXPECT_EQ(p.sorted_col_shift[c], line.shift);
        mpz_class& q = panel_sq[c / size_t(e.panel_width)];
        q = std::max(q, line.square_norm);
    }
    int most = 0;
    double total = 0;
    for (int64_t g = 0; g < p.groups; ++g)
        for (int64_t q = 0; q < p.panels; ++q) {
            const int c = p.count_at(g, q);
            const mpz_class four_ab = 4 * group_sq[size_t(g)] * panel_sq[size_t(q)];
            const mpz_class P = modulus_product(e, c), fewer = modulus_product(e, c - 1);
            EXPECT_GT(P * P, four_ab) << "group " << g << " panel " << q;
            EXPECT_LE(2 * log2_of(fewer), log2_of(four_ab) + 1.0 / 64) << "group " << g << " panel " << q;
            most = std::max(most, c);
            total += c;
        }
    EXPECT_EQ(p.moduli, most);
    EXPECT_EQ(p.choice.count, most);
    EXPECT_DOUBLE_EQ(p.average_moduli, total / double(p.groups * p.panels));
    for (int c = 1; c <= p.moduli; ++c) EXPECT_EQ(p.crt[c].count, c);
    // The sorting by norm pays: the counts are not all the widest pair's.
    EXPECT_LT(p.average_moduli, double(p.moduli));
}

// Columns are sorted only where that spares enough moduli: with sort_gain g (0 for engines
// whose residues are not bytes), where the least counts GMP finds for the pairs total more
// than g / K per pair less with the columns sorted within their blocks than in index order. Each case's plan must give every pair a
// count that covers its lines (GMP norms, the panel's largest whichever order it has).
struct OrderCase {
    const char* name;
    int64_t N, K;
    int band;  // 0: graded columns; otherwise odd integers whose norms differ by under 2^-8, scrambled
};

TEST_P(PlanOf, ColumnsSortedOnlyWhereThatSparesEnoughModuli) {
    const EngineLayout e = GetParam().layout();
    const int64_t w = e.panel_width;
    const OrderCase cases[] = {
        {"one band, scrambled", 5 * w + 3, 29, 1},
        {"graded", 5 * w + 3, 29, 0},
        {"graded, one panel", w - 3, 29, 0},
        {"graded, long K", 3 * w + 3, 2000, 0},
    };
    for (const OrderCase& oc : cases)
        for (const double gain : {0.0, vexa::fast::Options().sort_gain}) {
            const std::string what = std::string(oc.name) + ", gain " + std::to_string(gain);
            Operands o = graded(40, oc.N, oc.K, 17);
            for (int64_t j = 0; j < o.N; ++j)
                for (int64_t k = 0; k < o.K; ++k) {
                    double& b = o.B[size_t(k * o.N + j)];
                    if (oc.band)
                        b = double(((1 + k % 7) << 20) + 1 + (k ? 0 : 2 * (j * 37) % o.N)) * ((k + j) % 3 ? 1 : -1);
                    else if (oc.K > 100)  // integers 2 to 42 bits wide: a line's shift takes out powers of two
                        b = std::nearbyint(std::ldexp(b, 1 + int((j * 13) % 41) - std::ilogb(b + 0.0) - 1));
                }
            vexa::fast::Options opt = eager();
            opt.sort_gain = gain;
            const FastPlan p = vexa::fast::plan(o.problem(), e, opt, 2);
            ASSERT_TRUE(p.fast) << what;
            ASSERT_TRUE(p.excluded_cols.empty()) << what;
            const std::vector<Line> rows = rows_of(o), cols = cols_of(o);
            std::vector<mpz_class> group_sq(size_t(p.groups));
            for (size_t r = 0; r < p.row_order.size(); ++r) {
                mpz_class& g = group_sq[r / size_t(e.row_group)];
                g = std::max(g, rows[size_t(p.row_order[r])].square_norm);
            }
            // The least count for each pair of a column order, by GMP, and their total.
            auto least_total = [&](const std::vector<int64_t>& order) {
                std::vector<mpz_class> panel_sq(size_t((o.N + w - 1) / w));
                for (size_t c = 0; c < order.size(); ++c) {
                    mpz_class& q = panel_sq[c / size_t(w)];
                    q = std::max(q, cols[size_t(order[c])].square_norm);
                }
                int64_t total = 0;
                for (const mpz_class& g : group_sq)
                    for (const mpz_class& q : panel_sq) {
                        int c = 1;
                        while (modulus_product(e, c) * modulus_product(e, c) <= 4 * g * q) ++c;
                        total += c;
                    }
                return total;
            };
            std::vector<int64_t> index(size_t(o.N)), sorted(size_t(o.N));
            std::iota(index.begin(), index.end(), 0);
            sorted = index;
            for (int64_t n0 = 0; n0 < o.N; n0 += p.Nb)
                std::stable_sort(sorted.begin() + n0, sorted.begin() + std::min(o.N, n0 + p.Nb),
                                 [&](int64_t a, int64_t b) { return cols[size_t(a)].square_norm < cols[size_t(b)].square_norm; });
            ASSERT_NE(sorted, index) << what << ": sorting would move the columns";
            const int64_t spared = least_total(index) - least_total(sorted);
            // The gain holds for engines with byte residues; the others sort wherever it spares.
            const double own_gain = e.residue_a_bytes == 1 ? gain : 0.0;
            const bool pays = double(spared) * double(o.K) > own_gain * double(p.groups * p.panels);
            // Which cases pay, so that both outcomes are seen at both gains.
            EXPECT_EQ(pays, spared > 0 && (own_gain == 0 || oc.K > 100)) << what;
            EXPECT_EQ(spared > 0, oc.band == 0 && oc.N > w) << what;
            EXPECT_EQ(p.columns_moved, pays) << what;
            if (!pays) {
                EXPECT_EQ(p.col_order, index) << what;
                EXPECT_EQ(p.panel_in_place, std::vector<uint8_t>(size_t(p.panels), 1)) << what;
            }
            // Every pair's count covers its lines, with the panel's largest column wherever it is.
            std::vector<mpz_class> panel_sq(size_t(p.panels));
            for (size_t c = 0; c < p.col_order.size(); ++c) {
                EXPECT_EQ(p.sorted_col_shift[c], cols[size_t(p.col_order[c])].shift) << what;
                mpz_class& q = panel_sq[c / size_t(w)];
                q = std::max(q, cols[size_t(p.col_order[c])].square_norm);
            }
            for (int64_t g = 0; g < p.groups; ++g)
                for (int64_t q = 0; q < p.panels; ++q) {
                    const mpz_class P = modulus_product(e, p.count_at(g, q));
                    EXPECT_GT(P * P, 4 * group_sq[size_t(g)] * panel_sq[size_t(q)]) << what << ", group " << g << " panel " << q;
                }
        }
}

// Lines with an inf or NaN, and lines no modulus count can hold, leave; no other does when
// the exact core is made dear.
TEST_P(PlanOf, ExcludesSpecialAndUnholdableLinesOnly) {
    const EngineLayout e = GetParam().layout();
    Operands o = graded(40, 90, 30, 9);
    o.A[size_t(2 * o.K + 4)] = std::numeric_limits<double>::quiet_NaN();
    o.A[size_t(5 * o.K)] = -std::numeric_limits<double>::infinity();
    for (int64_t i : {10, 11})
        for (int64_t k = 0; k < o.K; ++k) o.A[size_t(i * o.K + k)] = std::ldexp(1.0 + k, k % 2 ? -900 : 900);
    for (int64_t k = 0; k < o.K; ++k) o.B[size_t(k * o.N + 3)] = std::ldexp(-1.0, k % 2 ? -700 : 700);
    o.B[size_t(6 * o.N + 7)] = std::numeric_limits<double>::infinity();
    vexa::fast::Options opt = eager();
    opt.exact_cost_ratio = 1e9;
    const FastPlan p = vexa::fast::plan(o.problem(), e, opt, 2);
    ASSERT_TRUE(p.fast);
    EXPECT_EQ(p.excluded_rows, (std::vector<int64_t>{2, 5, 10, 11}));
    EXPECT_EQ(p.excluded_cols, (std::vector<int64_t>{3, 7}));
    // The same lines by the rule: special, or wider than the admitted width.
    const std::vector<Line> rows = rows_of(o), cols = cols_of(o);
    std::vector<int64_t> by_rule_rows, by_rule_cols;
    for (int64_t i = 0; i < o.M; ++i)
        if (rows[size_t(i)].special || rows[size_t(i)].width > p.choice.cap_a) by_rule_rows.push_back(i);
    for (int64_t j = 0; j < o.N; ++j)
        if (cols[size_t(j)].special || cols[size_t(j)].width > p.choice.cap_b) by_rule_cols.push_back(j);
    EXPECT_EQ(p.excluded_rows, by_rule_rows);
    EXPECT_EQ(p.excluded_cols, by_rule_cols);
    // Admitted and excluded lines partition each side.
    std::vector<int64_t> all_rows = p.row_order, all_cols = p.col_order;
    all_rows.insert(all_rows.end(), p.excluded_rows.begin(), p.excluded_rows.end());
    all_cols.insert(all_cols.end(), p.excluded_cols.begin(), p.excluded_cols.end());
    std::sort(all_rows.begin(), all_rows.end());
    std::sort(all_cols.begin(), all_cols.end());
    std::vector<int64_t> want_rows(size_t(o.M)), want_cols(size_t(o.N));
    std::iota(want_rows.begin(), want_rows.end(), 0);
    std::iota(want_cols.begin(), want_cols.end(), 0);
    EXPECT_EQ(all_rows, want_rows);
    EXPECT_EQ(all_cols, want_cols);
}

// A row and a column each forty bits wider than the rest stay on the CRT path at the exact
// core's default price: sorted last, each takes its extra moduli in its own row group or
// panel, which costs far less than its elements in the exact core.
TEST_P(PlanOf, KeepsAFewWideLinesAtTheDefaultPrice) {
    const EngineLayout e = GetParam().layout();
    std::mt19937_64 gen(17);
    std::normal_distribution<double> d;
    Operands o{2048, 128, 64, std::vector<double>(2048 * 64), std::vector<double>(64 * 128)};
    for (double& x : o.A) x = d(gen);
    for (double& x : o.B) x = d(gen);
    o.A[size_t(700 * o.K + 5)] = std::ldexp(o.A[size_t(700 * o.K + 5)], -40);
    o.B[size_t(9 * o.N + 33)] = std::ldexp(o.B[size_t(9 * o.N + 33)], -40);
    const FastPlan p = vexa::fast::plan(o.problem(), e, eager(), 2);
    ASSERT_TRUE(p.fast);
    EXPECT_TRUE(p.excluded_rows.empty());
    EXPECT_TRUE(p.excluded_cols.empty());
    // The wide row's group needs more than the first group, against the same panel.
    const int64_t g = (std::find(p.row_order.begin(), p.row_order.end(), 700) - p.row_order.begin()) / e.row_group;
    EXPECT_GT(p.count_at(g, 0), p.count_at(0, 0));
}

// Block sides are whole row groups and panels, and the workspace of a block stays within the
// target unless both sides are already at their smallest; the workspace holds a block.
TEST_P(PlanOf, BlocksWithinTheWorkspaceTarget) {
    const EngineLayout e = GetParam().layout();
    const Operands o = graded(300, 500, 700, 3);
    for (int64_t target : {int64_t(1) << 16, int64_t(1) << 21, int64_t(768) << 20})
        for (int64_t chunk : {int64_t(64), int64_t(300), int64_t(4096)}) {
            vexa::fast::Options opt = eager();
            opt.workspace_bytes = target;
            opt.chunk = chunk;
            const FastPlan p = vexa::fast::plan(o.problem(), e, opt, 2);
            ASSERT_TRUE(p.fast);
            const std::string what = "target " + std::to_string(target) + " chunk " + std::to_string(chunk);
            int64_t want_kb = e.step;
            while (want_kb + e.step <= std::min(chunk, e.max_chunk) && want_kb < o.K) want_kb += e.step;
            EXPECT_EQ(p.Kb, want_kb) << what;
            EXPECT_EQ(p.single_chunk, p.Kb >= o.K) << what;
            EXPECT_EQ(p.Mb % e.row_group, 0) << what;
            EXPECT_EQ(p.Nb % e.panel_width, 0) << what;
            EXPECT_LE(p.Mb, (o.M + e.row_group - 1) / e.row_group * e.row_group) << what;
            EXPECT_LE(p.Nb, (o.N + e.panel_width - 1) / e.panel_width * e.panel_width) << what;
            const int64_t L = p.moduli;
            const int64_t a = L * p.Mb * p.Kb * e.residue_a_bytes, b = L * p.Kb * p.Nb * e.residue_b_bytes;
            // Engines that read B's sorted columns in place need no room to gather them.
            const int64_t acc = L * p.Mb * p.Nb * e.residue_bytes, gather = e.reads_columns ? 0 : p.Kb * p.Nb * 8;
            const bool smallest = p.Mb <= 16 * e.row_group && p.Nb <= 4 * e.panel_width;
            EXPECT_TRUE(a + b + acc + gather <= target || smallest) << what;
            EXPECT_GE(int64_t(p.a_bytes), a) << what;
            EXPECT_GE(int64_t(p.b_bytes), b) << what;
            EXPECT_GE(int64_t(p.acc_bytes), acc) << what;
            bool moved = false;
            for (size_t c = 0; c < p.col_order.size(); ++c) moved = moved || p.col_order[c] != int64_t(c);
            EXPECT_EQ(p.columns_moved, moved) << what;
            EXPECT_EQ(p.gather_bytes > 0, moved && !e.reads_columns) << what;
            EXPECT_GE(int64_t(p.gather_bytes), moved ? gather : 0) << what;
            // Columns move only within their block.
            for (size_t c = 0; c < p.col_order.size(); ++c)
                EXPECT_EQ(p.col_order[c] / p.Nb, int64_t(c) / p.Nb) << what;
        }
}

// A product of one panel of columns, K in one chunk, has its rows cut into equal blocks
// whose residues of A stay below Options::thin_block_bytes (or into blocks of the least
// height); a product of two panels, or of K in chunks, is not cut for it.
TEST_P(PlanOf, ThinProductsCutTheirRowsIntoBlocksThatStayInCache) {
    const EngineLayout e = GetParam().layout();
    for (const int64_t N : {e.panel_width - 1, e.panel_width + 1})
        for (const int64_t chunk : {int64_t(4096), int64_t(64)})
            for (const int64_t bytes : {int64_t(1), int64_t(1) << 18, int64_t(1) << 30}) {
                const Operands o = graded(1000, N, 300, 5);
                vexa::fast::Options opt = eager();
                opt.chunk = chunk;
                opt.thin_block_bytes = bytes;
                const FastPlan p = vexa::fast::plan(o.problem(), e, opt, 2);
                ASSERT_TRUE(p.fast);
                const std::string what = "N " + std::to_string(N) + " chunk " + std::to_string(chunk) +
                                         " bytes " + std::to_string(bytes);
                const int64_t rows = int64_t(p.row_order.size()), whole = (rows + e.row_group - 1) / e.row_group * e.row_group;
                EXPECT_EQ(p.Mb % e.row_group, 0) << what;
                if (N > e.panel_width || !p.single_chunk) {
                    EXPECT_EQ(p.Mb, whole) << what;
                    continue;
                }
                // The most rows whose residues stay below `bytes`, whole row groups, at
                // least sixteen of them; no block above it, and no more blocks than it needs.
                const int64_t per_row = int64_t(p.moduli) * p.Kb * e.residue_a_bytes;
                const int64_t cap = std::max<int64_t>(16 * e.row_group, bytes / per_row / e.row_group * e.row_group);
                EXPECT_LE(p.Mb, std::max(cap, whole <= cap ? whole : 0)) << what;
                EXPECT_EQ((rows + p.Mb - 1) / p.Mb, (whole + cap - 1) / cap) << what;
                if (bytes == 1) EXPECT_LT(p.Mb, whole) << what;
            }
}

// The plan's maps of the columns, worked out again here from col_order alone: which
// panels keep their columns' places, where each output column sits in the sorted order,
// and each column block's span of output columns. Orders that are the identity, orders that
// move columns, excluded columns at the start, middle and end, widths that are no multiple
// of a panel, and several column blocks.
struct MapCase {
    const char* name;
    int64_t N;
    bool ascending;               // odd columns growing with j: sorting moves nothing
    std::vector<int64_t> nan_cols;  // excluded
    int64_t workspace;            // small: several column blocks
};

TEST_P(PlanOf, ColumnMapsFollowTheOrder) {
    const EngineLayout e = GetParam().layout();
    const int64_t w = e.panel_width;
    const MapCase cases[] = {
        {"identity", 3 * w, true, {}, int64_t(768) << 20},
        {"identity, ragged", 3 * w + 5, true, {}, int64_t(768) << 20},
        {"moved", 5 * w + 3, false, {}, int64_t(768) << 20},
        {"excluded at start", 2 * w + 1, true, {0}, int64_t(768) << 20},
        {"excluded in the middle", 4 * w - 1, false, {w + 1, w + 2}, int64_t(768) << 20},
        {"excluded at the end", 3 * w, true, {3 * w - 1}, int64_t(768) << 20},
        {"excluded everywhere, blocks", 13 * w + 7, false, {0, 5 * w, 13 * w + 6}, int64_t(1) << 14},
        {"identity, blocks", 11 * w + 2, true, {}, int64_t(1) << 14},
    };
    for (const MapCase& mc : cases) {
        Operands o = graded(37, mc.N, 29, 11);
        if (mc.ascending)
            for (int64_t j = 0; j < o.N; ++j)
                for (int64_t k = 0; k < o.K; ++k) o.B[size_t(k * o.N + j)] = double(2 * j + 1) * (k % 3 == 0 ? -1 : 1);
        for (int64_t j : mc.nan_cols) o.B[size_t(3 * o.N + j)] = std::numeric_limits<double>::quiet_NaN();
        vexa::fast::Options opt = eager();
        opt.workspace_bytes = mc.workspace;
        opt.exact_cost_ratio = 1e9;
        const FastPlan p = vexa::fast::plan(o.problem(), e, opt, 2);
        ASSERT_TRUE(p.fast) << mc.name;
        ASSERT_EQ(p.excluded_cols, mc.nan_cols) << mc.name;
        const int64_t Np = int64_t(p.col_order.size());
        const int64_t blocks = (Np + p.Nb - 1) / p.Nb;
        if (mc.workspace < (int64_t(1) << 20)) EXPECT_GT(blocks, 1) << mc.name;
        // Sorted place of every output column, by search rather than by inverting the order.
        std::vector<int32_t> place(size_t(o.N), -1);
        for (int64_t j = 0; j < o.N; ++j) {
            const auto at = std::find(p.col_order.begin(), p.col_order.end(), j);
            if (at != p.col_order.end()) place[size_t(j)] = int32_t(at - p.col_order.begin());
        }
        EXPECT_EQ(p.position, place) << mc.name;
        std::vector<uint8_t> in_place(size_t(p.panels));
        for (int64_t q = 0; q < p.panels; ++q) {
            bool all = true;
            for (int64_t c = q * w; c < std::min(Np, (q + 1) * w); ++c) all = all && place[size_t(c)] == c;
            in_place[size_t(q)] = all;
        }
        EXPECT_EQ(p.panel_in_place, in_place) << mc.name;
        if (mc.ascending && mc.nan_cols.empty())
            EXPECT_EQ(p.panel_in_place, std::vector<uint8_t>(size_t(p.panels), 1)) << mc.name;
        if (!mc.nan_cols.empty() && mc.nan_cols.front() == 0)
            EXPECT_EQ(p.panel_in_place, std::vector<uint8_t>(size_t(p.panels), 0)) << mc.name;
        // A block's span: the output columns whose places fall in it; in place when every
        // sorted column of it is its own output column.
        std::vector<int64_t> first(size_t(blocks), o.N), last(size_t(blocks), -1);
        std::vector<uint8_t> block_in_place(size_t(blocks), 1);
        for (int64_t j = 0; j < o.N; ++j) {
            if (place[size_t(j)] < 0) continue;
            const size_t block = size_t(place[size_t(j)] / p.Nb);
            first[block] = std::min(first[block], j);
            last[block] = std::max(last[block], j);
            if (place[size_t(j)] != j) block_in_place[block] = 0;
        }
        EXPECT_EQ(p.block_first, first) << mc.name;
        EXPECT_EQ(p.block_last, last) << mc.name;
        EXPECT_EQ(p.block_in_place, block_in_place) << mc.name;
    }
}

// Small products, empty K and operands with nothing to admit stay whole in the exact core.
TEST_P(PlanOf, NoFastPlanWhereTheExactCoreTakesAll) {
    const EngineLayout e = GetParam().layout();
    const Operands o = graded(40, 40, 40, 1);
    vexa::fast::Options opt = eager();
    opt.min_work = 40 * 40 * 40 + 1;
    EXPECT_FALSE(vexa::fast::plan(o.problem(), e, opt, 1).fast);
    opt = eager();
    opt.min_side = 41;
    EXPECT_FALSE(vexa::fast::plan(o.problem(), e, opt, 1).fast);
    EXPECT_TRUE(vexa::fast::plan(o.problem(), e, eager(), 1).fast);
    // Each of the narrow shapes' limits, just missed and just met, on a shape whose sides differ.
    const Operands s = graded(30, 36, 44, 4);
    struct Limit {
        int64_t vexa::fast::Options::*field;
        int64_t at;  // the shape's own value of the limit
    };
    for (const Limit limit : {Limit{&vexa::fast::Options::min_cols, s.N}, Limit{&vexa::fast::Options::min_outputs, s.M * s.N},
                              Limit{&vexa::fast::Options::min_depth, s.K}, Limit{&vexa::fast::Options::min_work, s.M * s.N * s.K},
                              Limit{&vexa::fast::Options::min_side, s.M}}) {
        opt = eager();
        opt.*limit.field = limit.at + 1;
        EXPECT_FALSE(vexa::fast::plan(s.problem(), e, opt, 1).fast) << limit.at;
        opt.*limit.field = limit.at;
        EXPECT_TRUE(vexa::fast::plan(s.problem(), e, opt, 1).fast) << limit.at;
    }
    // Columns are counted apart from rows: a single row with many columns passes min_cols.
    const Operands row = graded(1, 40, 40, 2);
    opt = eager();
    opt.min_cols = 40;
    EXPECT_TRUE(vexa::fast::plan(row.problem(), e, opt, 1).fast);
    opt.min_side = 2;
    EXPECT_FALSE(vexa::fast::plan(row.problem(), e, opt, 1).fast);
    Operands empty = o;
    empty.K = 0;
    EXPECT_FALSE(vexa::fast::plan(empty.problem(), e, eager(), 1).fast);
    Operands nan = o;
    std::fill(nan.A.begin(), nan.A.end(), std::numeric_limits<double>::quiet_NaN());
    EXPECT_FALSE(vexa::fast::plan(nan.problem(), e, eager(), 1).fast);
}

// The ladder's count of a bound, searched from the count of a smaller bound, is the least
// count whose product P has log2 P above the bound + 1 (with the ladder's margin), by GMP.
TEST_P(PlanOf, LadderSearchFromASmallerBoundsCount) {
    const EngineLayout e = GetParam().layout();
    const vexa::fast::ModulusLadder ladder(e.moduli, e.moduli.count);
    int previous = 1;
    for (double bound = -3.0; bound < 40.0 * e.moduli.count; bound += 0.37) {
        const int c = ladder.needed(bound, previous);
        int want = 0;
        for (int k = 1; k <= e.moduli.count && want == 0; ++k)
            if (log2_of(modulus_product(e, k)) > bound + 1.0 + 1.0 / 1024) want = k;
        ASSERT_EQ(c, want) << bound;
        ASSERT_EQ(c, ladder.needed(bound)) << bound;
        if (c == 0) break;
        previous = c;
    }
}

mpz_class from_digits(const uint32_t* digits, int count) {
    mpz_class x = 0;
    for (int i = count - 1; i >= 0; --i) x = (x << 32) + digits[i];
    return x;
}

// The shared CRT plans, asked for by several threads at once over a list of this test's own,
// in growing and shrinking counts: every thread sees the same plans, and each holds P, the
// cofactors P / p_l and their inverses modulo p_l.
TEST(CrtPlans, SharedAcrossThreadsAndRightForEveryCount) {
    static const int kList[] = {251, 241, 239, 233, 229, 227, 223, 217, 211, 199, 197, 193};
    const vexa::fast::ModulusList list{kList, int(sizeof(kList) / sizeof(kList[0]))};
    std::vector<const vexa::fast::CrtPlan*> seen(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            const vexa::fast::CrtPlan* last = nullptr;
            for (int c : {t % 4 + 1, 12, 3, 7}) last = vexa::fast::crt_plans(list, c);
            seen[size_t(t)] = last;
        });
    for (std::thread& t : threads) t.join();
    for (const auto* plans : seen) EXPECT_EQ(plans, seen[0]);
    const vexa::fast::CrtPlan* plans = seen[0];
    mpz_class P = 1;
    for (int c = 1; c <= list.count; ++c) {
        P *= kList[c - 1];
        const vexa::fast::CrtPlan& t = plans[c];
        ASSERT_EQ(t.count, c);
        EXPECT_EQ(from_digits(t.product, vexa::fast::kMaxDigits), P) << c << " moduli";
        for (int l = 0; l < c; ++l) {
            const mpz_class Q = P / kList[l];
            EXPECT_EQ(from_digits(t.cofactor[l], vexa::fast::kMaxDigits), Q) << c << " moduli, l " << l;
            EXPECT_EQ(mpz_class(Q * t.inverse[l] % kList[l]), 1) << c << " moduli, l " << l;
            EXPECT_EQ(t.inverse_shoup[l], mpz_class(mpz_class(t.inverse[l]) * 65536 / kList[l]).get_ui())
                << c << " moduli, l " << l;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, PlanOf,
                         ::testing::Values(LayoutParam{"int8", vexa::fast::int8_layout},
                                           LayoutParam{"int8_wide", vexa::fast::int8_wide_layout},
                                           LayoutParam{"int16", vexa::fast::int16_layout}),
                         [](const ::testing::TestParamInfo<LayoutParam>& info) { return std::string(info.param.name); });

}  // namespace
