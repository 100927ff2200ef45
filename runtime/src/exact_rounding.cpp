// The exact core's one rounding: an exact integer times a power of two, given as limbs,
// into the three output words hi = RN(x), lo = RN(x - hi), res = RN_float(x - hi - lo), with
// integer operations only. A short path takes the common case where all three words are
// normal; a general one every other, subnormals, overflow and far-below sticky bits included.
#include <algorithm>
#include <cstdint>

#include "bits.h"
#include "exact_core.h"
#include "wide_int.h"

namespace vexa::exact {
namespace {

constexpr uint64_t kFractionMask = (uint64_t(1) << 52) - 1;
constexpr uint64_t kHiddenBit = uint64_t(1) << 52;

// Below 2^kStickyExponent a value only matters through whether it is nonzero: the lowest
// rounding position of any of the three words is 2^-1075, the round bit of a subnormal.
constexpr int64_t kStickyExponent = -1216;
// Limbs of a value whose top bit is below 2^1024 and whose lowest bit is 2^kStickyExponent.
constexpr int kWindowLimbs = 40;

inline int bit_length(uint64_t x) { return x ? 64 - wide::leading_zeros(x) : 0; }

// ---- Rounding a value held in a window of limbs -------------------------------------

// An exact binary value |v| = buf * 2^base, sign separate, with every bit that matters for
// rounding (the lowest may be a sticky bit standing for everything below it).
struct Window {
    uint64_t buf[kWindowLimbs];
    int n;        // limbs in use
    int64_t base;
    bool negative;
};

// Bits [from, from + count) of the window as an integer; 0 <= from, count <= 64.
uint64_t bits_at(const Window& w, int64_t from, int count) {
    const int64_t limb = from >> 6;
    const int offset = static_cast<int>(from & 63);
    if (limb >= w.n) return 0;
    uint64_t v = w.buf[limb] >> offset;
    if (offset && limb + 1 < w.n) v |= w.buf[limb + 1] << (64 - offset);
    return count < 64 ? v & ((uint64_t(1) << count) - 1) : v;
}

// Whether any bit below `bit` is set. Looks nearest to `bit` first: that is where a
// nonzero bit usually is.
bool any_below(const Window& w, int64_t bit) {
    if (bit <= 0) return false;
    int64_t l = std::min<int64_t>(bit >> 6, w.n);
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

inline Rounded round_step(Window& w, int precision, int64_t min_ulp) {
    while (w.n > 0 && w.buf[w.n - 1] == 0) --w.n;
    if (w.n == 0) return {false, 0, min_ulp};  // exactly zero: +0, and so is the remainder
    const int64_t t = int64_t(64) * (w.n - 1) + bit_length(w.buf[w.n - 1]) - 1;  // top bit
    const int64_t q = std::max<int64_t>(t + w.base - (precision - 1), min_ulp);
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
double to_double(const Rounded& r) {
    uint64_t m = r.m;
    int64_t q = r.q;
    uint64_t u;
    if (m == 0) {
        u = 0;
    } else {
        if (m == (uint64_t(1) << 53)) m >>= 1, ++q;
        u = m >= kHiddenBit ? (static_cast<uint64_t>(q + 1075) << 52) | (m & kFractionMask) : m;
    }
    return bits::to_double(u | (r.negative ? uint64_t(1) << 63 : 0));
}

float to_float(const Rounded& r) {
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
    return bits::to_float(u | (r.negative ? 0x80000000u : 0));
}

bool overflows(const Rounded& r, int64_t limit_exponent) {
    return r.m != 0 && r.q + bit_length(r.m) - 1 >= limit_exponent;
}


// ---- The short fast path of round_triple -----------------------------------------------
//
// Most values a fast kernel hands over are a few limbs wide and far from both ends of the
// exponent range, so all three words come out normal. Then a window of three 64-bit words,
// top bit at bit 191, holds every bit that matters and each word is one fixed-width
// rounding of its top bits; anything else returns false and takes the general route.

// Shifts [w2, w1, w0] (not zero) left until bit 191 is set; returns the shift.
inline int normalise(uint64_t& w2, uint64_t& w1, uint64_t& w0) {
    int words = 0;
    if (__builtin_expect(w2 == 0, 0)) {
        w2 = w1, w1 = w0, w0 = 0, words = 64;
        if (w2 == 0) w2 = w1, w1 = 0, words = 128;
    }
    const int s = wide::leading_zeros(w2);
    if (s) {
        w2 = (w2 << s) | (w1 >> (64 - s));
        w1 = (w1 << s) | (w0 >> (64 - s));
        w0 <<= s;
    }
    return words + s;
}

// Rounds the normalised window to its top `Precision` bits, to nearest, ties to even, and
// returns that significand (2^(Precision-1) .. 2^Precision). When Remainder, the window
// then holds the magnitude of the remainder (window minus rounded value, which fits below
// bit 192 - Precision) and *flipped says whether its sign is opposite to the window's.
template <int Precision, bool Remainder>
inline uint64_t round_window(uint64_t& w2, uint64_t& w1, uint64_t& w0, bool* flipped) {
    constexpr int kDrop = 64 - Precision;
    constexpr uint64_t kLowMask = (uint64_t(1) << kDrop) - 1;
    constexpr uint64_t kHalf = uint64_t(1) << (kDrop - 1);
    const uint64_t m = w2 >> kDrop;
    const uint64_t low = w2 & kLowMask;
    // Bitwise, not &&: a branch here would be mispredicted half the time.
    const uint64_t up = (low >> (kDrop - 1)) & uint64_t(((low & (kHalf - 1)) | w1 | w0 | (m & 1)) != 0);
    if (Remainder) {
        // Rounded up: the remainder is (low bits) - 2^(192 - Precision), whose magnitude is
        // the two's complement of the low bits within that width. Branch-free: `up` is a
        // coin toss.
        const uint64_t flip = uint64_t(0) - up;
        uint64_t carry;
        w0 = wide::add_carry(w0 ^ flip, up, 0, &carry);
        w1 = wide::add_carry(w1 ^ flip, 0, carry, &carry);
        w2 = ((low ^ flip) + carry) & kLowMask;
        *flipped = up != 0;
    }
    return m + up;
}

// sign * m * 2^(top - 52), m in [2^52, 2^53], normal: the carry of m == 2^53 into the
// exponent field is what the addition does anyway.
inline double normal_double(bool negative, uint64_t m, int64_t top) {
    return bits::to_double(((static_cast<uint64_t>(top + 1022) << 52) + m) | (uint64_t(negative) << 63));
}
inline float normal_float(bool negative, uint64_t m, int64_t top) {
    return bits::to_float(((static_cast<uint32_t>(top + 126) << 23) + static_cast<uint32_t>(m)) |
                    (uint32_t(negative) << 31));
}

// round_triple for 1 <= n <= 4 trimmed limbs (mag[n - 1] != 0) when hi, lo and res are all
// normal or zero; false (nothing written) otherwise.
inline bool round_triple_short(bool negative, const uint64_t* mag, int n, int64_t scale,
                               double* hi, double* lo, float* res) {
    uint64_t w2, w1 = 0, w0 = 0;
    bool sticky = false;
    // Window bit 0 weighs 2^base before normalising.
    int64_t base = scale + 64 * (n - 3);
    switch (n) {
        case 4:
            w2 = mag[3], w1 = mag[2], w0 = mag[1];
            break;
        case 3:
            w2 = mag[2], w1 = mag[1], w0 = mag[0];
            break;
        case 2:
            w2 = mag[1], w1 = mag[0];
            break;
        default:
            w2 = mag[0];
            break;
    }
    const int s = normalise(w2, w1, w0);
    base -= s;
    if (n == 4 && s) {
        w0 |= mag[0] >> (64 - s);
        sticky = (mag[0] << s) != 0;
    } else if (n == 4) {
        sticky = mag[0] != 0;
    }
    // A fourth limb's bits below the window only count as a sticky bit in bit 0. Where
    // every rounding happens at window bit 2 or above (checked for lo and res as they come;
    // hi rounds at bit 139), a value and its sticky stand-in lie strictly inside the same
    // interval between two multiples of 2^(base + 1): they round alike, and so do their
    // remainders, which are then never zero.
    w0 |= uint64_t(sticky);

    const int64_t top = base + 191;
    if (top < -1022 || top > 1022) return false;
    bool lo_flipped = false, res_flipped = false;
    const uint64_t m_hi = round_window<53, true>(w2, w1, w0, &lo_flipped);
    if ((w2 | w1 | w0) == 0) {
        *hi = normal_double(negative, m_hi, top);
        *lo = 0.0, *res = 0.0f;
        return true;
    }
    const int64_t top_lo = top - normalise(w2, w1, w0);
    if (top_lo < -1022) return false;
    if (sticky && top_lo - 52 < base + 2) return false;
    const uint64_t m_lo = round_window<53, true>(w2, w1, w0, &res_flipped);
    if ((w2 | w1 | w0) == 0) {
        *hi = normal_double(negative, m_hi, top);
        *lo = normal_double(negative != lo_flipped, m_lo, top_lo);
        *res = 0.0f;
        return true;
    }
    // res needs only the top word of the remainder and whether anything lies below it.
    // After a rounding to 53 bits the remainder's top word holds at most 11 bits; where it
    // is zero (one value in a thousand or so) the general shift takes over.
    int shift;
    uint64_t below;
    if (__builtin_expect(w2 != 0, 1)) {
        shift = wide::leading_zeros(w2);  // 53 .. 63
        below = (w1 << shift) | w0;
        w2 = (w2 << shift) | (w1 >> (64 - shift));
    } else {
        shift = normalise(w2, w1, w0);
        below = w1 | w0;
    }
    const int64_t top_res = top_lo - shift;
    // Below -126 res is subnormal; above 126 it might round up to 2^128 and overflow.
    if (top_res < -126 || top_res > 126) return false;
    if (sticky && top_res - 23 < base + 2) return false;
    uint64_t none = 0;
    const uint64_t m_res = round_window<24, false>(w2, below, none, nullptr);
    *hi = normal_double(negative, m_hi, top);
    *lo = normal_double(negative != lo_flipped, m_lo, top_lo);
    *res = normal_float(negative != lo_flipped != res_flipped, m_res, top_res);
    return true;
}

// The window of mag * 2^scale (n >= 1 trimmed limbs) for round_step, with everything below
// 2^kStickyExponent folded into one sticky bit; false when |x| >= 2^1024.
bool load_window(bool negative, const uint64_t* mag, int n, int64_t scale, Window& w) {
    const int64_t top = int64_t(64) * (n - 1) + bit_length(mag[n - 1]) - 1 + scale;
    if (top >= 1024) return false;  // |x| >= 2^1024: RN(x) overflows whatever the lower bits are
    w.negative = negative;
    if (scale >= kStickyExponent) {
        w.n = n;  // top < 1024 and scale >= -1216 keep n within kWindowLimbs
        w.base = scale;
        std::copy(mag, mag + n, w.buf);
    } else {
        // Shift everything below 2^kStickyExponent out, leaving one sticky bit for it.
        const int64_t drop = kStickyExponent - scale;
        const int64_t drop_limbs = drop >> 6;
        const int drop_bits = static_cast<int>(drop & 63);
        bool sticky = false;
        for (int64_t l = 0; l < std::min<int64_t>(drop_limbs, n); ++l) sticky |= mag[l] != 0;
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
Rounded round_third(Window& w, float*) { return round_step(w, 24, -149); }
Rounded round_third(Window& w, double*) { return round_step(w, 53, -1074); }
void store_third(const Rounded& r, float* res) { *res = overflows(r, 128) ? 0.0f : to_float(r); }
void store_third(const Rounded& r, double* res) { *res = to_double(r); }

// Any n >= 1 trimmed limbs. Kept out of line so that the short path stays small.
template <class Res>
__attribute__((noinline)) void round_triple_general(bool negative, const uint64_t* mag, int n,
                                                    int64_t scale, double* hi, double* lo,
                                                    Res* res) {
    Window w;
    if (!load_window(negative, mag, n, scale, w)) {
        write_infinity(negative, hi, lo, res);
        return;
    }
    const Rounded h = round_step(w, 53, -1074);
    if (overflows(h, 1024)) {
        write_infinity(negative, hi, lo, res);
        return;
    }
    const Rounded l = round_step(w, 53, -1074);
    const Rounded r = round_third(w, res);
    *hi = to_double(h);
    *lo = to_double(l);
    store_third(r, res);
}

}  // namespace

void write_infinity(bool negative, double* hi, double* lo, double* res) {
    float unused;
    write_infinity(negative, hi, lo, &unused);
    *res = 0.0;
}

void round_triple(bool negative, const uint64_t* mag, int nlimbs, int64_t scale, double* hi,
                  double* lo, double* res) {
    int n = nlimbs;
    while (n > 0 && mag[n - 1] == 0) --n;
    if (n == 0) {
        *hi = 0.0, *lo = 0.0, *res = 0.0;
        return;
    }
    // The float64 residual exists for the ranges where a float32 one fails (subnormal or
    // overflowing), which the short path was not written for: always the general route.
    round_triple_general(negative, mag, n, scale, hi, lo, res);
}

void write_infinity(bool negative, double* hi, double* lo, float* res) {
    *hi = bits::to_double((uint64_t(0x7ff) << 52) | (negative ? uint64_t(1) << 63 : 0));
    *lo = 0.0;
    *res = 0.0f;
}

void round_triple(bool negative, const uint64_t* mag, int nlimbs, int64_t scale, double* hi,
                  double* lo, float* res) {
    int n = nlimbs;
    while (n > 0 && mag[n - 1] == 0) --n;
    if (n == 0) {
        *hi = 0.0, *lo = 0.0, *res = 0.0f;
        return;
    }
    if (n <= 4 && round_triple_short(negative, mag, n, scale, hi, lo, res)) return;
    round_triple_general(negative, mag, n, scale, hi, lo, res);
}

}  // namespace vexa::exact
