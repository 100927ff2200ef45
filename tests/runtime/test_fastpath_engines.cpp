// Every engine of the fast path (the portable references and each ISA's pieces) against the
// exact core, bit for bit, through one set of test bodies: shapes and thread counts, chunk
// edges, lines no modulus count can hold, norm bounds at the modulus limit, specials,
// blocking, graded modulus counts and the parked workspace. The cases at each engine's own
// residue bounds follow at the end.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "exact/exact_core.h"
#include "fastpath/fast_plan.h"
#include "fastpath/fastpath.h"
#include "fastpath_support.h"
#include "fastpath/int16_engine.h"
#include "support/workspace_pool.h"

namespace {

using namespace fastpath_test;
using vexa::GemmProblem;

class EveryEngine : public EntryTest {};

// log2 of a positive integer, to double precision.
double log2_of(const mpz_class& v) {
    long e;
    const double d = mpz_get_d_2exp(&e, v.get_mpz_t());
    return double(e) + std::log2(d);
}

mpz_class modulus_product(const EntryParam& p, int count) {
    const vexa::fast::ModulusList list = p.entry->moduli();
    mpz_class P = 1;
    for (int l = 0; l < count; ++l) P *= list.p[l];
    return P;
}

TEST_P(EveryEngine, RandomShapesAndThreadCounts) {
    const int64_t shapes[][3] = {{1, 1, 1}, {7, 5, 3}, {37, 70, 133}, {13, 129, 64}, {100, 65, 255}};
    uint32_t seed = 1;
    for (auto& s : shapes) {
        const Matrices m = random_normal(s[0], s[1], s[2], seed++);
        const Result one = run(m, GetParam(), eager(GetParam()), 1);
        const Result two = run(m, GetParam(), eager(GetParam()), 3);
        expect_matches_exact_core(m, one, "random normal");
        EXPECT_EQ(0, std::memcmp(one.hi.data(), two.hi.data(), one.hi.size() * sizeof(double)));
        EXPECT_EQ(0, std::memcmp(one.lo.data(), two.lo.data(), one.lo.size() * sizeof(double)));
        EXPECT_EQ(0, std::memcmp(one.res.data(), two.res.data(), one.res.size() * sizeof(float)));
    }
}


// K around multiples of the chunk and of the engine's k step; a small chunk makes the
// residue accumulation across chunks and the zero padding of the last chunk do work.
TEST_P(EveryEngine, ChunkAndQuadEdges) {
    for (int64_t chunk : {int64_t(8), int64_t(64)})
        for (int64_t K : {chunk - 1, chunk, chunk + 1, 3 * chunk - 1, 3 * chunk, 3 * chunk + 1}) {
            const Matrices m = random_normal(9, 67, K, uint32_t(K * 7 + chunk), 1e3);
            vexa::fast::Options opt = eager(GetParam());
            opt.chunk = chunk;
            expect_matches_exact_core(m, run(m, GetParam(), opt, 2),
                                      "chunk " + std::to_string(chunk) + " K " + std::to_string(K));
        }
}

// Rows spanning 1e-300..1e300 among ordinary ones: they cannot be given a sensible
// window and must leave the CRT path, the ordinary rows must not.
TEST_P(EveryEngine, HugeAndTinyInOneRow) {
    const Matrices m = huge_and_tiny_lines(40, 70, 50, 99);
    vexa::fast::Options opt = eager(GetParam());
    opt.exact_cost_ratio = 1e9;  // only lines no modulus count can hold leave the CRT path
    const Result r = run(m, GetParam(), opt, 2);
    const vexa::fast::Timing t = vexa::fast::last_timing();
    EXPECT_EQ(t.excluded_rows, 3);
    EXPECT_EQ(t.excluded_cols, 1);
    EXPECT_GT(t.moduli, 0);
    expect_matches_exact_core(m, r, "mixed exponent rows");
}


// K = 4 and rows and columns of equal magnitudes make Cauchy-Schwarz an equality:
// |x| = ||a|| ||b|| = 4 v^2. With v at the limit for L moduli, |x| sits just under P_L / 2,
// as close as the bound allows, so the CRT quotient works at its narrowest margin; 0.2 %
// more and L moduli no longer suffice. One row, wider and of a larger norm
// (2^(width+1) > 2v), must leave the CRT path when L moduli are the cap.
TEST_P(EveryEngine, NormBoundAtTheModulusLimit) {
    const int64_t K = 4, M = 6, N = 64;
    struct Case {
        int limit_for;  // v at the limit of this many moduli ...
        double factor;  // ... times this
        int want;       // moduli the bound must ask for
    };
    for (const Case c : {Case{5, 1.0, 5}, Case{5, 1.002, 6}, Case{6, 1.0, 6}}) {
        const double log2_p = log2_of(modulus_product(GetParam(), c.limit_for));
        // 2 * (2v)^2 * 2^(2^-10) < P, with 2^-9 in hand for the rounding of the bound itself.
        const double v = std::floor(std::exp2((log2_p - 1 - 1.0 / 512) / 2 - 1) * c.factor);
        if (c.factor == 1.0) ASSERT_GT(8 * v * v, std::exp2(log2_p) * 0.998);  // |x| / P > 0.499
        else ASSERT_GT(8 * v * v, std::exp2(log2_p));  // |x| > P / 2: L moduli would be wrong
        const int width = int(std::floor(std::log2(v))) + 1;
        Matrices m{M, N, K, std::vector<double>(size_t(M * K)), std::vector<double>(size_t(K * N))};
        const double rows[M][4] = {{v, v, v, v},   {-v, -v, -v, -v},  {v, v, v, v - 1},
                                   {v, -v, v, -v}, {v - 1, v, -v, v}, {std::ldexp(1.0, width + 1), 1, 1, 1}};
        const bool with_wide_row = c.want == c.limit_for;  // else it alone would set the count
        for (int64_t i = 0; i < M; ++i)
            for (int64_t k = 0; k < K; ++k)
                m.A[size_t(i * K + k)] = (i < 5 || with_wide_row ? rows[i][k] : rows[0][k]) *
                                         std::ldexp(1.0, int(i) * 90 - 300);
        for (int64_t k = 0; k < K; ++k)
            for (int64_t j = 0; j < N; ++j) {
                double b = v;
                if (j % 4 == 1) b = -v;
                if (j % 4 == 2) b = k % 2 ? -v : v;
                if (j % 4 == 3) b = k == 3 ? -(v - 1) : v;
                m.B[size_t(k * N + j)] = b * std::ldexp(1.0, int(j) - 30);
            }
        vexa::fast::Options opt = eager(GetParam());
        opt.max_moduli = c.want;
        opt.exact_cost_ratio = 1e9;  // keep every line that fits, whatever it costs
        const Result r = run(m, GetParam(), opt, 2);
        const vexa::fast::Timing t = vexa::fast::last_timing();
        EXPECT_EQ(t.moduli, c.want) << c.limit_for << " " << c.factor;
        EXPECT_EQ(t.excluded_rows, with_wide_row ? 1 : 0);
        EXPECT_EQ(t.excluded_cols, 0);
        expect_matches_exact_core(m, r, "norm bound at the limit");
    }
}

TEST_P(EveryEngine, SpecialsZerosAndSubnormals) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const double tiny = std::numeric_limits<double>::denorm_min();
    Matrices m = random_normal(12, 66, 10, 5);
    m.A[1 * 10 + 3] = inf;
    m.A[2 * 10 + 0] = nan;
    m.B[4 * 66 + 7] = -inf;
    for (int64_t k = 0; k < 10; ++k) m.A[size_t(3 * 10 + k)] = (k % 2) ? -0.0 : 0.0;  // zero row
    // Row 4 against column 9: products (-1)(0) and (-0)(1), both -0, so C_hi = -0.
    for (int64_t k = 0; k < 10; ++k) {
        m.A[size_t(4 * 10 + k)] = (k == 0) ? -1.0 : -0.0;
        m.B[size_t(k * 66 + 9)] = (k == 0) ? 0.0 : 1.0;
    }
    // Row 5: subnormals and small normals, a narrow enough window to stay in the CRT path.
    for (int64_t k = 0; k < 10; ++k) m.A[size_t(5 * 10 + k)] = tiny * double(k * 977 + 1) * (k % 3 ? 1 : -1);
    // Row 6 cancels row 7's products exactly: x = 0 through the CRT path.
    for (int64_t k = 0; k < 10; ++k) m.A[size_t(6 * 10 + k)] = (k < 5 ? 1.0 : -1.0);
    for (int64_t k = 0; k < 10; ++k) m.B[size_t(k * 66 + 11)] = (k < 5 ? 3.0 : 3.0);
    // Overflow of the exact result.
    for (int64_t k = 0; k < 10; ++k) m.A[size_t(7 * 10 + k)] = 1e300;
    for (int64_t k = 0; k < 10; ++k) m.B[size_t(k * 66 + 12)] = 1e300;
    expect_matches_exact_core(m, run(m, GetParam(), eager(GetParam()), 2), "specials");
}

