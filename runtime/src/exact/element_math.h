// The arithmetic of one output element, compiled for the host and, under nvcc, for the
// device as well: an element's residue modulo a small modulus, the CRT of a residue vector
// and the rounding of an exact integer times a power of two into the three words. The
// exact core, the fast path's portable CRT and the GPU engine (CPU and CUDA backends) all
// call these very functions, so a device that runs them cannot round differently.
// Plain integer code: no 128-bit integers, no library calls the device lacks.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "fastpath/fastpath.h"

#if defined(__CUDACC__)
#define VEXA_HD __host__ __device__
#define VEXA_HD_NOINLINE __noinline__
#else
#define VEXA_HD
#define VEXA_HD_NOINLINE __attribute__((noinline))
#endif

namespace vexa::element {
namespace hd {

VEXA_HD inline int leading_zeros(uint64_t x) {
#if defined(__CUDA_ARCH__)
    return __clzll(static_cast<long long>(x));
#else
    return __builtin_clzll(x);
#endif
}
VEXA_HD inline int trailing_zeros(uint64_t x) {
#if defined(__CUDA_ARCH__)
    return __ffsll(static_cast<long long>(x)) - 1;
#else
    return __builtin_ctzll(x);
#endif
}
VEXA_HD inline uint64_t high_word(uint64_t a, uint64_t b) {
#if defined(__CUDA_ARCH__)
    return __umul64hi(a, b);
#else
    return uint64_t(((unsigned __int128)a * b) >> 64);
#endif
}
VEXA_HD inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }
VEXA_HD inline int64_t max64(int64_t a, int64_t b) { return a < b ? b : a; }
VEXA_HD inline double to_double(uint64_t u) {
    double x;
    memcpy(&x, &u, sizeof x);
    return x;
}
VEXA_HD inline float to_float(uint32_t u) {
    float x;
    memcpy(&x, &u, sizeof x);
    return x;
}
VEXA_HD inline uint64_t bits_of(double x) {
    uint64_t u;
    memcpy(&u, &x, sizeof u);
    return u;
}
VEXA_HD inline double round_to_integer(double x) {
#if defined(__CUDA_ARCH__)
    return rint(x);
#else
    return std::nearbyint(x);
#endif
}

}  // namespace hd

// ---- Residues -------------------------------------------------------------------------

// 2^t mod p by repeated squaring (p <= 2^16, so every product fits in 32 bits).
VEXA_HD inline uint32_t pow2_mod(int64_t t, uint32_t p) {
    uint32_t result = 1 % p, base = 2 % p;
    for (; t > 0; t >>= 1) {
        if (t & 1) result = result * base % p;
        base = base * base % p;
    }
    return result;
}

// m mod p for m < 2^53 with 32-bit remainders only (a 64-bit one is a long routine on a
// GPU), two32 = 2^32 mod p.
VEXA_HD inline uint32_t mod_53(uint64_t m, uint32_t p, uint32_t two32) {
    return ((uint32_t(m >> 32) % p) * two32 + uint32_t(m) % p) % p;
}

// The residue in [0, p) of x * 2^-shift, an integer by the choice of shift (the lowest set
// bit of the line's nonzero elements): with x = m * 2^e (m the integer significand), the
// value is m >> (shift - e) when e < shift, which drops zero bits only, and
// m * 2^(e - shift) otherwise. x must be finite. pow2[t] = 2^t mod p for t < pow2_count
// spares the repeated squaring (null for none).
VEXA_HD inline uint32_t residue_of(double x, int32_t shift, uint32_t p, const uint16_t* pow2 = nullptr,
                                   int64_t pow2_count = 0) {
    const uint64_t bits = hd::bits_of(x);
    const int biased = int((bits >> 52) & 0x7ff);
    uint64_t m = bits & ((uint64_t(1) << 52) - 1);
    if (biased == 0 && m == 0) return 0;
    if (biased) m |= uint64_t(1) << 52;
    const int64_t d = int64_t(biased ? biased - 1075 : -1074) - shift;
    const uint32_t two32 = 32 < pow2_count ? pow2[32] : pow2_mod(32, p);
    uint32_t r;
    if (d < 0) {
        r = mod_53(m >> -d, p, two32);
    } else {
        const uint32_t scale = d < pow2_count ? pow2[d] : pow2_mod(d, p);
        r = mod_53(m, p, two32) * scale % p;
    }
    if ((bits >> 63) && r != 0) r = p - r;
    return r;
}

// The residue as the signed byte of the symmetric range, [-(p-1)/2, p/2) for p <= 256,
// so that a product of two of them is at most 2^14 in magnitude.
VEXA_HD inline int8_t symmetric_byte(uint32_t r, uint32_t p) {
    return int8_t(r >= (p + 1) / 2 ? int(r) - int(p) : int(r));
}

