// Every supported kernel of the table on its own (no ABI, no Python), random normal
// square inputs, at the configured thread count:
//
//   VEXA_NUM_THREADS=2 build-runtime/bench/bench_kernels --benchmark_min_time=0.5
//
// (add --benchmark_filter=/1024/ for one size).
//
// Reported time is wall time per product; "products/s" counts multiply-adds.
//
// The reassembly of the int8 fast path alone, single-threaded, in ns per element:
//
//   build-runtime/bench/bench_kernels --benchmark_filter=reassembly --benchmark_min_time=0.5
//
// (round_triple; the CRT, portable and vector; the CRT then round_triple as the driver
// does it; and the two fused).
//
// The limits the products are measured against, per core and cycle of the time-stamp
// counter: 512-bit vpdpbusd (int8) and vfmadd231pd (float64), from long runs of independent
// instructions (bench/bench_gemm.py takes them as --int8-peak and --fp64-peak); beside them
// 256-bit vpdpbusd and the int16 tile's vpmaddwd + vpaddd, the two candidates for CPUs
// with AVX2 and AVX-VNNI but no AVX-512, and 256-bit vfmadd231pd, the float64 limit there;
// and, where the tile data is granted, AMX's tdpbusd
// (the amx_int8 kernel's --int8-peak):
//
//   build-runtime/bench/bench_kernels --benchmark_filter=peak/
//
// The planning's line scans of each entry, single-threaded, in ns per element:
//
//   build-runtime/bench/bench_kernels --benchmark_filter=scan/
//
// Each gemm/ row also reports its phases as the accounting of bench_gemm.py does: the
// products in int8 MAC per cycle and core, the rest in ns per element and core.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "support/cpu_features.h"
#include "exact/exact_core.h"
#include "fastpath/int16_engine.h"
#include "fastpath/int8_fastpath.h"
#include "kernel.h"
#include "kernel_registry.h"
#include "support/thread_count.h"
#include "vexa.h"

