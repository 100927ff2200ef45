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

// A workspace target far below the product's needs splits it over M and N.
TEST_P(EveryEngine, BlockedWorkspace) {
    const Matrices m = random_normal(200, 600, 40, 11);
    vexa::fast::Options opt = eager(GetParam());
    opt.workspace_bytes = 1;
    opt.chunk = 16;
    expect_matches_exact_core(m, run(m, GetParam(), opt, 2), "blocked");
}

// Columns sorted within a block come gathered from B: a few rows at a time for a block
// too large for cache, panel by panel for a small one, over one K chunk or several.
TEST_P(EveryEngine, GatheredColumns) {
    const Matrices m = random_normal(20, 300, 600, 13);
    for (int64_t chunk : {int64_t(4096), int64_t(160)})
        for (int64_t workspace : {int64_t(768) << 20, int64_t(1) << 16}) {
            vexa::fast::Options opt = eager(GetParam());
            opt.chunk = chunk;
            opt.workspace_bytes = workspace;
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
