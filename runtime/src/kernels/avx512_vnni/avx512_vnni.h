// The entry points of the AVX-512 VNNI folder. Everything in it needs AVX-512 F/BW/DQ/VL
// and VNNI (cpu::has_avx512_vnni); nothing else of the folder is visible outside it.
#pragma once

#include "int8_fastpath.h"

namespace vexa::int8 {

// The int8 engine's pieces: residues by byte digits through vpdpbusd, the 6x64 vpdpbusd
// tile, the CRT as vpdpwssd sums fused with a vectorised rounding, and the line scans.
extern const Int8Ops kVnniOps;

// The residue slots of kVnniOps, which other folders built with AVX-512 reuse.
void vnni_residues_a(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows,
                     int64_t k_count, const int32_t* shift,
                     uint8_t* out, int64_t out_row_stride, int64_t out_modulus_stride);
void vnni_residues_b_panel(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                           int64_t k_count, int64_t k_padded, const int32_t* shift,
                           int8_t* out, int64_t out_modulus_stride);
void vnni_crt(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
              uint32_t* magnitude, uint8_t* negative);
void vnni_crt_round(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
                    int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                    uint8_t* zero);
void vnni_scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                     LineScan* out);

}  // namespace vexa::int8
