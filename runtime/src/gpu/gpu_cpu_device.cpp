// The CPU backend of the GPU engine's device interface: host memory, plain loops, and the
// int8 products as int32 sums. It runs exactly the element functions the CUDA kernels run
// (gpu_passes.h), so the tests that drive the whole engine through it check everything
// but the CUDA calls themselves. A memory limit makes it stand in for a small device.
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "gpu/gpu_device.h"
#include "gpu/gpu_passes.h"
#include "support/platform.h"
#include "vexa.h"

namespace vexa::gpu {
namespace {

struct CpuDevice {
    DeviceOps ops;
    int64_t limit;
    int64_t in_use = 0;
    std::mutex lock;
    std::map<void*, int64_t> sizes;
};

CpuDevice& of(void* self) { return *static_cast<CpuDevice*>(self); }

int available(void* self, int64_t* bytes) {
    CpuDevice& d = of(self);
    std::lock_guard<std::mutex> hold(d.lock);
    *bytes = d.limit - d.in_use;
    return VEXA_OK;
}

int allocate(void* self, void** ptr, int64_t bytes) {
    CpuDevice& d = of(self);
    std::lock_guard<std::mutex> hold(d.lock);
    *ptr = nullptr;
    if (bytes < 0 || bytes > d.limit - d.in_use) return VEXA_ERROR_OUT_OF_MEMORY;
    // 256-byte alignment, as cudaMalloc gives.
    void* p = platform::allocate_aligned(256, size_t(bytes) + 1);
    if (!p) return VEXA_ERROR_OUT_OF_MEMORY;
    try {
        d.sizes[p] = bytes;
    } catch (...) {
        platform::free_aligned(p);
        return VEXA_ERROR_OUT_OF_MEMORY;
    }
    d.in_use += bytes;
    *ptr = p;
    return VEXA_OK;
}

void release(void* self, void* ptr) {
    if (!ptr) return;
    CpuDevice& d = of(self);
    std::lock_guard<std::mutex> hold(d.lock);
    auto it = d.sizes.find(ptr);
    if (it == d.sizes.end()) return;
    d.in_use -= it->second;
    d.sizes.erase(it);
    platform::free_aligned(ptr);
}

int copy(void*, void* dst, const void* src, int64_t bytes) {
    if (bytes > 0) std::memcpy(dst, src, size_t(bytes));
    return VEXA_OK;
}

int residues(void*, const ResiduePass* p) {
    for (int64_t i = 0; i < p->out_lines; ++i)
        for (int64_t k = 0; k < p->out_stride; ++k) residues_at(*p, i, k);
    return VEXA_OK;
}

int gemm(void*, const GemmPass* g) {
    for (int l = 0; l < g->batch; ++l) {
        const int8_t* a = g->a + l * g->a_stride;
        const int8_t* b = g->b + l * g->b_stride;
        int32_t* c = g->c + l * g->c_stride;
        for (int64_t i = 0; i < g->m; ++i)
            for (int64_t j = 0; j < g->n; ++j) {
                int32_t sum = 0;
                for (int64_t k = 0; k < g->depth; ++k)
                    sum += int32_t(a[i * g->depth + k]) * int32_t(b[j * g->depth + k]);
                c[i * g->n + j] = sum;
            }
    }
    return VEXA_OK;
}

int words(void*, const WordsPass* w) {
    for (int64_t i = 0; i < w->rows; ++i)
        for (int64_t j = 0; j < w->cols; ++j) words_at(*w, i, j);
    return VEXA_OK;
}

int synchronize(void*) { return VEXA_OK; }

void close(void* self) { delete static_cast<CpuDevice*>(self); }

}  // namespace

DeviceOps* open_cpu_device(int64_t memory_limit) {
    CpuDevice* d = new (std::nothrow) CpuDevice;
    if (!d) return nullptr;
    d->limit = memory_limit;
    d->ops = DeviceOps{kDeviceAbi, d, "cpu", available, allocate, release, copy, copy,
                       residues, gemm, words, synchronize, close};
    return &d->ops;
}

}  // namespace vexa::gpu
