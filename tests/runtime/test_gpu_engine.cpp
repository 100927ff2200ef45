// The GPU engine, run whole through its CPU backend (and through the CUDA backend when
// libvexa_cuda.so opens a device), bit for bit against the exact core; and its per-element
// arithmetic against the GMP oracle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "exact/element_math.h"
#include "exact_oracle.h"
#include "fastpath_support.h"
#include "gpu/gpu_engine.h"
#include "fastpath/int8_fastpath.h"

namespace {

using fastpath_test::expect_matches_exact_core;
using fastpath_test::Matrices;
using fastpath_test::random_normal;
using fastpath_test::Result;
using vexa::bits::of;

// ---- Per-element arithmetic against GMP ----

// x * 2^-shift as an integer, through the oracle's exact product x * 1.
mpz_class scaled_integer(double x, int32_t shift) {
    const double one = 1.0;
    mpz_class v = vexa_test::exact_dot_scaled(&x, 1, &one, 1, 1);  // x * 2^2148
    mpz_class q;
    mpz_fdiv_q_2exp(q.get_mpz_t(), v.get_mpz_t(), mp_bitcnt_t(2148 + shift));
    return q;
}

TEST(GpuElement, ResiduesMatchGmp) {
    std::mt19937_64 gen(21);
    const int* moduli = nullptr;
    const int count = vexa::int8::modulus_list(&moduli);
    for (int trial = 0; trial < 1500; ++trial) {
        // Anywhere in the double range, subnormals included, and a shift at or below the
        // element's lowest set bit.
        const int64_t e = int64_t(gen() % 2098) - 1074;
        double x = std::ldexp(double(gen() >> 11) + 1.0, int(std::min<int64_t>(e, 971)));
        if (trial % 7 == 0) x = std::numeric_limits<double>::denorm_min() * double(gen() % 100000 + 1);
        if (gen() % 2) x = -x;
        const uint64_t bits = of(x);
        const int biased = int((bits >> 52) & 0x7ff);
        const uint64_t m = biased ? ((bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52)) : (bits & ((uint64_t(1) << 52) - 1));
        const int32_t lowest = (biased ? biased - 1075 : -1074) + __builtin_ctzll(m);
        const int32_t shift = int32_t(std::max<int64_t>(-1074, lowest - int64_t(gen() % 120)));
        const mpz_class v = scaled_integer(x, shift);
        const int p = moduli[gen() % uint64_t(count)];
        mpz_class want;
        mpz_fdiv_r_ui(want.get_mpz_t(), v.get_mpz_t(), (unsigned long)p);
        ASSERT_EQ(vexa::element::residue_of(x, shift, uint32_t(p)), want.get_ui())
            << x << " shift " << shift << " p " << p;
        // The same through a table of powers of two (what the engine hands its passes).
        std::vector<uint16_t> pow2(2200);
        for (size_t t = 0; t < pow2.size(); ++t) {
            mpz_class v;
            mpz_ui_pow_ui(v.get_mpz_t(), 2, (unsigned long)t);
            pow2[t] = uint16_t(mpz_fdiv_ui(v.get_mpz_t(), (unsigned long)p));
        }
        ASSERT_EQ(vexa::element::residue_of(x, shift, uint32_t(p), pow2.data(), int64_t(pow2.size())), want.get_ui())
            << x << " shift " << shift << " p " << p << " (table)";
        const int sym = vexa::element::symmetric_byte(uint32_t(want.get_ui()), uint32_t(p));
        EXPECT_TRUE(sym >= -128 && sym <= 127 && (sym - int(want.get_ui())) % p == 0);
    }
    EXPECT_EQ(vexa::element::residue_of(-0.0, 5, 251), 0u);
}

// crt_words of the residues of random integers below the bound of L moduli, at scales that
// put the words anywhere (subnormal, overflowing, cut short), against the oracle's words.
TEST(GpuElement, CrtWordsMatchGmp) {
    std::mt19937_64 gen(22);
    const int* moduli = nullptr;
    vexa::int8::modulus_list(&moduli);
    for (int L : {2, 9, 17, 20, 40}) {
        vexa::fast::CrtPlan plan;
        vexa::fast::build_crt_plan(vexa::int8::moduli(), L, plan);
        mpz_class product = 1;
        for (int l = 0; l < L; ++l) product *= moduli[l];
        const size_t bits = mpz_sizeinbase(product.get_mpz_t(), 2);
        for (int trial = 0; trial < 600; ++trial) {
            mpz_class x;
            const size_t width = 1 + gen() % (bits - 2);  // |x| < 2^(bits - 2) <= P / 2
            for (size_t b = 0; b < width; b += 60) x = (x << 60) + mpz_class(std::to_string(gen() >> 4));
            mpz_fdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), width);
            if (trial % 50 == 0) x = 0;
            if (trial % 3 == 0) x = -x;
            uint16_t r[vexa::fast::kMaxModuli];
            for (int l = 0; l < L; ++l) {
                mpz_class rem;
                mpz_fdiv_r_ui(rem.get_mpz_t(), x.get_mpz_t(), (unsigned long)moduli[l]);
                r[l] = uint16_t(rem.get_ui());
            }
            const int64_t top = vexa_test::target_top(gen);
            const int64_t scale = std::max<int64_t>(-2148, top - int64_t(width));
            double hi, lo;
            float res;
            const bool zero = vexa::element::crt_words(plan, r, scale, &hi, &lo, &res);
            const vexa_test::Triple want = vexa_test::reference_words(x, scale);
            EXPECT_EQ(zero, x == 0);
            ASSERT_TRUE(vexa_test::same_bits({hi, lo, res}, want))
                << "L " << L << " x " << x.get_str() << " scale " << scale << ": got "
                << vexa_test::describe({hi, lo, res}) << " want " << vexa_test::describe(want);
        }
    }
}

