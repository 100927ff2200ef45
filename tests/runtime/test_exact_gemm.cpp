// Every kernel the machine supports, and every engine of the fast path with its small-size
// cut-offs removed (the portable references included), at several thread counts, against
// the GMP oracle, bit for bit, over the whole accuracy case list: edge-case doubles, random and integer data,
// wide exponent ranges, ill-conditioned dot products, cancellation, degenerate shapes, a long
// K, overflow, float32 residue overflow and underflow, and every special-value rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "exact_oracle.h"
#include "fastpath/fastpath.h"
#include "kernel.h"
#include "kernel_registry.h"
#include "vexa.h"

namespace {

using vexa_test::Triple;

struct Case {
    int64_t M = 0, N = 0, K = 0;
    std::vector<double> A, B;  // row-major M x K and K x N
    Case() = default;
    Case(int64_t m, int64_t n, int64_t k)
        : M(m), N(n), K(k), A(size_t(m * k)), B(size_t(k * n)) {}
    double& a(int64_t i, int64_t k) { return A[size_t(i * K + k)]; }
    double& b(int64_t k, int64_t j) { return B[size_t(k * N + j)]; }
};

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Labelled edge-case doubles.
struct Labelled {
    const char* label;
    double value;
};
const std::vector<Labelled>& edge_values() {
    static const std::vector<Labelled> values = {
        {"+0", 0.0},
        {"-0", -0.0},
        {"smallest subnormal", std::numeric_limits<double>::denorm_min()},
        {"-smallest subnormal", -std::numeric_limits<double>::denorm_min()},
        {"3 * smallest subnormal", 3 * std::numeric_limits<double>::denorm_min()},
        {"mid subnormal", std::ldexp(1.5, -1050)},
        {"largest subnormal", DBL_MIN - std::numeric_limits<double>::denorm_min()},
        {"DBL_MIN", DBL_MIN},
        {"-DBL_MIN", -DBL_MIN},
        {"DBL_MAX", DBL_MAX},
        {"-DBL_MAX", -DBL_MAX},
        {"1", 1.0},
        {"-1", -1.0},
        {"1 + ulp", std::nextafter(1.0, 2.0)},
        {"1 - ulp/2", std::nextafter(1.0, 0.0)},
        {"-(1 + ulp)", -std::nextafter(1.0, 2.0)},
        {"2^-1022 + ulp", std::nextafter(DBL_MIN, 1.0)},
        {"2^511", std::ldexp(1.0, 511)},
        {"2^512", std::ldexp(1.0, 512)},
        {"2^-537", std::ldexp(1.0, -537)},
        {"2^-600", std::ldexp(1.0, -600)},
        {"-2^1000", -std::ldexp(1.0, 1000)},
        {"2^-1000", std::ldexp(1.0, -1000)},
        {"1/3", 1.0 / 3.0},
        {"-2/3", -2.0 / 3.0},
        {"2^53 - 1", 9007199254740991.0},
        {"2^-24", std::ldexp(1.0, -24)},
        {"2^-149", std::ldexp(1.0, -149)},
        {"2^128", std::ldexp(1.0, 128)},
    };
    return values;
}

// One kernel at one thread count; outputs pre-filled with a sentinel that no rule produces.
struct Output {
    std::vector<double> hi, lo;
    std::vector<float> res;
};

// A kernel of the table, or an engine that takes every product through its own path.
struct Runner {
    std::string name;
    const vexa::Kernel* kernel = nullptr;
    const vexa::registry::Entry* entry = nullptr;
    int run(const vexa::GemmProblem& pb, int threads) const {
        if (kernel) return kernel->gemm(pb, threads);
        vexa::fast::Options eager = entry->defaults();
        eager.min_work = 0;
        eager.min_side = 0;
        eager.min_cols = eager.min_outputs = eager.min_depth = 0;
        return vexa::registry::gemm(*entry, pb, threads, eager);
    }
};
void PrintTo(const Runner& runner, std::ostream* out) { *out << runner.name; }

Output run_kernel(const Runner& runner, const Case& c, int threads) {
    Output out;
    const size_t n = size_t(c.M * c.N);
    out.hi.assign(n, -1234.5);
    out.lo.assign(n, -1234.5);
    out.res.assign(n, -1234.5f);
    const vexa::GemmProblem pb{c.A.data(), c.B.data(), out.hi.data(), out.lo.data(),
                               out.res.data(), c.M, c.N, c.K};
    EXPECT_EQ(runner.run(pb, threads), VEXA_OK);
    return out;
}

std::vector<Triple> reference(const Case& c) {
    std::vector<Triple> ref(size_t(c.M * c.N));
    for (int64_t i = 0; i < c.M; ++i)
        for (int64_t j = 0; j < c.N; ++j)
            ref[size_t(i * c.N + j)] =
                vexa_test::reference_dot(c.A.data() + i * c.K, 1, c.B.data() + j, c.N, c.K);
    return ref;
}

void expect_identical(const std::vector<Triple>& ref, const Output& out, const Case& c) {
    int64_t mismatches = 0;
    for (int64_t i = 0; i < c.M; ++i)
        for (int64_t j = 0; j < c.N; ++j) {
            const size_t at = size_t(i * c.N + j);
            const Triple got{out.hi[at], out.lo[at], out.res[at]};
            if (vexa_test::same_bits(got, ref[at])) continue;
            if (++mismatches <= 5)
                ADD_FAILURE() << "element (" << i << ", " << j << "): got "
                              << vexa_test::describe(got) << ", want "
                              << vexa_test::describe(ref[at]);
        }
    EXPECT_EQ(mismatches, 0) << "of " << c.M * c.N << " elements";
}

std::vector<Runner> supported_runners() {
    std::vector<Runner> runners;
    std::size_t count = 0;
    const vexa::Kernel* const* table = vexa::kernel_table(&count);
    for (std::size_t k = 0; k < count; ++k)
        if (table[k]->is_supported()) runners.push_back({table[k]->name, table[k], nullptr});
    // Every registry entry this process runs (KernelChoice checks that none is missing).
    const vexa::registry::Entry* entries = vexa::registry::entries(&count);
    for (std::size_t e = 0; e < count; ++e) {
        if (!vexa::registry::runs_here(entries[e])) continue;
        std::string name = std::string("eager_") + entries[e].id;
        for (char& ch : name)
            if (ch == '/') ch = '_';
        runners.push_back({name, nullptr, &entries[e]});
    }
    return runners;
}

class EveryKernel : public ::testing::TestWithParam<Runner> {
  protected:
    // The oracle once, then the kernel at 1, 2 and 3 threads (3 leaves a ragged split).
    void check(const Case& c) {
        const std::vector<Triple> ref = reference(c);
        for (int threads : {1, 2, 3}) {
            SCOPED_TRACE("threads = " + std::to_string(threads));
            expect_identical(ref, run_kernel(GetParam(), c, threads), c);
        }
    }
};

std::mt19937_64& rng() {
    static std::mt19937_64 engine(20260418);
    return engine;
}

// A 1 x K . K x 1 product.
Case dot_case(std::vector<double> a, std::vector<double> b) {
    Case c(1, 1, int64_t(a.size()));
    c.A = std::move(a);
    c.B = std::move(b);
    return c;
}

double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng()); }

