// An independent exact reference for the tests: GMP integers, written without looking at
// (or sharing code with) the runtime's arithmetic.
//
// Every finite double is an integer multiple of 2^-1074, so every product of two is an
// integer multiple of 2^-2148: the oracle keeps sums as mpz_class numerators over 2^2148
// and rounds them with plain floor/compare logic on big integers.
#pragma once

#include <gmpxx.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vexa_test {

// The three output words of one element.
struct Triple {
    double hi = 0.0, lo = 0.0;
    float res = 0.0f;
};

// The element the runtime must produce for sum_k a[k*sa] * b[k*sb], every rule included:
// correct rounding of hi, lo, res (subnormals too), res = 0 where float32 overflows,
// +-inf when RN(x) overflows, the special-value rules and the signs of zero.
Triple reference_dot(const double* a, int64_t a_stride, const double* b, int64_t b_stride,
                     int64_t K);

// The exact value of a finite dot product, times 2^2148.
mpz_class exact_dot_scaled(const double* a, int64_t a_stride, const double* b, int64_t b_stride,
                           int64_t K);

// The reference triple of x = scaled * 2^-2148 (finite x; the zero-sign exception for all
// products -0 is the caller's).
Triple reference_round(const mpz_class& scaled);

// The reference triple of the integer x times 2^scale (scale >= -2148): +0 in all three
// words for x = 0, as the fast path's reassembly writes an exact zero sum.
Triple reference_words(const mpz_class& x, int64_t scale);

// Where a test puts the top bit of x * 2^scale: mostly anywhere the three words are normal,
// often at the edges where one of them is not (hi at the bottom or the top of the double
// range, lo subnormal, res subnormal or overflowing float32).
inline int64_t target_top(std::mt19937_64& gen) {
    const int64_t edges[] = {-1022, -1022 + 54, -1022 + 107, -126 + 107, 127 + 107, 1023};
    if (gen() % 3) return int64_t(gen() % 1800) - 900;
    return edges[gen() % 6] + int64_t(gen() % 9) - 4;
}

// The low 64 bits of |x|. mpz_class::get_ui returns an unsigned long, which has only 32
// bits on Windows.
uint64_t low_64_bits(const mpz_class& x);

// Bit-for-bit equality (all NaNs equal) and a readable account of a triple.
bool same_bits(const Triple& x, const Triple& y);
std::string describe(const Triple& t);

// n standard normal doubles, the same for the same seed: operands for the tests.
std::vector<double> random_matrix(int64_t n, uint64_t seed);

}  // namespace vexa_test
