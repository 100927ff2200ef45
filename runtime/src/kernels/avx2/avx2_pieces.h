// The folder's pieces, one per slot of Int16Ops, for its own sources. Nothing built for
// the baseline CPU may include this.
#pragma once

#include <cstdint>

#include "fastpath/int16_engine.h"

namespace vexa::avx2 {

void residues_a(const fast::ResiduePlan& plan, const double* const* rows, const int32_t* shift, int64_t k_count,
                int64_t k_padded, int16_t* out, int64_t modulus_stride);
void residues_b_panel(const fast::ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols, int64_t k_count,
                      int64_t k_padded, const int32_t* shift, int16_t* out, int64_t modulus_stride);
void tile(const int16::Modulus& mod, const int16_t* a, const int16_t* b, int64_t k_padded, uint16_t* acc,
          int64_t acc_stride, bool accumulate);
void crt_round(const fast::CrtPlan& plan, const uint16_t* residues, int64_t stride, int count, int64_t scale_base,
               const int32_t* scale, double* hi, double* lo, float* res, uint8_t* zero);
void scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows, fast::LineScan* out);

}  // namespace vexa::avx2