Case random_normal(int64_t M, int64_t N, int64_t K) {
    Case c(M, N, K);
    std::normal_distribution<double> normal;
    for (double& x : c.A) x = normal(rng());
    for (double& x : c.B) x = normal(rng());
    return c;
}

// A value of random sign and magnitude 10^u, u uniform in [lo, hi].
double log_uniform(double lo, double hi) {
    const double x = std::pow(10.0, uniform(lo, hi)) * uniform(1.0, 2.0);
    return (rng()() & 1) ? -x : x;
}

// GenDot: a pair of vectors whose dot product has condition number about `cond`.
void gen_dot(size_t n, double cond, std::vector<double>& x, std::vector<double>& y) {
    x.assign(n, 0.0);
    y.assign(n, 0.0);
    const size_t half = n / 2;
    const double b = std::log2(cond);
    std::vector<int> e(half);
    for (size_t i = 0; i < half; ++i) e[i] = int(std::lround(uniform(0, 1) * b / 2));
    e[0] = int(std::lround(b / 2)) + 1;
    e[half - 1] = 0;
    for (size_t i = 0; i < half; ++i) {
        x[i] = uniform(-1, 1) * std::ldexp(1.0, e[i]);
        y[i] = uniform(-1, 1) * std::ldexp(1.0, e[i]);
    }
    for (size_t i = half; i < n; ++i) {
        const double frac = double(i - half) / double(std::max<size_t>(1, n - half - 1));
        const int ei = int(std::lround(b / 2 * (1 - frac)));
        x[i] = uniform(-1, 1) * std::ldexp(1.0, ei);
        // The running dot product exactly, then rounded: a compensated dot would cap the
        // condition near 1e32.
        const double partial =
            vexa_test::reference_round(vexa_test::exact_dot_scaled(x.data(), 1, y.data(), 1, int64_t(i))).hi;
        y[i] = (uniform(-1, 1) * std::ldexp(1.0, ei) - partial) / x[i];
    }
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng());
    std::vector<double> xs(n), ys(n);
    for (size_t i = 0; i < n; ++i) xs[i] = x[order[i]], ys[i] = y[order[i]];
    x.swap(xs);
    y.swap(ys);
}

