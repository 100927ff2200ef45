// The kernel table: every way libvexa can compute a product, fastest first.
//
// All kernels produce bit-identical output (the correctly rounded triple of the exact
// sum of products), so choosing among them is purely a matter of speed. The exact core
// ("scalar") is always last and always supported; a kernel whose instructions the CPU
// or OS lacks is skipped, never an error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa {

// One product, with 64-bit dimensions. Row-major, dense, no strides.
struct GemmProblem {
    const double* A;  // M x K
    const double* B;  // K x N
    double* C_hi;     // M x N
    double* C_lo;     // M x N
    float* C_res;     // M x N
    int64_t M, N, K;
    // When set, the third word goes here as float64 and C_res is ignored
    // (vexa_gemm_host_f64res); the exact core and the fast path's portable CRT round into it.
    double* C_res64 = nullptr;
};

struct Kernel {
    const char* name;           // as VEXA_KERNEL and vexa_version() spell it
    bool (*is_supported)();     // this process can run it (for amx_int8: asks for the tile data)
    // Arguments are already validated and M, N, K > 0. Returns a vexa_status value. Must not
    // throw. The ABI promises that a failed call writes nothing, so a kernel allocates all it
    // needs before writing its first output element; on VEXA_ERROR_OUT_OF_MEMORY the caller
    // retries with the exact core, whose workspace is smaller.
    int (*gemm)(const GemmProblem& problem, int threads);
};

// The kernels of the ISA folders come from the registry (kernel_registry.h); these two are
// always there.
// The GPU engine on a CUDA device (gpu_engine.h): supported only when VEXA_KERNEL=cuda asks
// for it and libvexa_cuda.so opens a device, so it is never chosen unasked.
extern const Kernel kCudaKernel;        // "cuda"
// The exact core, always supported.
extern const Kernel kScalarKernel;      // "scalar"

// The table in priority order; the last entry is the exact core.
const Kernel* const* kernel_table(std::size_t* count);

// The kernel vexa_gemm_host uses: VEXA_KERNEL when it names a supported kernel, otherwise
// the first supported one. Chosen once per process, thread-safely.
const Kernel& active_kernel();
// The VEXA_KERNEL that was set but names no kernel supported here, or null.
const char* refused_kernel();

}  // namespace vexa
