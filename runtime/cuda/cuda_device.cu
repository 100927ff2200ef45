// The CUDA backend of the GPU engine's device interface (src/gpu/gpu_device.h): memory, copies,
// two element-wise kernels that run the very functions the CPU backend runs
// (src/gpu/gpu_passes.h), and the int8 products through cuBLASLt. Nothing else: the engine's
// logic lives in libvexa and is tested there on the CPU.
//
// The CUDA runtime is linked statically, and cuBLASLt is opened with dlopen, so this
// library loads on any machine and says why it cannot work rather than failing to load.
//
// The products: D (n x m, column-major) = B_res^T (n x depth) * A_res (depth x m), int8 x
// int8 -> int32, CUBLAS_COMPUTE_32I, one strided-batched call over the moduli. Both operands
// are stored depth-contiguous (the "TN" form that int8 tensor-core kernels take without
// reordering), depth and n multiples of 16 and every batch 16-byte aligned, which cuBLASLt
// asks of int8 layouts for its IMMA kernels (leading dimensions a multiple of 4, pointers
// 16-byte aligned). D column-major n x m is C row-major m x n, as the engine reads it.
#include <cublasLt.h>
#include <cuda_runtime.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "gpu/gpu_engine.h"
#include "gpu/gpu_passes.h"
#include "vexa.h"

namespace vexa::gpu {
namespace {

// The cuBLASLt entry points, found at run time.
struct Lt {
    void* handle = nullptr;
    decltype(&cublasLtCreate) create = nullptr;
    decltype(&cublasLtDestroy) destroy = nullptr;
    decltype(&cublasLtMatmulDescCreate) desc_create = nullptr;
    decltype(&cublasLtMatmulDescDestroy) desc_destroy = nullptr;
    decltype(&cublasLtMatmulDescSetAttribute) desc_set = nullptr;
    decltype(&cublasLtMatrixLayoutCreate) layout_create = nullptr;
    decltype(&cublasLtMatrixLayoutDestroy) layout_destroy = nullptr;
    decltype(&cublasLtMatrixLayoutSetAttribute) layout_set = nullptr;
    decltype(&cublasLtMatmulPreferenceCreate) pref_create = nullptr;
    decltype(&cublasLtMatmulPreferenceDestroy) pref_destroy = nullptr;
    decltype(&cublasLtMatmulPreferenceSetAttribute) pref_set = nullptr;
    decltype(&cublasLtMatmulAlgoGetHeuristic) heuristic = nullptr;
    decltype(&cublasLtMatmul) matmul = nullptr;
};

bool load_lt(Lt& lt, char* why, int64_t why_size) {
    for (const char* name : {"libcublasLt.so.13", "libcublasLt.so.12", "libcublasLt.so"}) {
        lt.handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (lt.handle) break;
    }
    if (!lt.handle) {
        std::snprintf(why, size_t(why_size), "libcublasLt.so.13 (or .12) could not be loaded");
        return false;
    }
    bool all = true;
    auto get = [&](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(lt.handle, name));
        all = all && slot;
    };
    get(lt.create, "cublasLtCreate");
    get(lt.destroy, "cublasLtDestroy");
    get(lt.desc_create, "cublasLtMatmulDescCreate");
    get(lt.desc_destroy, "cublasLtMatmulDescDestroy");
    get(lt.desc_set, "cublasLtMatmulDescSetAttribute");
    get(lt.layout_create, "cublasLtMatrixLayoutCreate");
    get(lt.layout_destroy, "cublasLtMatrixLayoutDestroy");
    get(lt.layout_set, "cublasLtMatrixLayoutSetAttribute");
    get(lt.pref_create, "cublasLtMatmulPreferenceCreate");
    get(lt.pref_destroy, "cublasLtMatmulPreferenceDestroy");
    get(lt.pref_set, "cublasLtMatmulPreferenceSetAttribute");
    get(lt.heuristic, "cublasLtMatmulAlgoGetHeuristic");
    get(lt.matmul, "cublasLtMatmul");
    if (!all) std::snprintf(why, size_t(why_size), "libcublasLt lacks an entry point this library needs");
    return all;
}

struct CudaDevice {
    DeviceOps ops;
    Lt lt;
    cublasLtHandle_t handle = nullptr;
    cudaStream_t stream = nullptr;
    void* workspace = nullptr;
    size_t workspace_bytes = size_t(64) << 20;
};

CudaDevice& of(void* self) { return *static_cast<CudaDevice*>(self); }

int status_of(cudaError_t e) {
    if (e == cudaSuccess) return VEXA_OK;
    return e == cudaErrorMemoryAllocation ? VEXA_ERROR_OUT_OF_MEMORY : VEXA_ERROR_INTERNAL;
}

int available(void*, int64_t* bytes) {
    size_t free_bytes = 0, total = 0;
    const cudaError_t e = cudaMemGetInfo(&free_bytes, &total);
    *bytes = int64_t(free_bytes);
    return status_of(e);
}

int allocate(void*, void** ptr, int64_t bytes) {
    *ptr = nullptr;
    const cudaError_t e = cudaMalloc(ptr, size_t(bytes));
    if (e != cudaSuccess) (void)cudaGetLastError();  // clear the sticky-free error state
    return status_of(e);
}

void release(void*, void* ptr) {
    if (ptr) (void)cudaFree(ptr);
}

int to_device(void* self, void* dst, const void* src, int64_t bytes) {
    return status_of(cudaMemcpyAsync(dst, src, size_t(bytes), cudaMemcpyHostToDevice, of(self).stream));
}

int to_host(void* self, void* dst, const void* src, int64_t bytes) {
    return status_of(cudaMemcpyAsync(dst, src, size_t(bytes), cudaMemcpyDeviceToHost, of(self).stream));
}

// A 32 x 32 tile of (line, k) per block: read along whichever of the two is contiguous in
// the source, written along k, so that both sides of the transpose stay coalesced.
__global__ void residues_kernel(ResiduePass p) {
    __shared__ double tile[32][33];
    __shared__ int32_t shift[32];
    const int64_t i0 = int64_t(blockIdx.y) * 32, k0 = int64_t(blockIdx.x) * 32;
    for (int r = threadIdx.y; r < 32; r += blockDim.y) {
        const bool along_k = p.k_stride == 1;
        const int li = along_k ? r : int(threadIdx.x), lk = along_k ? int(threadIdx.x) : r;
        const int64_t i = i0 + li, k = k0 + lk;
        tile[li][lk] = i < p.lines && k < p.k_count ? p.src[i * p.line_stride + k * p.k_stride] : 0.0;
    }
    if (threadIdx.y == 0) shift[threadIdx.x] = i0 + threadIdx.x < p.lines ? p.shift[i0 + threadIdx.x] : 0;
    __syncthreads();
    for (int r = threadIdx.y; r < 32; r += blockDim.y) {
        const int64_t i = i0 + r, k = k0 + threadIdx.x;
        if (i < p.out_lines && k < p.out_stride) residues_store(p, i, k, tile[r][threadIdx.x], shift[r]);
    }
}

__global__ void words_kernel(WordsPass w) {
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e < w.rows * w.cols) words_at(w, e / w.cols, e % w.cols);
}