TEST_P(EveryKernel, EdgeValueTable) {
    const auto& table = edge_values();
    for (int64_t K : {1, 2, 3, 7}) {
        SCOPED_TRACE("K = " + std::to_string(K));
        Case c(24, 24, K);
        std::uniform_int_distribution<size_t> pick(0, table.size() - 1);
        for (double& x : c.A) x = table[pick(rng())].value;
        for (double& x : c.B) x = table[pick(rng())].value;
        check(c);
    }
}

TEST_P(EveryKernel, EveryPairOfEdgeValues) {
    // Row r of A holds value r, column s of B value s, in one slot of K = 3 (the others are
    // zero), so element (r, s) is exactly table[r] * table[s].
    const auto& table = edge_values();
    const int64_t n = int64_t(table.size());
    Case c(n, n, 3);
    for (int64_t r = 0; r < n; ++r) c.a(r, 1) = table[size_t(r)].value;
    for (int64_t s = 0; s < n; ++s) c.b(1, s) = table[size_t(s)].value;
    check(c);
}

TEST_P(EveryKernel, RandomNormal) {
    check(random_normal(37, 41, 53));
    check(random_normal(70, 19, 130));
}

TEST_P(EveryKernel, LargeEnoughForTheFastKernels) {
    // Over 2^21 multiply-adds each, so fast kernels run their own path rather than
    // handing the whole product to the exact core.
    check(random_normal(96, 80, 300));
    Case wide(64, 70, 480);
    for (int64_t i = 0; i < wide.M; ++i)
        for (int64_t k = 0; k < wide.K; ++k)  // row i spans 10^(+-(i * 4.5)) and more
            wide.a(i, k) = log_uniform(-double(i) * 4.5, double(i) * 4.5);
    for (double& x : wide.B) x = log_uniform(-30, 30);
    check(wide);
}

