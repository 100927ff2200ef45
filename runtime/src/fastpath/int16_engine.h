// The int16 engine of the exact fast path: residues modulo 2^16 and 13-bit primes, as
// signed 16-bit words, multiplied in pairs into int32 (vpmaddwd on x86-64).
//
// Residues are centred, |r| <= (p - 1) / 2 <= 4095 for the primes, so 128 products stay
// within 128 * 4095^2 = 2146435200 < 2^31 - 1 and the tile reduces its int32 sums every
// kReduceEvery terms; one reduction leaves less than 1.1 p, and 2146435200 + 1.1 * 8191 is
// still below 2^31. For 2^16 the residues are the low 16 bits of the integers, and int32
// arithmetic that wraps modulo 2^32 is exact modulo 2^16: no reduction at all. About 11
// moduli carry a random normal product, against 18 to 21 below 256.
//
// The pieces that differ per ISA come in through Int16Ops; kPortableOps is the reference
// for every slot, and the driver (fastpath_driver.h) is shared with the other engines.
#pragma once

#include <cstdint>

#include "fastpath/fastpath.h"

namespace vexa::int16 {

using fast::CrtPlan;
using fast::LineScan;
using fast::Modulus;
using fast::ResiduePlan;

// Layout: a group of kRowGroup rows of A is packed [k / 2][row][k % 2]; a panel of
// kPanelWidth columns of B is packed [k / 2][column][k % 2]; K is padded to a multiple
// of 2 with zeros.
constexpr int kPanelWidth = 16;
constexpr int kRowGroup = 6;
constexpr int64_t kReduceEvery = 128;
// The power-of-two modulus, first in the list.
constexpr int kPowerModulus = 65536;
// Limbs of 15 bits that hold any admitted integer: a line of width w has a norm of at least
// 2^(w - 1), below the 2^341 that the whole list can carry.
constexpr int kMaxLimbs15 = 24;

struct Int16Ops {
    // Residues of kRowGroup rows of A (rows[u] null: a zero row), row u scaled by
    // 2^-shift[u], over k < k_count, zero up to k_padded (even), in the group layout:
    // out + l * modulus_stride + (k / 2) * 2 * kRowGroup + u * 2 + k % 2.
    void (*residues_a)(const ResiduePlan& plan, const double* const* rows, const int32_t* shift,
                       int64_t k_count, int64_t k_padded, int16_t* out, int64_t modulus_stride);
    // Residues of one panel of B: kPanelWidth columns starting at `b` (row stride ldb),
    // `cols` of them real (the rest zero), over k < k_count, zero up to k_padded:
    // out + l * modulus_stride + (k / 2) * 2 * kPanelWidth + c * 2 + k % 2.
    void (*residues_b_panel)(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                             int64_t k_count, int64_t k_padded, const int32_t* shift,
                             int16_t* out, int64_t modulus_stride);
    // For one modulus: the product of a row group by a panel over k_padded, reduced into
    // acc[r * acc_stride + c] in [0, p): added modulo p to what is there when `accumulate`.
    void (*tile)(const Modulus& modulus, const int16_t* a_group, const int16_t* b_panel,
                 int64_t k_padded, uint16_t* acc, int64_t acc_stride, bool accumulate);
    // As fast::portable_crt_round and fast::portable_scan_lines.
    void (*crt_round)(const CrtPlan& plan, const uint16_t* residues, int64_t stride, int count,
                      int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                      uint8_t* zero);
    void (*scan_lines)(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                       LineScan* out);
};

// The portable reference of every piece.
extern const Int16Ops kPortableOps;

// The engine's defaults: K chunks that keep a panel's residues in the first-level cache.
fast::Options default_options();

// The whole product through the int16 engine; returns a vexa_status value, never throws.
int gemm(const GemmProblem& problem, int threads, const Int16Ops& ops,
         const fast::Options& options = default_options());

// 2^16, then the primes below 2^13 from the largest down.
fast::ModulusList moduli();

}  // namespace vexa::int16

