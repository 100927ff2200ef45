// Finding the CUDA backend at run time. libvexa never links CUDA: libvexa_cuda.so, built
// only with VEXA_CUDA=ON, lies beside libvexa.so and is opened the first time the "cuda"
// kernel is asked for. Whatever is missing (the library, CUDA's own libraries, a device)
// leaves libvexa as it is, with the reason kept for the version text.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "exact/exact_core.h"
#include "gpu/gpu_engine.h"
#include "support/platform.h"
#include "vexa.h"

namespace vexa::gpu {
namespace {

struct Loaded {
    const DeviceOps* device = nullptr;
    std::string why;
};

Loaded load(const char* path) {
    Loaded out;
    // Its own symbols, and its static CUDA runtime, stay out of everyone's way.
    void* handle = platform::open_library(path, "libvexa_cuda.so", &out.why);
    if (!handle) {
        if (!path) out.why += " (libvexa was built without VEXA_CUDA, or the file is missing)";
        return out;
    }
    const auto open = reinterpret_cast<OpenFunction>(platform::library_symbol(handle, kOpenSymbol));
    if (!open) {
        out.why = std::string("libvexa_cuda.so has no ") + kOpenSymbol;
        return out;
    }
    char why[256] = {};
    DeviceOps* device = nullptr;
    if (open(kDeviceAbi, &device, why, sizeof why) != VEXA_OK || !device) {
        out.why = why[0] ? why : "the CUDA device could not be opened";
        return out;
    }
    out.device = device;  // kept for the life of the process, the library with it
    return out;
}

const Loaded& loaded(const char* path) {
    static const Loaded once = [path] {
        try {
            return load(path);
        } catch (...) {
            return Loaded{nullptr, "out of memory while loading libvexa_cuda"};
        }
    }();
    return once;
}

bool cuda_asked() {
    const char* forced = std::getenv("VEXA_KERNEL");
    return forced && std::strcmp(forced, "cuda") == 0;
}

// The best host kernel, for what the device should not or could not do.
int host_gemm(const GemmProblem& problem, int threads) {
    std::size_t count = 0;
    const Kernel* const* table = kernel_table(&count);
    for (std::size_t k = 0; k < count; ++k)
        if (std::strcmp(table[k]->name, "cuda") != 0 && table[k]->is_supported())
            return table[k]->gemm(problem, threads);
    return exact::gemm(problem, threads);
}

}  // namespace

const DeviceOps* cuda_device(const char* path) { return loaded(path).device; }

const char* cuda_unavailable() {
    const Loaded& l = loaded(nullptr);
    return l.device ? nullptr : l.why.c_str();
}

bool cuda_kernel_usable() {
    static const bool usable = cuda_asked() && cuda_device() != nullptr;
    return usable;
}

int cuda_kernel_gemm(const GemmProblem& problem, int threads) {
    const DeviceOps* device = cuda_device();
    EngineOptions options;
    // Below some 2^30 multiply-adds the copies to and from the device cost more than the
    // host's fast kernels take for the whole product.
    options.fast.min_work = int64_t(1) << 30;
    options.fast.min_side = 256;
    if (!device || double(problem.M) * double(problem.N) * double(problem.K) < double(options.fast.min_work) ||
        std::min(problem.M, problem.N) < options.fast.min_side)
        return host_gemm(problem, threads);
    // One product on the device at a time: the calls share one stream, one cuBLASLt handle
    // and its workspace, and each call sizes its blocks to the memory free at its start.
    static std::mutex device_lock;
    int status;
    {
        std::lock_guard<std::mutex> hold(device_lock);
        status = gemm(problem, threads, *device, options);
    }
    // A device failure may have left part of C written: the host writes all of it again.
    return status == VEXA_OK ? status : host_gemm(problem, threads);
}

}  // namespace vexa::gpu