TEST_P(EveryKernel, Integers) {
    Case c(21, 23, 200);
    std::uniform_int_distribution<int64_t> value(-(int64_t(1) << 24), int64_t(1) << 24);
    for (double& x : c.A) x = double(value(rng()));
    for (double& x : c.B) x = double(value(rng()));
    check(c);
    // Small integers: every sum exact in a double, so lo and res must be +0.
    const std::vector<Triple> ref = reference(c);
    for (const Triple& t : ref) {
        EXPECT_EQ(t.lo, 0.0);
        EXPECT_FALSE(std::signbit(t.lo));
    }
}

TEST_P(EveryKernel, RowsSpanning1e300) {
    Case c(16, 17, 64);
    for (double& x : c.A) x = log_uniform(-300, 300);
    for (double& x : c.B) x = log_uniform(-300, 300);
    check(c);
    // One row tiny, one huge, mixed within a row.
    Case d(3, 4, 40);
    for (int64_t k = 0; k < d.K; ++k) {
        d.a(0, k) = log_uniform(-300, -290);
        d.a(1, k) = log_uniform(290, 300);
        d.a(2, k) = (k & 1) ? log_uniform(-300, -250) : log_uniform(250, 300);
        for (int64_t j = 0; j < d.N; ++j) d.b(k, j) = log_uniform(-300, 300);
    }
    check(d);
}

TEST_P(EveryKernel, IllConditionedDotProducts) {
    const std::vector<double> conds = {1e10, 1e20, 1e30, 1e40, 1e50, 1e60};
    const int64_t K = 60;
    Case c(int64_t(conds.size()), int64_t(conds.size()), K);
    for (size_t t = 0; t < conds.size(); ++t) {
        std::vector<double> x, y;
        gen_dot(size_t(K), conds[t], x, y);
        for (int64_t k = 0; k < K; ++k) c.a(int64_t(t), k) = x[size_t(k)], c.b(k, int64_t(t)) = y[size_t(k)];
        // The generator did its job: sum |x y| / |x . y| is at least a thousandth of cond.
        mpz_class abs_sum = 0;
        for (int64_t k = 0; k < K; ++k) {
            const double xa = std::fabs(x[size_t(k)]), ya = std::fabs(y[size_t(k)]);
            abs_sum += vexa_test::exact_dot_scaled(&xa, 1, &ya, 1, 1);
        }
        const mpz_class dot = vexa_test::exact_dot_scaled(x.data(), 1, y.data(), 1, K);
        ASSERT_NE(dot, 0);
        const mpq_class condition(abs_sum, abs(dot));
        EXPECT_GE(condition.get_d(), conds[t] * 1e-3) << "cond " << conds[t];
    }
    check(c);
}

TEST_P(EveryKernel, ExactCancellationToZero) {
    Case c(5, 6, 8);
    for (int64_t i = 0; i < c.M; ++i)
        for (int64_t k = 0; k < c.K; k += 2) {
            const double v = log_uniform(-200, 200);
            c.a(i, k) = v;
            c.a(i, k + 1) = -v;
        }
    for (int64_t j = 0; j < c.N; ++j)
        for (int64_t k = 0; k < c.K; k += 2) c.b(k, j) = c.b(k + 1, j) = log_uniform(-100, 100);
    // Every element is exactly zero with nonzero products: +0 in all words.
    const std::vector<Triple> ref = reference(c);
    for (const Triple& t : ref) {
        EXPECT_EQ(t.hi, 0.0);
        EXPECT_FALSE(std::signbit(t.hi));
    }
    check(c);
}