// A row and a column far wider than the rest (one tiny element each) take their own extra
// moduli on the CRT path, where the exact core would cost more, and come out exact.
TEST_P(EveryEngine, AFewWideLinesStayOnTheCrtPath) {
    Matrices m = random_normal(1200, 72, 40, 23);
    m.A[size_t(611 * 40 + 3)] = std::ldexp(m.A[size_t(611 * 40 + 3)], -40);
    m.B[size_t(17 * 72 + 50)] = std::ldexp(m.B[size_t(17 * 72 + 50)], -40);
    const Result r = run(m, GetParam(), eager(GetParam()), 2);
    const vexa::fast::Timing t = vexa::fast::last_timing();
    EXPECT_EQ(t.excluded_rows, 0);
    EXPECT_EQ(t.excluded_cols, 0);
    expect_matches_exact_core(m, r, "wide lines");
}

// A workspace target far below the product's needs splits it over M and N.
TEST_P(EveryEngine, BlockedWorkspace) {
    const Matrices m = random_normal(200, 600, 40, 11);
    vexa::fast::Options opt = eager(GetParam());
    opt.workspace_bytes = 1;
    opt.chunk = 16;
    expect_matches_exact_core(m, run(m, GetParam(), opt, 2), "blocked");
}

// Columns of integers from 2 to 42 bits wide, shuffled, so that sorting them spares moduli
// and they move. (Scaling by powers of two would not do: a line's shift takes that out.)
Matrices graded_columns(int64_t M, int64_t N, int64_t K, uint32_t seed) {
    Matrices m = random_normal(M, N, K, seed);
    for (int64_t k = 0; k < K; ++k)
        for (int64_t j = 0; j < N; ++j)
            m.B[size_t(k * N + j)] = std::nearbyint(std::ldexp(m.B[size_t(k * N + j)], 1 + int((j * 13) % 41)));
    return m;
}

