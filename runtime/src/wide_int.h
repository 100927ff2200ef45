// 128-bit products, divisions by a word and bit scans: the few wide-integer operations the
// fast path needs, in one place for every compiler it is built with.
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

// Bit scans of a nonzero word.
inline int leading_zeros(uint64_t x) { return __builtin_clzll(x); }
inline int trailing_zeros(uint64_t x) { return __builtin_ctzll(x); }

}  // namespace vexa::wide