TEST_P(EveryKernel, SignedZeros) {
    // Row 0 = [-0, +0], row 1 = [+0, -0].
    // (0,0): -0*0, 0*-0 -> both -0 -> hi = -0.   (0,1): -0*0, 0*0 -> -0, +0 -> +0.
    // (1,0): 0*0, -0*-0 -> +0.                   (1,2): 0*-5, -0*7 -> both -0 -> -0.
    Case c(2, 3, 2);
    c.a(0, 0) = -0.0, c.a(0, 1) = 0.0;
    c.a(1, 0) = 0.0, c.a(1, 1) = -0.0;
    c.b(0, 0) = 0.0, c.b(1, 0) = -0.0;
    c.b(0, 1) = 0.0, c.b(1, 1) = 0.0;
    c.b(0, 2) = -5.0, c.b(1, 2) = 7.0;
    const std::vector<Triple> ref = reference(c);
    EXPECT_TRUE(std::signbit(ref[0].hi));
    EXPECT_FALSE(std::signbit(ref[1].hi));
    EXPECT_FALSE(std::signbit(ref[3].hi));
    EXPECT_TRUE(std::signbit(ref[5].hi));
    check(c);
    // Products that underflow in IEEE but are exact here are not zero: tiny, signed.
    Case d(1, 1, 2);
    d.a(0, 0) = std::numeric_limits<double>::denorm_min(), d.b(0, 0) = -DBL_MIN;
    d.a(0, 1) = 0.0, d.b(0, 1) = 1.0;
    check(d);
}

TEST_P(EveryKernel, DegenerateShapes) {
    check(random_normal(1, 1, 1));
    check(random_normal(9, 7, 1));
    Case dot = random_normal(1, 1, 1000);
    for (double& x : dot.A) x = log_uniform(-30, 30);
    check(dot);
    check(random_normal(50, 60, 1));  // outer product, M x 1 . 1 x N
    check(random_normal(1, 33, 17));
    check(random_normal(33, 1, 17));
}

TEST_P(EveryKernel, LargeK) {
    const int64_t K = 100003;
    Case c(2, 3, K);
    for (int64_t k = 0; k < K; ++k) {
        // Row 0: all products positive and close to 1, so the accumulator carries often.
        c.a(0, k) = std::nextafter(1.0, 0.0) - std::ldexp(double(k % 97), -60);
        c.a(1, k) = log_uniform(-20, 20);
        c.b(k, 0) = std::nextafter(1.0, 0.0);
        c.b(k, 1) = log_uniform(-20, 20);
        c.b(k, 2) = (k % 2 ? -1.0 : 1.0) * std::ldexp(1.0, int(k % 200) - 100);
    }
    check(c);
    // Wide enough for the exact core's panels (16 columns and more) as well.
    Case wide(1, 17, K);
    for (int64_t k = 0; k < K; ++k) {
        wide.a(0, k) = log_uniform(-10, 10);
        wide.b(k, 0) = std::nextafter(1.0, 0.0);
        for (int64_t j = 1; j < wide.N; ++j) wide.b(k, j) = log_uniform(-5.0 * double(j), 5.0 * double(j));
    }
    check(wide);
}

// K longer than the exact core's chunk of B (4096 rows), so that sums carry over from chunk
// to chunk: rows in pairs and alone (after a special row, a zero row), three panels with a
// narrow last one, a special column, wide exponents.
TEST_P(EveryKernel, KOverSeveralChunksOfB) {
    const int64_t K = 2 * 4096 + 37;
    Case c = random_normal(7, 35, K);
    for (int64_t k = 0; k < K; ++k) {
        c.a(1, k) = 0.0;                        // a zero row between two regular ones
        c.a(4, k) = log_uniform(-40, 40);
        c.b(k, 20) = log_uniform(-60, 60);
    }
    c.a(2, K / 2) = kInf;                       // a special row, then a lone regular row
    c.b(K - 1, 33) = kNaN;                      // a special column in the last panel
    check(c);
}

