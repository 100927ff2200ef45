// The CRT of the fast path: the plan of a modulus list, and the per-element reconstruction
// (element::crt_one) behind the portable CRT of 16-bit residues and of float64 third words.
#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "exact/element_math.h"
#include "exact/exact_core.h"
#include "fastpath/fastpath.h"
#include "support/wide_int.h"

namespace vexa::fast {
namespace {

// Little-endian multi-limb natural numbers of fixed capacity kMaxLimbs.
struct Limbs {
    uint64_t w[kMaxLimbs] = {};
};

void mul_small(Limbs& x, uint64_t factor) {
    uint64_t carry = 0;
    for (uint64_t& limb : x.w) limb = wide::mul_add(limb, factor, carry, &carry);
}

uint64_t mod_small(const Limbs& x, uint64_t p) {
    uint64_t r = 0;
    for (int i = kMaxLimbs - 1; i >= 0; --i) wide::div_step(r, x.w[i], p, &r);
    return r;
}

// Exact division by a small divisor that is known to divide x.
Limbs div_small(const Limbs& x, uint64_t p) {
    Limbs q;
    uint64_t r = 0;
    for (int i = kMaxLimbs - 1; i >= 0; --i) q.w[i] = wide::div_step(r, x.w[i], p, &r);
    return q;
}

int bit_length(const Limbs& x) {
    for (int i = kMaxLimbs - 1; i >= 0; --i)
        if (x.w[i]) return 64 * i + 64 - wide::leading_zeros(x.w[i]);
    return 0;
}

void to_digits(const Limbs& x, uint32_t* d) {
    for (int i = 0; i < kMaxLimbs; ++i) {
        d[2 * i] = uint32_t(x.w[i]);
        d[2 * i + 1] = uint32_t(x.w[i] >> 32);
    }
}

// (a * b) mod p for a, b < p <= 2^16.
uint32_t mul_mod(uint32_t a, uint32_t b, uint32_t p) { return uint32_t(uint64_t(a) * b % p); }

using element::crt_one;

template <class Residue>
void crt_run(const CrtPlan& t, const Residue* residues, int64_t stride, int count,
             uint32_t* magnitude, uint8_t* negative) {
    for (int e = 0; e < count; ++e) {
        uint32_t y[kMaxDigits];
        bool neg;
        crt_one(t, residues, stride, e, y, &neg);
        for (int j = 0; j < t.digits; ++j) magnitude[j * kMaxRun + e] = y[j];
        negative[e] = neg;
    }
}

template <int D, class Residue, class Res>
void crt_round_digits(const CrtPlan& t, const Residue* residues, int64_t stride, int count,
                      int64_t scale_base, const int32_t* scale, double* hi, double* lo, Res* res,
                      uint8_t* zero) {
    constexpr int limbs = (D + 1) / 2;
    for (int e = 0; e < count; ++e) {
        uint32_t y[kMaxDigits + 1];
        bool neg;
        crt_one<D>(t, residues, stride, e, y, &neg);
        y[D] = 0;
        uint64_t mag[kMaxLimbs];
        uint64_t any = 0;
        for (int w = 0; w < limbs; ++w) {
            mag[w] = y[2 * w] | (uint64_t(y[2 * w + 1]) << 32);
            any |= mag[w];
        }
        zero[e] = any == 0;
        if (any) {
            exact::round_triple(neg, mag, limbs, scale_base + scale[e], &hi[e], &lo[e], &res[e]);
        } else {
            hi[e] = 0.0;
            lo[e] = 0.0;
            res[e] = 0;
        }
    }
}

template <int... D, class Residue, class Res>
void dispatch_digits(std::integer_sequence<int, D...>, const CrtPlan& t, const Residue* residues, int64_t stride,
                     int count, int64_t scale_base, const int32_t* scale, double* hi, double* lo, Res* res,
                     uint8_t* zero) {
    ((t.digits == D + 1 ? crt_round_digits<D + 1>(t, residues, stride, count, scale_base, scale, hi, lo, res, zero)
                        : void()),
     ...);
}

template <class Residue, class Res>
void crt_round_run(const CrtPlan& t, const Residue* residues, int64_t stride, int count,
                   int64_t scale_base, const int32_t* scale, double* hi, double* lo, Res* res,
                   uint8_t* zero) {
    dispatch_digits(std::make_integer_sequence<int, kMaxDigits>(), t, residues, stride, count, scale_base, scale,
                    hi, lo, res, zero);
}

// A number below 2^(16 words - 2), given in 64-bit limbs, as `words` digits d_j in
// [-2^15, 2^15) with x = sum_j d_j 2^(16 j). The top digit never carries out because the
// number stays below a quarter of the range.
void to_signed_words(const uint64_t* x, int words, int16_t* d) {
    int carry = 0;
    for (int j = 0; j < words; ++j) {
        const int v = int((x[j / 4] >> (16 * (j % 4))) & 0xffff) + carry;
        carry = v >= 0x8000;
        d[j] = int16_t(v - (carry << 16));
    }
}

}  // namespace

void derive_word_basis(CrtPlan& t) {
    WordBasis& w = t.word_basis;
    w = WordBasis();
    int bits = 0;
    for (int i = kMaxDigits - 1; i >= 0 && bits == 0; --i)
        if (t.product[i]) bits = 32 * i + 64 - wide::leading_zeros(t.product[i]);
    w.words = (bits + 2 + 15) / 16;

    constexpr int kLimbs = kMaxDigits / 2 + 1;  // one spare limb: reads past the top are zero
    auto limbs_of = [](const uint32_t* digits, uint64_t* limbs) {
        for (int i = 0; i < kLimbs; ++i) limbs[i] = 0;
        for (int i = 0; i < kMaxDigits; ++i) limbs[i / 2] |= uint64_t(digits[i]) << (32 * (i % 2));
    };
    uint64_t limbs[kLimbs];
    int16_t words[kMaxWords];
    limbs_of(t.product, limbs);
    to_signed_words(limbs, w.words, words);
    for (int j = 0; j < w.words; ++j) w.product_words[j] = uint16_t(words[j]);

    for (int l = 0; l < t.count; ++l) {
        limbs_of(t.cofactor[l], limbs);
        uint64_t carry = 0;  // e_l = inverse_l * Q_l < P: no carry out
        for (uint64_t& limb : limbs) limb = wide::mul_add(limb, t.inverse[l], carry, &carry);
        to_signed_words(limbs, w.words, words);
        for (int j = 0; j < w.words; ++j)
            w.basis[(l / 2) * w.words + j] |= uint32_t(uint16_t(words[j])) << (16 * (l % 2));
    }
}

void build_crt_plan(const ModulusList& list, int count, CrtPlan& t) {
    t = CrtPlan();
    t.count = count;
    Limbs product;
    product.w[0] = 1;
    for (int l = 0; l < count; ++l) mul_small(product, uint64_t(list.p[l]));
    t.digits = (bit_length(product) + 7 + 31) / 32;
    to_digits(product, t.product);
    double pd = 0;
    for (int i = kMaxDigits - 1; i >= 0; --i) pd = pd * 4294967296.0 + double(t.product[i]);
    t.product_inverse = 1.0 / pd;
    for (int l = 0; l < count; ++l) {
        const uint32_t p = uint32_t(list.p[l]);
        const Limbs cofactor = div_small(product, p);
        to_digits(cofactor, t.cofactor[l]);
        const uint32_t q_mod = uint32_t(mod_small(cofactor, p));
        uint32_t inv = 0;
        for (uint32_t v = 1; v < p && !inv; ++v)
            if (mul_mod(q_mod, v, p) == 1 % p) inv = v;
        t.p[l] = p;
        t.inverse[l] = inv;
        t.reciprocal[l] = ~uint64_t(0) / p + 1;
        t.inverse_shoup[l] = uint16_t((uint64_t(inv) << 16) / p);
    }
    derive_word_basis(t);
}

namespace {

// The plans of one modulus list, made up to `made` moduli so far.
struct CrtTable {
    std::vector<int> moduli;
    int made = 0;
    CrtPlan plans[kMaxModuli + 1];
};

// Every table lives as long as the process: a product may read one while another call
// extends it, and readers only ever look at plans below `made` as they found it under the
// lock. The engines have a list each, so the search is over a handful of tables.
std::mutex crt_tables_lock;
std::vector<std::unique_ptr<CrtTable>>& crt_tables() {
    static auto* tables = new std::vector<std::unique_ptr<CrtTable>>();
    return *tables;
}

}  // namespace

const CrtPlan* crt_plans(const ModulusList& list, int count) {
    count = std::min(count, std::min(list.count, kMaxModuli));
    std::lock_guard<std::mutex> hold(crt_tables_lock);
    std::vector<std::unique_ptr<CrtTable>>& tables = crt_tables();
    CrtTable* table = nullptr;
    for (const auto& t : tables)
        if (std::equal(t->moduli.begin(), t->moduli.end(), list.p, list.p + list.count)) table = t.get();
    if (!table) {
        auto made = std::make_unique<CrtTable>();
        made->moduli.assign(list.p, list.p + list.count);
        tables.reserve(tables.size() + 1);
        table = made.get();
        tables.push_back(std::move(made));
    }
    for (; table->made < count; ++table->made) build_crt_plan(list, table->made + 1, table->plans[table->made + 1]);
    return table->plans;
}

void portable_crt(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
                  uint32_t* magnitude, uint8_t* negative) {
    crt_run(plan, residues, stride, count, magnitude, negative);
}
void portable_crt_round(const CrtPlan& plan, const uint16_t* residues, int64_t stride, int count,
                        int64_t scale_base, const int32_t* scale, double* hi, double* lo,
                        float* res, uint8_t* zero) {
    crt_round_run(plan, residues, stride, count, scale_base, scale, hi, lo, res, zero);
}
template <class Residue>
void portable_crt_round_f64(const CrtPlan& plan, const Residue* residues, int64_t stride, int count,
                            int64_t scale_base, const int32_t* scale, double* hi, double* lo,
                            double* res, uint8_t* zero) {
    crt_round_run(plan, residues, stride, count, scale_base, scale, hi, lo, res, zero);
}
template void portable_crt_round_f64(const CrtPlan&, const uint8_t*, int64_t, int, int64_t,
                                     const int32_t*, double*, double*, double*, uint8_t*);
template void portable_crt_round_f64(const CrtPlan&, const uint16_t*, int64_t, int, int64_t,
                                     const int32_t*, double*, double*, double*, uint8_t*);

int moduli_for_bits(const ModulusList& list, int bits, int max_moduli) {
    Limbs p;
    p.w[0] = 1;
    const int limit = std::min(std::min(max_moduli, kMaxModuli), list.count);
    for (int l = 0; l < limit; ++l) {
        mul_small(p, uint64_t(list.p[l]));
        // P >= 2^bits exactly when its bit length exceeds bits.
        if (bit_length(p) > bits) return l + 1;
    }
    return 0;
}

}  // namespace vexa::fast