// ---- The CRT --------------------------------------------------------------------------

// One element: y = sum_l c_l Q_l is congruent to x modulo P, and y / P = q + x / P for an
// integer q. The moduli were chosen with P > 2^(2^-10) * 2 |x| (moduli_above_twice), so
// |x / P| < 0.4998. y and P are converted to double with relative errors below 2^-48, so
// y / P (< 41) is known to within 2^-40, far under the 0.0002 to spare: rounding it to
// the nearest integer gives q exactly (a fused multiply-add in the loop only shrinks the
// error). |x| goes to y as t.digits 32-bit digits and its sign to *negative.
// kDigits, where not 0, is t.digits known at compile time: the digit sums then stay in
// registers rather than going through memory for every modulus, which took the portable
// CRT and rounding from 150 to 120 ns per element at 18 moduli (x86-64 baseline code on
// Zen 4; the NEON engines run the same code).
template <int kDigits = 0, class Residue>
VEXA_HD inline void crt_one(const fast::CrtPlan& t, const Residue* residues, int64_t stride, int64_t e,
                            uint32_t* y, bool* negative) {
    const int D = kDigits ? kDigits : t.digits;
    uint64_t acc[fast::kMaxDigits] = {};
    for (int l = 0; l < t.count; ++l) {
        const uint64_t x = uint64_t(residues[l * stride + e]) * t.inverse[l];  // < 2^32
        const uint64_t c = x - hd::high_word(x, t.reciprocal[l]) * t.p[l];
        for (int j = 0; j < D; ++j) acc[j] += c * t.cofactor[l][j];
    }
    uint64_t carry = 0;
    for (int j = 0; j < D; ++j) {
        const uint64_t v = acc[j] + carry;
        y[j] = uint32_t(v);
        carry = v >> 32;
    }
    double yd = 0;
    for (int j = D - 1; j >= 0; --j) yd = yd * 4294967296.0 + double(y[j]);
    const uint64_t q = uint64_t(hd::round_to_integer(yd * t.product_inverse));
    // x = y - q P in D digits, two's complement.
    uint64_t borrow = 0;
    for (int j = 0; j < D; ++j) {
        const uint64_t sub = q * t.product[j] + borrow;  // < 2^38
        const uint64_t v = uint64_t(y[j]) - (sub & 0xffffffffu);
        y[j] = uint32_t(v);
        borrow = (sub >> 32) + (v >> 63);
    }
    *negative = (y[D - 1] >> 31) != 0;
    if (*negative) {
        uint64_t c = 1;
        for (int j = 0; j < D; ++j) {
            const uint64_t v = uint64_t(uint32_t(~y[j])) + c;
            y[j] = uint32_t(v);
            c = v >> 32;
        }
    }
}

// ---- Rounding an exact integer times a power of two into three words --------------------
//
// The exact core's one rounding with integer operations only, every case included
// (subnormals, overflow, far-below sticky bits); exact_rounding.cpp puts a short path for
// the common all-normal case in front of it on the host.

// +-inf in hi and +0 in lo and res.
template <class Res>
VEXA_HD inline void infinity_words(bool negative, double* hi, double* lo, Res* res) {
    *hi = hd::to_double((uint64_t(0x7ff) << 52) | (negative ? uint64_t(1) << 63 : 0));
    *lo = 0.0;
    *res = Res(0);
}

constexpr uint64_t kFractionMask = (uint64_t(1) << 52) - 1;
constexpr uint64_t kHiddenBit = uint64_t(1) << 52;

// Below 2^kStickyExponent a value only matters through whether it is nonzero: the lowest
// rounding position of any of the three words is 2^-1075, the round bit of a subnormal.
constexpr int64_t kStickyExponent = -1216;
// Limbs of a value whose top bit is below 2^1024 and whose lowest bit is 2^kStickyExponent.
constexpr int kWindowLimbs = 40;

VEXA_HD inline int bit_length(uint64_t x) { return x ? 64 - hd::leading_zeros(x) : 0; }

// ---- Rounding a value held in a window of limbs -------------------------------------

// An exact binary value |v| = buf * 2^base, sign separate, with every bit that matters for
// rounding (the lowest may be a sticky bit standing for everything below it).
struct RoundingWindow {
    uint64_t buf[kWindowLimbs];
    int n;        // limbs in use
    int64_t base;
    bool negative;
};

