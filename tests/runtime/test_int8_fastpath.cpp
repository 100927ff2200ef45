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

#include "exact_core.h"
#include "int8_fastpath.h"
#include "kernel.h"
#include "vexa.h"
#include "workspace_pool.h"

namespace {

using vexa::GemmProblem;
namespace int8 = vexa::int8;

struct Ops {
    const char* name;
    const int8::Int8Ops* ops;
};

std::vector<Ops> available_ops() {
    std::vector<Ops> v{{"portable", &int8::kPortableOps}};
#if VEXA_HAVE_KERNEL_AVX512_VNNI
    if (vexa::kAvx512VnniKernel.is_supported()) v.push_back({"avx512_vnni", &int8::kVnniOps});
#endif
    return v;
}

uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
uint32_t bits_of(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

struct Matrices {
    int64_t M, N, K;
    std::vector<double> A, B;
};

struct Result {
    std::vector<double> hi, lo;
    std::vector<float> res;
};

Result run(const Matrices& m, const int8::Int8Ops& ops, const int8::Int8Options& opt, int threads) {
    Result r;
    const size_t n = size_t(m.M * m.N);
    r.hi.assign(n, 12345.0);
    r.lo.assign(n, 12345.0);
    r.res.assign(n, 12345.0f);
    GemmProblem pb{m.A.data(), m.B.data(), r.hi.data(), r.lo.data(), r.res.data(), m.M, m.N, m.K};
    EXPECT_EQ(int8::gemm(pb, threads, ops, opt), VEXA_OK);
    return r;
}

// Every element bit-identical to the exact core's triple of the same dot product.
void expect_matches_exact_core(const Matrices& m, const Result& r, const std::string& what) {
    int64_t bad = 0;
    for (int64_t i = 0; i < m.M; ++i)
        for (int64_t j = 0; j < m.N; ++j) {
            double hi, lo;
            float res;
            vexa::exact::dot_triple(m.A.data() + i * m.K, 1, m.B.data() + j, m.N, m.K, &hi, &lo, &res);
            const size_t at = size_t(i * m.N + j);
            const bool same = bits_of(hi) == bits_of(r.hi[at]) && bits_of(lo) == bits_of(r.lo[at]) &&
                              bits_of(res) == bits_of(r.res[at]);
            if (!same && ++bad <= 5)
                ADD_FAILURE() << what << " element (" << i << "," << j << "): got (" << r.hi[at] << ", "
                              << r.lo[at] << ", " << r.res[at] << ") want (" << hi << ", " << lo
                              << ", " << res << ")";
        }
    EXPECT_EQ(bad, 0) << what;
}

int8::Int8Options eager() {
    int8::Int8Options o;
    o.min_work = 0;  // small test shapes still take the CRT path
    o.min_side = 0;
    return o;
}

Matrices random_normal(int64_t M, int64_t N, int64_t K, uint32_t seed, double scale = 1.0) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> d(0.0, scale);
    Matrices m{M, N, K, std::vector<double>(size_t(M * K)), std::vector<double>(size_t(K * N))};
    for (double& x : m.A) x = d(rng);
    for (double& x : m.B) x = d(rng);
    return m;
}

void PrintTo(const Ops& ops, std::ostream* os) { *os << ops.name; }

class Int8FastPath : public ::testing::TestWithParam<Ops> {};

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
        const int8::Window w = int8::window_of(c.x.data(), 1, int64_t(c.x.size()));
        EXPECT_EQ(w.special, c.special) << c.label;
        EXPECT_EQ(w.width, c.width) << c.label;
        if (c.width) {
            EXPECT_EQ(w.shift, c.shift) << c.label;
        }
    }
}

TEST_P(Int8FastPath, RandomShapesAndThreadCounts) {
    const int64_t shapes[][3] = {{1, 1, 1}, {7, 5, 3}, {37, 70, 133}, {13, 129, 64}, {100, 65, 255}};
    uint32_t seed = 1;
    for (auto& s : shapes) {
        const Matrices m = random_normal(s[0], s[1], s[2], seed++);
        const Result one = run(m, *GetParam().ops, eager(), 1);
        const Result two = run(m, *GetParam().ops, eager(), 3);
        expect_matches_exact_core(m, one, "random normal");
        EXPECT_EQ(0, std::memcmp(one.hi.data(), two.hi.data(), one.hi.size() * sizeof(double)));
        EXPECT_EQ(0, std::memcmp(one.lo.data(), two.lo.data(), one.lo.size() * sizeof(double)));
        EXPECT_EQ(0, std::memcmp(one.res.data(), two.res.data(), one.res.size() * sizeof(float)));
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
        int8::Int8Options opt = eager();
        opt.chunk = int8::kMaxChunk;
        const Result r = run(m, *GetParam().ops, opt, 2);
        expect_matches_exact_core(m, r, "extreme residues K=" + std::to_string(K));
        // The exact values are known here: -1 -+ 128 (K - 1).
        EXPECT_EQ(r.hi[0], 128.0 * double(K - 1) - 1.0);
        EXPECT_EQ(r.hi[1], -128.0 * double(K - 1) - 1.0);
    }
}

