// The exact core.
//
// A finite double is s * m * 2^(e - 1074) with m < 2^53 an integer and e = max(field, 1) - 1
// in [0, 2045], so the product of two is (m_a * m_b) * 2^(e_a + e_b - 2148): a 106-bit
// integer at a bit position p = e_a + e_b in [0, 4090]. Products are added into a long
// fixed-point accumulator (Kulisch style) of 64-bit words, one for the positive and one for
// the negative products, so every addition is an unsigned add with carry and nothing ever
// needs a sign. The exact sum, the difference of the two, is then rounded once, with
// integer operations only, into the three output words.
#include "exact_core.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "parallel.h"
#include "vexa.h"
#include "wide_int.h"

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace vexa::exact {
namespace {

// Bit 0 of word 0 has weight 2^-2148, the smallest product of two subnormals.
constexpr int64_t kWordZeroExponent = -2148;
// Words in one accumulator. A product is below 2^(p + 106) <= 2^4196 and fewer than 2^63 of
// them sum below 2^4259, so words 0..66 hold any sum (a carry never leaves word 66).
constexpr int kWords = 68;
// Limbs of a difference handed to round_triple: at most one per word.
constexpr int kMaxLimbs = kWords;

// Below 2^kStickyExponent a value only matters through whether it is nonzero: the lowest
// rounding position of any of the three words is 2^-1075, the round bit of a subnormal.
constexpr int64_t kStickyExponent = -1216;
// Limbs of a value whose top bit is below 2^1024 and whose lowest bit is 2^kStickyExponent.
constexpr int kWindowLimbs = 40;

inline uint64_t bits_of(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
inline double double_of(uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}
inline float float_of(uint32_t u) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

constexpr uint64_t kFractionMask = (uint64_t(1) << 52) - 1;
constexpr uint64_t kHiddenBit = uint64_t(1) << 52;

// Integer significand and biased exponent of a finite double (subnormals included).
inline uint64_t significand(uint64_t u) {
    const uint64_t field = (u >> 52) & 0x7ff;
    return (u & kFractionMask) | (field != 0 ? kHiddenBit : 0);
}
inline uint32_t exponent(uint64_t u) {
    const uint32_t field = static_cast<uint32_t>((u >> 52) & 0x7ff);
    return field != 0 ? field - 1 : 0;
}
inline bool non_finite(uint64_t u) { return ((u >> 52) & 0x7ff) == 0x7ff; }

// w[0..2] += x0 + x1 * 2^64 + x2 * 2^128; returns the carry out of w[2].
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXA_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VEXA_ADDRESS_SANITIZER 1
#endif

inline bool add3(uint64_t* w, uint64_t x0, uint64_t x1, uint64_t x2) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(VEXA_ADDRESS_SANITIZER)
    // One add-with-carry chain straight into memory; compilers otherwise park the carry
    // flag in a register between the steps. (Under AddressSanitizer the portable version
    // runs instead, so that these accesses are checked.)
    unsigned char carry;
    __asm__("addq %[x0], %[w0]\n\t"
            "adcq %[x1], %[w1]\n\t"
            "adcq %[x2], %[w2]\n\t"
            "setc %[carry]"
            : [carry] "=r"(carry), [w0] "+m"(w[0]), [w1] "+m"(w[1]), [w2] "+m"(w[2])
            : [x0] "r"(x0), [x1] "r"(x1), [x2] "r"(x2)
            : "cc");
    return carry != 0;
#else
    uint64_t carry;
    w[0] = wide::add_carry(w[0], x0, 0, &carry);
    w[1] = wide::add_carry(w[1], x1, carry, &carry);
    w[2] = wide::add_carry(w[2], x2, carry, &carry);
    return carry != 0;
#endif
}

// Adds m_a * m_b * 2^p (m_a, m_b < 2^53, p <= 4090) into the accumulator words.
inline void add_product(uint64_t* acc, uint64_t ma, uint64_t mb, uint32_t p) {
    uint64_t hi;
    const uint64_t lo = wide::mul(ma, mb, &hi);  // < 2^106
    const uint32_t shift = p & 63;
    // product * 2^shift < 2^169 in three words; split shifts so a zero shift never
    // shifts by 64.
    const uint64_t x0 = lo << shift;
    const uint64_t x1 = (hi << shift) | ((lo >> 1) >> (63 - shift));
    const uint64_t x2 = (hi >> 1) >> (63 - shift);
    uint64_t* w = acc + (p >> 6);
    const bool carry = add3(w, x0, x1, x2);
    if (__builtin_expect(carry, 0)) {
        // The accumulator only grows and never exceeds its words, so this stops in range.
        uint64_t* q = w + 3;
        while (++*q == 0) ++q;
    }
}

// pos - neg over words [first, last] (all other words are zero), as a sign and a magnitude
// whose bit 0 weighs 2^(64 * first - 2148). Clears those words of both. Returns the number
// of limbs written (0 when the difference is zero).
int take_difference(uint64_t* pos, uint64_t* neg, int first, int last, bool* negative,
                    uint64_t* limbs, int64_t* scale) {
    int count = 0;
    uint64_t borrow = 0;
    for (int w = first; w <= last; ++w) {
        limbs[count++] = wide::sub_borrow(pos[w], neg[w], borrow, &borrow);
        pos[w] = neg[w] = 0;
    }
    *negative = borrow != 0;
    if (*negative) {  // magnitude = two's complement negation
        uint64_t add = 1;
        for (int l = 0; l < count; ++l) {
            const uint64_t v = ~limbs[l] + add;
            add = (add && v == 0) ? 1 : 0;
            limbs[l] = v;
        }
    }
    *scale = int64_t(64) * first + kWordZeroExponent;
    while (count > 0 && limbs[count - 1] == 0) --count;
    return count;
}

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
    return double_of(u | (r.negative ? uint64_t(1) << 63 : 0));
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
    return float_of(u | (r.negative ? 0x80000000u : 0));
}

bool overflows(const Rounded& r, int64_t limit_exponent) {
    return r.m != 0 && r.q + bit_length(r.m) - 1 >= limit_exponent;
}

void write_infinity(bool negative, double* hi, double* lo, float* res) {
    *hi = double_of((uint64_t(0x7ff) << 52) | (negative ? uint64_t(1) << 63 : 0));
    *lo = 0.0;
    *res = 0.0f;
}

// ---- Special values ---------------------------------------------------------------------

struct SpecialScan {
    bool nan = false, positive_infinity = false, negative_infinity = false;
    bool any() const { return nan || positive_infinity || negative_infinity; }
};

// Folds the IEEE product of two doubles, at least one non-finite, into the scan.
inline void scan_special(uint64_t ua, uint64_t ub, SpecialScan& s) {
    const bool a_nan = non_finite(ua) && (ua & kFractionMask);
    const bool b_nan = non_finite(ub) && (ub & kFractionMask);
    const bool a_zero = (ua << 1) == 0, b_zero = (ub << 1) == 0;
    if (a_nan || b_nan || a_zero || b_zero) {  // NaN operand, or inf * 0
        s.nan = true;
    } else if ((ua ^ ub) >> 63) {
        s.negative_infinity = true;
    } else {
        s.positive_infinity = true;
    }
}

// The words of an element whose products include a non-finite one.
void write_special(const SpecialScan& s, double* hi, double* lo, float* res) {
    if (s.nan || (s.positive_infinity && s.negative_infinity)) {
        *hi = double_of(uint64_t(0x7ff8) << 48);
        *lo = 0.0;
        *res = 0.0f;
    } else {
        write_infinity(s.negative_infinity, hi, lo, res);
    }
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
    return double_of(((static_cast<uint64_t>(top + 1022) << 52) + m) | (uint64_t(negative) << 63));
}
inline float normal_float(bool negative, uint64_t m, int64_t top) {
    return float_of(((static_cast<uint32_t>(top + 126) << 23) + static_cast<uint32_t>(m)) |
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

// Any n >= 1 trimmed limbs. Kept out of line so that the short path stays small.
__attribute__((noinline)) void round_triple_general(bool negative, const uint64_t* mag, int n,
                                                    int64_t scale, double* hi, double* lo,
                                                    float* res) {
    const int64_t top = int64_t(64) * (n - 1) + bit_length(mag[n - 1]) - 1 + scale;
    if (top >= 1024) {  // |x| >= 2^1024: RN(x) overflows whatever the lower bits are
        write_infinity(negative, hi, lo, res);
        return;
    }
    Window w;
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

    const Rounded h = round_step(w, 53, -1074);
    if (overflows(h, 1024)) {
        write_infinity(negative, hi, lo, res);
        return;
    }
    const Rounded l = round_step(w, 53, -1074);
    const Rounded r = round_step(w, 24, -149);
    *hi = to_double(h);
    *lo = to_double(l);
    *res = overflows(r, 128) ? 0.0f : to_float(r);
}

}  // namespace

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

namespace {

// Two accumulators (positive, negative products) for one output element.
struct Accumulator {
    uint64_t pos[kWords];
    uint64_t neg[kWords];
};

// The words that products at bit positions [lowest, highest] can reach: a product is below
// 2^(p + 106), and fewer than 2^64 of them add at most 64 bits.
inline int first_word(uint32_t lowest) { return static_cast<int>(lowest >> 6); }
inline int last_word(uint32_t highest) { return std::min<int>(kWords - 1, (highest + 170) >> 6); }

// Rounds pos - neg over words [first, last] and clears them. Returns false when the
// difference is exactly zero (nothing written then).
bool round_accumulator(Accumulator& acc, int first, int last, double* hi, double* lo, float* res) {
    uint64_t limbs[kMaxLimbs];
    bool negative = false;
    int64_t scale = 0;
    const int n = take_difference(acc.pos, acc.neg, first, last, &negative, limbs, &scale);
    if (n == 0) return false;
    round_triple(negative, limbs, n, scale, hi, lo, res);
    return true;
}

}  // namespace

void dot_triple(const double* a, int64_t a_stride, const double* b, int64_t b_stride, int64_t K,
                double* hi, double* lo, float* res) {
    Accumulator acc;
    std::memset(&acc, 0, sizeof acc);
    SpecialScan special;
    bool all_negative_zero = K > 0;  // IEEE sums of only -0 products give -0
    uint32_t lowest = 4090, highest = 0;
    for (int64_t k = 0; k < K; ++k) {
        const uint64_t ua = bits_of(a[k * a_stride]), ub = bits_of(b[k * b_stride]);
        if (non_finite(ua) || non_finite(ub)) {
            scan_special(ua, ub, special);
            all_negative_zero = false;
            continue;
        }
        const uint64_t ma = significand(ua), mb = significand(ub);
        if (ma == 0 || mb == 0) {
            all_negative_zero &= ((ua ^ ub) >> 63) != 0;
            continue;
        }
        all_negative_zero = false;
        const uint32_t p = exponent(ua) + exponent(ub);
        lowest = std::min(lowest, p);
        highest = std::max(highest, p);
        add_product((ua ^ ub) >> 63 ? acc.neg : acc.pos, ma, mb, p);
    }
    if (special.any()) {
        write_special(special, hi, lo, res);
        return;
    }
    if (lowest > highest ||
        !round_accumulator(acc, first_word(lowest), last_word(highest), hi, lo, res)) {
        *hi = all_negative_zero ? -0.0 : 0.0;
        *lo = 0.0;
        *res = 0.0f;
    }
}

namespace {

// Exponent range and special content of one row of A or column of B.
struct LineInfo {
    uint32_t lowest = 4095, highest = 0;  // biased exponents of the nonzero finite elements
    bool special = false;                  // holds an inf or NaN
    bool has_nonzero() const { return lowest <= highest; }
};

inline void note(LineInfo& info, uint64_t u) {
    if (non_finite(u)) {
        info.special = true;
    } else if (u << 1) {
        const uint32_t e = exponent(u);
        info.lowest = std::min(info.lowest, e);
        info.highest = std::max(info.highest, e);
    }
}

// Output columns per panel, and rows per block of one task. The accumulators of one panel
// are 16 x 1.5 KiB, of which only the few words the products reach are ever touched, so
// they live in L1.
constexpr int64_t kPanel = 16;
constexpr int64_t kRowBlock = 16;
// Rows of B split at a time for one panel (640 KiB). No split copy of the whole of B is ever
// made, so a call's memory does not grow with B: each worker splits the panel of its task
// itself and keeps it while its next tasks stay on that panel. A longer panel is split
// chunk by chunk, once for every block of rows.
constexpr int64_t kSplitRows = 4096;
// In a panel accumulator the negative products sit this many words above the positive ones;
// a power of two, so the sign can ride in the bit position as bit 13 (2^13 = 128 * 64).
constexpr int kNegativeWords = 128;
constexpr uint32_t kNegativeBit = kNegativeWords * 64;
struct PanelAccumulator {
    uint64_t words[kNegativeWords + kWords];  // [positive | unused gap | negative]
};

// The selected rows and columns of one call: position p stands for row (column) at[p], or
// for p itself when at is null. Line facts and panels are kept by position.
struct Selection {
    const int64_t* at;
    int64_t count;
    int64_t operator[](int64_t p) const { return at ? at[p] : p; }
};

// Rows [k0, k0 + rows) of one panel of B, split: for row k and slot c < kPanel, the
// significand (0 for an inf or NaN, whose element goes to dot_triple anyway) and the biased
// exponent with the sign as kNegativeBit. Padding slots are zero.
struct SplitChunk {
    std::vector<uint64_t> significands;
    std::vector<uint16_t> exponents;
    int64_t panel = -1, k0 = -1;  // what it holds
};

void split_chunk(const GemmProblem& pb, const Selection& cols, int64_t panel, int64_t k0,
                 int64_t rows, SplitChunk& split) {
    const int64_t N = pb.N, p0 = panel * kPanel;
    const int64_t width = std::min(kPanel, cols.count - p0);
    int64_t j[kPanel];
    for (int64_t c = 0; c < width; ++c) j[c] = cols[p0 + c];
    for (int64_t k = 0; k < rows; ++k) {
        const double* b_row = pb.B + (k0 + k) * N;
        uint64_t* mant = split.significands.data() + k * kPanel;
        uint16_t* expo = split.exponents.data() + k * kPanel;
        for (int64_t c = 0; c < kPanel; ++c) {
            uint64_t m = 0;
            uint32_t e = 0;
            if (c < width) {
                const uint64_t ub = bits_of(b_row[j[c]]);
                if (!non_finite(ub)) {
                    m = significand(ub);
                    e = exponent(ub) | ((ub >> 63) ? kNegativeBit : 0);
                }
            }
            mant[c] = m;
            expo[c] = static_cast<uint16_t>(e);
        }
    }
    split.panel = panel;
    split.k0 = k0;
}

// What one worker owns: its chunk of B, and the accumulators of a block of rows (of two
// rows when K fits one chunk, as each row is then finished before the next begins).
struct WorkerSpace {
    SplitChunk split;
    std::vector<PanelAccumulator> acc;
    WorkerSpace(int64_t chunk_rows, int64_t acc_rows)
        : acc(static_cast<size_t>(acc_rows * kPanel)) {
        split.significands.resize(static_cast<size_t>(chunk_rows * kPanel));
        split.exponents.resize(static_cast<size_t>(chunk_rows * kPanel));
    }
};

struct Plan {
    const GemmProblem* problem;
    Selection row_of, col_of;
    const LineInfo* rows;  // by row position
    const LineInfo* cols;  // by column position
};

// Adds row i's products with the panel's columns into acc[0..kPanel).
void accumulate_row(const double* a_row, int64_t K, const uint64_t* mant, const uint16_t* expo,
                    PanelAccumulator* acc) {
    for (int64_t k = 0; k < K; ++k) {
        const uint64_t ua = bits_of(a_row[k]);
        const uint64_t ma = significand(ua);
        if (ma == 0) continue;  // zero: contributes nothing (the row holds no inf/NaN)
        const uint32_t ea = exponent(ua);
        // Flipping B's sign bit by A's sign sends the product to the right half.
        const uint32_t flip = (ua >> 63) ? kNegativeBit : 0;
        const uint64_t* mb = mant + k * kPanel;
        const uint16_t* eb = expo + k * kPanel;
        for (int64_t c = 0; c < kPanel; ++c) add_product(acc[c].words, ma, mb[c], ea + (eb[c] ^ flip));
    }
}

// The same for two rows at once, so each split element of B is loaded once for both. Kept
// out of line: inlined into compute_block, GCC makes its loop about a seventh longer.
__attribute__((noinline)) void accumulate_row_pair(const double* a0, const double* a1, int64_t K,
                                                   const uint64_t* mant, const uint16_t* expo,
                                                   PanelAccumulator* acc0, PanelAccumulator* acc1) {
    for (int64_t k = 0; k < K; ++k) {
        const uint64_t u0 = bits_of(a0[k]), u1 = bits_of(a1[k]);
        const uint64_t m0 = significand(u0), m1 = significand(u1);
        if ((m0 | m1) == 0) continue;
        // A zero significand adds zeros wherever its exponent points: harmless.
        const uint32_t e0 = exponent(u0), e1 = exponent(u1);
        const uint32_t flip0 = (u0 >> 63) ? kNegativeBit : 0, flip1 = (u1 >> 63) ? kNegativeBit : 0;
        const uint64_t* mb = mant + k * kPanel;
        const uint16_t* eb = expo + k * kPanel;
        for (int64_t c = 0; c < kPanel; ++c) {
            const uint64_t m = mb[c];
            const uint32_t e = eb[c];
            add_product(acc0[c].words, m0, m, e0 + (e ^ flip0));
            add_product(acc1[c].words, m1, m, e1 + (e ^ flip1));
        }
    }
}

// Writes the row at position r of the panel from its accumulators (and clears them),
// sending specials and exact zeros to the reference dot.
void finish_row(const Plan& plan, int64_t r, int64_t panel, bool accumulated, PanelAccumulator* acc) {
    const GemmProblem& pb = *plan.problem;
    const int64_t K = pb.K, N = pb.N;
    const int64_t p0 = panel * kPanel, width = std::min(kPanel, plan.col_of.count - p0);
    const LineInfo& row = plan.rows[r];
    const int64_t i = plan.row_of[r];
    const double* a_row = pb.A + i * K;
    for (int64_t jj = 0; jj < width; ++jj) {
        const LineInfo& col = plan.cols[p0 + jj];
        const int64_t j = plan.col_of[p0 + jj];
        const int64_t at = i * N + j;
        bool rounded = false;
        // A special column's finite elements were accumulated too: its words must be
        // cleared like any other before the accumulator serves the next row.
        if (accumulated && col.has_nonzero()) {
            uint64_t limbs[kMaxLimbs];
            bool negative = false;
            int64_t scale = 0;
            const int n = take_difference(acc[jj].words, acc[jj].words + kNegativeWords,
                                          first_word(row.lowest + col.lowest),
                                          last_word(row.highest + col.highest), &negative, limbs, &scale);
            if (n > 0 && !col.special) {
                round_triple(negative, limbs, n, scale, &pb.C_hi[at], &pb.C_lo[at], &pb.C_res[at]);
                rounded = true;
            }
        }
        // Specials, and sums that are exactly zero (whose sign depends on the zero
        // products): the reference dot settles them. Rare, and no slower than the sum.
        if (!rounded) dot_triple(a_row, 1, pb.B + j, N, K, &pb.C_hi[at], &pb.C_lo[at], &pb.C_res[at]);
    }
}

// Row positions [r0, r1) of one panel, through the worker's space; its accumulators are
// all zero on entry and on exit.
void compute_block(const Plan& plan, int64_t r0, int64_t r1, int64_t panel, WorkerSpace& space) {
    const GemmProblem& pb = *plan.problem;
    const int64_t K = pb.K;
    const int64_t p0 = panel * kPanel, width = std::min(kPanel, plan.col_of.count - p0);
    bool any_regular = false;
    for (int64_t jj = 0; jj < width; ++jj)
        any_regular |= !plan.cols[p0 + jj].special && plan.cols[p0 + jj].has_nonzero();
    auto regular = [&](int64_t r) {
        return any_regular && !plan.rows[r].special && plan.rows[r].has_nonzero();
    };
    auto row = [&](int64_t r) { return pb.A + plan.row_of[r] * K; };
    const int64_t chunk = std::min(K, kSplitRows);
    const bool one_chunk = chunk == K;
    auto acc = [&](int64_t r) {
        return space.acc.data() + (one_chunk ? (r - r0) & 1 : r - r0) * kPanel;
    };
    const uint64_t* mant = space.split.significands.data();
    const uint16_t* expo = space.split.exponents.data();
    for (int64_t k0 = 0; any_regular && k0 < K; k0 += chunk) {
        const int64_t rows = std::min(chunk, K - k0);
        if (space.split.panel != panel || space.split.k0 != k0)
            split_chunk(pb, plan.col_of, panel, k0, rows, space.split);
        const bool last = k0 + rows == K;
        for (int64_t r = r0; r < r1;) {
            if (r + 1 < r1 && regular(r) && regular(r + 1)) {
                accumulate_row_pair(row(r) + k0, row(r + 1) + k0, rows, mant, expo, acc(r), acc(r + 1));
                if (last) {
                    finish_row(plan, r, panel, true, acc(r));
                    finish_row(plan, r + 1, panel, true, acc(r + 1));
                }
                r += 2;
            } else {
                if (regular(r)) accumulate_row(row(r) + k0, rows, mant, expo, acc(r));
                if (last) finish_row(plan, r, panel, regular(r), acc(r));
                r += 1;
            }
        }
    }
    if (!any_regular)
        for (int64_t r = r0; r < r1; ++r) finish_row(plan, r, panel, false, acc(r));
}

}  // namespace

int gemm_selected(const GemmProblem& pb, int threads, const int64_t* rows, int64_t n_rows,
                  const int64_t* cols, int64_t n_cols) {
    try {
        const int64_t K = pb.K, N = pb.N;
        const Selection row_of{rows, rows ? n_rows : pb.M}, col_of{cols, cols ? n_cols : pb.N};
        if (row_of.count <= 0 || col_of.count <= 0) return VEXA_OK;
        if (col_of.count < kPanel) {
            // Too narrow for panels, whose padding slots would be most of the work. Element
            // by element, B's few columns share cache lines anyway.
            parallel_for(row_of.count, threads, [&](int64_t r) {
                const int64_t i = row_of[r];
                for (int64_t c = 0; c < col_of.count; ++c) {
                    const int64_t j = col_of[c], at = i * N + j;
                    dot_triple(pb.A + i * K, 1, pb.B + j, N, K, &pb.C_hi[at], &pb.C_lo[at], &pb.C_res[at]);
                }
            });
            return VEXA_OK;
        }
        const int64_t panels = (col_of.count + kPanel - 1) / kPanel;
        const int64_t row_blocks = (row_of.count + kRowBlock - 1) / kRowBlock;
        const int64_t tasks = row_blocks * panels;
        const int workers = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, tasks)));
        // Workspace first, outputs after: an allocation failure must leave C untouched.
        std::vector<LineInfo> row_info(static_cast<size_t>(row_of.count));
        std::vector<LineInfo> col_info(static_cast<size_t>(col_of.count));
        const int64_t chunk = std::min(K, kSplitRows);
        std::vector<WorkerSpace> spaces;
        spaces.reserve(static_cast<size_t>(workers));
        for (int w = 0; w < workers; ++w) spaces.emplace_back(chunk, chunk == K ? 2 : kRowBlock);

        for (int64_t r = 0; r < row_of.count; ++r) {
            const double* a_row = pb.A + row_of[r] * K;
            for (int64_t k = 0; k < K; ++k) note(row_info[r], bits_of(a_row[k]));
        }
        for (int64_t k = 0; k < K; ++k)
            for (int64_t c = 0; c < col_of.count; ++c) note(col_info[c], bits_of(pb.B[k * N + col_of[c]]));

        const Plan plan{&pb, row_of, col_of, row_info.data(), col_info.data()};
        std::atomic<int64_t> next{0};
        parallel_for(workers, workers, [&](int64_t worker) {
            WorkerSpace& space = spaces[static_cast<size_t>(worker)];
            for (;;) {
                const int64_t t = next.fetch_add(1, std::memory_order_relaxed);
                if (t >= tasks) return;
                // Consecutive tasks share a panel, which the worker then splits only once.
                const int64_t panel = t / row_blocks, block = t % row_blocks;
                const int64_t r0 = block * kRowBlock;
                compute_block(plan, r0, std::min(row_of.count, r0 + kRowBlock), panel, space);
            }
        });
        return VEXA_OK;
    } catch (const std::bad_alloc&) {
        return VEXA_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VEXA_ERROR_INTERNAL;
    }
}

int gemm(const GemmProblem& pb, int threads) {
    return gemm_selected(pb, threads, nullptr, 0, nullptr, 0);
}

}  // namespace vexa::exact
