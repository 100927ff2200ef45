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
    bool (*is_supported)();     // the CPU and OS can run it; may request AMX permission
    // Arguments are already validated and M, N, K > 0. Returns a vexa_status value. Must not
    // throw. The ABI promises that a failed call writes nothing, so a kernel allocates all it
    // needs before writing its first output element; on VEXA_ERROR_OUT_OF_MEMORY the caller
    // retries with the exact core, whose workspace is smaller.
    int (*gemm)(const GemmProblem& problem, int threads);
};

// The fast kernels, compiled in when their ISA folder under src/kernels/ has sources (CMake
// then defines the matching VEXA_HAVE_KERNEL_* macro).
#if VEXA_HAVE_KERNEL_AMX_INT8
extern const Kernel kAmxInt8Kernel;     // "amx_int8"
#endif
#if VEXA_HAVE_KERNEL_AVX512_VNNI
extern const Kernel kAvx512VnniKernel;  // "avx512_vnni"
#endif
#if VEXA_HAVE_KERNEL_AVX2
extern const Kernel kAvx2Kernel;        // "avx2"
#endif
#if VEXA_HAVE_KERNEL_NEON_I8MM
extern const Kernel kNeonI8mmKernel;    // "neon_i8mm"
#endif
#if VEXA_HAVE_KERNEL_NEON_DOTPROD
extern const Kernel kNeonDotprodKernel; // "neon_dotprod"
#endif
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

// Worker threads for one call: VEXA_NUM_THREADS when set to a positive integer (at most
// kMaxThreads), otherwise all hardware threads.
int configured_threads();
// Why a VEXA_NUM_THREADS that was set is not the count (not a positive integer, or capped),
// or null when it is or was not set.
const char* num_threads_note();

}  // namespace vexa