// The plan of the entry's own layout.
vexa::fast::FastPlan plan_of(const Matrices& m, const EntryParam& p, const vexa::fast::Options& opt) {
    const vexa::GemmProblem shape{m.A.data(), m.B.data(), nullptr, nullptr, nullptr, m.M, m.N, m.K};
    const vexa::fast::EngineLayout layout = std::string(p.entry->id).rfind("int16", 0) == 0 ? vexa::fast::int16_layout()
                                            : p.entry->layout.row_group == vexa::fast::int8_layout().row_group
                                                ? vexa::fast::int8_layout()
                                                : vexa::fast::int8_wide_layout();
    EXPECT_EQ(layout.panel_width, p.entry->layout.panel_width);
    EXPECT_EQ(layout.row_group, p.entry->layout.row_group);
    return vexa::fast::plan(shape, layout, opt, 2);
}

// Columns sorted within a block, read from B in place or gathered first: a few rows at a
// time for every panel of a block too large for cache, panel by panel for a small one,
// over one K chunk or several. K is no whole number of steps or of the rows of a task,
// and the middle chunk size leaves a block too large for cache before a short last one.
TEST_P(EveryEngine, GatheredColumns) {
    const Matrices m = graded_columns(20, 300, 601, 13);
    for (int64_t chunk : {int64_t(4096), int64_t(160), int64_t(288)})
        for (int64_t workspace : {int64_t(768) << 20, int64_t(1) << 16}) {
            vexa::fast::Options opt = eager(GetParam());
            opt.chunk = chunk;
            opt.workspace_bytes = workspace;
            ASSERT_TRUE(plan_of(m, GetParam(), opt).columns_moved) << "chunk " << chunk << " workspace " << workspace;
            expect_matches_exact_core(m, run(m, GetParam(), opt, 2),
                                      "chunk " + std::to_string(chunk) + " workspace " + std::to_string(workspace));
        }
}