int launched() { return status_of(cudaGetLastError()); }

int residues(void* self, const ResiduePass* p) {
    const dim3 grid(unsigned((p->out_stride + 31) / 32), unsigned((p->out_lines + 31) / 32));
    residues_kernel<<<grid, dim3(32, 8), 0, of(self).stream>>>(*p);
    return launched();
}

int words(void* self, const WordsPass* w) {
    if (w->rows <= 0 || w->cols <= 0) return VEXA_OK;
    words_kernel<<<unsigned((w->rows * w->cols + 127) / 128), 128, 0, of(self).stream>>>(*w);
    return launched();
}

int gemm(void* self, const GemmPass* g) {
    CudaDevice& d = of(self);
    const Lt& lt = d.lt;
    cublasLtMatmulDesc_t desc = nullptr;
    cublasLtMatrixLayout_t la = nullptr, lb = nullptr, lc = nullptr;
    cublasLtMatmulPreference_t pref = nullptr;
    int status = VEXA_ERROR_INTERNAL;
    const cublasOperation_t transpose = CUBLAS_OP_T, plain = CUBLAS_OP_N;
    const int32_t batch = g->batch;
    const int64_t sa = g->b_stride, sb = g->a_stride, sc = g->c_stride;
    bool ok = lt.desc_create(&desc, CUBLAS_COMPUTE_32I, CUDA_R_32I) == CUBLAS_STATUS_SUCCESS &&
              lt.desc_set(desc, CUBLASLT_MATMUL_DESC_TRANSA, &transpose, sizeof transpose) == CUBLAS_STATUS_SUCCESS &&
              lt.desc_set(desc, CUBLASLT_MATMUL_DESC_TRANSB, &plain, sizeof plain) == CUBLAS_STATUS_SUCCESS &&
              // cuBLASLt's A: the B residues, depth x n stored column-major (ld depth), transposed.
              lt.layout_create(&la, CUDA_R_8I, uint64_t(g->depth), uint64_t(g->n), g->depth) == CUBLAS_STATUS_SUCCESS &&
              // cuBLASLt's B: the A residues, depth x m column-major (ld depth).
              lt.layout_create(&lb, CUDA_R_8I, uint64_t(g->depth), uint64_t(g->m), g->depth) == CUBLAS_STATUS_SUCCESS &&
              lt.layout_create(&lc, CUDA_R_32I, uint64_t(g->n), uint64_t(g->m), g->n) == CUBLAS_STATUS_SUCCESS;
    for (auto [layout, stride] : {std::pair{la, sa}, std::pair{lb, sb}, std::pair{lc, sc}})
        ok = ok && lt.layout_set(layout, CUBLASLT_MATRIX_LAYOUT_BATCH_COUNT, &batch, sizeof batch) == CUBLAS_STATUS_SUCCESS &&
             lt.layout_set(layout, CUBLASLT_MATRIX_LAYOUT_STRIDED_BATCH_OFFSET, &stride, sizeof stride) == CUBLAS_STATUS_SUCCESS;
    ok = ok && lt.pref_create(&pref) == CUBLAS_STATUS_SUCCESS &&
         lt.pref_set(pref, CUBLASLT_MATMUL_PREF_MAX_WORKSPACE_BYTES, &d.workspace_bytes, sizeof d.workspace_bytes) ==
             CUBLAS_STATUS_SUCCESS;
    cublasLtMatmulHeuristicResult_t found{};
    int count = 0;
    ok = ok && lt.heuristic(d.handle, desc, la, lb, lc, lc, pref, 1, &found, &count) == CUBLAS_STATUS_SUCCESS && count > 0;
    if (ok) {
        const int32_t alpha = 1, beta = 0;
        const cublasStatus_t s = lt.matmul(d.handle, desc, &alpha, g->b, la, g->a, lb, &beta, g->c, lc, g->c, lc,
                                           &found.algo, d.workspace, d.workspace_bytes, d.stream);
        status = s == CUBLAS_STATUS_SUCCESS ? VEXA_OK : VEXA_ERROR_INTERNAL;
    }
    if (pref) lt.pref_destroy(pref);
    for (cublasLtMatrixLayout_t layout : {la, lb, lc})
        if (layout) lt.layout_destroy(layout);
    if (desc) lt.desc_destroy(desc);
    return status;
}