// ---- The whole engine ----

// One device for the tests: the CPU backend with a memory limit, or the CUDA backend when
// libvexa_cuda.so opens one (VEXA_CUDA builds name it; VEXA_CUDA_LIBRARY overrides).
struct Backend {
    std::string name;
};
void PrintTo(const Backend& b, std::ostream* os) { *os << b.name; }

const vexa::gpu::DeviceOps* cuda_device() {
    const char* path = std::getenv("VEXA_CUDA_LIBRARY");
#ifdef VEXA_TEST_CUDA_LIBRARY
    if (!path) path = VEXA_TEST_CUDA_LIBRARY;
#endif
    return path ? vexa::gpu::cuda_device(path) : nullptr;
}

struct Device {
    const vexa::gpu::DeviceOps* ops = nullptr;
    vexa::gpu::DeviceOps* owned = nullptr;
    Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device() { reset(); }
    void reset() {
        if (owned) owned->close(owned->self);
        owned = nullptr;
        ops = nullptr;
    }
};

class GpuEngine : public ::testing::TestWithParam<Backend> {
protected:
    // The device with at most `budget` bytes for the engine: a limit of the CPU backend, a
    // fraction of what the CUDA device has.
    void open(int64_t budget, vexa::gpu::EngineOptions& opt) {
        device_.reset();
        if (GetParam().name == "cpu") {
            device_.owned = vexa::gpu::open_cpu_device(budget);
            device_.ops = device_.owned;
            opt.memory_fraction = 1.0;
            return;
        }
        device_.ops = cuda_device();
        if (!device_.ops) GTEST_SKIP() << "no CUDA device: " << vexa::gpu::cuda_unavailable();
        int64_t available = 0;
        ASSERT_EQ(device_.ops->available(device_.ops->self, &available), VEXA_OK);
        opt.memory_fraction = std::min(1.0, double(budget) / double(available));
    }

    Result run(const Matrices& m, vexa::gpu::EngineOptions opt, int64_t budget = int64_t(1) << 40,
               int expect = VEXA_OK) {
        Result r;
        const size_t n = size_t(m.M * m.N);
        r.hi.assign(n, 12345.0);
        r.lo.assign(n, 12345.0);
        r.res.assign(n, 12345.0f);
        open(budget, opt);
        if (!device_.ops) return r;
        opt.fast.min_work = 0;
        opt.fast.min_side = 0;
        vexa::GemmProblem pb{m.A.data(), m.B.data(), r.hi.data(), r.lo.data(), r.res.data(), m.M, m.N, m.K};
        EXPECT_EQ(vexa::gpu::gemm(pb, 2, *device_.ops, opt), expect);
        return r;
    }