// Bits [from, from + count) of the window as an integer; 0 <= from, count <= 64.
VEXA_HD inline uint64_t bits_at(const RoundingWindow& w, int64_t from, int count) {
    const int64_t limb = from >> 6;
    const int offset = static_cast<int>(from & 63);
    if (limb >= w.n) return 0;
    uint64_t v = w.buf[limb] >> offset;
    if (offset && limb + 1 < w.n) v |= w.buf[limb + 1] << (64 - offset);
    return count < 64 ? v & ((uint64_t(1) << count) - 1) : v;
}

// Whether any bit below `bit` is set. Looks nearest to `bit` first: that is where a
// nonzero bit usually is.
VEXA_HD inline bool any_below(const RoundingWindow& w, int64_t bit) {
    if (bit <= 0) return false;
    int64_t l = hd::min64(bit >> 6, w.n);
    if (l < w.n && (bit & 63) && (w.buf[l] & ((uint64_t(1) << (bit & 63)) - 1))) return true;
    while (l-- > 0)
        if (w.buf[l]) return true;
    return false;
}

// One rounding to a binary format with `precision` significand bits and smallest ulp
// 2^min_ulp: the value is sign * m * 2^q. The window then holds the remainder (value minus
// the rounded value), with its own sign.
struct Rounded {
    bool negative;
    uint64_t m;
    int64_t q;
};

VEXA_HD inline Rounded round_step(RoundingWindow& w, int precision, int64_t min_ulp) {
    while (w.n > 0 && w.buf[w.n - 1] == 0) --w.n;
    if (w.n == 0) return {false, 0, min_ulp};  // exactly zero: +0, and so is the remainder
    const int64_t t = int64_t(64) * (w.n - 1) + bit_length(w.buf[w.n - 1]) - 1;  // top bit
    const int64_t q = hd::max64(t + w.base - (precision - 1), min_ulp);
    const int64_t qi = q - w.base;  // window bit of the ulp
    Rounded r{w.negative, 0, q};
    if (qi <= 0) {
        // The window's lowest bit is at or above the ulp: exact. Then t <= precision - 1 + qi,
        // so the whole value sits in limb 0 and fits in 64 bits once shifted.
        r.m = w.buf[0] << -qi;
        w.n = 0;
        return r;
    }
    r.m = qi <= t ? bits_at(w, qi, static_cast<int>(t - qi + 1)) : 0;
    const int64_t round_pos = qi - 1;  // above the top bit when the value is below half an ulp
    const int64_t round_limb = round_pos >> 6;
    const bool round_bit = round_limb < w.n && ((w.buf[round_limb] >> (round_pos & 63)) & 1);
    // Keep the bits below qi: they are the remainder (or its complement, below).
    const int64_t keep_limbs = (qi + 63) >> 6;
    if (keep_limbs < w.n) w.n = static_cast<int>(keep_limbs);
    if ((qi & 63) && (qi >> 6) < w.n) w.buf[qi >> 6] &= (uint64_t(1) << (qi & 63)) - 1;
    if (round_bit) {
        const bool sticky = any_below(w, round_pos);
        if (sticky || (r.m & 1)) {
            ++r.m;
            // Remainder = L - 2^qi < 0: its magnitude is 2^qi - L, the low qi bits of -L.
            uint64_t add = 1;
            for (int l = 0; l < w.n; ++l) {
                const uint64_t v = ~w.buf[l] + add;
                add = (add && v == 0) ? 1 : 0;
                w.buf[l] = v;
            }
            if ((qi & 63) && (qi >> 6) < w.n) w.buf[qi >> 6] &= (uint64_t(1) << (qi & 63)) - 1;
            w.negative = !w.negative;
        }
    }
    return r;
}

// m * 2^q as a double (m <= 2^53, representable, no overflow).
VEXA_HD inline double to_double(const Rounded& r) {
    uint64_t m = r.m;
    int64_t q = r.q;
    uint64_t u;
    if (m == 0) {
        u = 0;
    } else {
        if (m == (uint64_t(1) << 53)) m >>= 1, ++q;
        u = m >= kHiddenBit ? (static_cast<uint64_t>(q + 1075) << 52) | (m & kFractionMask) : m;
    }
    return hd::to_double(u | (r.negative ? uint64_t(1) << 63 : 0));
}

VEXA_HD inline float to_float(const Rounded& r) {
    uint64_t m = r.m;
    int64_t q = r.q;
    uint32_t u;
    if (m == 0) {
        u = 0;
    } else {
        if (m == (uint64_t(1) << 24)) m >>= 1, ++q;
        u = m >= (uint64_t(1) << 23)
                ? (static_cast<uint32_t>(q + 150) << 23) | static_cast<uint32_t>(m & 0x7fffff)
                : static_cast<uint32_t>(m);
    }
    return hd::to_float(u | (r.negative ? 0x80000000u : 0));
}

