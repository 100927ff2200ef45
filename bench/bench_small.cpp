// Small and thin products: the kernel libvexa picks against the exact core ("scalar"),
// side by side in one run, in alternation, at the configured thread count. Below the fast
// path's cut-offs both run the same code, so there the ratio shows the noise. Prints the minimum and median
// time of each over the repeats and their ratio (fast / scalar; below 1 means faster).
//
//   VEXA_NUM_THREADS=2 build/bench/bench_small [repeats] [MxNxK ...]
//
// Shapes given on the command line replace the built-in list.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernel.h"
#include "support/thread_count.h"
#include "vexa.h"

namespace {

struct Shape {
    int64_t M, N, K;
};

struct Times {
    double min, median;
};

// The two kernels in alternation, so that drifts of the machine's speed hit both alike.
void time_pair(const vexa::Kernel& fast, const vexa::Kernel& scalar, const vexa::GemmProblem& pb,
               int threads, int repeats, Times* fast_times, Times* scalar_times) {
    std::vector<double> t[2];
    const vexa::Kernel* kernels[2] = {&fast, &scalar};
    for (int r = 0; r <= repeats; ++r)
        for (int k = 0; k < 2; ++k) {
            const auto start = std::chrono::steady_clock::now();
            if (kernels[k]->gemm(pb, threads) != VEXA_OK) std::abort();
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (r > 0) t[k].push_back(s);  // the first round warms caches and the workspace
        }
    for (int k = 0; k < 2; ++k) std::sort(t[k].begin(), t[k].end());
    *fast_times = {t[0].front(), t[0][t[0].size() / 2]};
    *scalar_times = {t[1].front(), t[1][t[1].size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const vexa::Kernel& fast = vexa::active_kernel();
    const int threads = vexa::configured_threads();
    std::printf("kernel %s against scalar, %d threads, %d repeats\n", fast.name, threads, repeats);
    std::printf("%6s %6s %6s %12s %12s %12s %12s %8s %8s\n", "M", "N", "K", "fast min", "fast med",
                "scalar min", "scalar med", "min", "med");
    const std::vector<Shape> listed = {{32, 32, 32},   {64, 64, 64},    {96, 96, 96},     {128, 128, 128},
                            {160, 160, 160}, {192, 192, 192}, {256, 256, 256},  {1, 256, 256},
                            {1, 1024, 1024}, {1, 4096, 512},  {256, 1, 256},    {1024, 1, 1024},
                            {4096, 1, 512},  {8, 512, 512},   {512, 8, 512},    {8, 64, 64},    {16, 1024, 256},
                            {1024, 16, 256}, {32, 1024, 1024}, {21, 21, 21},  {8, 8, 128},
                            {64, 8, 16}};
    std::vector<Shape> shapes;
    for (int a = 2; a < argc; ++a) {
        long long M, N, K;
        if (std::sscanf(argv[a], "%lldx%lldx%lld", &M, &N, &K) != 3 || M < 1 || N < 1 || K < 1) {
            std::fprintf(stderr, "not a shape MxNxK: %s\n", argv[a]);
            return 2;
        }
        shapes.push_back({M, N, K});
    }
    if (shapes.empty()) shapes = listed;
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal;
    for (const Shape& s : shapes) {
        std::vector<double> A(size_t(s.M * s.K)), B(size_t(s.K * s.N)), hi(size_t(s.M * s.N)), lo(hi.size());
        std::vector<float> res(hi.size());
        for (double& x : A) x = normal(gen);
        for (double& x : B) x = normal(gen);
        const vexa::GemmProblem pb{A.data(), B.data(), hi.data(), lo.data(), res.data(), s.M, s.N, s.K};
        Times f, e;
        time_pair(fast, vexa::kScalarKernel, pb, threads, repeats, &f, &e);
        std::printf("%6lld %6lld %6lld %10.3fms %10.3fms %10.3fms %10.3fms %7.2fx %7.2fx\n", (long long)s.M,
                    (long long)s.N, (long long)s.K, 1e3 * f.min, 1e3 * f.median, 1e3 * e.min, 1e3 * e.median,
                    f.min / e.min, f.median / e.median);
    }
    return 0;
}
