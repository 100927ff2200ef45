// One element of each element-wise pass of the device interface (gpu_device.h), for the
// CPU backend's loops and the CUDA backend's kernels alike.
#pragma once

#include "exact/element_math.h"
#include "gpu/gpu_device.h"

namespace vexa::gpu {

// Every modulus's residue of element (i, k) of a ResiduePass, whose value x and line shift
// the caller read (anything for padding, which is written as zeros).
VEXA_HD inline void residues_store(const ResiduePass& p, int64_t i, int64_t k, double x, int32_t shift) {
    const bool real = i < p.lines && k < p.k_count;
    int8_t* out = p.out + i * p.out_stride + k;
    for (int l = 0; l < p.count; ++l)
        out[l * p.modulus_stride] =
            real ? element::symmetric_byte(
                       element::residue_of(x, shift, p.p[l], p.pow2 + l * p.pow2_count, p.pow2_count), p.p[l])
                 : 0;
}

// The same, reading the element itself.
VEXA_HD inline void residues_at(const ResiduePass& p, int64_t i, int64_t k) {
    const bool real = i < p.lines && k < p.k_count;
    residues_store(p, i, k, real ? p.src[i * p.line_stride + k * p.k_stride] : 0.0, real ? p.shift[i] : 0);
}

// Element (i, j) of a WordsPass.
VEXA_HD inline void words_at(const WordsPass& w, int64_t i, int64_t j) {
    const fast::CrtPlan& plan = *w.plan;
    const int64_t at = i * w.ld + j;
    uint16_t r[fast::kMaxModuli];
    for (int l = 0; l < plan.count; ++l) {
        const int32_t p = int32_t(plan.p[l]);
        int32_t v = w.products[l * w.modulus_stride + at] % p;
        if (v < 0) v += p;
        if (w.accumulate) {
            v += w.acc[l * w.modulus_stride + at];
            if (v >= p) v -= p;
        }
        if (!w.finish) w.acc[l * w.modulus_stride + at] = uint8_t(v);
        r[l] = uint16_t(v);
    }
    if (!w.finish) return;
    const int64_t scale = int64_t(w.row_shift[i]) + w.col_shift[j];
    w.zero[at] = w.res64 ? element::crt_words(plan, r, scale, &w.hi[at], &w.lo[at], &w.res64[at])
                         : element::crt_words(plan, r, scale, &w.hi[at], &w.lo[at], &w.res[at]);
}

}  // namespace vexa::gpu