    void expect_exact(const Matrices& m, const Result& r, const std::string& what) {
        if (!IsSkipped()) expect_matches_exact_core(m, r, what);
    }

    Device device_;
};

TEST_P(GpuEngine, RandomShapes) {
    std::mt19937_64 gen(31);
    for (int trial = 0; trial < 6; ++trial) {
        const int64_t M = 1 + int64_t(gen() % 70), N = 1 + int64_t(gen() % 70), K = 1 + int64_t(gen() % 90);
        const Matrices m = random_normal(M, N, K, uint32_t(gen()), trial % 2 ? 1e5 : 1e-3);
        expect_exact(m, run(m, {}), "shape " + std::to_string(M) + "x" + std::to_string(N) + "x" +
                                                     std::to_string(K));
        if (HasFatalFailure() || IsSkipped()) return;
    }
}

// Cancellation: rows that are sums of a large term and its negative, so that the exact sums
// are tiny against the products (or zero, with signed zeros).
TEST_P(GpuEngine, Cancellation) {
    Matrices m = random_normal(20, 36, 24, 41);
    for (int64_t i = 0; i < m.M; i += 2)
        for (int64_t k = 0; k < m.K; ++k) m.A[size_t((i + 1) * m.K + k)] = (k % 2 ? -1 : 1) * m.A[size_t(i * m.K + k)];
    for (int64_t k = 0; k < m.K; k += 2)
        for (int64_t j = 0; j < m.N; ++j) m.B[size_t((k + 1) * m.N + j)] = m.B[size_t(k * m.N + j)] * (1 + 1e-15);
    for (int64_t k = 0; k < m.K; ++k) m.A[size_t(3 * m.K + k)] = k % 2 ? -0.0 : 0.0;
    expect_exact(m, run(m, {}), "cancellation");
}

TEST_P(GpuEngine, SpecialsZerosSubnormalsAndOverflow) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const double tiny = std::numeric_limits<double>::denorm_min();
    Matrices m = random_normal(12, 40, 10, 5);
    m.A[1 * 10 + 3] = inf;
    m.A[2 * 10 + 0] = nan;
    m.B[4 * 40 + 7] = -inf;
    for (int64_t k = 0; k < 10; ++k) {
        m.A[size_t(4 * 10 + k)] = k == 0 ? -1.0 : -0.0;  // with column 9: every product -0
        m.B[size_t(k * 40 + 9)] = k == 0 ? 0.0 : 1.0;
        m.A[size_t(5 * 10 + k)] = tiny * double(k * 977 + 1) * (k % 3 ? 1 : -1);
        m.A[size_t(6 * 10 + k)] = k < 5 ? 1.0 : -1.0;
        m.B[size_t(k * 40 + 11)] = 3.0;
        m.A[size_t(7 * 10 + k)] = 1e300;
        m.B[size_t(k * 40 + 12)] = 1e300;
        m.B[size_t(k * 40 + 13)] = tiny * double(k + 1);
    }
    vexa::gpu::EngineOptions opt;
    opt.fast.exact_cost_ratio = 1e9;  // the subnormal lines stay on the device
    expect_exact(m, run(m, opt), "specials");
}

// Rows spanning 1e-300..1e300 leave the device for the exact core; the others stay.
TEST_P(GpuEngine, HugeAndTinyRowsAreExcluded) {
    const Matrices m = fastpath_test::huge_and_tiny_lines(40, 50, 30, 99);
    vexa::gpu::EngineOptions opt;
    opt.fast.exact_cost_ratio = 1e9;
    const Result r = run(m, opt);
    if (IsSkipped()) return;
    const vexa::gpu::GpuTiming t = vexa::gpu::last_gpu_timing();
    EXPECT_EQ(t.excluded_rows, 3);
    EXPECT_EQ(t.excluded_cols, 1);
    EXPECT_GT(t.moduli, 0);
    expect_exact(m, r, "mixed exponent rows");
}

