// Lines of doubles built to a chosen integer width, and their exact integers and residues
// through GMP: what the residue tests of each engine share.
#pragma once

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace fastpath_test {

// `size` elements filled with `fill`, from a 64-byte boundary on: the residue pieces may
// store whole aligned vectors otherwise than the others, and std::vector's large blocks
// start 16 bytes into a page.
template <class T>
class AlignedBuffer {
public:
    AlignedBuffer(size_t size, T fill) : storage_(size + 64, fill) {
        offset_ = (64 - reinterpret_cast<uintptr_t>(storage_.data()) % 64) % 64 / sizeof(T);
    }
    T* data() { return storage_.data() + offset_; }
    T operator[](size_t e) const { return storage_[offset_ + e]; }

private:
    std::vector<T> storage_;
    size_t offset_;
};

// The exact integer x * 2^-shift (x must be a multiple of 2^shift).
inline mpz_class scaled_integer(double x, int32_t shift) {
    if (x == 0) return 0;
    int e;
    const double f = std::frexp(x, &e);
    mpz_class v(std::ldexp(f, 53));  // x = v * 2^(e - 53), exactly
    const long s = long(e) - 53 - shift;
    if (s >= 0) {
        mpz_mul_2exp(v.get_mpz_t(), v.get_mpz_t(), static_cast<mp_bitcnt_t>(s));
    } else {
        EXPECT_GE(mpz_scan1(v.get_mpz_t(), 0), static_cast<mp_bitcnt_t>(-s)) << x << " is not a multiple of 2^" << shift;
        mpz_fdiv_q_2exp(v.get_mpz_t(), v.get_mpz_t(), static_cast<mp_bitcnt_t>(-s));
    }
    return v;
}

// v mod p in [0, p).
inline int residue_of(const mpz_class& v, int p) {
    return int(mpz_fdiv_ui(v.get_mpz_t(), static_cast<unsigned long>(p)));
}

// `count` elements, each m * 2^shift with |m| an integer below 2^width and at most 53
// significant bits; the first has exactly `width` bits. Some are zero, some negative zero.
inline std::vector<double> line_of_width(int width, int32_t shift, int64_t count, std::mt19937_64& rng) {
    std::vector<double> x(static_cast<size_t>(count));
    for (int64_t k = 0; k < count; ++k) {
        const uint64_t kind = rng() % 16;
        if (k > 0 && kind == 0) continue;
        if (k > 0 && kind == 1) {
            x[size_t(k)] = -0.0;
            continue;
        }
        // The top bit, then a significand of up to 53 bits ending at or above bit 0.
        const int top = k == 0 ? width - 1 : int(rng() % uint64_t(width));
        const int length = 1 + int(rng() % uint64_t(std::min(top + 1, 53)));
        uint64_t m = (uint64_t(1) << (length - 1)) | (rng() & ((uint64_t(1) << (length - 1)) - 1));
        if (kind == 2) m = (uint64_t(1) << (length - 1)) | 1;  // the far ends only
        if (kind == 3) m = (uint64_t(1) << length) - 1;        // all ones: the largest digit sums
        const double v = std::ldexp(double(m), top - length + 1 + shift);
        x[size_t(k)] = (rng() & 1) ? -v : v;
    }
    return x;
}

struct Line {
    int width;
    int32_t shift;
};

// A shift that keeps every element of a line of this width a finite double, drawn from
// the whole range including the subnormal one.
inline int32_t shift_for_width(int width, std::mt19937_64& rng) {
    const int low = -1074, high = 1024 - width;
    return int32_t(low + int(rng() % uint64_t(high - low + 1)));
}

}  // namespace fastpath_test
