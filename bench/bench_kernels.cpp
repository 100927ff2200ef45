// Every supported kernel of the table on its own (no ABI, no Python), random normal
// square inputs, at the configured thread count:
//
//   VEXA_NUM_THREADS=2 build-runtime/bench/bench_kernels --benchmark_min_time=0.5
//
// (add --benchmark_filter=/1024/ for one size).
//
// Reported time is wall time per product; "products/s" counts multiply-adds.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "int8_fastpath.h"
#include "kernel.h"
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
    if (std::string(kernel->name) == "avx512_vnni" || std::string(kernel->name) == "amx_int8") {
        // Where the time of the last product went, from the fast path's own clock.
        const vexa::int8::Int8Timing t = vexa::int8::last_int8_timing();
        state.counters["moduli"] = t.moduli;
        state.counters["plan_ms"] = 1e3 * t.planning;
        state.counters["residues_ms"] = 1e3 * t.residues;
        state.counters["int8_ms"] = 1e3 * t.products;
        state.counters["crt_ms"] = 1e3 * t.reconstruction;
    }
    state.counters["products/s"] = benchmark::Counter(double(n) * double(n) * double(n),
                                                      benchmark::Counter::kIsIterationInvariantRate);
}

const bool registered = [] {
    std::size_t count = 0;
    const vexa::Kernel* const* table = vexa::kernel_table(&count);
    for (std::size_t k = 0; k < count; ++k) {
        if (!table[k]->is_supported()) continue;
        benchmark::RegisterBenchmark((std::string("gemm/") + table[k]->name).c_str(), run_kernel, table[k])
            ->Arg(256)->Arg(512)->Arg(1024)->Arg(2048)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