int synchronize(void* self) { return status_of(cudaStreamSynchronize(of(self).stream)); }

void close_device(void* self) {
    CudaDevice* d = static_cast<CudaDevice*>(self);
    if (d->workspace) cudaFree(d->workspace);
    if (d->handle) d->lt.destroy(d->handle);
    if (d->stream) cudaStreamDestroy(d->stream);
    delete d;
}

}  // namespace
}  // namespace vexa::gpu

// The one exported symbol (gpu_engine.h: OpenFunction).
extern "C" __attribute__((visibility("default"))) int vexa_cuda_open(int abi, vexa::gpu::DeviceOps** out,
                                                                     char* why, int64_t why_size) {
    using namespace vexa::gpu;
    *out = nullptr;
    if (why_size > 0) why[0] = '\0';
    if (abi != kDeviceAbi) {
        std::snprintf(why, size_t(why_size), "libvexa_cuda.so is of another build (interface %d, not %d)", kDeviceAbi, abi);
        return VEXA_ERROR_INVALID_ARGUMENT;
    }
    int devices = 0;
    const cudaError_t e = cudaGetDeviceCount(&devices);
    if (e != cudaSuccess || devices == 0) {
        std::snprintf(why, size_t(why_size), "no usable CUDA device (%s)",
                      e != cudaSuccess ? cudaGetErrorString(e) : "none found");
        return VEXA_ERROR_INTERNAL;
    }
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess || prop.major < 8) {
        std::snprintf(why, size_t(why_size), "CUDA device 0 has compute capability %d.%d; this build needs 8.0 or above",
                      prop.major, prop.minor);
        return VEXA_ERROR_INTERNAL;
    }
    CudaDevice* d = new (std::nothrow) CudaDevice;
    if (!d) return VEXA_ERROR_OUT_OF_MEMORY;
    d->ops = DeviceOps{kDeviceAbi, d, "cuda", available, allocate, release, to_device, to_host,
                       residues, gemm, words, synchronize, close_device};
    if (!load_lt(d->lt, why, why_size)) {
        delete d;
        return VEXA_ERROR_INTERNAL;
    }
    if (cudaStreamCreateWithFlags(&d->stream, cudaStreamNonBlocking) != cudaSuccess ||
        d->lt.create(&d->handle) != CUBLAS_STATUS_SUCCESS ||
        cudaMalloc(&d->workspace, d->workspace_bytes) != cudaSuccess) {
        std::snprintf(why, size_t(why_size), "the CUDA stream, cuBLASLt handle or workspace could not be made");
        close_device(d);
        return VEXA_ERROR_INTERNAL;
    }
    *out = &d->ops;
    return VEXA_OK;
}