TEST_P(EveryKernel, OverflowOfTheExactResult) {
    const double half_ulp_max = std::ldexp(1.0, 970);  // half an ulp of DBL_MAX
    Case c(6, 1, 3);
    // 2 * DBL_MAX overflows; -2 * DBL_MAX too.
    c.a(0, 0) = DBL_MAX, c.a(0, 1) = DBL_MAX;
    c.a(1, 0) = -DBL_MAX, c.a(1, 1) = -DBL_MAX;
    // DBL_MAX + half an ulp: a tie, to even, which is 2^1024: overflow.
    c.a(2, 0) = DBL_MAX, c.a(2, 1) = half_ulp_max;
    // DBL_MAX + just under half an ulp: stays DBL_MAX, with lo and res the remainder.
    c.a(3, 0) = DBL_MAX, c.a(3, 1) = half_ulp_max, c.a(3, 2) = -std::ldexp(1.0, 800);
    // Intermediate overflow but a finite result: DBL_MAX + DBL_MAX - DBL_MAX.
    c.a(4, 0) = DBL_MAX, c.a(4, 1) = DBL_MAX, c.a(4, 2) = -DBL_MAX;
    // Huge terms cancelling exactly, leaving a small result.
    c.a(5, 0) = std::ldexp(1.0, 1000), c.a(5, 1) = -std::ldexp(1.0, 1000), c.a(5, 2) = 3.0;
    for (int64_t k = 0; k < 3; ++k) c.b(k, 0) = 1.0;
    // Products of 2^2000, far beyond the double range, cancelling back into it (or not).
    Case big(1, 2, 2);
    big.a(0, 0) = std::ldexp(1.0, 1000), big.a(0, 1) = std::ldexp(1.0, 1000);
    big.b(0, 0) = std::ldexp(1.0, 1000), big.b(1, 0) = -std::ldexp(1.0, 1000);
    big.b(0, 1) = std::ldexp(1.0, 1000), big.b(1, 1) = -std::ldexp(1.0, 999);
    const std::vector<Triple> ref = reference(c);
    EXPECT_TRUE(std::isinf(ref[0].hi) && ref[0].hi > 0);
    EXPECT_TRUE(std::isinf(ref[1].hi) && ref[1].hi < 0);
    EXPECT_TRUE(std::isinf(ref[2].hi));
    EXPECT_EQ(ref[3].hi, DBL_MAX);
    EXPECT_EQ(ref[4].hi, DBL_MAX);
    check(c);
    check(big);
}

TEST_P(EveryKernel, ResidueAndLowWordRanges) {
    Case c(5, 1, 3);
    for (int64_t k = 0; k < 3; ++k) c.b(k, 0) = 1.0;
    // res would be 2^800: beyond float32, so 0.
    c.a(0, 0) = std::ldexp(1.0, 1000), c.a(0, 1) = std::ldexp(1.0, 900), c.a(0, 2) = std::ldexp(1.0, 800);
    // res just below and at the float32 overflow threshold 2^128 - 2^103.
    c.a(1, 0) = std::ldexp(1.0, 400), c.a(1, 1) = std::ldexp(1.0, 300),
    c.a(1, 2) = std::ldexp(1.0, 128) - std::ldexp(1.0, 104);
    c.a(2, 0) = std::ldexp(1.0, 400), c.a(2, 1) = std::ldexp(1.0, 300),
    c.a(2, 2) = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
    // res a float32 subnormal, and below half the smallest one.
    c.a(3, 0) = std::ldexp(1.0, -20), c.a(3, 1) = std::ldexp(1.0, -80), c.a(3, 2) = std::ldexp(3.0, -148);
    c.a(4, 0) = std::ldexp(1.0, -20), c.a(4, 1) = std::ldexp(1.0, -80), c.a(4, 2) = -std::ldexp(1.0, -151);
    const std::vector<Triple> ref = reference(c);
    EXPECT_EQ(ref[0].res, 0.0f);
    EXPECT_EQ(ref[1].res, std::ldexp(1.0f, 128 - 1) * (2.0f - std::ldexp(1.0f, -23)));
    EXPECT_EQ(ref[2].res, 0.0f);
    EXPECT_EQ(ref[3].res, std::ldexp(3.0f, -148));
    EXPECT_EQ(ref[4].res, 0.0f);
    EXPECT_TRUE(std::signbit(ref[4].res));  // nonzero and negative, rounded to zero
    check(c);
    // lo a double subnormal, with more below it rounded away; and a remainder so small that
    // lo and res round to zero, keeping its sign as IEEE rounding does.
    const double tiny = std::ldexp(1.0, -550);
    check(dot_case({1.0, std::ldexp(1.0, -1060), tiny}, {1.0, 1.0, tiny}));
    check(dot_case({1.0, -tiny}, {1.0, std::ldexp(1.0, -530)}));
    check(dot_case({DBL_MIN, std::ldexp(5.0, -1074)}, {-1.0, 1.0}));
}