// A device too small for the whole product: split over rows, columns and K chunks, and
// still every element right; results of the float64 third word too.
TEST_P(GpuEngine, SplitsToFitTheDevice) {
    const Matrices m = random_normal(70, 90, 75, 12, 1e2);
    struct Case {
        int64_t budget, chunk;
    };
    for (const Case c : {Case{int64_t(1) << 40, 16}, Case{400000, 4096}, Case{120000, 32}, Case{70000, 4096}}) {
        vexa::gpu::EngineOptions opt;
        opt.chunk = c.chunk;
        const Result r = run(m, opt, c.budget);
        if (IsSkipped()) return;
        const vexa::gpu::GpuTiming t = vexa::gpu::last_gpu_timing();
        const std::string what = "budget " + std::to_string(c.budget) + " chunk " + std::to_string(c.chunk);
        if (c.budget < 1000000) EXPECT_GT(t.blocks, 1) << what;
        if (c.chunk < m.K) EXPECT_GE(t.chunks, 3 * t.blocks) << what;
        expect_exact(m, r, what);
    }
}

TEST_P(GpuEngine, Float64ThirdWord) {
    const Matrices m = random_normal(33, 47, 29, 13, 1e-150);
    std::vector<double> hi(size_t(m.M * m.N)), lo(hi.size()), res(hi.size()), want_hi(hi.size()),
        want_lo(hi.size()), want_res(hi.size());
    vexa::gpu::EngineOptions opt;
    opt.fast.min_work = 0;
    opt.fast.min_side = 0;
    opt.chunk = 16;
    open(int64_t(1) << 40, opt);
    if (!device_.ops) return;
    vexa::GemmProblem pb{m.A.data(), m.B.data(), hi.data(), lo.data(), nullptr, m.M, m.N, m.K, res.data()};
    ASSERT_EQ(vexa::gpu::gemm(pb, 2, *device_.ops, opt), VEXA_OK);
    vexa::GemmProblem ref{m.A.data(), m.B.data(), want_hi.data(), want_lo.data(), nullptr, m.M, m.N, m.K,
                          want_res.data()};
    ASSERT_EQ(vexa::exact::gemm(ref, 2), VEXA_OK);
    for (size_t e = 0; e < hi.size(); ++e)
        ASSERT_TRUE(of(hi[e]) == of(want_hi[e]) && of(lo[e]) == of(want_lo[e]) && of(res[e]) == of(want_res[e]))
            << "element " << e;
}

// No room for even the smallest block: out of memory, and nothing written.
TEST_P(GpuEngine, NoRoomWritesNothing) {
    const Matrices m = random_normal(20, 20, 20, 14);
    const Result r = run(m, {}, 1000, VEXA_ERROR_OUT_OF_MEMORY);
    if (IsSkipped()) return;
    for (size_t e = 0; e < r.hi.size(); ++e) ASSERT_EQ(r.hi[e], 12345.0);
}

// The CUDA backend joins the list only where a device opens, so that a machine without a
// GPU lists no case it could only skip; tools/test_cuda.sh fails when none of them ran.
std::vector<Backend> backends() {
    std::vector<Backend> list{{"cpu"}};
    if (cuda_device()) list.push_back({"cuda"});
    return list;
}
INSTANTIATE_TEST_SUITE_P(Backends, GpuEngine, ::testing::ValuesIn(backends()),
                         [](const ::testing::TestParamInfo<Backend>& info) { return info.param.name; });

// A device whose every product fails: the status comes back, and the engine releases what
// it allocated.
TEST(GpuEngineErrors, DeviceFailureBecomesAStatus) {
    vexa::gpu::DeviceOps* cpu = vexa::gpu::open_cpu_device(int64_t(1) << 30);
    ASSERT_NE(cpu, nullptr);
    vexa::gpu::DeviceOps failing = *cpu;
    failing.gemm = [](void*, const vexa::gpu::GemmPass*) { return int(VEXA_ERROR_INTERNAL); };
    const Matrices m = random_normal(30, 30, 30, 15);
    std::vector<double> hi(900), lo(900);
    std::vector<float> res(900);
    vexa::gpu::EngineOptions opt;
    opt.fast.min_work = 0;
    opt.fast.min_side = 0;
    vexa::GemmProblem pb{m.A.data(), m.B.data(), hi.data(), lo.data(), res.data(), 30, 30, 30};
    EXPECT_EQ(vexa::gpu::gemm(pb, 2, failing, opt), VEXA_ERROR_INTERNAL);
    int64_t available = 0;
    cpu->available(cpu->self, &available);
    EXPECT_EQ(available, int64_t(1) << 30);
    cpu->close(cpu->self);
}

}  // namespace
