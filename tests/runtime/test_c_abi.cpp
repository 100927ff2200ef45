// The exported C ABI: status codes, nothing written on error (guard values around and in
// the buffers), the K = 0 and empty cases, the version string, concurrent callers; and the
// rounding entry point the fast kernels share, against the GMP oracle.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "exact/exact_core.h"
#include "exact_oracle.h"
#include "kernel.h"
#include "support/thread_count.h"
#include "vexa.h"

namespace {

constexpr double kGuard = -7.75;
constexpr float kGuardF = -7.75f;
constexpr int64_t kPad = 8;

// Output buffers with kPad guard elements on each side, all pre-filled with the guard.
struct Guarded {
    std::vector<double> hi, lo;
    std::vector<float> res;
    explicit Guarded(int64_t n)
        : hi(size_t(n + 2 * kPad), kGuard), lo(size_t(n + 2 * kPad), kGuard),
          res(size_t(n + 2 * kPad), kGuardF) {}
    double* h() { return hi.data() + kPad; }
    double* l() { return lo.data() + kPad; }
    float* r() { return res.data() + kPad; }
    bool untouched() const {
        for (size_t i = 0; i < hi.size(); ++i)
            if (hi[i] != kGuard || lo[i] != kGuard || res[i] != kGuardF) return false;
        return true;
    }
    bool pads_untouched() const {
        for (size_t i = 0; i < size_t(kPad); ++i) {
            const size_t end = hi.size() - 1 - i;
            if (hi[i] != kGuard || lo[i] != kGuard || res[i] != kGuardF) return false;
            if (hi[end] != kGuard || lo[end] != kGuard || res[end] != kGuardF) return false;
        }
        return true;
    }
};

TEST(CAbi, NegativeDimensionsWriteNothing) {
    const auto A = vexa_test::random_matrix(16, 1), B = vexa_test::random_matrix(16, 2);
    for (int which = 0; which < 3; ++which) {
        Guarded out(16);
        const int M = which == 0 ? -1 : 4, N = which == 1 ? -3 : 4, K = which == 2 ? -2 : 4;
        EXPECT_EQ(vexa_gemm_host(A.data(), B.data(), out.h(), out.l(), out.r(), M, N, K),
                  VEXA_ERROR_NEGATIVE_DIMENSION);
        EXPECT_TRUE(out.untouched());
    }
}

TEST(CAbi, NullPointersWriteNothing) {
    const auto A = vexa_test::random_matrix(12, 3), B = vexa_test::random_matrix(12, 4);
    for (int which = 0; which < 5; ++which) {
        Guarded out(9);
        const double* a = which == 0 ? nullptr : A.data();
        const double* b = which == 1 ? nullptr : B.data();
        double* hi = which == 2 ? nullptr : out.h();
        double* lo = which == 3 ? nullptr : out.l();
        float* res = which == 4 ? nullptr : out.r();
        EXPECT_EQ(vexa_gemm_host(a, b, hi, lo, res, 3, 3, 4), VEXA_ERROR_NULL_POINTER) << which;
        EXPECT_TRUE(out.untouched()) << which;
    }
}

TEST(CAbi, EmptyMatricesMayBeNull) {
    // No elements: nothing to read or write, whatever the pointers.
    EXPECT_EQ(vexa_gemm_host(nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0), VEXA_OK);
    const auto A = vexa_test::random_matrix(15, 9), B = vexa_test::random_matrix(15, 10);
    EXPECT_EQ(vexa_gemm_host(nullptr, B.data(), nullptr, nullptr, nullptr, 0, 5, 3), VEXA_OK);
    EXPECT_EQ(vexa_gemm_host(A.data(), nullptr, nullptr, nullptr, nullptr, 5, 0, 3), VEXA_OK);
    // ... but a matrix with elements needs its pointer even when C is empty.
    EXPECT_EQ(vexa_gemm_host(nullptr, nullptr, nullptr, nullptr, nullptr, 0, 5, 3),
              VEXA_ERROR_NULL_POINTER);
    // K = 0: A and B have no elements, C gets +0 everywhere.
    Guarded out(6);
    for (int64_t i = 0; i < 6; ++i) out.h()[i] = out.l()[i] = -0.0, out.r()[i] = -0.0f;
    EXPECT_EQ(vexa_gemm_host(nullptr, nullptr, out.h(), out.l(), out.r(), 2, 3, 0), VEXA_OK);
    for (int64_t i = 0; i < 6; ++i) {
        EXPECT_EQ(out.h()[i], 0.0);
        EXPECT_FALSE(std::signbit(out.h()[i]));
        EXPECT_FALSE(std::signbit(out.l()[i]));
        EXPECT_FALSE(std::signbit(out.r()[i]));
    }
    EXPECT_TRUE(out.pads_untouched());
}

TEST(CAbi, WritesExactlyTheOutputAndMatchesTheOracle) {
    const int M = 13, N = 11, K = 29;
    const auto A = vexa_test::random_matrix(M * K, 5), B = vexa_test::random_matrix(K * N, 6);
    Guarded out(M * N);
    ASSERT_EQ(vexa_gemm_host(A.data(), B.data(), out.h(), out.l(), out.r(), M, N, K), VEXA_OK);
    EXPECT_TRUE(out.pads_untouched());
    for (int i = 0; i < M; ++i)
        for (int j = 0; j < N; ++j) {
            const auto want = vexa_test::reference_dot(A.data() + i * K, 1, B.data() + j, N, K);
            const vexa_test::Triple got{out.h()[i * N + j], out.l()[i * N + j], out.r()[i * N + j]};
            EXPECT_TRUE(vexa_test::same_bits(got, want)) << vexa_test::describe(got);
        }
}

// A count for one call: the oracle's words at every count, the process-wide count left as
// it was, a negative count refused before anything is written.
TEST(CAbi, ThreadsForOneCall) {
    const int M = 70, N = 66, K = 90;  // past the fast path's cut-off on every engine
    const auto A = vexa_test::random_matrix(M * K, 9), B = vexa_test::random_matrix(K * N, 10);
    ASSERT_EQ(vexa_set_num_threads(3), VEXA_OK);
    for (int threads : {0, 1, 2, 7, 5000}) {
        Guarded out(M * N);
        std::vector<double> res64(size_t(M * N));
        Guarded pair(M * N);
        ASSERT_EQ(vexa_gemm_host_threads(A.data(), B.data(), out.h(), out.l(), out.r(), M, N, K, threads), VEXA_OK);
        ASSERT_EQ(vexa_gemm_host_f64res_threads(A.data(), B.data(), pair.h(), pair.l(), res64.data(), M, N, K, threads),
                  VEXA_OK);
        EXPECT_TRUE(out.pads_untouched() && pair.pads_untouched());
        for (int i = 0; i < M; i += 7)
            for (int j = 0; j < N; ++j) {
                const auto want = vexa_test::reference_dot(A.data() + i * K, 1, B.data() + j, N, K);
                const int at = i * N + j;
                const vexa_test::Triple got{out.h()[at], out.l()[at], out.r()[at]};
                EXPECT_TRUE(vexa_test::same_bits(got, want)) << threads << ": " << vexa_test::describe(got);
            }
        EXPECT_EQ(std::memcmp(out.h(), pair.h(), size_t(M * N) * 8), 0) << threads;
        EXPECT_EQ(std::memcmp(out.l(), pair.l(), size_t(M * N) * 8), 0) << threads;
    }
    EXPECT_EQ(vexa_get_num_threads(), 3);
    Guarded out(M * N);
    std::vector<double> res64(size_t(M * N), kGuard);
    EXPECT_EQ(vexa_gemm_host_threads(A.data(), B.data(), out.h(), out.l(), out.r(), M, N, K, -1),
              VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexa_gemm_host_f64res_threads(A.data(), B.data(), out.h(), out.l(), res64.data(), M, N, K, -2),
              VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_TRUE(out.untouched());
    EXPECT_TRUE(std::all_of(res64.begin(), res64.end(), [](double x) { return x == kGuard; }));
    vexa_set_num_threads(0);
}

TEST(CAbi, ConcurrentCallersGetIdenticalResults) {
    const int M = 40, N = 37, K = 64;
    const auto A = vexa_test::random_matrix(M * K, 7), B = vexa_test::random_matrix(K * N, 8);
    std::vector<Guarded> outs;
    for (int t = 0; t < 4; ++t) outs.emplace_back(M * N);
    std::vector<int> status(4, -99);
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            status[size_t(t)] = vexa_gemm_host(A.data(), B.data(), outs[size_t(t)].h(),
                                               outs[size_t(t)].l(), outs[size_t(t)].r(), M, N, K);
        });
    for (auto& c : callers) c.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(status[size_t(t)], VEXA_OK);
        EXPECT_EQ(std::memcmp(outs[0].hi.data(), outs[size_t(t)].hi.data(), outs[0].hi.size() * 8), 0);
        EXPECT_EQ(std::memcmp(outs[0].lo.data(), outs[size_t(t)].lo.data(), outs[0].lo.size() * 8), 0);
        EXPECT_EQ(std::memcmp(outs[0].res.data(), outs[size_t(t)].res.data(), outs[0].res.size() * 4), 0);
    }
}