TEST_P(EveryKernel, SpecialValueRules) {
    struct Rule {
        const char* label;
        std::vector<double> a, b;
    };
    const std::vector<Rule> rules = {
        {"NaN in A", {1.0, kNaN, 2.0}, {1.0, 1.0, 1.0}},
        {"NaN in B", {1.0, 1.0, 2.0}, {1.0, 1.0, kNaN}},
        {"inf * 0", {kInf, 1.0, 2.0}, {0.0, 1.0, 1.0}},
        {"-0 * -inf", {-0.0, 1.0, 2.0}, {-kInf, 1.0, 1.0}},
        {"+inf and -inf products", {kInf, kInf, 2.0}, {1.0, -1.0, 1.0}},
        {"+inf only", {kInf, 1.0, DBL_MAX}, {2.0, 1.0, DBL_MAX}},
        {"-inf only", {kInf, -kInf, 1.0}, {-1.0, 3.0, 1.0}},
        {"inf with a huge cancelling sum", {kInf, DBL_MAX, -DBL_MAX}, {1.0, -DBL_MAX, DBL_MAX}},
        {"inf * subnormal", {kInf, 0.0, 0.0}, {std::numeric_limits<double>::denorm_min(), 1.0, 1.0}},
    };
    for (const Rule& rule : rules) {
        SCOPED_TRACE(rule.label);
        check(dot_case(rule.a, rule.b));
    }
    EXPECT_TRUE(std::isnan(reference(dot_case(rules[4].a, rules[4].b))[0].hi));
    EXPECT_EQ(reference(dot_case(rules[6].a, rules[6].b))[0].hi, -kInf);
    // Specials in a full matrix: a row and a column of specials among ordinary elements.
    Case m = random_normal(20, 18, 9);
    m.a(3, 4) = kInf;
    m.a(7, 0) = kNaN;
    m.b(2, 5) = -kInf;
    m.b(4, 11) = 0.0;  // row 3 . column 11: inf * 0
    check(m);
}

TEST_P(EveryKernel, RandomFuzzOver100000Elements) {
    // A mix that keeps every path busy: edge values, exponents across the whole range,
    // small integers, zeros and the odd special.
    const auto& table = edge_values();
    auto draw = [&]() -> double {
        const uint64_t kind = rng()() % 100;
        if (kind < 20) return table[rng()() % table.size()].value;
        if (kind < 45) return log_uniform(-320, 308);
        if (kind < 60) return double(int64_t(rng()() % 2001) - 1000);
        if (kind < 65) return (kind & 1) ? 0.0 : -0.0;
        if (kind == 65 && rng()() % 8 == 0) return (rng()() & 1) ? kInf : kNaN;
        std::normal_distribution<double> normal;
        return normal(rng());
    };
    // K = 24 puts M * N * K above the size where fast kernels take over from the exact core.
    Case c(320, 320, 24);
    for (double& x : c.A) x = draw();
    for (double& x : c.B) x = draw();
    const std::vector<Triple> ref = reference(c);
    expect_identical(ref, run_kernel(GetParam(), c, 2), c);
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel, ::testing::ValuesIn(supported_runners()),
                         [](const ::testing::TestParamInfo<Runner>& param) { return param.param.name; });

}  // namespace