// Lines of graded widths, shuffled: every row a constant v_i = 2^e_i - 1 and every column
// a constant w_j = 2^f_j - 1 up to sign, so each |x_ij| = K v_i w_j equals its Cauchy-Schwarz
// bound, and a modulus count one short of what that pair needs would give a wrong integer.
// After sorting, row groups and panels take different counts; whether on one block or
// split over many, each pair must get the count of its own group and panel.
TEST_P(EveryEngine, GradedWidthsTakeTheirOwnModulusCounts) {
    const int64_t M = 50, N = 150, K = 40;
    std::mt19937_64 rng(21);
    std::vector<int> e(M), f(N);
    std::iota(e.begin(), e.end(), 1);
    for (int64_t j = 0; j < N; ++j) f[size_t(j)] = int(1 + (j * 7) % 120);
    std::shuffle(e.begin(), e.end(), rng);
    Matrices m{M, N, K, std::vector<double>(size_t(M * K)), std::vector<double>(size_t(K * N))};
    for (int64_t i = 0; i < M; ++i) {
        const double v = (std::ldexp(1.0, e[size_t(i)]) - 1) * (rng() & 1 ? -1 : 1) * std::ldexp(1.0, int(rng() % 60) - 30);
        for (int64_t k = 0; k < K; ++k) m.A[size_t(i * K + k)] = v;
    }
    for (int64_t j = 0; j < N; ++j) {
        const double w = (std::ldexp(1.0, f[size_t(j)]) - 1) * (rng() & 1 ? -1 : 1);
        for (int64_t k = 0; k < K; ++k) m.B[size_t(k * N + j)] = w;
    }
    // K in three chunks, or in one, whose residues of A then serve every column block.
    for (const int64_t chunk : {int64_t(16), int64_t(4096)})
    for (const int64_t workspace : {int64_t(1) << 30, int64_t(1)}) {
        vexa::fast::Options opt = eager(GetParam());
        opt.workspace_bytes = workspace;
        opt.chunk = chunk;
        opt.exact_cost_ratio = 1e9;
        const Result r = run(m, GetParam(), opt, 3);
        const vexa::fast::Timing t = vexa::fast::last_timing();
        EXPECT_EQ(t.excluded_rows + t.excluded_cols, 0);
        EXPECT_LT(t.average_moduli, t.moduli - 3.0);  // the counts really were graded
        expect_matches_exact_core(m, r, "graded widths, workspace " + std::to_string(workspace) +
                                            ", chunk " + std::to_string(chunk));
    }
}

