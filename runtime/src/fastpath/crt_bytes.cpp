// The portable CRT and rounding of byte residues, four elements at a time in vector types
// that compilers lower to NEON or SSE: what the NEON engines run, and the portable int8 entry. The CRT
// is the AVX-512 pieces' (crt_avx512_vnni.cpp): y = sum_l r_l e_l with the basis e_l =
// inverse_l * Q_l in signed 16-bit words, each product below 2^23 and each word's sum below
// 2^28.4, so 32-bit lanes hold it; q = round(y / P) from the top three word sums; x = y - q P
// normalised to 16-bit digits by the carries. Then round_in_doubles where |x| < 2^157 (up to
// ten words: 19 moduli), exact::round_triple where that fails or x is wider. The one
// multiply-add per modulus and word per element is what a vector unit does well, where the
// per-element CRT (element::crt_one) takes a scalar 64-bit multiply per modulus and digit.
#include <cmath>
#include <cstdint>
#include <utility>

#include "exact/exact_core.h"
#include "fastpath/fastpath.h"
#include "fastpath/round_in_doubles.h"
#include "support/wide_int.h"

namespace vexa::fast {
namespace {

constexpr int kLanes = 4;
// Four 32-bit lanes: one NEON or SSE register, so that the word sums of up to ten words stay
// in registers on both. (GCC and Clang vector types; the compilers lower them to whatever
// the target has.)
using Lanes = int32_t __attribute__((vector_size(16)));

// Lanes [0, n) of x as J digits in [0, 2^16) of x mod 2^(16 J), and their signs.
// basis[l][j] is word j of e_l, and product[j] word j of P, as 32-bit integers.
template <int J>
void digits_of(const CrtPlan& t, const int32_t (*basis)[J], const int32_t* product, const uint8_t* residues,
               int64_t stride, int n, int32_t (*digit)[kLanes], bool* negative) {
    Lanes acc[J] = {};
    for (int l = 0; l < t.count; ++l) {
        const uint8_t* row = residues + l * stride;
        const Lanes r = n == kLanes ? Lanes{row[0], row[1], row[2], row[3]}
                                    : Lanes{row[0], n > 1 ? row[1] : 0, n > 2 ? row[2] : 0, 0};
        for (int j = 0; j < J; ++j) acc[j] += r * basis[l][j];
    }
    constexpr int kTop = J < 3 ? J : 3;
    const double inverse = std::ldexp(t.product_inverse, 16 * (J - kTop));
    constexpr double kRound = 0x1.8p52;  // adding and taking it away rounds to an integer
    Lanes q;
    for (int i = 0; i < kLanes; ++i) {
        double y = 0;
        for (int j = J - 1; j >= J - kTop; --j) y = y * 65536.0 + double(acc[j][i]);
        q[i] = int32_t((y * inverse + kRound) - kRound);
    }
    Lanes carry = {};
    for (int j = 0; j < J; ++j) {
        const Lanes v = acc[j] - q * product[j] + carry;
        const Lanes d = v & 0xffff;
        for (int i = 0; i < kLanes; ++i) digit[j][i] = d[i];
        carry = v >> 16;  // arithmetic: the floor
    }
    for (int i = 0; i < kLanes; ++i) negative[i] = carry[i] < 0;
}

// The 64-bit limbs of x (two's complement, the sign copied above 16 J bits) of lane i.
template <int J>
void limbs_of(const int32_t (*digit)[kLanes], int i, bool negative, uint64_t* limb, int limbs) {
    for (int k = 0; k < limbs; ++k) limb[k] = negative ? ~uint64_t(0) : 0;
    for (int j = 0; j < J; ++j) {
        uint64_t& to = limb[j / 4];
        const int at = 16 * (j % 4);
        to = (to & ~(uint64_t(0xffff) << at)) | (uint64_t(digit[j][i]) << at);
    }
}

template <int J>
void crt_round_words(const CrtPlan& t, const uint8_t* residues, int64_t stride, int count, int64_t scale_base,
                     const int32_t* scale, double* hi, double* lo, float* res, uint8_t* zero) {
    constexpr int kLimbs = (J + 3) / 4 > 3 ? (J + 3) / 4 : 3;
    const WordBasis& w = t.word_basis;
    int32_t basis[kMaxModuli][J], product[J];
    for (int l = 0; l < t.count; ++l)
        for (int j = 0; j < J; ++j) basis[l][j] = int16_t(uint16_t(w.basis[(l / 2) * J + j] >> (16 * (l % 2))));
    for (int j = 0; j < J; ++j) product[j] = int16_t(uint16_t(w.product_words[j]));
    for (int e0 = 0; e0 < count; e0 += kLanes) {
        const int n = count - e0 < kLanes ? count - e0 : kLanes;
        int32_t digit[J][kLanes];
        bool negative[kLanes];
        digits_of<J>(t, basis, product, residues + e0, stride, n, digit, negative);
        for (int i = 0; i < n; ++i) {
            const int e = e0 + i;
            int32_t any = 0;
            for (int j = 0; j < J; ++j) any |= digit[j][i];
            zero[e] = any == 0;
            if (!any) {
                hi[e] = 0.0, lo[e] = 0.0, res[e] = 0.0f;
                continue;
            }
            uint64_t limb[kLimbs];
            limbs_of<J>(digit, i, negative[i], limb, kLimbs);
            if (J <= 10 && round_in_doubles(limb, scale_base + scale[e], &hi[e], &lo[e], &res[e])) continue;
            if (negative[i]) wide::negate(limb, kLimbs);
            exact::round_triple(negative[i], limb, kLimbs, scale_base + scale[e], &hi[e], &lo[e], &res[e]);
        }
    }
}

template <int... J>
void dispatch_words(std::integer_sequence<int, J...>, const CrtPlan& t, const uint8_t* residues, int64_t stride,
                    int count, int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                    uint8_t* zero) {
    ((t.word_basis.words == J + 1
          ? crt_round_words<J + 1>(t, residues, stride, count, scale_base, scale, hi, lo, res, zero)
          : void()),
     ...);
}

}  // namespace

void portable_crt_round(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
                        int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                        uint8_t* zero) {
    dispatch_words(std::make_integer_sequence<int, kMaxWords>(), plan, residues, stride, count, scale_base, scale,
                   hi, lo, res, zero);
}

}  // namespace vexa::fast