// Large enough for the fast kernels (which share the parked workspace between calls) and
// of two shapes, so that callers take, park and resize the block while others run.
TEST(CAbi, ConcurrentCallersAtFastPathSizes) {
    struct Shape {
        int M, N, K;
    };
    const Shape shapes[2] = {{150, 140, 200}, {96, 260, 130}};
    std::vector<double> A[2], B[2];
    std::vector<Guarded> want;
    for (int s = 0; s < 2; ++s) {
        A[s] = vexa_test::random_matrix(shapes[s].M * shapes[s].K, uint32_t(11 + s));
        B[s] = vexa_test::random_matrix(shapes[s].K * shapes[s].N, uint32_t(21 + s));
        want.emplace_back(shapes[s].M * shapes[s].N);
        ASSERT_EQ(vexa::kScalarKernel.gemm({A[s].data(), B[s].data(), want[size_t(s)].h(), want[size_t(s)].l(),
                                            want[size_t(s)].r(), shapes[s].M, shapes[s].N, shapes[s].K}, 1),
                  VEXA_OK);
    }
    constexpr int kCallers = 4, kRounds = 3;
    std::vector<int> mismatches(kCallers, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t)
        callers.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const int s = (t + round) % 2;
                const Shape& d = shapes[s];
                Guarded out(d.M * d.N);
                const int status = vexa_gemm_host(A[s].data(), B[s].data(), out.h(), out.l(), out.r(), d.M, d.N, d.K);
                const Guarded& w = want[size_t(s)];
                if (status != VEXA_OK || std::memcmp(w.hi.data(), out.hi.data(), w.hi.size() * 8) ||
                    std::memcmp(w.lo.data(), out.lo.data(), w.lo.size() * 8) ||
                    std::memcmp(w.res.data(), out.res.data(), w.res.size() * 4))
                    ++mismatches[size_t(t)];
            }
        });
    for (auto& c : callers) c.join();
    for (int t = 0; t < kCallers; ++t) EXPECT_EQ(mismatches[size_t(t)], 0) << "caller " << t;
}