// One panel of columns of graded widths, the widest in the middle: sorting them spares no
// modulus, so they keep their order, and the panel's count must be its widest column's,
// not its last one's. As above, every |x_ij| equals its bound, so a count one short of
// what the widest pair needs would give wrong integers.
TEST_P(EveryEngine, OnePanelKeepsItsOrderAndItsWidestColumnsCount) {
    const int64_t M = 30, N = GetParam().entry->layout.panel_width - 3, K = 40;
    std::mt19937_64 rng(23);
    Matrices m{M, N, K, std::vector<double>(size_t(M * K)), std::vector<double>(size_t(K * N))};
    for (int64_t i = 0; i < M; ++i) {
        const double v = (std::ldexp(1.0, int(1 + i % 50)) - 1) * (rng() & 1 ? -1 : 1);
        for (int64_t k = 0; k < K; ++k) m.A[size_t(i * K + k)] = v;
    }
    for (int64_t j = 0; j < N; ++j) {
        const int f = j == N / 2 ? 100 : int(1 + (j * 5) % 30);
        const double w = (std::ldexp(1.0, f) - 1) * (rng() & 1 ? -1 : 1);
        for (int64_t k = 0; k < K; ++k) m.B[size_t(k * N + j)] = w;
    }
    vexa::fast::Options opt = eager(GetParam());
    opt.exact_cost_ratio = 1e9;
    const vexa::fast::FastPlan p = plan_of(m, GetParam(), opt);
    ASSERT_TRUE(p.fast);
    EXPECT_FALSE(p.columns_moved);
    for (const int threads : {1, 2}) {
        expect_matches_exact_core(m, run(m, GetParam(), opt, threads), "threads " + std::to_string(threads));
    }
}

// One panel of columns against rows of graded widths, cut into row blocks: B's residues,
// made with the first block, must hold the moduli of the widest rows, which come last. As
// above, every |x_ij| equals its bound, so residues short of a pair's count give wrong
// integers. Whole or cut, with one thread or two.
TEST_P(EveryEngine, RowBlocksOfAThinProductShareBsResidues) {
    const int64_t M = 400, N = GetParam().entry->layout.panel_width - 3, K = 40;
    std::mt19937_64 rng(25);
    Matrices m{M, N, K, std::vector<double>(size_t(M * K)), std::vector<double>(size_t(K * N))};
    for (int64_t i = 0; i < M; ++i) {
        const double v = (std::ldexp(1.0, int(1 + (i * 37) % 60)) - 1) * (rng() & 1 ? -1 : 1);
        for (int64_t k = 0; k < K; ++k) m.A[size_t(i * K + k)] = v;
    }
    for (int64_t j = 0; j < N; ++j) {
        const double w = (std::ldexp(1.0, int(1 + (j * 5) % 40)) - 1) * (rng() & 1 ? -1 : 1);
        for (int64_t k = 0; k < K; ++k) m.B[size_t(k * N + j)] = w;
    }
    for (const int64_t block_bytes : {int64_t(1), int64_t(1) << 30}) {
        vexa::fast::Options opt = eager(GetParam());
        opt.exact_cost_ratio = 1e9;
        opt.thin_block_bytes = block_bytes;
        const vexa::fast::FastPlan p = plan_of(m, GetParam(), opt);
        ASSERT_TRUE(p.fast && p.single_chunk);
        ASSERT_EQ(p.Mb < M, block_bytes == 1);
        for (const int threads : {1, 2}) {
            const Result r = run(m, GetParam(), opt, threads);
            EXPECT_LT(vexa::fast::last_timing().average_moduli, vexa::fast::last_timing().moduli - 2.0);  // graded
            expect_matches_exact_core(m, r, "row blocks of " + std::to_string(p.Mb) + ", threads " +
                                                std::to_string(threads));
        }
    }
}

// The workspace outlives the call for the next one of its size; what the last product
// left in it must not leak into the next.
TEST_P(EveryEngine, ParkedWorkspaceIsReusedCleanly) {
    vexa::release_parked_workspace();
    EXPECT_EQ(vexa::parked_workspace_bytes(), 0u);
    const Matrices first = random_normal(30, 200, 70, 31, 1e6);
    expect_matches_exact_core(first, run(first, GetParam(), eager(GetParam()), 2), "first");
    const size_t parked = vexa::parked_workspace_bytes();
    EXPECT_GT(parked, 0u);
    Matrices second = random_normal(30, 200, 70, 32);
    for (int64_t k = 0; k < 70; k += 3) second.A[size_t(k)] = 0.0;
    expect_matches_exact_core(second, run(second, GetParam(), eager(GetParam()), 2), "second");
    EXPECT_EQ(vexa::parked_workspace_bytes(), parked);
    vexa::release_parked_workspace();
    EXPECT_EQ(vexa::parked_workspace_bytes(), 0u);
}


