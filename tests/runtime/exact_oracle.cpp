#include "exact_oracle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

namespace vexa_test {
namespace {

constexpr long kScale = 2148;  // sums are held as integers times 2^-kScale

// |a| * 2^1074 as an integer, from frexp: a = f * 2^e with 0.5 <= |f| < 1, so f * 2^53 is
// an integer and a * 2^1074 = (f * 2^53) * 2^(e - 53 + 1074).
mpz_class scaled_double(double a) {
    int e = 0;
    const double f = std::frexp(std::fabs(a), &e);
    mpz_class m;
    mpz_set_d(m.get_mpz_t(), std::ldexp(f, 53));
    const long shift = long(e) - 53 + 1074;
    if (shift >= 0) {
        mpz_mul_2exp(m.get_mpz_t(), m.get_mpz_t(), shift);
    } else {  // subnormal: the low bits of f * 2^53 are zero, so this division is exact
        mpz_tdiv_q_2exp(m.get_mpz_t(), m.get_mpz_t(), -shift);
    }
    return m;
}

struct Rounded {
    double value = 0.0;  // signed; -0.0 for a negative value too small to represent
    bool overflow = false;
    mpz_class remainder;  // x - value, times 2^kScale
};

// Round x = scaled * 2^-kScale to `precision` bits, smallest ulp 2^min_ulp, ties to even;
// overflow when the rounded magnitude reaches 2^limit.
Rounded round_to(const mpz_class& scaled, int precision, long min_ulp, long limit) {
    Rounded r;
    if (scaled == 0) return r;
    const bool negative = scaled < 0;
    mpz_class magnitude = abs(scaled);
    const long top = long(mpz_sizeinbase(magnitude.get_mpz_t(), 2)) - 1 - kScale;
    const long ulp = std::max(top - (precision - 1), min_ulp);
    const long shift = ulp + kScale;  // > 0: min_ulp >= -1074
    mpz_class m, low;
    mpz_fdiv_q_2exp(m.get_mpz_t(), magnitude.get_mpz_t(), shift);
    mpz_fdiv_r_2exp(low.get_mpz_t(), magnitude.get_mpz_t(), shift);
    mpz_class half = 1;
    half <<= shift - 1;
    if (low > half || (low == half && mpz_odd_p(m.get_mpz_t()))) m += 1;
    const long bits = long(mpz_sizeinbase(m.get_mpz_t(), 2));
    if (m != 0 && ulp + bits - 1 >= limit) {
        r.overflow = true;
        return r;
    }
    const double value = std::ldexp(m.get_d(), int(ulp));  // m <= 2^precision: exact
    r.value = negative ? -value : value;
    mpz_class back = m;
    back <<= shift;
    if (negative) r.remainder = scaled + back;
    else r.remainder = scaled - back;
    return r;
}

uint64_t bits_of(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
uint32_t bits_of(float x) {
    uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

}  // namespace

mpz_class exact_dot_scaled(const double* a, int64_t a_stride, const double* b, int64_t b_stride,
                           int64_t K) {
    mpz_class sum = 0;
    for (int64_t k = 0; k < K; ++k) {
        const double x = a[k * a_stride], y = b[k * b_stride];
        if (x == 0.0 || y == 0.0) continue;
        const mpz_class product = scaled_double(x) * scaled_double(y);
        if ((x < 0) != (y < 0)) sum -= product;
        else sum += product;
    }
    return sum;
}

Triple reference_words(const mpz_class& x, int64_t scale) {
    if (x == 0) return Triple{};
    mpz_class scaled = x;
    scaled <<= static_cast<mp_bitcnt_t>(scale + 2148);
    return reference_round(scaled);
}

Triple reference_round(const mpz_class& scaled) {
    Triple t;
    const Rounded hi = round_to(scaled, 53, -1074, 1024);
    if (hi.overflow) {
        t.hi = scaled < 0 ? -HUGE_VAL : HUGE_VAL;
        return t;
    }
    const Rounded lo = round_to(hi.remainder, 53, -1074, 1024);
    const Rounded res = round_to(lo.remainder, 24, -149, 128);
    t.hi = hi.value;
    t.lo = lo.value;
    t.res = res.overflow ? 0.0f : static_cast<float>(res.value);  // res.value fits a float
    return t;
}

Triple reference_dot(const double* a, int64_t a_stride, const double* b, int64_t b_stride,
                     int64_t K) {
    bool nan = false, plus_inf = false, minus_inf = false, all_minus_zero = K > 0;
    for (int64_t k = 0; k < K; ++k) {
        const double x = a[k * a_stride], y = b[k * b_stride];
        if (std::isnan(x) || std::isnan(y) || (std::isinf(x) && y == 0.0) ||
            (x == 0.0 && std::isinf(y))) {
            nan = true;
        } else if (std::isinf(x) || std::isinf(y)) {
            (std::signbit(x) != std::signbit(y) ? minus_inf : plus_inf) = true;
        }
        const bool minus_zero = (x == 0.0 || y == 0.0) && std::signbit(x) != std::signbit(y);
        all_minus_zero = all_minus_zero && minus_zero;
    }
    Triple t;
    if (nan || (plus_inf && minus_inf)) {
        t.hi = std::nan("");
        return t;
    }
    if (plus_inf || minus_inf) {
        t.hi = minus_inf ? -HUGE_VAL : HUGE_VAL;
        return t;
    }
    const mpz_class x = exact_dot_scaled(a, a_stride, b, b_stride, K);
    if (x == 0) {
        t.hi = all_minus_zero ? -0.0 : 0.0;
        return t;
    }
    return reference_round(x);
}

uint64_t low_64_bits(const mpz_class& x) {
    const mpz_class magnitude = abs(x);
    const mpz_class low = magnitude & mpz_class(0xffffffffu);
    const mpz_class high = (magnitude >> 32) & mpz_class(0xffffffffu);
    return (uint64_t(high.get_ui()) << 32) | uint64_t(low.get_ui());
}

bool same_bits(const Triple& x, const Triple& y) {
    const bool hi_same = (std::isnan(x.hi) && std::isnan(y.hi)) || bits_of(x.hi) == bits_of(y.hi);
    return hi_same && bits_of(x.lo) == bits_of(y.lo) && bits_of(x.res) == bits_of(y.res);
}

std::string describe(const Triple& t) {
    char text[160];
    std::snprintf(text, sizeof text, "(hi %a, lo %a, res %a)", t.hi, t.lo, double(t.res));
    return text;
}

std::vector<double> random_matrix(int64_t n, uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<double> v(static_cast<size_t>(n));
    for (double& x : v) x = normal(gen);
    return v;
}

}  // namespace vexa_test