TEST(CAbi, VersionNamesTheActiveKernel) {
    const char* version = vexa_version();
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(std::string(version), std::string("2.0.0 (kernel: ") + vexa::active_kernel().name + ")");
    EXPECT_EQ(version, vexa_version());  // stable storage
}

TEST(KernelTable, ScalarIsLastAndAlwaysSupported) {
    std::size_t count = 0;
    const vexa::Kernel* const* table = vexa::kernel_table(&count);
    ASSERT_GE(count, 1u);
    EXPECT_STREQ(table[count - 1]->name, "scalar");
    EXPECT_TRUE(table[count - 1]->is_supported());
    EXPECT_TRUE(vexa::active_kernel().is_supported());
    EXPECT_GE(vexa::configured_threads(), 1);
}

TEST(ExactCore, SelectedRowsAndColumnsOnly) {
    // Rows and columns given as lists, out of order, with a special row and zeros about:
    // exactly those elements are written, each equal to the oracle's.
    const int64_t M = 23, N = 37, K = 19;
    auto A = vexa_test::random_matrix(M * K, 12), B = vexa_test::random_matrix(K * N, 13);
    A[size_t(9 * K + 4)] = HUGE_VAL;
    for (int64_t k = 0; k < K; ++k) A[size_t(2 * K + k)] = 0.0;
    B[size_t(5 * N + 20)] = std::ldexp(1.0, 900);
    const std::vector<int64_t> rows = {9, 0, 22, 2, 17}, cols = {20, 3, 36, 0};
    for (int pass = 0; pass < 3; ++pass) {
        const bool all_rows = pass == 1, all_cols = pass == 2;
        std::vector<double> hi(size_t(M * N), kGuard), lo(size_t(M * N), kGuard);
        std::vector<float> res(size_t(M * N), kGuardF);
        const vexa::GemmProblem pb{A.data(), B.data(), hi.data(), lo.data(), res.data(), M, N, K};
        ASSERT_EQ(vexa::exact::gemm_selected(pb, 3, all_rows ? nullptr : rows.data(), int64_t(rows.size()),
                                             all_cols ? nullptr : cols.data(), int64_t(cols.size())),
                  VEXA_OK);
        for (int64_t i = 0; i < M; ++i)
            for (int64_t j = 0; j < N; ++j) {
                const bool wanted = (all_rows || std::count(rows.begin(), rows.end(), i)) &&
                                    (all_cols || std::count(cols.begin(), cols.end(), j));
                const size_t at = size_t(i * N + j);
                const vexa_test::Triple got{hi[at], lo[at], res[at]};
                if (!wanted) {
                    EXPECT_TRUE(hi[at] == kGuard && lo[at] == kGuard && res[at] == kGuardF) << i << "," << j;
                    continue;
                }
                const auto want = vexa_test::reference_dot(A.data() + i * K, 1, B.data() + j, N, K);
                EXPECT_TRUE(vexa_test::same_bits(got, want)) << i << "," << j << ": " << vexa_test::describe(got);
            }
    }
}