// Columns of one norm keep their places: a block of such panels is rounded straight into
// the output rows. A column the exact core takes (a NaN) moves every later one down a
// place; a block with such panels goes through a row buffer, or, wider than that buffer
// holds, panel by panel, straight in or through a scatter. Every kind holds exact zeros:
// +0 where the products cancel, -0 where every product is -0.
Matrices columns_in_and_out_of_place(int64_t N, int64_t nan_column) {
    const int64_t M = 12, K = 12;
    std::mt19937_64 rng(41);
    std::normal_distribution<double> normal;
    Matrices m{M, N, K, std::vector<double>(size_t(M * K)), std::vector<double>(size_t(K * N))};
    for (double& a : m.A) a = normal(rng);
    // Every column is +-w[k] down k, all of one norm; w repeats after K / 2.
    std::vector<double> w(static_cast<size_t>(K));
    for (int64_t k = 0; k < K / 2; ++k) w[size_t(k)] = w[size_t(k + K / 2)] = std::fabs(normal(rng)) + 0.5;
    for (int64_t j = 0; j < N; ++j) {
        const bool plain = j % 37 == 5;  // every sign +
        for (int64_t k = 0; k < K; ++k) m.B[size_t(k * N + j)] = plain || rng() % 2 ? w[size_t(k)] : -w[size_t(k)];
    }
    for (int64_t k = 0; k < K; ++k) {
        m.A[size_t(2 * K + k)] = k < K / 2 ? 1.0 : -1.0;  // x = 0 against the all-+ columns
        m.A[size_t(3 * K + k)] = -0.0;                    // -0 products there, +0 and -0 elsewhere
    }
    if (nan_column >= 0) m.B[size_t(4 * N + nan_column)] = std::nan("");
    return m;
}

struct PlaceCase {
    int64_t N, nan_column;  // no NaN where negative
};
constexpr PlaceCase kPlaceCases[] = {{300, -1}, {300, 0}, {300, 170}, {300, 299}, {2100, -1}, {2100, 1500}};

TEST_P(EveryEngine, ColumnsInPlaceAndMoved) {
    for (const PlaceCase& c : kPlaceCases) {
        const Matrices m = columns_in_and_out_of_place(c.N, c.nan_column);
        // The operands do give both kinds of panel.
        vexa::GemmProblem shape{m.A.data(), m.B.data(), nullptr, nullptr, nullptr, m.M, m.N, m.K};
        const vexa::fast::FastPlan plan = vexa::fast::plan(shape, vexa::fast::int8_layout(), eager(GetParam()), 2);
        ASSERT_TRUE(plan.fast);
        const int64_t admitted = c.nan_column < 0 ? m.N : m.N - 1;
        ASSERT_EQ(plan.col_order.size(), size_t(admitted));
        for (int64_t at = 0; at < admitted; ++at)
            ASSERT_EQ(plan.col_order[size_t(at)], c.nan_column < 0 || at < c.nan_column ? at : at + 1);
        for (const int64_t workspace : {int64_t(768) << 20, int64_t(1)})
            for (const int threads : {1, 3}) {
                vexa::fast::Options opt = eager(GetParam());
                opt.workspace_bytes = workspace;
                expect_matches_exact_core(m, run(m, GetParam(), opt, threads),
                                          "N " + std::to_string(c.N) + ", NaN column " + std::to_string(c.nan_column) +
                                              ", workspace " + std::to_string(workspace) + ", threads " +
                                              std::to_string(threads));
            }
    }
}