namespace {

struct Inputs {
    std::vector<double> A, B, hi, lo;
    std::vector<float> res;
    explicit Inputs(int64_t n) : A(size_t(n * n)), B(size_t(n * n)), hi(size_t(n * n)), lo(size_t(n * n)), res(size_t(n * n)) {
        std::mt19937_64 gen(1);
        std::normal_distribution<double> normal;
        for (double& x : A) x = normal(gen);
        for (double& x : B) x = normal(gen);
    }
};

void run_kernel(benchmark::State& state, const vexa::Kernel* kernel) {
    const int64_t n = state.range(0);
    Inputs in(n);
    const vexa::GemmProblem problem{in.A.data(), in.B.data(), in.hi.data(), in.lo.data(),
                                    in.res.data(), n, n, n};
    const int threads = vexa::configured_threads();
    for (auto _ : state) {
        if (kernel->gemm(problem, threads) != VEXA_OK) state.SkipWithError("kernel failed");
        benchmark::DoNotOptimize(in.hi.data());
    }
    state.counters["threads"] = threads;
    if (kernel != &vexa::kScalarKernel) {
        // Where the time of the last product went, from the fast path's own clock.
        const vexa::fast::Timing t = vexa::fast::last_timing();
        state.counters["moduli"] = t.moduli;
        state.counters["avg_moduli"] = t.average_moduli;
        state.counters["plan_ms"] = 1e3 * t.planning;
        state.counters["residues_ms"] = 1e3 * t.residues;
        state.counters["products_ms"] = 1e3 * t.products;
        state.counters["crt_ms"] = 1e3 * t.reconstruction;
        // Rates against each phase's own limit: ns per element and core, and the products'
        // int8 multiply-adds per second and core (per cycle in bench_gemm.py's table).
        const double elements = double(n) * double(n), core = 1e9 * threads;
        state.counters["plan_ns_per_in"] = core * t.planning / (2 * elements);
        state.counters["residue_ns_per_in_mod"] = core * t.residues / (2 * elements * t.average_moduli);
        state.counters["crt_ns_per_out"] = core * t.reconstruction / elements;
        state.counters["int8_GMAC_per_core_s"] =
            t.average_moduli * elements * double(n) / (t.products * threads) * 1e-9;
    }
    state.counters["products/s"] = benchmark::Counter(double(n) * double(n) * double(n),
                                                      benchmark::Counter::kIsIterationInvariantRate);
}

// ---- The reassembly of the int8 fast path, piece by piece ----
//
// Integers shaped like those of an n = 2048 product of normal numbers: about 136 bits, either
// sign, 21 moduli (six 32-bit digits), scale -130. The plan is rebuilt here from the modulus
// list, the way the driver builds it.
constexpr int kBenchModuli = 21;
constexpr int64_t kBenchElements = 64 * 1024;
constexpr int64_t kBenchScale = -130;

vexa::int8::CrtPlan bench_crt_plan(int count) {
    vexa::int8::CrtPlan t;
    vexa::fast::build_crt_plan(vexa::int8::moduli(), count, t);
    return t;
}

// Random signed integers of about 136 bits: their magnitudes (three limbs each), signs, and
// residues laid out as the driver's accumulators are (one row of kBenchElements per modulus).
struct ReassemblyInputs {
    std::vector<uint64_t> limbs;
    std::vector<uint8_t> negative, residues;
    ReassemblyInputs() : limbs(size_t(3 * kBenchElements)), negative(size_t(kBenchElements)),
                         residues(size_t(kBenchModuli * kBenchElements)) {
        const int* moduli = nullptr;
        vexa::int8::modulus_list(&moduli);
        std::mt19937_64 gen(7);
        for (int64_t e = 0; e < kBenchElements; ++e) {
            const uint64_t x[3] = {gen(), gen(), gen() >> (64 - 8 - int(gen() % 4))};
            negative[size_t(e)] = gen() & 1;
            for (int i = 0; i < 3; ++i) limbs[size_t(3 * e + i)] = x[i];
            for (int l = 0; l < kBenchModuli; ++l) {
                unsigned __int128 r = 0;
                for (int i = 2; i >= 0; --i) r = ((r << 64) | x[i]) % uint64_t(moduli[l]);
                if (negative[size_t(e)] && r) r = uint64_t(moduli[l]) - r;
                residues[size_t(l * kBenchElements + e)] = uint8_t(r);
            }
        }
    }
};

// The CRT alone, as the portable reference forms it (digits of the magnitude and a sign).
void run_crt(benchmark::State& state) {
    const ReassemblyInputs in;
    const vexa::int8::CrtPlan plan = bench_crt_plan(kBenchModuli);
    std::vector<uint32_t> magnitude(size_t(vexa::int8::kMaxDigits * vexa::int8::kCrtRun));
    std::vector<uint8_t> negative(size_t(vexa::int8::kCrtRun));
    for (auto _ : state) {
        for (int64_t e0 = 0; e0 < kBenchElements; e0 += vexa::int8::kCrtRun) {
            vexa::fast::portable_crt(plan, in.residues.data() + e0, kBenchElements, vexa::int8::kCrtRun,
                                     magnitude.data(), negative.data());
            benchmark::DoNotOptimize(magnitude.data());
        }
    }
    state.counters["ns_per_element"] = benchmark::Counter(
        1e-9 * double(kBenchElements), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void run_round_triple(benchmark::State& state) {
    const ReassemblyInputs in;
    std::vector<double> hi(static_cast<size_t>(kBenchElements)), lo(static_cast<size_t>(kBenchElements));
    std::vector<float> res(static_cast<size_t>(kBenchElements));
    for (auto _ : state) {
        for (int64_t e = 0; e < kBenchElements; ++e)
            vexa::exact::round_triple(in.negative[size_t(e)] != 0, in.limbs.data() + 3 * e, 3, kBenchScale,
                                      &hi[size_t(e)], &lo[size_t(e)], &res[size_t(e)]);
        benchmark::DoNotOptimize(hi.data());
    }
    state.counters["ns_per_element"] = benchmark::Counter(
        1e-9 * double(kBenchElements), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The reassembly in two steps: one portable CRT run, then limbs and round_triple per element.
void run_crt_then_round(benchmark::State& state) {
    const ReassemblyInputs in;
    const vexa::int8::CrtPlan plan = bench_crt_plan(kBenchModuli);
    std::vector<uint32_t> magnitude(size_t(vexa::int8::kMaxDigits * vexa::int8::kCrtRun));
    std::vector<uint8_t> negative(size_t(vexa::int8::kCrtRun));
    std::vector<double> hi(static_cast<size_t>(kBenchElements)), lo(static_cast<size_t>(kBenchElements));
    std::vector<float> res(static_cast<size_t>(kBenchElements));
    const int D = plan.digits, nl = (D + 1) / 2;
    for (auto _ : state) {
        for (int64_t e0 = 0; e0 < kBenchElements; e0 += vexa::int8::kCrtRun) {
            vexa::fast::portable_crt(plan, in.residues.data() + e0, kBenchElements, vexa::int8::kCrtRun,
                                     magnitude.data(), negative.data());
            for (int e = 0; e < vexa::int8::kCrtRun; ++e) {
                uint64_t limbs[vexa::int8::kMaxLimbs];
                for (int w = 0; w < nl; ++w) {
                    const uint64_t high = 2 * w + 1 < D ? magnitude[size_t((2 * w + 1) * vexa::int8::kCrtRun + e)] : 0;
                    limbs[w] = magnitude[size_t(2 * w * vexa::int8::kCrtRun + e)] | (high << 32);
                }
                const size_t at = size_t(e0 + e);
                vexa::exact::round_triple(negative[size_t(e)] != 0, limbs, nl, kBenchScale, &hi[at], &lo[at], &res[at]);
            }
        }
        benchmark::DoNotOptimize(hi.data());
    }
    state.counters["ns_per_element"] = benchmark::Counter(
        1e-9 * double(kBenchElements), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The CRT fused with the rounding, as the driver runs it: Int8Ops::crt_round, with the
// argument's count of moduli: 18 is the commonest count of such a product (ten words, the
// floating-point rounding), 21 its largest (the integer rounding). Both Ps hold the inputs.
void run_crt_round(benchmark::State& state, const vexa::int8::Int8Ops* ops) {
    const ReassemblyInputs in;
    const vexa::int8::CrtPlan plan = bench_crt_plan(int(state.range(0)));
    std::vector<double> hi(static_cast<size_t>(kBenchElements)), lo(static_cast<size_t>(kBenchElements));
    std::vector<float> res(static_cast<size_t>(kBenchElements));
    std::vector<uint8_t> zero(static_cast<size_t>(kBenchElements));
    const std::vector<int32_t> scale(size_t(vexa::int8::kCrtRun), 0);
    for (auto _ : state) {
        for (int64_t e0 = 0; e0 < kBenchElements; e0 += vexa::int8::kCrtRun)
            ops->crt_round(plan, in.residues.data() + e0, kBenchElements, vexa::int8::kCrtRun, kBenchScale,
                           scale.data(), &hi[size_t(e0)], &lo[size_t(e0)], &res[size_t(e0)], &zero[size_t(e0)]);
        benchmark::DoNotOptimize(hi.data());
    }
    state.counters["ns_per_element"] = benchmark::Counter(
        1e-9 * double(kBenchElements), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The int16 engine's CRT and rounding, Int16Ops::crt_round, as the driver runs it: runs of a
// panel's width over the rows of the accumulators. Integers like those of an n = 2048
// product of normal numbers on this engine: 11 moduli (P of 147 bits, five 32-bit digits),
// magnitudes of 129 to 140 bits, either sign, scale -130.
void run_int16_crt_round(benchmark::State& state, const vexa::int16::Int16Ops* ops) {
    constexpr int kModuli = 11;
    const vexa::fast::ModulusList list = vexa::int16::moduli();
    vexa::fast::CrtPlan plan;
    vexa::fast::build_crt_plan(list, kModuli, plan);
    std::vector<uint16_t> residues(size_t(kModuli * kBenchElements));
    std::mt19937_64 gen(11);
    for (int64_t e = 0; e < kBenchElements; ++e) {
        const uint64_t x[3] = {gen(), gen(), gen() >> (52 + int(gen() % 12))};
        const bool negative = gen() & 1;
        for (int l = 0; l < kModuli; ++l) {
            unsigned __int128 r = 0;
            for (int i = 2; i >= 0; --i) r = ((r << 64) | x[i]) % uint64_t(list.p[l]);
            if (negative && r) r = uint64_t(list.p[l]) - r;
            residues[size_t(l * kBenchElements + e)] = uint16_t(r);
        }
    }
    constexpr int kRun = vexa::int16::kPanelWidth;
    std::vector<double> hi(static_cast<size_t>(kBenchElements)), lo(static_cast<size_t>(kBenchElements));
    std::vector<float> res(static_cast<size_t>(kBenchElements));
    std::vector<uint8_t> zero(static_cast<size_t>(kBenchElements));
    const std::vector<int32_t> scale(size_t(kRun), 0);
    for (auto _ : state) {
        for (int64_t e0 = 0; e0 < kBenchElements; e0 += kRun)
            ops->crt_round(plan, residues.data() + e0, kBenchElements, kRun, kBenchScale, scale.data(),
                           &hi[size_t(e0)], &lo[size_t(e0)], &res[size_t(e0)], &zero[size_t(e0)]);
        benchmark::DoNotOptimize(hi.data());
    }
    state.counters["ns_per_element"] = benchmark::Counter(
        1e-9 * double(kBenchElements), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

#if VEXA_HAVE_KERNEL_AVX2 || VEXA_HAVE_KERNEL_AVX512_VNNI
}  // namespace
#include <x86intrin.h>
namespace {

// Ticks of the time-stamp counter per second: it runs at the nominal clock whatever the
// core's current one, which on the machines seen so far is also the core clock.
double tsc_hz() {
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t c0 = __rdtsc();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(50)) {
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return double(__rdtsc() - c0) / seconds;
}
#endif

#if VEXA_HAVE_KERNEL_AVX2
double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The int16 engine's 6x16 tile alone, one thread, on a K chunk that stays in the first-level
// cache: multiply-adds per second of this thread's CPU time, and per cycle at the nominal
// clock (vpmaddwd peaks at 32 per core cycle). With argument 1 the tile adds to rows of a
// 2048-column accumulator block bigger than the last-level cache, walked front to back as
// the driver's later K chunks do at n = 2048; with 0 to the same few rows every call.
void run_int16_tile(benchmark::State& state, const vexa::int16::Int16Ops* ops) {
    using vexa::int16::kPanelWidth;
    using vexa::int16::kRowGroup;
    const int64_t K = 512;
    const bool cold = state.range(0) != 0;
    const int64_t stride = cold ? 2048 : kPanelWidth, rows = cold ? int64_t(64) << 10 : kRowGroup;
    std::vector<int16_t> a(size_t(kRowGroup * K)), b(size_t(kPanelWidth * K));
    std::mt19937_64 gen(5);
    for (int16_t& v : a) v = int16_t(int(gen() % 8191) - 4095);
    for (int16_t& v : b) v = int16_t(int(gen() % 8191) - 4095);
    std::vector<uint16_t> acc(size_t(rows * stride));
    const vexa::fast::Modulus modulus{8191, 8191.0, 1.0 / 8191};
    const double macs = double(kRowGroup * kPanelWidth * K);
    int64_t row = 0, column = 0;
    const double start = thread_seconds();
    for (auto _ : state) {
        ops->tile(modulus, a.data(), b.data(), K, acc.data() + row * stride + column, stride, true);
        benchmark::DoNotOptimize(acc.data());
        if (cold && (row += kRowGroup) + kRowGroup > rows) {
            row = 0;
            column = (column + kPanelWidth) % stride;
        }
    }
    const double rate = macs * double(state.iterations()) / (thread_seconds() - start);
    state.counters["GMAC_per_s"] = rate * 1e-9;
    state.counters["MAC_per_cycle"] = rate / tsc_hz();
}
#endif

#if VEXA_HAVE_KERNEL_AVX2
// One product task as the driver runs it at n >= 1024 (K chunks of 512): sixteen panels of
// B, for each of them sixteen row groups of A, the operands (352 KiB) in the second-level
// cache and the accumulators (48 KiB) written after every tile. Against cold_acc:0 it shows
// what the loop around the tile costs.
void run_int16_tile_task(benchmark::State& state, const vexa::int16::Int16Ops* ops) {
    using vexa::int16::kPanelWidth;
    using vexa::int16::kRowGroup;
    const int64_t K = 512, groups = 16, panels = 16, width = panels * kPanelWidth;
    std::vector<int16_t> a(size_t(groups * kRowGroup * K)), b(size_t(panels * kPanelWidth * K));
    std::mt19937_64 gen(5);
    for (int16_t& v : a) v = int16_t(int(gen() % 8191) - 4095);
    for (int16_t& v : b) v = int16_t(int(gen() % 8191) - 4095);
    std::vector<uint16_t> acc(size_t(groups * kRowGroup * width));
    const vexa::fast::Modulus modulus{8191, 8191.0, 1.0 / 8191};
    const double start = thread_seconds();
    for (auto _ : state) {
        for (int64_t pnl = 0; pnl < panels; ++pnl)
            for (int64_t g = 0; g < groups; ++g)
                ops->tile(modulus, a.data() + g * kRowGroup * K, b.data() + pnl * kPanelWidth * K, K,
                          acc.data() + g * kRowGroup * width + pnl * kPanelWidth, width, true);
        benchmark::DoNotOptimize(acc.data());
    }
    const double macs = double(groups * kRowGroup * width * K) * double(state.iterations());
    state.counters["MAC_per_cycle"] = macs / (thread_seconds() - start) / tsc_hz();
}
#endif

#if VEXA_HAVE_KERNEL_AVX512_VNNI
// kChains independent accumulators, so that the loop runs at the instruction's throughput
// rather than its latency.
constexpr int kChains = 12;
// One instruction per accumulator, acc[c] += a * b in AT&T order (%12, %13: a and b).
#define VEXA_ONE(op, c) op " %13, %12, %" #c "\n\t"
#define VEXA_TWELVE(op)                                                                  \
    VEXA_ONE(op, 0) VEXA_ONE(op, 1) VEXA_ONE(op, 2) VEXA_ONE(op, 3) VEXA_ONE(op, 4)      \
    VEXA_ONE(op, 5) VEXA_ONE(op, 6) VEXA_ONE(op, 7) VEXA_ONE(op, 8) VEXA_ONE(op, 9)      \
    VEXA_ONE(op, 10) VEXA_ONE(op, 11)
#define VEXA_TWELVE_OPERANDS(v)                                                          \
    "+v"(v##0), "+v"(v##1), "+v"(v##2), "+v"(v##3), "+v"(v##4), "+v"(v##5), "+v"(v##6),  \
        "+v"(v##7), "+v"(v##8), "+v"(v##9), "+v"(v##10), "+v"(v##11)
// Twelve accumulators as named variables (an array would live in memory around the asm).
#define VEXA_TWELVE_VARIABLES(type, v, init)                                              \
    type v##0 = init(0), v##1 = init(1), v##2 = init(2), v##3 = init(3), v##4 = init(4),  \
         v##5 = init(5), v##6 = init(6), v##7 = init(7), v##8 = init(8), v##9 = init(9),  \
         v##10 = init(10), v##11 = init(11)
#define VEXA_TWELVE_SUM(add, v)                                                          \
    add(add(add(add(v##0, v##1), add(v##2, v##3)), add(add(v##4, v##5), add(v##6, v##7))), \
        add(add(v##8, v##9), add(v##10, v##11)))
constexpr int64_t kPeakRounds = 1 << 20;

// The loop of one instruction `op` on vectors of `type` (set1 and add: their broadcast and
// addition), each instruction `macs` multiply-adds. Spelled out in assembly: compiled from
// intrinsics the loop gathers register copies that take the same ports and halve the rate.
#define VEXA_PEAK_LOOP(state, type, set1, add, a_value, b_value, op, macs)                 \
    for (auto _ : state) {                                                               \
        VEXA_TWELVE_VARIABLES(type, acc, set1);                                          \
        type a = set1(a_value), b = set1(b_value);                                       \
        for (int64_t i = 0; i < kPeakRounds; ++i)                                        \
            __asm__ volatile(VEXA_TWELVE(op) : VEXA_TWELVE_OPERANDS(acc) : "v"(a), "v"(b)); \
        type sum = VEXA_TWELVE_SUM(add, acc);                                            \
        benchmark::DoNotOptimize(sum);                                                   \
    }                                                                                    \
    state.counters["MAC_per_cycle"] = benchmark::Counter(                                \
        (macs) * kChains * double(kPeakRounds) / tsc_hz(), benchmark::Counter::kIsIterationInvariantRate)

__attribute__((target("avx512f,avx512bw,avx512vnni"))) void peak_vpdpbusd(benchmark::State& state) {
    // Bytes 3 and -5 in every lane of a and b (0x03 and 0xfb).
    VEXA_PEAK_LOOP(state, __m512i, _mm512_set1_epi32, _mm512_add_epi32, 0x03030303,
                   int(0xfbfbfbfbu), "vpdpbusd", 64.0);
}

__attribute__((target("avx512f"))) void peak_vfmadd_pd(benchmark::State& state) {
    VEXA_PEAK_LOOP(state, __m512d, _mm512_set1_pd, _mm512_add_pd, 0.999, 1e-3, "vfmadd231pd", 8.0);
}

// Where AVX2 is the widest: the float64 limit a DGEMM of 256-bit FMAs runs against.
__attribute__((target("avx2,fma"))) void peak_vfmadd_pd_ymm(benchmark::State& state) {
    VEXA_PEAK_LOOP(state, __m256d, _mm256_set1_pd, _mm256_add_pd, 0.999, 1e-3, "vfmadd231pd", 4.0);
}

// The 256-bit form: the instruction an int8 engine for CPUs with AVX-VNNI but no AVX-512
// would be built on. Here it runs EVEX-encoded (AVX-512 VL); the VEX form of AVX-VNNI does
// the same work.
__attribute__((target("avx512f,avx512vl,avx512vnni"))) void peak_vpdpbusd_ymm(benchmark::State& state) {
    VEXA_PEAK_LOOP(state, __m256i, _mm256_set1_epi32, _mm256_add_epi32, 0x03030303,
                   int(0xfbfbfbfbu), "vpdpbusd", 32.0);
}

// What the int16 engine's tile issues per 16 multiply-adds: vpmaddwd into a scratch
// register, then vpaddd onto the accumulator.
#define VEXA_ONE_PAIR(c) "vpmaddwd %13, %12, %%ymm15\n\tvpaddd %%ymm15, %" #c ", %" #c "\n\t"
__attribute__((target("avx2"))) void peak_vpmaddwd_vpaddd_ymm(benchmark::State& state) {
    for (auto _ : state) {
        VEXA_TWELVE_VARIABLES(__m256i, acc, _mm256_set1_epi32);
        __m256i a = _mm256_set1_epi32(0x00030003), b = _mm256_set1_epi32(int(0xfffbfffbu));
        for (int64_t i = 0; i < kPeakRounds; ++i)
            __asm__ volatile(VEXA_ONE_PAIR(0) VEXA_ONE_PAIR(1) VEXA_ONE_PAIR(2) VEXA_ONE_PAIR(3) VEXA_ONE_PAIR(4)
                                 VEXA_ONE_PAIR(5) VEXA_ONE_PAIR(6) VEXA_ONE_PAIR(7) VEXA_ONE_PAIR(8)
                                     VEXA_ONE_PAIR(9) VEXA_ONE_PAIR(10) VEXA_ONE_PAIR(11)
                             : "+x"(acc0), "+x"(acc1), "+x"(acc2), "+x"(acc3), "+x"(acc4), "+x"(acc5), "+x"(acc6),
                               "+x"(acc7), "+x"(acc8), "+x"(acc9), "+x"(acc10), "+x"(acc11)
                             : "x"(a), "x"(b)
                             : "xmm15");
        __m256i sum = VEXA_TWELVE_SUM(_mm256_add_epi32, acc);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["MAC_per_cycle"] = benchmark::Counter(16.0 * kChains * double(kPeakRounds) / tsc_hz(),
                                                         benchmark::Counter::kIsIterationInvariantRate);
}
#undef VEXA_ONE_PAIR
#endif

#if VEXA_HAVE_KERNEL_AMX_INT8
// tdpbusd on four independent 16 x 16 int32 tiles, the limit of the amx_int8 tile: 16 x 16
// x 64 multiply-adds each. Written in assembly, so that this file needs no AMX flags; it
// runs only where the registry's check granted the tile data.
void peak_tdpbusd(benchmark::State& state) {
    struct alignas(64) {
        uint8_t palette = 1, start_row = 0, reserved[14] = {};
        uint16_t colsb[16] = {64, 64, 64, 64, 64, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        uint8_t rows[16] = {16, 16, 16, 16, 16, 16};
    } config;
    __asm__ volatile("ldtilecfg %0" ::"m"(config));
    __asm__ volatile("tilezero %tmm0\n\ttilezero %tmm1\n\ttilezero %tmm2\n\ttilezero %tmm3\n\t"
                     "tilezero %tmm4\n\ttilezero %tmm5");
    for (auto _ : state)
        for (int64_t i = 0; i < kPeakRounds / 16; ++i)
            __asm__ volatile("tdpbusd %tmm5, %tmm4, %tmm0\n\ttdpbusd %tmm5, %tmm4, %tmm1\n\t"
                             "tdpbusd %tmm5, %tmm4, %tmm2\n\ttdpbusd %tmm5, %tmm4, %tmm3");
    __asm__ volatile("tilerelease");
    state.counters["MAC_per_cycle"] = benchmark::Counter(4.0 * 16 * 16 * 64 * double(kPeakRounds / 16) / tsc_hz(),
                                                         benchmark::Counter::kIsIterationInvariantRate);
}
#endif

// The planning's line scans of one entry alone, single-threaded, in ns per element: the
// rows of an n x n matrix, or its columns in tasks of 256 as the planning hands them out.
void run_line_scan(benchmark::State& state, const vexa::registry::Entry* entry, bool by_rows) {
    const int64_t n = state.range(0);
    const Inputs in(n);
    const auto scan = entry->int8 ? entry->int8->scan_lines : entry->int16->scan_lines;
    std::vector<vexa::fast::LineScan> out(static_cast<size_t>(n));
    for (auto _ : state) {
        if (by_rows) {
            scan(in.A.data(), n, n, n, true, out.data());
        } else {
            for (int64_t j = 0; j < n; j += 256)
                scan(in.B.data() + j, n, n, std::min<int64_t>(256, n - j), false, out.data() + j);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns/elt"] = benchmark::Counter(double(n) * double(n) * 1e-9,
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}
#if VEXA_HAVE_KERNEL_AVX2
// An int8 tile alone, one thread, as the driver calls it at one K chunk: one B panel against
// 16 row groups in turn, storing (the first chunk): multiply-adds per cycle at the nominal
// clock, against two vpdpbusd (128) per cycle.
void run_int8_tile(benchmark::State& state, const vexa::int8::Int8Ops* ops, int rows) {
    const int64_t K = state.range(0), groups = 16;
    const int p = 251;
    std::vector<uint8_t> a(size_t(groups * rows * K));
    std::vector<int8_t> b(size_t(vexa::int8::kPanelWidth * K));
    std::mt19937_64 gen(6);
    for (uint8_t& v : a) v = uint8_t(gen() % p);
    for (int8_t& v : b) v = int8_t(int(gen() % p) - p / 2);
    std::vector<uint8_t> acc(size_t(groups * rows * vexa::int8::kPanelWidth));
    const vexa::fast::Modulus modulus{p, double(p), 1.0 / p};
    const double macs = double(groups * rows * vexa::int8::kPanelWidth * K);
    const double start = thread_seconds();
    for (auto _ : state) {
        for (int64_t g = 0; g < groups; ++g)
            ops->tile(modulus, &a[size_t(g * rows * K)], K, rows, b.data(), int(vexa::int8::kPanelWidth), K,
                      &acc[size_t(g * rows * vexa::int8::kPanelWidth)], vexa::int8::kPanelWidth, false);
        benchmark::DoNotOptimize(acc.data());
    }
    const double rate = macs * double(state.iterations()) / (thread_seconds() - start);
    state.counters["MAC_per_cycle"] = rate / tsc_hz();
}
#endif


// The residues of A (row by row) and of B (panel by panel) alone, one thread, as the driver
// makes them for a block of `rows` x K normal numbers whose integers are about 62 bits wide
// (two dwords of digits, the common case) for 18 moduli: nanoseconds per element and modulus.
void run_int8_residues(benchmark::State& state, const vexa::int8::Int8Ops* ops, bool of_b) {
    const int64_t K = state.range(0), rows = 128, moduli = 18;
    std::vector<double> x(size_t(rows * K));
    std::mt19937_64 gen(5);
    std::normal_distribution<double> normal;
    for (double& v : x) v = normal(gen);
    vexa::int8::ResiduePlan plan{};
    const int* list = nullptr;
    vexa::int8::modulus_list(&list);
    plan.count = int(moduli);
    for (int l = 0; l < moduli; ++l) plan.moduli[l] = {list[l], double(list[l]), 1.0 / list[l]};
    std::vector<double> pow2(size_t(moduli * 64));
    for (int l = 0; l < moduli; ++l)
        for (int t = 0, v = 1 % list[l]; t < 64; ++t, v = 2 * v % list[l]) pow2[size_t(l * 64 + t)] = v;
    plan.pow2 = pow2.data();
    plan.shift_limit = 64;
    const std::vector<int32_t> shift(size_t(std::max<int64_t>(rows, vexa::int8::kPanelWidth)), -60);
    std::vector<uint8_t> out(size_t(moduli * rows * K));
    const int64_t modulus_stride = rows * K;
    for (auto _ : state) {
        if (of_b) {
            // rows x K read as a K x rows matrix of B: panels of kPanelWidth columns.
            for (int64_t c0 = 0; c0 < rows; c0 += vexa::int8::kPanelWidth)
                ops->residues_b_panel(plan, &x[size_t(c0)], rows, std::min<int64_t>(vexa::int8::kPanelWidth, rows - c0),
                                      K, K, shift.data(), reinterpret_cast<int8_t*>(&out[size_t(c0 * K)]),
                                      modulus_stride);
        } else {
            ops->residues_a(plan, x.data(), K, rows, K, shift.data(), out.data(), K, modulus_stride);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns_per_element_modulus"] =
        benchmark::Counter(1e-9 * double(rows * K * moduli),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

const bool registered = [] {
    std::size_t count = 0;
    const vexa::Kernel* const* table = vexa::kernel_table(&count);
    for (std::size_t k = 0; k < count; ++k) {
        if (!table[k]->is_supported()) continue;
        benchmark::RegisterBenchmark((std::string("gemm/") + table[k]->name).c_str(), run_kernel, table[k])
            ->Arg(256)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
#if VEXA_HAVE_KERNEL_AVX512_VNNI
    if (vexa::cpu::has_avx512_vnni()) {
        benchmark::RegisterBenchmark("peak/vpdpbusd_zmm", peak_vpdpbusd);
        benchmark::RegisterBenchmark("peak/vfmadd231pd_zmm", peak_vfmadd_pd);
        benchmark::RegisterBenchmark("peak/vpdpbusd_ymm", peak_vpdpbusd_ymm);
    }
    if (vexa::cpu::has_avx2()) {
        benchmark::RegisterBenchmark("peak/vpmaddwd_vpaddd_ymm", peak_vpmaddwd_vpaddd_ymm);
        benchmark::RegisterBenchmark("peak/vfmadd231pd_ymm", peak_vfmadd_pd_ymm);
    }
#endif
#if VEXA_HAVE_KERNEL_AMX_INT8
    if (vexa::cpu::has_amx_int8()) benchmark::RegisterBenchmark("peak/tdpbusd", peak_tdpbusd);
#endif
    benchmark::RegisterBenchmark("reassembly/round_triple", run_round_triple);
    benchmark::RegisterBenchmark("reassembly/crt/portable", run_crt);
    benchmark::RegisterBenchmark("reassembly/crt_then_round/portable", run_crt_then_round);
    const vexa::registry::Entry* entries = vexa::registry::entries(&count);
    for (std::size_t e = 0; e < count; ++e) {
        const vexa::registry::Entry& entry = entries[e];
        if (!vexa::registry::runs_here(entry)) continue;
        const std::string pieces = entry.kernel ? entry.kernel : "portable";
        if (entry.int8)
            benchmark::RegisterBenchmark(("reassembly/crt_round/" + pieces).c_str(), run_crt_round, entry.int8)
                ->ArgName("moduli")
                ->Arg(18)
                ->Arg(kBenchModuli);
#if VEXA_HAVE_KERNEL_AVX2
        if (entry.int16 && entry.kernel) {
            benchmark::RegisterBenchmark(("tile/int16/" + pieces).c_str(), run_int16_tile, entry.int16)
                ->ArgName("cold_acc")
                ->Arg(0)
                ->Arg(1);
            benchmark::RegisterBenchmark(("tile/int16/" + pieces + "/task").c_str(), run_int16_tile_task, entry.int16);
        }
#endif
    }
    for (std::size_t e = 0; e < count; ++e) {
        if (!vexa::registry::runs_here(entries[e])) continue;
        for (const bool by_rows : {true, false})
            benchmark::RegisterBenchmark((std::string("scan/") + entries[e].id + (by_rows ? "/rows" : "/cols")).c_str(),
                                         run_line_scan, &entries[e], by_rows)
                ->Arg(128)->Arg(512)->Arg(2048);
    }
#if VEXA_HAVE_KERNEL_AVX2
    for (std::size_t e = 0; e < count; ++e) {
        const vexa::registry::Entry& entry = entries[e];
        if (entry.int8 && entry.kernel && vexa::registry::runs_here(entry))
            benchmark::RegisterBenchmark((std::string("tile/int8/") + entry.kernel).c_str(), run_int8_tile,
                                         entry.int8, entry.layout.row_group)
                ->Arg(64)->Arg(128)->Arg(256)->Arg(512)->Arg(1024)->Arg(2048);
    }
#endif
    for (std::size_t e = 0; e < count; ++e)
        if (entries[e].int16 && vexa::registry::runs_here(entries[e]))
            benchmark::RegisterBenchmark((std::string("reassembly/crt_round/") + entries[e].id).c_str(),
                                         run_int16_crt_round, entries[e].int16);
    for (std::size_t e = 0; e < count; ++e) {
        const vexa::registry::Entry& entry = entries[e];
        if (!entry.int8 || !vexa::registry::runs_here(entry)) continue;
        const std::string pieces = entry.kernel ? entry.kernel : "portable";
        for (const bool of_b : {false, true})
            benchmark::RegisterBenchmark(("residues/int8/" + pieces + (of_b ? "/b" : "/a")).c_str(),
                                         run_int8_residues, entry.int8, of_b)
                ->Arg(128)->Arg(1024);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