// round_triple(neg, mag, n, scale) against the oracle on x = +-mag * 2^scale.
// The integer whose 64-bit limbs, lowest first, are `mag`.
mpz_class from_limbs(const std::vector<uint64_t>& mag) {
    mpz_class value = 0;
    for (size_t l = mag.size(); l-- > 0;) {
        value <<= 64;
        value += mpz_class(std::to_string(mag[l]));
    }
    return value;
}

void expect_round_triple(bool negative, const std::vector<uint64_t>& mag, int64_t scale) {
    mpz_class value = from_limbs(mag);
    if (negative) value = -value;
    // The oracle's integers weigh 2^-2148; values below that weight do not arise from
    // doubles, so keep scale >= -2148 here (the sticky path is covered below).
    ASSERT_GE(scale, -2148);
    mpz_class scaled = value;
    scaled <<= static_cast<mp_bitcnt_t>(scale + 2148);
    vexa_test::Triple want = vexa_test::reference_round(scaled);
    if (value == 0) want = vexa_test::Triple{};
    vexa_test::Triple got;
    vexa::exact::round_triple(negative, mag.data(), int(mag.size()), scale, &got.hi, &got.lo, &got.res);
    EXPECT_TRUE(vexa_test::same_bits(got, want))
        << "scale " << scale << ": got " << vexa_test::describe(got) << ", want "
        << vexa_test::describe(want);
}

TEST(RoundTriple, AgreesWithTheOracle) {
    std::mt19937_64 gen(11);
    expect_round_triple(false, {0, 0, 0}, 17);
    expect_round_triple(true, {0}, -3000 + 2000);
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = 1 + int(gen() % 6);
        std::vector<uint64_t> mag(static_cast<size_t>(n));
        for (auto& limb : mag) {
            limb = gen();
            if (gen() % 4 == 0) limb = 0;                       // runs of zero bits
            if (gen() % 8 == 0) limb = ~uint64_t(0);            // runs of ones: carries
            if (gen() % 8 == 0) limb = uint64_t(1) << (gen() % 64);
        }
        if (gen() % 4 == 0) mag.push_back(0);  // leading zero limbs
        const int64_t scale = int64_t(gen() % 3300) - 2148;  // subnormal .. overflow
        expect_round_triple(gen() & 1, mag, scale);
    }
}

