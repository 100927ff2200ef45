// The exact core's one rounding: an exact integer times a power of two, given as limbs,
// into the three output words hi = RN(x), lo = RN(x - hi), res = RN_float(x - hi - lo), with
// integer operations only. A short path takes the common case where all three words are
// normal; a general one every other, subnormals, overflow and far-below sticky bits included.
#include <algorithm>
#include <cstdint>

#include "support/bits.h"
#include "exact/element_math.h"
#include "exact/exact_core.h"
#include "support/wide_int.h"

namespace vexa::exact {
namespace {

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

}  // namespace

void write_infinity(bool negative, double* hi, double* lo, double* res) {
    element::infinity_words(negative, hi, lo, res);
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
    element::round_triple_general(negative, mag, n, scale, hi, lo, res);
}

void write_infinity(bool negative, double* hi, double* lo, float* res) {
    element::infinity_words(negative, hi, lo, res);
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
    element::round_triple_general(negative, mag, n, scale, hi, lo, res);
}

}  // namespace vexa::exact
