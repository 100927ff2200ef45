// The exact integer fast path: a float64 product assembled from int8 products.
//
// Every row of A and every column of B is scaled by a power of two so that its elements
// become integers. The integer product is then computed modulo L pairwise-coprime moduli
// (each <= 256) with int8 x int8 -> int32 products, and the exact integer of every output
// element is rebuilt by the Chinese remainder theorem and rounded once by the exact core.
// Nothing here is approximate: the moduli are chosen so that the CRT has a unique answer,
// and whatever cannot be bounded (specials, enormous exponent spreads) is handed to the
// exact core element by element. The output is therefore bit-identical to the exact core.
//
// This file is baseline code. The ISA-specific parts (residue packing, the int8 product
// tile, the per-tile modular reduction) come in through Int8Ops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "kernel.h"

namespace vexa {
namespace int8 {

// At most this many moduli: the greedy pairwise-coprime list below 257 gives about 370
// bits in all, but past ~40 moduli a single wide row is cheaper in the exact core.
constexpr int kMaxModuli = 40;
// Enough 64-bit limbs for sum_l c_l * (P / p_l) < L * P with P below 2^330.
constexpr int kMaxLimbs = 6;

// Terms of one int32 accumulation. Residues of A are unsigned bytes in [0, 255] and those
// of B signed bytes in [-128, 127], so one product is at most 255 * 128 = 32640 in
// magnitude and 65536 of them stay within 65536 * 32640 = 2139095040 < 2^31 - 1: an int32
// sum over one chunk never wraps, whatever the residues are.
constexpr int64_t kMaxChunk = 65536;

// The product's column layout for the int8 tile: B residues are packed in panels of
// kPanelWidth columns, [panel][k / 4][column][k % 4], A residues row-major with a row
// length that is a multiple of 4, in groups of kRowGroup rows.
constexpr int kPanelWidth = 64;
constexpr int kRowGroup = 6;

// One modulus and what the vector code needs to reduce by it with double arithmetic.
struct Modulus {
    int p;
    double p_double;
    double inverse;  // RN(1 / p); the quotient it gives is corrected afterwards
};

// The per-call plan the ISA code reads.
struct ResiduePlan {
    int count;                     // L
    Modulus moduli[kMaxModuli];
    // pow2[l][t] = 2^t mod p_l for t < shift_limit, stored as doubles for the vector code.
    const double* pow2;
    int shift_limit;               // every integer of an included row/column has < this many bits
};

// The CRT in the form x = sum_l c_l * Q_l - q * P, with P the product of the moduli,
// Q_l = P / p_l and c_l = r_l * (Q_l mod p_l)^-1 mod p_l. Numbers are held in 32-bit
// digits so that one term c_l * digit is below 2^40 and a sum of up to 40 terms below
// 2^46: a plain 64-bit accumulator per digit position, no carries while summing.
constexpr int kMaxDigits = 2 * kMaxLimbs;
// Elements per call of Int8Ops::crt.
constexpr int kCrtRun = 64;
struct CrtPlan {
    int count = 0;   // L
    int digits = 0;  // digits that hold sum_l c_l Q_l < L * P < 2^(bits(P) + 6), plus a sign bit
    uint32_t product[kMaxDigits] = {};
    uint32_t cofactor[kMaxModuli][kMaxDigits] = {};
    double product_inverse = 0;          // RN(1 / double(P)), for the quotient estimate
    uint32_t p[kMaxModuli] = {};
    uint32_t inverse[kMaxModuli] = {};   // (Q_l mod p_l)^-1 mod p_l
    uint32_t reciprocal[kMaxModuli] = {};  // ceil(2^32 / p_l): floor(v / p) = (v * it) >> 32 for v < 2^16
};

// What the planning reads off a line (a row of A or a column of B): the lowest set bit
// and the highest bit of its nonzero finite elements as powers of two, whether it holds an
// inf or NaN, and the sum of the squares of its elements computed in double (any order,
// rounded to nearest or contracted; specials may make it inf or NaN).
struct LineScan {
    int32_t lowest = 1 << 20, highest = -(1 << 20);  // as they are when nothing was seen
    bool special = false;
    double sum_squares = 0;
};

// The ISA-dependent pieces. All of them write every byte of their output region.
struct Int8Ops {
    // Residues of rows [0, rows) of a block of A whose elements start at `a` (row stride
    // lda doubles) over k in [0, k_count), as unsigned bytes, one matrix per modulus:
    // out + l * out_modulus_stride + r * out_row_stride + k. Columns k_count..row_padded-1
    // are zero. Row r is scaled by 2^-shift[r]; included[r] == 0 writes a zero row.
    void (*residues_a)(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows,
                       int64_t k_count, const int32_t* shift, const uint8_t* included,
                       uint8_t* out, int64_t out_row_stride, int64_t out_modulus_stride);
    // Residues of one panel of B: kPanelWidth columns starting at `b` (row stride ldb),
    // `cols` of them real (the rest zero), k in [0, k_count) with zero rows up to
    // k_padded (a multiple of 4); symmetric signed bytes in the packed panel layout:
    // out + l * out_modulus_stride + (k / 4) * 4 * kPanelWidth + c * 4 + k % 4.
    void (*residues_b_panel)(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                             int64_t k_count, int64_t k_padded, const int32_t* shift,
                             const uint8_t* included, int8_t* out, int64_t out_modulus_stride);
    // For one modulus: the int8 product of `rows` (<= kRowGroup) A rows by one B panel
    // over k_padded (a multiple of 4, <= kMaxChunk), reduced modulo p into
    // acc[r * acc_stride + c] (bytes in [0, p)) for r < rows, c < kPanelWidth: added modulo
    // p to what is there when `accumulate`, stored over it otherwise (the first K chunk).
    void (*tile)(const Modulus& modulus, const uint8_t* a, int64_t a_row_stride, int rows,
                 const int8_t* b_panel, int64_t k_padded, uint8_t* acc, int64_t acc_stride,
                 bool accumulate);
    // The signed integers x of `count` (<= kCrtRun) elements whose residues are
    // residues[l * stride + e]: |x| as plan.digits 32-bit digits in magnitude[j * kCrtRun + e],
    // and negative[e] = 1 when x < 0.
    void (*crt)(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
                uint32_t* magnitude, uint8_t* negative);
    // Optional (may be null): the CRT and the rounding in one. For e < count, with x_e the
    // integer crt rebuilds: where x_e != 0, hi/lo/res[e] are exact::round_triple of
    // x_e * 2^(scale_base + scale[e]) and zero[e] = 0; where x_e == 0 the words are +0 and
    // zero[e] = 1, since the sign of an exact zero sum needs the inputs.
    void (*crt_round)(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
                      int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                      uint8_t* zero);
    // Optional (may be null): out[c] = the scan of column c < cols of the rows x rows at
    // b (row stride ldb), out[r] of row r when `by_rows` (contiguous rows at stride ldb of
    // `cols` elements each, `rows` of them).
    void (*scan_lines)(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                       LineScan* out);
};

// Portable versions of the three pieces: the yardstick for the vector code and a way to
// exercise the planning and CRT on any CPU.
extern const Int8Ops kPortableOps;
#if VEXA_HAVE_KERNEL_AVX512_VNNI
extern const Int8Ops kVnniOps;  // needs AVX-512 F/BW/DQ/VL + VNNI
#endif
#if VEXA_HAVE_KERNEL_AMX_INT8
extern const Int8Ops kAmxOps;  // needs the above plus AMX-TILE/AMX-INT8, permission granted
#endif

// Knobs of the driver; the defaults are what the kernels use.
struct Int8Options {
    // Below this many multiply-adds (M*N*K) the whole product goes to the exact core.
    int64_t min_work = int64_t(1) << 21;
    // The exact core's cost per product in units of one int8 multiply-add of one modulus;
    // it decides when a wide row or column is cheaper outside the CRT path.
    double exact_cost_ratio = 2048.0;
    // Largest K chunk of one int32 accumulation (<= kMaxChunk, rounded down to 4).
    int64_t chunk = 4096;
    // Workspace target in bytes for the residues and the residue accumulators.
    int64_t workspace_bytes = int64_t(768) << 20;
    // Cap on the number of moduli (<= kMaxModuli).
    int max_moduli = kMaxModuli;
};

// Where time went in the last call on this thread (seconds), for the benches.
struct Int8Timing {
    double planning = 0, residues = 0, products = 0, reconstruction = 0, fallback = 0;
    int moduli = 0;                // the most any element needed
    double average_moduli = 0;     // over row group and panel pairs
    int64_t excluded_rows = 0, excluded_cols = 0;
};
Int8Timing last_int8_timing();

// The whole product through the fast path; returns a vexa_status value, never throws.
int gemm(const GemmProblem& problem, int threads, const Int8Ops& ops,
         const Int8Options& options = Int8Options());

// ---- Pieces exposed for the tests ----

// The pairwise-coprime moduli, largest first.
int modulus_list(const int** moduli);
// Smallest L whose modulus product P satisfies P >= 2^bits, or 0 if none up to max_moduli.
int moduli_for_bits(int bits, int max_moduli);
// Smallest L whose modulus product P exceeds 2 * 2^log2_bound with room to spare
// (log2 P > log2_bound + 1 + 2^-10), or 0 if none up to max_moduli. Any integer x with
// |x| <= 2^log2_bound is then recovered from its residues as the one in (-P/2, P/2).
int moduli_above_twice(double log2_bound, int max_moduli);

// The integer window of one row or column: with every nonzero element a = m * 2^e
// (m odd), `shift` is the smallest e and `width` the number of bits of the largest
// |a| * 2^-shift, so that every element times 2^-shift is an integer below 2^width.
struct Window {
    int32_t shift = 0;
    int32_t width = 0;   // 0 for an all-zero line
    bool special = false;  // holds an inf or NaN
    // log2 of an upper bound on the Euclidean norm of the scaled line (-inf when all zero).
    double log2_norm = -std::numeric_limits<double>::infinity();
};
Window window_of(const double* x, int64_t stride, int64_t count);

}  // namespace int8
}  // namespace vexa
