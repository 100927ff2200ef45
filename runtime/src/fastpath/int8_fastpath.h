// The int8 engine of the exact fast path: residues modulo coprime moduli up to 256, as
// unsigned bytes for A and signed bytes for B, multiplied four at a time into int32.
//
// The pieces that differ per ISA come in through Int8Ops; kPortableOps is the reference
// for every slot, and the driver (fastpath_driver.h) is shared with the other engines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fastpath/fastpath.h"

namespace vexa {
namespace int8 {

using fast::CrtPlan;
using fast::kMaxDigits;
using fast::kMaxLimbs;
using fast::kMaxModuli;
using fast::LineScan;
using fast::Modulus;
using fast::ResiduePlan;
using fast::LineWindow;
using Int8Options = fast::Options;

// Terms of one int32 accumulation. Residues of A are unsigned bytes in [0, 255] and those
// of B signed bytes in [-128, 127], so one product is at most 255 * 128 = 32640 in
// magnitude and 65536 of them stay within 65536 * 32640 = 2139095040 < 2^31 - 1: an int32
// sum over one chunk never wraps, whatever the residues are.
constexpr int64_t kMaxChunk = 65536;

// The product's layout: B residues are packed in panels of kPanelWidth columns,
// [panel][k / 4][column][k % 4], A residues row-major with a row length that is a multiple
// of 4, in groups of kRowGroup rows.
constexpr int kPanelWidth = 64;
constexpr int kRowGroup = 6;
// The layout of gemm_wide, for tiles that multiply 16 rows by 64 bytes of K at a time: row
// groups of kWideRowGroup and K padded to a multiple of kWideStep.
constexpr int kWideRowGroup = 16;
constexpr int kWideStep = 64;
// Elements per call of Int8Ops::crt_round.
constexpr int kCrtRun = fast::kMaxRun;
static_assert(kCrtRun == kPanelWidth, "one CRT run per panel");
// The ISA tiles work on a panel in groups of 16 columns (a vector of int32 sums, an AMX C
// tile, a NEON strip), and skip the groups that hold only its zero padding.
constexpr int kColumnGroup = 16;
constexpr int kColumnGroups = kPanelWidth / kColumnGroup;
// The groups that `cols` live columns of a panel reach (all of them outside 1..kPanelWidth).
constexpr int live_column_groups(int cols) {
    return cols >= 1 && cols <= kPanelWidth ? (cols + kColumnGroup - 1) / kColumnGroup : kColumnGroups;
}

// The ISA-dependent pieces. All of them write every byte of their output region, and none
// may be null: kPortableOps has a reference for each.
struct Int8Ops {
    // Residues of rows [0, rows) of a block of A whose elements start at `a` (row stride
    // lda doubles) over k in [0, k_count), as unsigned bytes, one matrix per modulus:
    // out + l * out_modulus_stride + r * out_row_stride + k. Columns k_count..row_padded-1
    // are zero. Row r is scaled by 2^-shift[r].
    void (*residues_a)(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows,
                       int64_t k_count, const int32_t* shift, uint8_t* out, int64_t out_row_stride,
                       int64_t out_modulus_stride);
    // Residues of one panel of B: kPanelWidth columns starting at `b` (row stride ldb),
    // `cols` of them real (the rest zero), k in [0, k_count) with zero rows up to
    // k_padded (a multiple of 4); symmetric signed bytes in the packed panel layout:
    // out + l * out_modulus_stride + (k / 4) * 4 * kPanelWidth + c * 4 + k % 4.
    void (*residues_b_panel)(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                             int64_t k_count, int64_t k_padded, const int32_t* shift, int8_t* out,
                             int64_t out_modulus_stride);
    // For one modulus: the int8 product of `rows` A rows by one B panel over k_padded (a
    // multiple of 4, <= kMaxChunk), reduced modulo p into acc[r * acc_stride + c] (bytes in
    // [0, p)) for r < rows, c < kPanelWidth: added modulo p to what is there when
    // `accumulate`, stored over it otherwise (the first K chunk). The driver passes whole
    // row groups only, so an ISA folder's tile takes exactly its layout's group (kRowGroup,
    // or kWideRowGroup for gemm_wide); kPortableOps takes any count up to kWideRowGroup.
    // Columns from `cols` (1 to kPanelWidth) on are the panel's zero padding: a tile may
    // skip their products, whose residues are 0 (stored as 0, or leaving acc as it was).
    void (*tile)(const Modulus& modulus, const uint8_t* a, int64_t a_row_stride, int rows,
                 const int8_t* b_panel, int cols, int64_t k_padded, uint8_t* acc, int64_t acc_stride,
                 bool accumulate);
    // As fast::portable_crt_round.
    void (*crt_round)(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
                      int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                      uint8_t* zero);
    // As fast::portable_scan_lines.
    void (*scan_lines)(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                       LineScan* out);
    // As residues_b_panel, but column c of the panel is b[k * ldb + columns[c]] for c < cols
    // (the block's sorted columns, read in place instead of copied side by side first).
    void (*residues_b_columns)(const ResiduePlan& plan, const double* b, int64_t ldb,
                               const int64_t* columns, int64_t cols, int64_t k_count, int64_t k_padded,
                               const int32_t* shift, int8_t* out, int64_t out_modulus_stride);
};

// The portable reference of every piece.
extern const Int8Ops kPortableOps;

// Its residue pieces (residues_bytes.cpp), which the NEON tables share: residues_a as
// Int8Ops::residues_a; residues_b as residues_b_columns, or, with `columns` null, as
// residues_b_panel.
void portable_residues_a(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows, int64_t k_count,
                         const int32_t* shift, uint8_t* out, int64_t out_row_stride, int64_t out_modulus_stride);
void portable_residues_b(const ResiduePlan& plan, const double* b, int64_t ldb, const int64_t* columns,
                         int64_t cols, int64_t k_count, int64_t k_padded, const int32_t* shift, int8_t* out,
                         int64_t out_modulus_stride);

// The whole product through the int8 engine with the given pieces; returns a vexa_status
// value, never throws.
int gemm(const GemmProblem& problem, int threads, const Int8Ops& ops,
         const Int8Options& options = Int8Options());

// The same with groups of kWideRowGroup rows and K padded to kWideStep; `ops.tile` must
// take kWideRowGroup rows.
int gemm_wide(const GemmProblem& problem, int threads, const Int8Ops& ops,
              const Int8Options& options = Int8Options());

// ---- Pieces exposed for the tests ----

// The pairwise-coprime moduli, largest first.
int modulus_list(const int** moduli);
fast::ModulusList moduli();
// As fast::moduli_for_bits and fast::moduli_above_twice over this engine's list.
int moduli_for_bits(int bits, int max_moduli);
int moduli_above_twice(double log2_bound, int max_moduli);
using fast::window_of;

}  // namespace int8
}  // namespace vexa

