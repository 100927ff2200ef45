// The device interface of the GPU engine: the few calls the engine makes, as a table of
// plain functions so that it crosses the boundary to a library loaded at run time
// (libvexa_cuda.so) without C++ ABI concerns. Two implementations: the CPU one
// (gpu_cpu_device.cpp), which the tests run the whole engine through, and the CUDA one
// (runtime/cuda/cuda_device.cu). Every call returns a vexa_status value; "device" pointers
// are whatever allocate() handed out.
#pragma once

#include <cstdint>

#include "fastpath/fastpath.h"

namespace vexa::gpu {

// Bumped whenever a struct below changes, so that a stale libvexa_cuda.so is refused.
constexpr int kDeviceAbi = 1;

// Residues of `lines` lines of doubles: element k of line i is src[i * line_stride +
// k * k_stride] for k < k_count, scaled by 2^-shift[i]; written as symmetric signed bytes
// (element_math.h) to out[l * modulus_stride + i * out_stride + k] for every modulus
// l < count, with zeros for k in [k_count, out_stride) and for lines in [lines, out_lines).
struct ResiduePass {
    const double* src;
    int64_t line_stride, k_stride;
    int64_t lines, k_count;
    const int32_t* shift;
    int8_t* out;
    int64_t out_stride, out_lines, modulus_stride;
    int count;
    uint32_t p[fast::kMaxModuli];
    // pow2[l * pow2_count + t] = 2^t mod p_l for t < pow2_count (a look-up for what
    // element_math.h's residue_of would otherwise compute); pow2_count may be 0.
    const uint16_t* pow2;
    int64_t pow2_count;
};

// For each of `batch` moduli l: c[l * c_stride + i * n + j] = sum_{k < depth}
// a[l * a_stride + i * depth + k] * b[l * b_stride + j * depth + k] for i < m, j < n, as
// exact int32 sums. depth and n are multiples of 16 and the strides multiples of 16 bytes,
// as int8 tensor-core products want them.
struct GemmPass {
    const int8_t* a;
    const int8_t* b;
    int32_t* c;
    int64_t m, n, depth;
    int64_t a_stride, b_stride, c_stride;
    int batch;
};

// The element-wise pass over the int32 products of one K chunk (modulus l at
// products[l * modulus_stride + i * ld + j], i < rows, j < cols):
//   finish == false: acc[l * modulus_stride + i * ld + j] = (acc if `accumulate` else 0) +
//     product, reduced modulo p_l into [0, p_l);
//   finish == true: the same residue (acc taking part when `accumulate`), then the CRT of
//     the residue vector and the rounding of x * 2^(row_shift[i] + col_shift[j]) into
//     hi/lo and res (float) or res64 (double, when not null) at i * ld + j, with zero = 1
//     where x == 0 (words +0).
struct WordsPass {
    const int32_t* products;
    uint8_t* acc;
    int64_t rows, cols, ld, modulus_stride;
    bool accumulate, finish;
    const fast::CrtPlan* plan;  // device memory
    const int32_t* row_shift;
    const int32_t* col_shift;
    double* hi;
    double* lo;
    float* res;
    double* res64;
    uint8_t* zero;
};

struct DeviceOps {
    int abi;
    void* self;
    const char* name;
    // Bytes the engine may allocate in all, right now.
    int (*available)(void* self, int64_t* bytes);
    int (*allocate)(void* self, void** ptr, int64_t bytes);
    void (*release)(void* self, void* ptr);
    // Asynchronous in order with the passes; the host buffer must stay put until synchronize.
    int (*to_device)(void* self, void* dst, const void* src, int64_t bytes);
    int (*to_host)(void* self, void* dst, const void* src, int64_t bytes);
    int (*residues)(void* self, const ResiduePass* pass);
    int (*gemm)(void* self, const GemmPass* pass);
    int (*words)(void* self, const WordsPass* pass);
    int (*synchronize)(void* self);
    void (*close)(void* self);
};

// The CPU implementation: plain loops, with at most `memory_limit` bytes allocated at
// once (a small limit forces the engine to split the product). close() frees it.
DeviceOps* open_cpu_device(int64_t memory_limit);

}  // namespace vexa::gpu
