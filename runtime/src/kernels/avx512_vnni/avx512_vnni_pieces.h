// The folder's pieces, one per slot of Int8Ops, for its own sources and for amx_int8, which
// is built with a superset of these flags and reuses all of them but the tile. Nothing
// built for the baseline CPU may include this.
#pragma once

#include <immintrin.h>

#include <cstdint>

// GCC 12 reports the intrinsics' own placeholder operands as maybe-uninitialized, in every
// source of this folder and of amx_int8.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "fastpath/int8_fastpath.h"

namespace vexa::avx512_vnni {

// The folder's code is written against the int8 engine's layout and types.
using namespace vexa::int8;

// Where the residues go: kMayStream writes a block too large for the caches past them;
// kCached never does, for amx_int8, whose tile waits out every miss of its loads.
enum class Stores { kCached, kMayStream };

template <Stores kStores>
void residues_a(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows, int64_t k_count,
                const int32_t* shift, uint8_t* out, int64_t out_row_stride,
                int64_t out_modulus_stride);
template <Stores kStores>
void residues_b_panel(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols, int64_t k_count,
                      int64_t k_padded, const int32_t* shift, int8_t* out,
                      int64_t out_modulus_stride);
template <Stores kStores>
void residues_b_columns(const ResiduePlan& plan, const double* b, int64_t ldb, const int64_t* columns, int64_t cols,
                        int64_t k_count, int64_t k_padded, const int32_t* shift, int8_t* out,
                        int64_t out_modulus_stride);
void tile(const Modulus& modulus, const uint8_t* a, int64_t a_row_stride, int rows, const int8_t* b_panel,
          int cols, int64_t k_padded, uint8_t* acc, int64_t acc_stride, bool accumulate);
void crt_round(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count, int64_t scale_base,
               const int32_t* scale, double* hi, double* lo, float* res, uint8_t* zero);
void scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows, LineScan* out);

}  // namespace vexa::avx512_vnni
