// The GPU engine: the exact fast path with the residues, the int8 products and the CRT with
// its rounding on a device, through the interface of gpu_device.h. The planning (windows,
// admitted widths, moduli, excluded lines) is the fast path's; the excluded lines go through
// the exact core on the host; the output is bit-identical to the exact core.
#pragma once

#include <cstdint>

#include "fastpath/fastpath.h"
#include "gpu/gpu_device.h"
#include "kernel.h"

namespace vexa::gpu {

// One int32 sum over a K chunk adds products of two symmetric residues, each at most 2^14 in
// magnitude: 2^16 of them stay below 2^30, far from wrapping.
constexpr int64_t kMaxChunk = int64_t(1) << 16;

struct EngineOptions {
    fast::Options fast;
    int64_t chunk = kMaxChunk;  // largest K chunk (a multiple of 16, at most kMaxChunk)
    // At most this fraction of what the device reports available is allocated.
    double memory_fraction = 0.875;
    // Synchronise after every phase, so that the timing attributes device time to phases
    // (for the benches; it costs the overlap of host and device work).
    bool profile = false;
};

// Where time went in the last call of the process (seconds, host clock).
struct GpuTiming {
    double planning = 0, fallback = 0, gather = 0, upload = 0, residues = 0, products = 0,
           words = 0, download = 0, scatter = 0;
    int moduli = 0;
    int64_t blocks = 0, chunks = 0;
    int64_t excluded_rows = 0, excluded_cols = 0;
};
GpuTiming last_gpu_timing();

// The whole product through `device`; a vexa_status value, never throws. M, N, K > 0 and
// the arguments valid. On VEXA_ERROR_OUT_OF_MEMORY nothing was written; after another error
// part of C may have been, and a caller that wants a result computes it again elsewhere.
int gemm(const GemmProblem& problem, int threads, const DeviceOps& device,
         const EngineOptions& options = EngineOptions());

// ---- The CUDA backend, loaded at run time ----

// The CUDA device of libvexa_cuda.so at `path` (beside libvexa when null), opened once per
// process: null when the library, the CUDA libraries or a device are missing; why in
// cuda_unavailable().
const DeviceOps* cuda_device(const char* path = nullptr);
const char* cuda_unavailable();

// The entry point libvexa_cuda.so exports to hand out its table; returns a vexa_status
// value and, on failure, a reason in why[0 .. why_size).
using OpenFunction = int (*)(int abi, DeviceOps** device, char* why, int64_t why_size);
constexpr const char* kOpenSymbol = "vexa_cuda_open";

// The "cuda" kernel: the engine on the CUDA device; a product too small for it, or one the
// device fails, goes to the best host kernel instead.
int cuda_kernel_gemm(const GemmProblem& problem, int threads);
// Whether VEXA_KERNEL asks for "cuda" and the CUDA device opens. Never loads anything
// unless asked.
bool cuda_kernel_usable();

}  // namespace vexa::gpu
