// The GPU engine on a CUDA device against cuBLAS DGEMM on the same device, at the sizes
// given (default 4096 8192 16384). Device time is what the residue, product and CRT
// passes take (the engine synchronises after each phase for this); the copies between host
// and device and the host's own work (planning, gathering, scattering) are reported apart.
// Each product is also checked against the best host kernel, whose output is bit-identical
// to the exact core: all of it up to n = 2048, a sample of 4096 elements above.
//
//   bench_cuda [--library path/libvexa_cuda.so] [n ...]
#include <cublas_v2.h>
#include <cuda_runtime.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/bits.h"
#include "exact/exact_core.h"
#include "gpu/gpu_engine.h"
#include "kernel.h"
#include "support/thread_count.h"
#include "vexa.h"

namespace {

double dgemm_seconds(int n, const std::vector<double>& a, const std::vector<double>& b, double* copy_seconds) {
    const size_t bytes = size_t(n) * size_t(n) * sizeof(double);
    double *da, *db, *dc;
    if (cudaMalloc(&da, bytes) != cudaSuccess || cudaMalloc(&db, bytes) != cudaSuccess ||
        cudaMalloc(&dc, bytes) != cudaSuccess) {
        std::printf("  cuBLAS DGEMM: no room on the device\n");
        return 0;
    }
    const auto t0 = std::chrono::steady_clock::now();
    cudaMemcpy(da, a.data(), bytes, cudaMemcpyHostToDevice);
    cudaMemcpy(db, b.data(), bytes, cudaMemcpyHostToDevice);
    *copy_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cublasHandle_t h;
    cublasCreate(&h);
    const double one = 1, zero = 0;
    cublasDgemm(h, CUBLAS_OP_N, CUBLAS_OP_N, n, n, n, &one, db, n, da, n, &zero, dc, n);  // warm-up
    cudaEvent_t start, stop;
    cudaEventCreate(&start);
    cudaEventCreate(&stop);
    float best = 1e30f;
    for (int rep = 0; rep < 3; ++rep) {
        cudaEventRecord(start);
        cublasDgemm(h, CUBLAS_OP_N, CUBLAS_OP_N, n, n, n, &one, db, n, da, n, &zero, dc, n);
        cudaEventRecord(stop);
        cudaEventSynchronize(stop);
        float ms = 0;
        cudaEventElapsedTime(&ms, start, stop);
        best = std::min(best, ms);
    }
    cublasDestroy(h);
    cudaFree(da), cudaFree(db), cudaFree(dc);
    return best / 1000.0;
}

// The first host kernel the CPU runs (the exact core's output, bit for bit).
const vexa::Kernel& host_kernel() {
    std::size_t count = 0;
    const vexa::Kernel* const* table = vexa::kernel_table(&count);
    for (std::size_t k = 0; k < count; ++k)
        if (std::strcmp(table[k]->name, "cuda") != 0 && table[k]->is_supported()) return *table[k];
    return vexa::kScalarKernel;
}

}  // namespace

int main(int argc, char** argv) {
    const char* library = nullptr;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) library = argv[++i];
        else sizes.push_back(std::atoi(argv[i]));
    }
#ifdef VEXA_BENCH_CUDA_LIBRARY
    if (!library) library = VEXA_BENCH_CUDA_LIBRARY;
#endif
    if (sizes.empty()) sizes = {4096, 8192, 16384};
    const vexa::gpu::DeviceOps* device = vexa::gpu::cuda_device(library);
    if (!device) {
        std::printf("no CUDA device: %s\n", vexa::gpu::cuda_unavailable());
        return 2;
    }
    cudaDeviceProp prop{};
    cudaGetDeviceProperties(&prop, 0);
    std::printf("device: %s (compute capability %d.%d); host kernel for checks: %s\n", prop.name, prop.major,
                prop.minor, host_kernel().name);
    int failures = 0;
    for (const int n : sizes) {
        const size_t count = size_t(n) * size_t(n);
        std::vector<double> a(count), b(count), hi(count), lo(count);
        std::vector<float> res(count);
        std::mt19937_64 gen(static_cast<uint64_t>(n));
        std::normal_distribution<double> d;
        for (double& x : a) x = d(gen);
        for (double& x : b) x = d(gen);
        double dgemm_copy = 0;
        const double dgemm = dgemm_seconds(n, a, b, &dgemm_copy);
        vexa::gpu::EngineOptions opt;
        opt.profile = true;
        const int threads = vexa::configured_threads();
        const vexa::GemmProblem pb{a.data(), b.data(), hi.data(), lo.data(), res.data(), n, n, n};
        const auto t0 = std::chrono::steady_clock::now();
        const int status = vexa::gpu::gemm(pb, threads, *device, opt);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const vexa::gpu::GpuTiming t = vexa::gpu::last_gpu_timing();
        const double device_time = t.residues + t.products + t.words;
        const double flops = 2.0 * double(n) * double(n) * double(n);
        std::printf("n=%d status %d, %d moduli, %lld blocks, %lld chunks\n", n, status, t.moduli,
                    (long long)t.blocks, (long long)t.chunks);
        std::printf("  cuBLAS DGEMM  device %.4f s (%.1f TFLOP/s), copies in %.4f s\n", dgemm, flops / dgemm / 1e12,
                    dgemm_copy);
        std::printf("  gemm_pair     device %.4f s (%.1f TFLOP/s equivalent; residues %.4f, int8 products %.4f, "
                    "CRT+rounding %.4f) = %.2fx DGEMM's throughput\n",
                    device_time, flops / device_time / 1e12, t.residues, t.products, t.words, dgemm / device_time);
        std::printf("                copies up %.4f s, down %.4f s; host planning %.4f, gather %.4f, scatter %.4f; "
                    "wall %.4f s\n",
                    t.upload, t.download, t.planning, t.gather, t.scatter, wall);
        if (status != VEXA_OK) {
            ++failures;
            continue;
        }
        // The check against the host.
        int64_t bad = 0, checked = 0;
        if (n <= 2048) {
            std::vector<double> want_hi(count), want_lo(count);
            std::vector<float> want_res(count);
            const vexa::GemmProblem ref{a.data(), b.data(), want_hi.data(), want_lo.data(), want_res.data(), n, n, n};
            if (host_kernel().gemm(ref, threads) != VEXA_OK) ++failures;
            for (size_t e = 0; e < count; ++e, ++checked)
                bad += vexa::bits::of(hi[e]) != vexa::bits::of(want_hi[e]) || vexa::bits::of(lo[e]) != vexa::bits::of(want_lo[e]) ||
                       vexa::bits::of(res[e]) != vexa::bits::of(want_res[e]);
        } else {
            for (int s = 0; s < 4096; ++s, ++checked) {
                const int64_t i = int64_t(gen() % uint64_t(n)), j = int64_t(gen() % uint64_t(n));
                double wh, wl;
                float wr;
                vexa::exact::dot_triple(a.data() + i * n, 1, b.data() + j, n, n, &wh, &wl, &wr);
                const size_t e = size_t(i * n + j);
                bad += vexa::bits::of(hi[e]) != vexa::bits::of(wh) || vexa::bits::of(lo[e]) != vexa::bits::of(wl) ||
                       vexa::bits::of(res[e]) != vexa::bits::of(wr);
            }
        }
        std::printf("  checked %lld elements against the host: %lld differ\n", (long long)checked, (long long)bad);
        failures += bad != 0;
    }
    return failures ? 1 : 0;
}