// K around multiples of the chunk and of the 4-byte quads; a small chunk makes the
// residue accumulation across chunks and the zero padding of the last chunk do work.
TEST_P(Int8FastPath, ChunkAndQuadEdges) {
    for (int64_t chunk : {int64_t(8), int64_t(64)})
        for (int64_t K : {chunk - 1, chunk, chunk + 1, 3 * chunk - 1, 3 * chunk, 3 * chunk + 1}) {
            const Matrices m = random_normal(9, 67, K, uint32_t(K * 7 + chunk), 1e3);
            int8::Int8Options opt = eager();
            opt.chunk = chunk;
            expect_matches_exact_core(m, run(m, *GetParam().ops, opt, 2),
                                      "chunk " + std::to_string(chunk) + " K " + std::to_string(K));
        }
}

// Rows spanning 1e-300..1e300 among ordinary ones: they cannot be given a sensible
// window and must leave the CRT path, the ordinary rows must not.
TEST_P(Int8FastPath, HugeAndTinyInOneRow) {
    Matrices m = random_normal(40, 70, 50, 99);
    for (int64_t i : {3, 17, 39})
        for (int64_t k = 0; k < m.K; ++k)
            m.A[size_t(i * m.K + k)] *= std::pow(10.0, -300.0 + 600.0 * double(k) / double(m.K - 1));
    for (int64_t k = 0; k < m.K; ++k) m.B[size_t(k * m.N + 5)] *= (k % 2 ? 1e-200 : 1e200);
    int8::Int8Options opt = eager();
    opt.exact_cost_ratio = 1e9;  // only lines no modulus count can hold leave the CRT path
    const Result r = run(m, *GetParam().ops, opt, 2);
    const int8::Int8Timing t = int8::last_int8_timing();
    EXPECT_EQ(t.excluded_rows, 3);
    EXPECT_EQ(t.excluded_cols, 1);
    EXPECT_GT(t.moduli, 0);
    expect_matches_exact_core(m, r, "mixed exponent rows");
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
TEST(Int8Window, ScansOfRowsAndColumns) {
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
    for (const Ops& o : available_ops()) {
        std::vector<int8::LineScan> by_row(static_cast<size_t>(count)), by_col(static_cast<size_t>(count));
        o.ops->scan_lines(rows.data(), K, count, K, true, by_row.data());
        o.ops->scan_lines(cols.data(), count, K, count, false, by_col.data());
        expect_scans_of(lines, by_row, by_col, o.name);
    }
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
        const int8::Window w = int8::window_of(l.x.data(), 1, int64_t(l.x.size()));
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

// K = 4 and rows and columns of equal magnitudes make Cauchy-Schwarz an equality:
// |x| = ||a|| ||b|| = 4 v^2. With v at the limit for L moduli, |x| sits just under P_L / 2,
// as close as the bound allows, so the CRT quotient works at its narrowest margin; 0.2 %
// more and L moduli no longer suffice. One row, wider and of a larger norm
// (2^(width+1) > 2v), must leave the CRT path when L moduli are the cap.
TEST_P(Int8FastPath, NormBoundAtTheModulusLimit) {
    const int64_t K = 4, M = 6, N = 64;
    struct Case {
        int limit_for;  // v at the limit of this many moduli ...
        double factor;  // ... times this
        int want;       // moduli the bound must ask for
    };
    for (const Case c : {Case{5, 1.0, 5}, Case{5, 1.002, 6}, Case{6, 1.0, 6}}) {
        const double log2_p = log2_of(modulus_product(c.limit_for));
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
        int8::Int8Options opt = eager();
        opt.max_moduli = c.want;
        opt.exact_cost_ratio = 1e9;  // keep every line that fits, whatever it costs
        const Result r = run(m, *GetParam().ops, opt, 2);
        const int8::Int8Timing t = int8::last_int8_timing();
        EXPECT_EQ(t.moduli, c.want) << c.limit_for << " " << c.factor;
        EXPECT_EQ(t.excluded_rows, with_wide_row ? 1 : 0);
        EXPECT_EQ(t.excluded_cols, 0);
        expect_matches_exact_core(m, r, "norm bound at the limit");
    }
}

TEST_P(Int8FastPath, SpecialsZerosAndSubnormals) {
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
    expect_matches_exact_core(m, run(m, *GetParam().ops, eager(), 2), "specials");
}

// A workspace target far below the product's needs splits it over M and N.
TEST_P(Int8FastPath, BlockedWorkspace) {
    const Matrices m = random_normal(200, 600, 40, 11);
    int8::Int8Options opt = eager();
    opt.workspace_bytes = 1;
    opt.chunk = 16;
    expect_matches_exact_core(m, run(m, *GetParam().ops, opt, 2), "blocked");
}

// Lines of graded widths, shuffled: every row a constant v_i = 2^e_i - 1 and every column
// a constant w_j = 2^f_j - 1 up to sign, so each |x_ij| = K v_i w_j equals its Cauchy-Schwarz
// bound, and a modulus count one short of what that pair needs would give a wrong integer.
// After sorting, row groups and panels take different counts; whether on one block or
// split over many, each pair must get the count of its own group and panel.
TEST_P(Int8FastPath, GradedWidthsTakeTheirOwnModulusCounts) {
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
        int8::Int8Options opt = eager();
        opt.workspace_bytes = workspace;
        opt.chunk = chunk;
        opt.exact_cost_ratio = 1e9;
        const Result r = run(m, *GetParam().ops, opt, 3);
        const int8::Int8Timing t = int8::last_int8_timing();
        EXPECT_EQ(t.excluded_rows + t.excluded_cols, 0);
        EXPECT_LT(t.average_moduli, t.moduli - 3.0);  // the counts really were graded
        expect_matches_exact_core(m, r, "graded widths, workspace " + std::to_string(workspace) +
                                            ", chunk " + std::to_string(chunk));
    }
}

// The workspace outlives the call for the next one of its size; what the last product
// left in it must not leak into the next.
TEST_P(Int8FastPath, ParkedWorkspaceIsReusedCleanly) {
    vexa::release_parked_workspace();
    EXPECT_EQ(vexa::parked_workspace_bytes(), 0u);
    const Matrices first = random_normal(30, 200, 70, 31, 1e6);
    expect_matches_exact_core(first, run(first, *GetParam().ops, eager(), 2), "first");
    const size_t parked = vexa::parked_workspace_bytes();
    EXPECT_GT(parked, 0u);
    Matrices second = random_normal(30, 200, 70, 32);
    for (int64_t k = 0; k < 70; k += 3) second.A[size_t(k)] = 0.0;
    expect_matches_exact_core(second, run(second, *GetParam().ops, eager(), 2), "second");
    EXPECT_EQ(vexa::parked_workspace_bytes(), parked);
    vexa::release_parked_workspace();
    EXPECT_EQ(vexa::parked_workspace_bytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ops, Int8FastPath, ::testing::ValuesIn(available_ops()),
                         [](const ::testing::TestParamInfo<Ops>& info) { return std::string(info.param.name); });

// The vector pieces that run here, without the portable reference they are checked against.
std::vector<Ops> vector_ops() {
    std::vector<Ops> v = available_ops();
    v.erase(v.begin());
    return v;
}

// Each vector piece's residues and tile against the portable ones, byte for byte.
class Int8VectorPieces : public ::testing::TestWithParam<Ops> {};
// A CPU without any of the ISAs built here has no instances in the native build.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Int8VectorPieces);

TEST_P(Int8VectorPieces, MatchPortable) {
    const int8::Int8Ops& ops = *GetParam().ops;
    std::mt19937_64 rng(3);
    std::normal_distribution<double> d;
    const int64_t rows = 6, K = 37, kpad = 40;
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
    std::vector<uint8_t> row_in(rows, 1), col_in(64, 1);
    row_in[2] = 0;
    for (int64_t r = 0; r < rows; ++r) row_shift[size_t(r)] = int8::window_of(&a[size_t(r * K)], 1, K).shift;
    for (int64_t c = 0; c < 50; ++c) col_shift[size_t(c)] = int8::window_of(&b[size_t(c)], 50, K).shift;
    const int64_t a_stride = rows * kpad, b_stride = kpad * 64;
    std::vector<uint8_t> ra1(size_t(plan.count * a_stride)), ra2(ra1.size(), 7);
    std::vector<int8_t> rb1(size_t(plan.count * b_stride)), rb2(rb1.size(), 7);
    int8::kPortableOps.residues_a(plan, a.data(), K, rows, K, row_shift.data(), row_in.data(), ra1.data(), kpad, a_stride);
    ops.residues_a(plan, a.data(), K, rows, K, row_shift.data(), row_in.data(), ra2.data(), kpad, a_stride);
    EXPECT_EQ(ra1, ra2);
    int8::kPortableOps.residues_b_panel(plan, b.data(), 50, 50, K, kpad, col_shift.data(), col_in.data(), rb1.data(), b_stride);
    ops.residues_b_panel(plan, b.data(), 50, 50, K, kpad, col_shift.data(), col_in.data(), rb2.data(), b_stride);
    EXPECT_EQ(rb1, rb2);
    for (int l = 0; l < plan.count; ++l) {
        std::vector<uint8_t> acc1(size_t(6 * 64)), acc2;
        for (size_t e = 0; e < acc1.size(); ++e) acc1[e] = uint8_t(e % size_t(p[l]));
        acc2 = acc1;
        for (int rowsz : {6, 4, 1, 5})
            for (bool accumulate : {true, false}) {
                int8::kPortableOps.tile(plan.moduli[l], &ra1[size_t(l * a_stride)], kpad, rowsz,
                                        &rb1[size_t(l * b_stride)], kpad, acc1.data(), 64, accumulate);
                ops.tile(plan.moduli[l], &ra1[size_t(l * a_stride)], kpad, rowsz, &rb1[size_t(l * b_stride)],
                         kpad, acc2.data(), 64, accumulate);
                EXPECT_EQ(acc1, acc2) << "modulus " << p[l] << ", " << rowsz << " rows, accumulate " << accumulate;
            }
    }
}

INSTANTIATE_TEST_SUITE_P(Ops, Int8VectorPieces, ::testing::ValuesIn(vector_ops()),
                         [](const ::testing::TestParamInfo<Ops>& info) { return std::string(info.param.name); });

// ---- The residue pieces against GMP, on lines built to a chosen integer width ----

// The exact integer x * 2^-shift (x must be a multiple of 2^shift).
mpz_class scaled_integer(double x, int32_t shift) {
    if (x == 0) return 0;
    int e;
    const double f = std::frexp(x, &e);
    mpz_class v(std::ldexp(f, 53));  // x = v * 2^(e - 53), exactly
    const long s = long(e) - 53 - shift;
    if (s >= 0) {
        mpz_mul_2exp(v.get_mpz_t(), v.get_mpz_t(), static_cast<mp_bitcnt_t>(s));
    } else {
        EXPECT_GE(mpz_scan1(v.get_mpz_t(), 0), static_cast<mp_bitcnt_t>(-s)) << x << " is not a multiple of 2^" << shift;
        mpz_fdiv_q_2exp(v.get_mpz_t(), v.get_mpz_t(), static_cast<mp_bitcnt_t>(-s));
    }
    return v;
}

// v mod p in [0, p).
int residue_of(const mpz_class& v, int p) {
    return int(mpz_fdiv_ui(v.get_mpz_t(), static_cast<unsigned long>(p)));
}

// `count` elements, each m * 2^shift with |m| an integer below 2^width and at most 53
// significant bits; the first has exactly `width` bits. Some are zero, some negative zero.
std::vector<double> line_of_width(int width, int32_t shift, int64_t count, std::mt19937_64& rng) {
    std::vector<double> x(static_cast<size_t>(count));
    for (int64_t k = 0; k < count; ++k) {
        const uint64_t kind = rng() % 16;
        if (k > 0 && kind == 0) continue;
        if (k > 0 && kind == 1) {
            x[size_t(k)] = -0.0;
            continue;
        }
        // The top bit, then a significand of up to 53 bits ending at or above bit 0.
        const int top = k == 0 ? width - 1 : int(rng() % uint64_t(width));
        const int length = 1 + int(rng() % uint64_t(std::min(top + 1, 53)));
        uint64_t m = (uint64_t(1) << (length - 1)) | (rng() & ((uint64_t(1) << (length - 1)) - 1));
        if (kind == 2) m = (uint64_t(1) << (length - 1)) | 1;  // the far ends only
        if (kind == 3) m = (uint64_t(1) << length) - 1;        // all ones: the largest digit sums
        const double v = std::ldexp(double(m), top - length + 1 + shift);
        x[size_t(k)] = (rng() & 1) ? -v : v;
    }
    return x;
}

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

struct Line {
    int width;
    int32_t shift;
};

// Rows of A, one per line, over k_count with rows padded to row_stride; rows not included
// hold NaNs that must not be read. Both kernels against GMP, every byte of the output.
void check_residues_a(const std::vector<int>& moduli, const std::vector<Line>& lines, int64_t k_count,
                      int64_t row_stride, std::mt19937_64& rng, const std::string& what) {
    const int64_t rows = int64_t(lines.size()), lda = k_count + 3;
    std::vector<double> a(size_t(rows * lda), std::numeric_limits<double>::quiet_NaN());
    std::vector<int32_t> shift(static_cast<size_t>(rows));
    std::vector<uint8_t> included(static_cast<size_t>(rows));
    int widest = 1;
    for (int64_t r = 0; r < rows; ++r) {
        const Line& line = lines[size_t(r)];
        included[size_t(r)] = line.width > 0;
        shift[size_t(r)] = line.shift;
        if (line.width <= 0) continue;
        const std::vector<double> x = line_of_width(line.width, line.shift, k_count, rng);
        std::copy(x.begin(), x.end(), a.begin() + r * lda);
        widest = std::max(widest, line.width);
    }
    std::vector<double> pow2;
    const int8::ResiduePlan plan = residue_plan(moduli, widest + 1, pow2);
    const int64_t modulus_stride = rows * row_stride;
    std::vector<uint8_t> expected(size_t(plan.count * modulus_stride), 0);
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t k = 0; k < k_count && included[size_t(r)]; ++k) {
            const mpz_class v = scaled_integer(a[size_t(r * lda + k)], shift[size_t(r)]);
            for (int l = 0; l < plan.count; ++l)
                expected[size_t(l * modulus_stride + r * row_stride + k)] = uint8_t(residue_of(v, moduli[size_t(l)]));
        }
    for (const Ops& o : available_ops()) {
        std::vector<uint8_t> out(expected.size(), 0xa5);
        o.ops->residues_a(plan, a.data(), lda, rows, k_count, shift.data(), included.data(), out.data(),
                          row_stride, modulus_stride);
        for (size_t e = 0; e < out.size(); ++e)
            if (out[e] != expected[e]) {
                const int64_t l = int64_t(e) / modulus_stride, r = int64_t(e) % modulus_stride / row_stride;
                ADD_FAILURE() << what << ", " << o.name << ": A residue mod " << moduli[size_t(l)] << " of row " << r
                              << " (width " << lines[size_t(r)].width << "), k " << int64_t(e) % row_stride
                              << ": " << int(out[e]) << " instead of " << int(expected[e]);
                break;
            }
    }
}

// One panel of B, one column per line (lines past the panel width are ignored, columns
// past `lines` are padding), over k_count rows padded to k_padded.
void check_residues_b(const std::vector<int>& moduli, const std::vector<Line>& lines, int64_t k_count,
                      int64_t k_padded, std::mt19937_64& rng, const std::string& what) {
    const int64_t cols = std::min<int64_t>(int64_t(lines.size()), int8::kPanelWidth), ldb = int8::kPanelWidth + 5;
    std::vector<double> b(size_t(k_count * ldb), std::numeric_limits<double>::infinity());
    std::vector<int32_t> shift(size_t(int8::kPanelWidth), 0);
    std::vector<uint8_t> included(size_t(int8::kPanelWidth), 0);
    int widest = 1;
    for (int64_t c = 0; c < cols; ++c) {
        const Line& line = lines[size_t(c)];
        included[size_t(c)] = line.width > 0;
        shift[size_t(c)] = line.shift;
        if (line.width <= 0) continue;
        const std::vector<double> x = line_of_width(line.width, line.shift, k_count, rng);
        for (int64_t k = 0; k < k_count; ++k) b[size_t(k * ldb + c)] = x[size_t(k)];
        widest = std::max(widest, line.width);
    }
    std::vector<double> pow2;
    const int8::ResiduePlan plan = residue_plan(moduli, widest + 1, pow2);
    const int64_t modulus_stride = k_padded * int8::kPanelWidth;
    std::vector<int8_t> expected(size_t(plan.count * modulus_stride), 0);
    for (int64_t c = 0; c < cols; ++c)
        for (int64_t k = 0; k < k_count && included[size_t(c)]; ++k) {
            const mpz_class v = scaled_integer(b[size_t(k * ldb + c)], shift[size_t(c)]);
            for (int l = 0; l < plan.count; ++l) {
                const int p = moduli[size_t(l)];
                int r = residue_of(v, p);
                if (r >= (p + 1) / 2) r -= p;  // the symmetric range
                expected[size_t(l * modulus_stride + (k / 4) * 4 * int8::kPanelWidth + c * 4 + k % 4)] = int8_t(r);
            }
        }
    for (const Ops& o : available_ops()) {
        std::vector<int8_t> out(expected.size(), int8_t(0x5a));
        o.ops->residues_b_panel(plan, b.data(), ldb, cols, k_count, k_padded, shift.data(), included.data(),
                                out.data(), modulus_stride);
        for (size_t e = 0; e < out.size(); ++e)
            if (out[e] != expected[e]) {
                const int64_t l = int64_t(e) / modulus_stride, at = int64_t(e) % modulus_stride;
                const int64_t c = at % (4 * int8::kPanelWidth) / 4;
                ADD_FAILURE() << what << ", " << o.name << ": B residue mod " << moduli[size_t(l)] << " of column "
                              << c << ", k " << at / (4 * int8::kPanelWidth) * 4 + at % 4 << ": " << int(out[e])
                              << " instead of " << int(expected[e]);
                break;
            }
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

// A shift that keeps every element of a line of this width a finite double, drawn from
// the whole range including the subnormal one.
int32_t shift_for_width(int width, std::mt19937_64& rng) {
    const int low = -1074, high = 1024 - width;
    return int32_t(low + int(rng() % uint64_t(high - low + 1)));
}

TEST(Int8ResiduePieces, EdgeWidthsAgainstGmp) {
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
        check_residues_a(first_moduli(int8::kMaxModuli), lines, k_count, (k_count + 3) / 4 * 4 + (k_count % 2) * 8, rng, what);
        check_residues_b(first_moduli(int8::kMaxModuli), lines, k_count, (k_count + 3) / 4 * 4 + (k_count % 2) * 4, rng, what);
    }
}

TEST(Int8ResiduePieces, EveryModulusCount) {
    std::mt19937_64 rng(12);
    for (int count = 1; count <= int8::kMaxModuli; ++count) {
        std::vector<Line> lines;
        for (int i = 0; i < 7; ++i) {
            const int w = 1 + int(rng() % 140);
            lines.push_back({i == 3 ? 0 : w, shift_for_width(w, rng)});
        }
        const std::string what = std::to_string(count) + " moduli";
        check_residues_a(first_moduli(count), lines, 45, 52, rng, what);
        check_residues_b(first_moduli(count), lines, 45, 48, rng, what);
    }
}

// Moduli below 32, and the even ones below 256, take other paths through the reduction.
TEST(Int8ResiduePieces, SmallAndEvenModuli) {
    std::mt19937_64 rng(13);
    std::vector<Line> lines;
    for (int w : {5, 33, 64, 96, 128, 129, 300}) lines.push_back({w, shift_for_width(w, rng)});
    for (const std::vector<int>& moduli :
         {std::vector<int>{256, 31, 29, 23, 19, 17, 13, 11, 7, 5, 3}, std::vector<int>{2, 3, 5},
          std::vector<int>{254, 253, 251}, std::vector<int>{128, 255}, std::vector<int>{33, 32, 31}}) {
        std::string what = "moduli";
        for (int p : moduli) what += " " + std::to_string(p);
        check_residues_a(moduli, lines, 70, 72, rng, what);
        check_residues_b(moduli, lines, 70, 72, rng, what);
    }
}

// A full panel of columns of assorted widths, and a block of rows whose widest elements
// fall in different 64-element blocks.
TEST(Int8ResiduePieces, FullPanelsAndLongRows) {
    std::mt19937_64 rng(14);
    std::vector<Line> lines;
    for (int c = 0; c < int8::kPanelWidth; ++c) {
        const int w = c % 9 == 4 ? 0 : 1 + int(rng() % 110);
        lines.push_back({w, shift_for_width(std::max(w, 1), rng)});
    }
    check_residues_b(first_moduli(21), lines, 257, 260, rng, "full panel");
    lines.resize(12);
    check_residues_a(first_moduli(21), lines, 1000, 1000, rng, "long rows");
}

}  // namespace