TEST(RoundTriple, FarBelowTheDoubleRangeOnlyTheStickyBitCounts) {
    // x = 2^-1075 * (1 + 2^-400): above half the smallest subnormal, so it rounds up to it,
    // even though the bit that decides lies far below any double.
    std::vector<uint64_t> mag(8, 0);
    mag[7] = uint64_t(1) << 20;  // 2^(7*64 + 20) * 2^scale = 2^-1075
    mag[0] = 1;                  // 2^-1075 - 468
    double hi, lo;
    float res;
    const int64_t scale = -1075 - (7 * 64 + 20);
    vexa::exact::round_triple(false, mag.data(), 8, scale, &hi, &lo, &res);
    EXPECT_EQ(hi, std::numeric_limits<double>::denorm_min());
    // Exactly half the smallest subnormal: a tie, to even, which is zero (with the sign).
    mag[0] = 0;
    vexa::exact::round_triple(true, mag.data(), 8, scale, &hi, &lo, &res);
    EXPECT_EQ(hi, 0.0);
    EXPECT_TRUE(std::signbit(hi));
    // Huge values overflow whatever their low limbs say.
    std::vector<uint64_t> huge(40, ~uint64_t(0));
    vexa::exact::round_triple(true, huge.data(), 40, 0, &hi, &lo, &res);
    EXPECT_EQ(hi, -HUGE_VAL);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(res, 0.0f);
}

// ---- round_triple where all three words are normal: every rounding edge ----

// x = value * 2^scale through expect_round_triple, as the fewest limbs and, when that leaves
// room, also as `extra` more limbs with zero bits below (the same value, a wider window).
void expect_value(const mpz_class& value, int64_t scale, int extra = 1) {
    const mpz_class magnitude = abs(value);
    std::vector<uint64_t> mag;
    for (mpz_class rest = magnitude; rest != 0; rest >>= 64)
        mag.push_back(vexa_test::low_64_bits(rest));
    if (mag.empty()) mag.push_back(0);
    ASSERT_EQ(from_limbs(mag), magnitude) << "the limbs must be the value, or the cases below test another one";
    expect_round_triple(value < 0, mag, scale);
    for (int e = 1; e <= extra && scale - 64 * e >= -2148; ++e) {
        mag.insert(mag.begin(), 0);
        expect_round_triple(value < 0, mag, scale - 64 * e);
    }
}

mpz_class pow2(unsigned long e) {
    mpz_class x = 1;
    x <<= e;
    return x;
}

// hi, lo and res patterns stacked without gaps: x = H 2^(a) + L 2^(b) + R 2^(c) + tail,
// with integer parts chosen by each case; returns the integer for scale 0 at the bottom.
struct Stack {
    mpz_class value = 0;
    // Adds m * 2^at (m may be negative).
    Stack& add(const mpz_class& m, unsigned long at) {
        value += m * pow2(at);
        return *this;
    }
};

TEST(RoundTripleNormal, TiesGoToEvenInEveryWord) {
    const mpz_class odd53 = pow2(52) + 12345, even53 = pow2(52) + 12346;
    const mpz_class odd24 = pow2(23) + 77, even24 = pow2(23) + 78;
    for (int sign : {1, -1}) {
        for (const mpz_class& h : {odd53, even53}) {
            // hi: exactly half an ulp below, nothing else.
            expect_value(sign * Stack().add(h, 200).add(1, 199).value, -180);
            // ... and a sticky bit far below breaks the tie.
            expect_value(sign * Stack().add(h, 200).add(1, 199).add(1, 3).value, -180);
            expect_value(sign * Stack().add(h, 200).add(-1, 199).add(1, 3).value, -180);
            for (const mpz_class& l : {odd53, even53}) {
                // lo: hi exact, lo a tie (either sign relative to hi).
                expect_value(sign * Stack().add(h, 200).add(l, 140).add(1, 139).value, -150);
                expect_value(sign * Stack().add(h, 200).add(-l, 140).add(-1, 139).value, -150);
                expect_value(sign * Stack().add(h, 200).add(l, 140).add(1, 139).add(-1, 2).value, -150);
                for (const mpz_class& r : {odd24, even24}) {
                    // res: a tie below hi and lo, then broken by a last bit on either side.
                    const Stack base = Stack().add(h, 200).add(l, 140).add(r, 100).add(1, 99);
                    expect_value(sign * base.value, -100);
                    expect_value(sign * (base.value + 1), -100);
                    expect_value(sign * (base.value - 1), -100);
                    expect_value(sign * Stack(base).add(-2 * r, 100).value, -100);
                }
            }
        }
    }
}

