// Small and thin products with every engine's own cut-offs, as the C ABI runs them: on
// either side of the cut-offs (the fast path just admitted, or just refused, by each of
// its limits) every element must match the GMP oracle bit for bit, on one thread and two.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "exact_oracle.h"
#include "exact/exact_core.h"
#include "fastpath/fastpath_driver.h"
#include "fastpath_support.h"

namespace {

using fastpath_test::EntryParam;
using fastpath_test::Matrices;

struct Shape {
    int64_t M, N, K;
    bool int8_admitted;   // the small-product cut-offs of the VNNI and AMX kernels admit it
    bool int16_admitted;  // the int16 engine's cut-offs admit it
};

// Around the int8 limits (2^13 multiply-adds, 8 columns, 64 outputs, K of 16) and the
// int16 ones (2^15 multiply-adds, 8 rows and 8 columns), each met exactly or missed by
// one, and thin shapes well past them.
const Shape kShapes[] = {
    {1, 128, 64, true, false},   // a single row, 2^13 multiply-adds
    {2, 64, 64, true, false},    {64, 8, 16, true, false},   {8, 8, 128, true, false},  {20, 20, 21, true, false},
    {1, 512, 16, true, false},   {97, 9, 33, true, false},   {3, 100, 70, true, false},
    {64, 7, 64, false, false},   // too few columns
    {1, 63, 256, false, false},  // too few outputs
    {128, 8, 15, false, false},  // K too short
    {16, 16, 31, false, false},  // too little work
    {32, 32, 32, true, true},    // 2^15 multiply-adds
    {8, 256, 16, true, true},    {8, 512, 8, false, true},    {31, 32, 32, true, false},
    {7, 256, 64, true, false},   // too few rows for int16
    {256, 7, 64, false, false},
};

class SmallProducts : public fastpath_test::EntryTest {};

void expect_oracle(const Matrices& m, const fastpath_test::Result& r, const std::string& what) {
    int64_t bad = 0;
    for (int64_t i = 0; i < m.M; ++i)
        for (int64_t j = 0; j < m.N; ++j) {
            const vexa_test::Triple want = vexa_test::reference_dot(&m.A[size_t(i * m.K)], 1, &m.B[size_t(j)], m.N, m.K);
            const size_t at = size_t(i * m.N + j);
            const vexa_test::Triple got{r.hi[at], r.lo[at], r.res[at]};
            if (!vexa_test::same_bits(got, want) && ++bad <= 3)
                ADD_FAILURE() << what << " (" << i << "," << j << "): " << vexa_test::describe(got) << " want "
                              << vexa_test::describe(want);
        }
    EXPECT_EQ(bad, 0) << what;
}

TEST_P(SmallProducts, MatchTheOracleOnBothSidesOfTheCutOffs) {
    const std::string id = GetParam().entry->id;
    const bool int8_cutoffs = id == "int8/avx512_vnni" || id == "int8/amx_int8";
    const bool int16_cutoffs = id.rfind("int16/", 0) == 0;
    for (const Shape& s : kShapes) {
        Matrices m = fastpath_test::random_normal(s.M, s.N, s.K, uint32_t(s.M * 131 + s.N * 7 + s.K));
        // An exact zero, a line of one sign's zeros and a very wide row among ordinary ones.
        m.A[0] = 0.0;
        for (int64_t k = 0; k < s.K; ++k) m.B[size_t(k * s.N + s.N - 1)] = -0.0;
        if (s.M > 2)
            for (int64_t k = 0; k < s.K; ++k) m.A[size_t(s.K + k)] *= std::ldexp(1.0, k % 2 ? -600 : 600);
        for (int threads : {1, 2}) {
            const std::string what = std::to_string(s.M) + "x" + std::to_string(s.N) + "x" + std::to_string(s.K) +
                                     ", " + std::to_string(threads) + " threads";
            const fastpath_test::Result r = fastpath_test::run(m, GetParam(), GetParam().entry->defaults(), threads);
            expect_oracle(m, r, what);
            // Which path ran: the small-product cut-offs are what this file is about.
            if (int8_cutoffs || int16_cutoffs)
                EXPECT_EQ(vexa::fast::last_timing().moduli > 0, int8_cutoffs ? s.int8_admitted : s.int16_admitted)
                    << what;
        }
    }
}

// The fast path's threads: one per 2^20 of work (M*N*K plus 64 per element of A and B),
// to the nearest, at least one, at most those asked for.
TEST(SmallProducts, ThreadsFollowTheWork) {
    vexa::fast::Options options;
    const auto threads = [&](int64_t M, int64_t N, int64_t K, int asked) {
        vexa::GemmProblem pb{};
        pb.M = M, pb.N = N, pb.K = K;
        return vexa::fast::driver::threads_for_work(pb, options, asked);
    };
    EXPECT_EQ(threads(64, 64, 64, 2), 1) << "786432: under one thread's share";
    EXPECT_EQ(threads(80, 80, 80, 2), 1) << "1331200: 1.27 shares";
    EXPECT_EQ(threads(96, 96, 96, 2), 2) << "2064384: 1.97 shares";
    EXPECT_EQ(threads(128, 128, 128, 2), 2);
    EXPECT_EQ(threads(160, 160, 160, 8), 7) << "7372800 of work";
    EXPECT_EQ(threads(1, 1024, 1024, 2), 2) << "a thin product is mostly residues of B";
    EXPECT_EQ(threads(1024, 1024, 1024, 1), 1);
    EXPECT_EQ(threads(0, 64, 64, 2), 1);
    options.min_work_per_thread = 0;
    EXPECT_EQ(threads(8, 8, 8, 3), 3) << "no floor";
}

// The exact core's threads: one per 2^12 multiply-adds of the elements it is given, rounded
// down, at least one, at most those asked for; a fallback of a few lines of a large
// product still gets them all.
TEST(SmallProducts, ExactCoreThreadsFollowTheWork) {
    using vexa::exact::threads_for_work;
    EXPECT_EQ(threads_for_work(2 * 2, 2, 2), 1) << "eight multiply-adds";
    EXPECT_EQ(threads_for_work(16 * 16, 16, 2), 1) << "4096: one share";
    EXPECT_EQ(threads_for_work(20 * 20, 20, 2), 1) << "8000: 1.95 shares";
    EXPECT_EQ(threads_for_work(8 * 8, 128, 2), 2) << "8192: two shares";
    EXPECT_EQ(threads_for_work(30 * 30, 30, 8), 6) << "27000: 6.6 shares";
    EXPECT_EQ(threads_for_work(64 * 64, 64, 8), 8);
    EXPECT_EQ(threads_for_work(2 * 4096, 4096, 2), 2) << "two excluded rows of a large product";
    EXPECT_EQ(threads_for_work(0, 64, 4), 1);
    EXPECT_EQ(threads_for_work(1024 * 1024, 1024, 1), 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, SmallProducts, ::testing::ValuesIn(fastpath_test::entries_with_prefix()),
                         fastpath_test::param_name);

}  // namespace
