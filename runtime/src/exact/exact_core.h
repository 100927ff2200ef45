// The exact core: every product formed exactly, summed exactly, rounded once.
//
// This is the reference every other kernel must match bit for bit, and the fallback for
// whatever a fast kernel cannot bound. It favours being obviously right over being fast.
#pragma once

#include <cstdint>

#include "kernel.h"

namespace vexa::exact {

// Correctly rounded triple of sum_{k<K} a[k*a_stride] * b[k*b_stride], every special-value rule included.
void dot_triple(const double* a, int64_t a_stride, const double* b, int64_t b_stride, int64_t K,
                double* hi, double* lo, float* res);

// Correctly rounded triple of (negative ? -1 : +1) * mag * 2^scale, mag an unsigned integer of
// nlimbs little-endian 64-bit limbs (mag == 0 gives three +0 words; overflow gives +-inf, 0, 0).
void round_triple(bool negative, const uint64_t* mag, int nlimbs, int64_t scale,
                  double* hi, double* lo, float* res);

// The same with a float64 third word, res = RN(x - hi - lo) (vexa_gemm_host_f64res).
void round_triple(bool negative, const uint64_t* mag, int nlimbs, int64_t scale,
                  double* hi, double* lo, double* res);

// +-inf in hi and +0 in lo and res: the words of a sum that overflows or holds infinities
// of one sign.
void write_infinity(bool negative, double* hi, double* lo, float* res);
void write_infinity(bool negative, double* hi, double* lo, double* res);

// The whole product through the exact core (the "scalar" kernel). Arguments validated,
// M, N > 0. With problem.C_res64 set the third word is float64 (into C_res64, C_res unused).
// All workspace is allocated before the first output element is written, so a
// failure (VEXA_ERROR_OUT_OF_MEMORY) leaves the output untouched. Never throws.
int gemm(const GemmProblem& problem, int threads);

// The same for the elements (rows[r], cols[c]) only, for every r < n_rows and c < n_cols
// (a null list means every row, or every column, in order); nothing else of C is touched.
// For a fast kernel's fallback: a few whole rows or columns cost a few times less here than
// element by element through dot_triple, which reads B down a column. Indices must be in
// range and distinct within each list.
int gemm_selected(const GemmProblem& problem, int threads, const int64_t* rows, int64_t n_rows,
                  const int64_t* cols, int64_t n_cols);

// The threads the exact core takes for `elements` elements of depth K, of `threads`: one
// per kWorkPerThread multiply-adds, rounded down, at least one. Waking a parked thread
// costs tens of microseconds in a virtual machine, more than a product of a few thousand
// multiply-adds takes on one. Zen 3, 2 threads against 1, the team parked between calls:
// 2.5 times slower at 8^3 (17 times at 2^3), about even from 16^3 to 32^3, faster from
// 40^3 on; called back to back from Python, even within the noise from 21^3 on.
constexpr int64_t kWorkPerThread = int64_t(1) << 12;
int threads_for_work(int64_t elements, int64_t K, int threads);

}  // namespace vexa::exact