TEST(RoundTripleNormal, CarriesIntoTheNextPowerOfTwo) {
    const mpz_class ones53 = pow2(53) - 1, ones24 = pow2(24) - 1;
    for (int sign : {1, -1}) {
        // hi rounds up to a power of two: lo and res are then of the other sign.
        expect_value(sign * Stack().add(ones53, 150).add(1, 149).add(1, 60).value, -100);
        expect_value(sign * Stack().add(ones53, 150).add(ones53, 96).add(1, 40).value, -100);
        // A tie at an odd all-ones significand: up to 2^(53 + 150).
        expect_value(sign * Stack().add(ones53, 150).add(1, 149).value, -100);
        // lo rounds up to a power of two.
        expect_value(sign * Stack().add(pow2(52) + 5, 150).add(ones53, 90).add(1, 89).add(3, 10).value, -100);
        // res rounds up to a power of two.
        expect_value(sign * Stack().add(pow2(52) + 5, 150).add(pow2(52) + 9, 90).add(ones24, 60).add(1, 59).add(1, 0).value, -100);
        // The longest borrow: hi rounds up over a remainder of all ones below.
        expect_value(sign * (Stack().add(pow2(52) + 1, 191).value + pow2(190) - 1), -150);
        expect_value(sign * (Stack().add(pow2(52) + 1, 191).value - 1), -150);
    }
}

TEST(RoundTripleNormal, ExactlyZeroRemainders) {
    for (int sign : {1, -1}) {
        for (unsigned long at : {0ul, 11ul, 64ul, 139ul, 150ul}) {
            expect_value(sign * Stack().add(pow2(52) + 3, at).value, -40);                       // lo = res = 0
            expect_value(sign * Stack().add(pow2(52) + 3, at + 60).add(pow2(52) + 1, at).value, -40);  // res = 0
            expect_value(sign * Stack().add(pow2(52) + 3, at + 60).add(-(pow2(52) + 1), at).value, -40);
            expect_value(sign * Stack().add(1, at).value, -40);
        }
        // Single limbs: a 64-bit value whose low 11 bits are zero is exact in hi.
        expect_value(sign * mpz_class("0xfffffffffffff800"), 0, 3);
        expect_value(sign * mpz_class("0xfffffffffffffc00"), 0, 3);
        expect_value(sign * mpz_class("0x8000000000000400"), 0, 3);
    }
}

// A value with hi at 2^top, lo near 2^(top - lo_gap) and res near 2^(top - lo_gap - res_gap),
// all three significands busy, expressed against the given scale.
mpz_class spaced(unsigned long lo_gap, unsigned long res_gap, unsigned long bottom) {
    return Stack()
        .add(pow2(52) + 0x9abcdef, bottom + res_gap + lo_gap + 30)
        .add(pow2(52) + 0x1234567, bottom + res_gap + 30)
        .add(pow2(23) + 0x2345, bottom + 30)
        .add(1, bottom)
        .value;
}