// Sorted columns in a block wider than the row buffer: runs scattered panel by panel.
TEST_P(EveryEngine, WideBlockOfSortedColumns) {
    const Matrices m = graded_columns(6, 2100, 5, 43);
    ASSERT_TRUE(plan_of(m, GetParam(), eager(GetParam())).columns_moved);
    expect_matches_exact_core(m, run(m, GetParam(), eager(GetParam()), 2), "wide block");
}

// The same ways with the float64 third word, against the exact core's own.
TEST_P(EveryEngine, ColumnsInPlaceAndMovedWithFloat64Res) {
    for (const PlaceCase& c : kPlaceCases) {
        const Matrices m = columns_in_and_out_of_place(c.N, c.nan_column);
        const size_t n = size_t(m.M * m.N);
        std::vector<double> hi(n, 7.0), lo(n, 7.0), res(n, 7.0), want_hi(n), want_lo(n), want_res(n);
        vexa::GemmProblem pb{m.A.data(), m.B.data(), hi.data(), lo.data(), nullptr, m.M, m.N, m.K, res.data()};
        vexa::GemmProblem exact{m.A.data(), m.B.data(), want_hi.data(), want_lo.data(), nullptr, m.M, m.N, m.K,
                                want_res.data()};
        ASSERT_EQ(vexa::registry::gemm(*GetParam().entry, pb, 2, eager(GetParam())), VEXA_OK);
        ASSERT_EQ(vexa::exact::gemm(exact, 1), VEXA_OK);
        const std::string what = "N " + std::to_string(c.N) + ", NaN column " + std::to_string(c.nan_column);
        EXPECT_EQ(0, std::memcmp(hi.data(), want_hi.data(), n * sizeof(double))) << "hi, " << what;
        EXPECT_EQ(0, std::memcmp(lo.data(), want_lo.data(), n * sizeof(double))) << "lo, " << what;
        EXPECT_EQ(0, std::memcmp(res.data(), want_res.data(), n * sizeof(double))) << "res, " << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, EveryEngine, ::testing::ValuesIn(entries_with_prefix()), param_name);

class Int16Engine : public EntryTest {};

// Residues at (p - 1) / 2 = 4095 for 8191, the largest a prime of the list gives, with
// products of one sign all along K: a chunk of 128 such terms is within 2^31 only by the
// margin the reduction leaves. And 2^15 against 2^15, whose residue modulo 2^16 is -2^15:
// every vpmaddwd pair is the one that wraps to -2^31, and the sums wrap int32 many times.
// A 1 in every line pins its scale at 2^0.
TEST_P(Int16Engine, ResiduesAtTheirBoundsAcrossChunks) {
    for (const int64_t K : {int64_t(127), int64_t(128), int64_t(129), int64_t(4096)})
        for (const double v : {4095.0, 32768.0, 98304.0, 65535.0}) {
            const int64_t M = 7, N = 40;
            Matrices m{M, N, K, std::vector<double>(size_t(M * K), v), std::vector<double>(size_t(K * N), v)};
            for (int64_t i = 0; i < M; ++i) {
                m.A[size_t(i * K)] = 1.0;
                if (i % 2) for (int64_t k = 1; k < K; ++k) m.A[size_t(i * K + k)] = -v;
            }
            for (int64_t j = 0; j < N; ++j) {
                m.B[size_t(j)] = 1.0;
                if (j % 3 == 1) for (int64_t k = 1; k < K; ++k) m.B[size_t(k * N + j)] = -v;
            }
            for (const int64_t chunk : {int64_t(128), int64_t(512), int64_t(1) << 20}) {
                vexa::fast::Options opt = eager(GetParam());
                opt.chunk = chunk;
                expect_matches_exact_core(m, run(m, GetParam(), opt, 2),
                                          "v " + std::to_string(v) + " K " + std::to_string(K) +
                                              " chunk " + std::to_string(chunk));
            }
        }
}

INSTANTIATE_TEST_SUITE_P(Engines, Int16Engine, ::testing::ValuesIn(entries_with_prefix("int16/")), param_name);

}  // namespace
