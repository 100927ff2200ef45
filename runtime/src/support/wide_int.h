// 128-bit products, divisions by a word, add-with-carry and bit scans: the few wide-integer
// operations the runtime needs, in one place for every compiler it is built with.
#pragma once

#include <cstdint>

#if !(defined(__GNUC__) || defined(__clang__))
#error "libvexa needs GCC or Clang (unsigned __int128 and the bit-scan builtins)"
#endif

namespace vexa::wide {

// a * b + c, the low word returned and the high word in *high.
inline uint64_t mul_add(uint64_t a, uint64_t b, uint64_t c, uint64_t* high) {
    const unsigned __int128 t = (unsigned __int128)a * b + c;
    *high = uint64_t(t >> 64);
    return uint64_t(t);
}

// The high word of a * b.
inline uint64_t high_word(uint64_t a, uint64_t b) {
    return uint64_t(((unsigned __int128)a * b) >> 64);
}

// (remainder * 2^64 + word) / divisor, with remainder < divisor; the new remainder in *rest.
inline uint64_t div_step(uint64_t remainder, uint64_t word, uint64_t divisor, uint64_t* rest) {
    const unsigned __int128 cur = ((unsigned __int128)remainder << 64) | word;
    *rest = uint64_t(cur % divisor);
    return uint64_t(cur / divisor);
}

// The product a * b as two words: the low one returned, the high one in *high.
inline uint64_t mul(uint64_t a, uint64_t b, uint64_t* high) { return mul_add(a, b, 0, high); }

// a + b + carry_in (0 or 1); the carry out (0 or 1) in *carry_out.
inline uint64_t add_carry(uint64_t a, uint64_t b, uint64_t carry_in, uint64_t* carry_out) {
    const unsigned __int128 t = (unsigned __int128)a + b + carry_in;
    *carry_out = uint64_t(t >> 64);
    return uint64_t(t);
}

// a - b - borrow_in (0 or 1); the borrow out (0 or 1) in *borrow_out.
inline uint64_t sub_borrow(uint64_t a, uint64_t b, uint64_t borrow_in, uint64_t* borrow_out) {
    const unsigned __int128 t = (unsigned __int128)a - b - borrow_in;
    *borrow_out = uint64_t(t >> 64) & 1;
    return uint64_t(t);
}

// -x in place for x in two's complement over `limbs` little-endian words.
inline void negate(uint64_t* limb, int limbs) {
    uint64_t carry = 1;
    for (int k = 0; k < limbs; ++k) limb[k] = add_carry(~limb[k], 0, carry, &carry);
}

// Bit scans of a nonzero word.
inline int leading_zeros(uint64_t x) { return __builtin_clzll(x); }
inline int trailing_zeros(uint64_t x) { return __builtin_ctzll(x); }

}  // namespace vexa::wide