TEST(RoundTripleNormal, WordsAtTheEdgesOfTheExponentRanges) {
    for (int sign : {1, -1}) {
        // hi near the top: 2^1022 .. 2^1023, and values that round up to 2^1024 (overflow).
        for (int64_t top = 1019; top <= 1024; ++top) {
            const mpz_class x = sign * spaced(60, 60, 10);  // top bit at 10 + 30 + 120 + 52 = 212
            expect_value(x, top - 212);
        }
        expect_value(sign * Stack().add(pow2(53) - 1, 100).add(1, 99).value, 1023 - 152);
        expect_value(sign * Stack().add(pow2(53) - 1, 100).add(1, 98).value, 1023 - 152);
        // lo across the normal/subnormal boundary of doubles (2^-1022), res far below.
        for (int64_t top_lo = -1024; top_lo <= -1019; ++top_lo) {
            // lo's top bit sits at bit 10 + 30 + 60 + 52 = 152 of the integer.
            expect_value(sign * spaced(60, 60, 10), top_lo - 152);
        }
        // hi across that boundary too, alone (odd significands, no remainder: subnormal hi
        // must round) and with lo and res below it.
        for (int64_t top = -1024; top <= -1020; ++top) {
            expect_value(sign * spaced(60, 60, 10), top - 212);
            expect_value(sign * (pow2(52) + 3), top - 52, 2);
            expect_value(sign * (pow2(53) - 1), top - 52, 2);
        }
        // res across float32's normal/subnormal boundary (2^-126) and float32's top.
        for (int64_t top_res = -129; top_res <= -124; ++top_res) {
            // res's top bit sits at bit 10 + 30 + 23 = 63 of the integer.
            expect_value(sign * spaced(60, 60, 10), top_res - 63);
        }
        for (int64_t top_res = 125; top_res <= 128; ++top_res) expect_value(sign * spaced(60, 60, 10), top_res - 63);
        // res rounding up to 2^128 (overflow: res = 0) and to 2^127 (still finite).
        for (int64_t top_res : {126, 127}) {
            const mpz_class x = Stack().add(pow2(52) + 3, 160).add(pow2(52) + 5, 100).add(pow2(24) - 1, 60).add(1, 59).add(1, 0).value;
            expect_value(sign * x, top_res - 83);
        }
    }
}

TEST(RoundTripleNormal, FourLimbsAndTheirStickyBit) {
    // The lowest limb only counts as a sticky bit: it must still break ties in every word,
    // and results that need it as more than a sticky bit must come out right too.
    for (int sign : {1, -1}) {
        for (unsigned long low_bit : {0ul, 1ul, 37ul, 63ul}) {
            const unsigned long top = 250;  // a fourth limb of 59 bits
            expect_value(sign * Stack().add(pow2(52) + 1, top - 52).add(1, top - 53).add(1, low_bit).value, -200, 0);
            expect_value(sign * Stack().add(pow2(52) + 1, top - 52).add(pow2(52) + 1, top - 120).add(1, top - 121).add(1, low_bit).value, -200, 0);
            expect_value(sign * Stack().add(pow2(52) + 1, top - 52).add(pow2(52) + 1, top - 120).add(pow2(23) + 1, top - 170).add(1, top - 171).add(1, low_bit).value, -200, 0);
            expect_value(sign * Stack().add(pow2(52) + 1, top - 52).add(-(pow2(52) + 1), top - 120).add(pow2(23) + 1, top - 170).add(-1, top - 171).add(1, low_bit).value, -200, 0);
            // res's ulp pushed down to the lowest limb by long gaps between the words.
            for (unsigned long gap : {55ul, 70ul, 85ul, 87ul}) {
                const Stack s = Stack().add(pow2(52) + 1, top - 52).add(pow2(52) + 3, top - 52 - gap).add(pow2(23) + 1, top - 75 - 2 * gap);
                expect_value(sign * s.value, -200, 0);
                expect_value(sign * Stack(s).add(1, low_bit).value, -200, 0);
            }
        }
    }
}

TEST(RoundTripleNormal, RandomValuesOfOneToFourLimbs) {
    std::mt19937_64 gen(23);
    for (int trial = 0; trial < 20000; ++trial) {
        const int n = 1 + int(gen() % 4);
        std::vector<uint64_t> mag(static_cast<size_t>(n));
        for (auto& limb : mag) {
            limb = gen();
            switch (gen() % 8) {
                case 0: limb = 0; break;
                case 1: limb = ~uint64_t(0); break;
                case 2: limb = uint64_t(1) << (gen() % 64); break;
                case 3: limb &= ~uint64_t(0) << (gen() % 64); break;  // a run of low zeros
                case 4: limb |= ~(~uint64_t(0) << (gen() % 64)); break;  // a run of low ones
                default: break;
            }
        }
        if (mag.back() == 0) mag.back() = 1 + (gen() >> (gen() % 64));
        // Mostly where all three words are normal, sometimes across the edges.
        const int64_t bits = 64 * n;
        const int64_t scale = (gen() % 4 == 0) ? int64_t(gen() % 2300) - 1150 - bits
                                               : int64_t(gen() % 1600) - 800 - bits;
        expect_round_triple(gen() & 1, mag, std::max<int64_t>(scale, -2148));
    }
}

}  // namespace