VEXA_HD inline bool overflows(const Rounded& r, int64_t limit_exponent) {
    return r.m != 0 && r.q + bit_length(r.m) - 1 >= limit_exponent;
}


// The window of mag * 2^scale (n >= 1 trimmed limbs) for round_step, with everything below
// 2^kStickyExponent folded into one sticky bit; false when |x| >= 2^1024.
VEXA_HD inline bool load_window(bool negative, const uint64_t* mag, int n, int64_t scale, RoundingWindow& w) {
    const int64_t top = int64_t(64) * (n - 1) + bit_length(mag[n - 1]) - 1 + scale;
    if (top >= 1024) return false;  // |x| >= 2^1024: RN(x) overflows whatever the lower bits are
    w.negative = negative;
    if (scale >= kStickyExponent) {
        w.n = n;  // top < 1024 and scale >= -1216 keep n within kWindowLimbs
        w.base = scale;
        for (int l = 0; l < n; ++l) w.buf[l] = mag[l];
    } else {
        // Shift everything below 2^kStickyExponent out, leaving one sticky bit for it.
        const int64_t drop = kStickyExponent - scale;
        const int64_t drop_limbs = drop >> 6;
        const int drop_bits = static_cast<int>(drop & 63);
        bool sticky = false;
        for (int64_t l = 0; l < hd::min64(drop_limbs, n); ++l) sticky |= mag[l] != 0;
        if (drop_limbs < n && drop_bits)
            sticky |= (mag[drop_limbs] & ((uint64_t(1) << drop_bits) - 1)) != 0;
        w.base = kStickyExponent;
        w.n = 0;
        for (int64_t l = drop_limbs; l < n; ++l) {
            uint64_t v = mag[l] >> drop_bits;
            if (drop_bits && l + 1 < n) v |= mag[l + 1] << (64 - drop_bits);
            w.buf[w.n++] = v;
        }
        if (w.n == 0) w.buf[w.n++] = 0;
        w.buf[0] |= sticky ? 1 : 0;
    }

    return true;
}

// The third word: float32 (0 where it would overflow) or float64.
VEXA_HD inline Rounded round_third(RoundingWindow& w, float*) { return round_step(w, 24, -149); }
VEXA_HD inline Rounded round_third(RoundingWindow& w, double*) { return round_step(w, 53, -1074); }
VEXA_HD inline void store_third(const Rounded& r, float* res) { *res = overflows(r, 128) ? 0.0f : to_float(r); }
VEXA_HD inline void store_third(const Rounded& r, double* res) { *res = to_double(r); }

// Any n >= 1 trimmed limbs. Kept out of line so that the short path stays small.
template <class Res>
VEXA_HD VEXA_HD_NOINLINE void round_triple_general(bool negative, const uint64_t* mag, int n,
                                                    int64_t scale, double* hi, double* lo,
                                                    Res* res) {
    RoundingWindow w;
    if (!load_window(negative, mag, n, scale, w)) {
        infinity_words(negative, hi, lo, res);
        return;
    }
    const Rounded h = round_step(w, 53, -1074);
    if (overflows(h, 1024)) {
        infinity_words(negative, hi, lo, res);
        return;
    }
    const Rounded l = round_step(w, 53, -1074);
    const Rounded r = round_third(w, res);
    *hi = to_double(h);
    *lo = to_double(l);
    store_third(r, res);
}


// ---- One element of a product --------------------------------------------------------

// The words of the integer x whose residues modulo the plan's moduli are r[l] (in [0, p_l)),
// times 2^scale. Where x == 0 the words are +0 and the function returns true: the sign
// of an exact zero sum needs the inputs.
template <class Res>
VEXA_HD inline bool crt_words(const fast::CrtPlan& t, const uint16_t* r, int64_t scale, double* hi,
                              double* lo, Res* res) {
    uint32_t y[fast::kMaxDigits + 1];
    bool negative;
    crt_one(t, r, 1, 0, y, &negative);
    const int limbs = (t.digits + 1) / 2;
    y[t.digits] = 0;
    uint64_t mag[fast::kMaxLimbs];
    int n = 0;
    for (int w = 0; w < limbs; ++w) {
        mag[w] = y[2 * w] | (uint64_t(y[2 * w + 1]) << 32);
        if (mag[w]) n = w + 1;
    }
    if (n == 0) {
        *hi = 0.0, *lo = 0.0, *res = Res(0);
        return true;
    }
    round_triple_general(negative, mag, n, scale, hi, lo, res);
    return false;
}

}  // namespace vexa::element
