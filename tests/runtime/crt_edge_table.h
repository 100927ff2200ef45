// The labelled table of integers at the edges of the CRT pieces' vector roundings
// (test_crt.cpp for the int8 engine, test_crt_words.cpp for the int16 engine), laid out
// at every lane of a group, and the check of the rounded words against GMP.
#pragma once

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "exact_oracle.h"

namespace crt_edges {

struct Case {
    const char* label;
    mpz_class x;
    int64_t top;  // the exponent of x * 2^scale's leading bit
};

inline mpz_class pow2(unsigned long e) {
    mpz_class x = 1;
    x <<= e;
    return x;
}

// Words of the magnitude empty, full or just carried into (leading-zero counts 0, 31, 32,
// 63 and 64), remainders that vanish after hi or lo, remainders whose top word is empty
// (the elements sent to the scalar rounding), ties in all three words, scales that make
// each word subnormal or carry it to the top of its format, and integers wider than three
// words. The exact zero has no sign here (the caller sets it) and the oracle's +0 is what
// the pieces write.
inline const std::vector<Case>& table() {
    static const std::vector<Case> cases = [] {
        const mpz_class hi_tie = (pow2(52) + 1) * pow2(11) + pow2(10);                              // 64 bits
        const mpz_class lo_tie = (pow2(52) + 1) * pow2(64) + (pow2(52) + 1) * pow2(11) + pow2(10);  // 117 bits
        const mpz_class res_tie = (pow2(52) + 1) * pow2(90) + (pow2(52) + 1) * pow2(37) +
                                  (pow2(23) + 1) * pow2(13) + pow2(12);  // 143 bits
        return std::vector<Case>{
            {"zero", 0, 0},
            {"one", 1, 0},
            {"one, subnormal hi", 1, -1040},
            {"one, hi at the bottom of the normals", 1, -1022},
            {"word 0 half full", pow2(32) - 1, 31},
            {"word 0 upper half starts", pow2(32), 32},
            {"word 0 full", pow2(64) - 1, 63},
            {"word 0 full, hi at the top", pow2(64) - 1, 1023},
            {"word 1 starts", pow2(64), 64},
            {"word 1 starts plus one, lo below hi", pow2(64) + 1, 64},
            {"word 1 upper half starts", pow2(96) + 5, 96},
            {"word 1 full", pow2(128) - 1, 127},
            {"word 2 starts", pow2(128), 128},
            {"word 2 starts plus one: empty top word after hi", pow2(128) + 1, 0},
            {"word 2 full", pow2(192) - 1, 191},
            {"past three words", pow2(192) + pow2(100) + 3, 192},
            {"53 bits: nothing after hi", (pow2(53) - 1) * pow2(70), 122},
            {"106 bits: nothing after lo", (pow2(53) - 1) * pow2(70) + (pow2(52) + 3), 10},
            {"hi tie, odd significand", hi_tie, 63},
            {"hi tie, even significand", hi_tie + pow2(11), 63},
            {"hi tie broken by a low bit", hi_tie * pow2(40) + 1, 103},
            {"lo tie", lo_tie, 116},
            {"lo tie, lo subnormal", lo_tie, -960},
            {"res tie", res_tie, 142},
            {"res tie, res subnormal", res_tie, -40},
            {"res at float's top", res_tie, 127 + 106},
            {"res just over float's top", pow2(130) - 1, 127 + 107},
            {"hi carries to 2^1024", pow2(60) - 1, 1023},
            {"hi subnormal, all three nonzero", res_tie, -1030},
            // Where 53-bit fields of the integer begin and end, and the rounding intervals of
            // a power of two, whose lower half is half as wide.
            {"53-bit field 0 full", pow2(53) - 1, 52},
            {"53-bit field 1 starts", pow2(53), 53},
            {"53-bit fields 0 and 1 full", pow2(106) - 1, 105},
            {"53-bit field 2 starts, plus one", pow2(106) + 1, 106},
            {"53-bit field 2 near 2^157", pow2(156) + pow2(100) + 1, 156},
            {"a quarter ulp below a power of two: tie", pow2(120) - pow2(66), 119},
            {"just above a quarter ulp below a power of two", pow2(120) - pow2(66) + 1, 119},
            {"just below a quarter ulp below a power of two", pow2(120) - pow2(66) - 1, 119},
            {"half an ulp above a power of two, plus one", pow2(120) + pow2(67) + 1, 120},
            {"hi tie broken 80 bits down", hi_tie * pow2(80) + 1, 143},
            {"lo at the bottom of the normals", pow2(60) + 1, -962},
            {"lo a binade above the bottom of the normals", pow2(60) + 1, -961},
            {"res at the bottom of float's normals", (pow2(53) + 1) * pow2(60) + 1, -126 + 113},
            {"res a binade above the bottom of float's normals", (pow2(53) + 1) * pow2(60) + 1, -125 + 113},
        };
    }();
    return cases;
}

// One run: the table's cases from some point on, starting at some lane, the filler 3
// elsewhere; at[e] is the case of element e (null for filler).
struct Run {
    std::vector<mpz_class> xs;
    std::vector<int32_t> scale;
    std::vector<const Case*> at;
};

// check(run) for every run length in `runs`, every stretch of the table's cases up to
// `limit` in magnitude (both signs) and every start within a group of `group` lanes.
template <class Check>
void for_each_run(const mpz_class& limit, std::initializer_list<int> runs, int group, Check&& check) {
    std::vector<std::pair<const Case*, int>> cases;  // case, sign
    for (const Case& c : table())
        if (c.x <= limit)
            for (int sign : {1, -1}) cases.emplace_back(&c, sign);
    for (int run : runs)
        for (size_t first = 0; first < cases.size(); first += size_t(group))
            for (int lane = 0; lane < group; ++lane) {
                Run r{std::vector<mpz_class>(size_t(run), mpz_class(3)), std::vector<int32_t>(size_t(run), 0),
                      std::vector<const Case*>(size_t(run), nullptr)};
                for (int e = lane; e < run && first + size_t(e - lane) < cases.size(); ++e) {
                    const auto& [c, sign] = cases[first + size_t(e - lane)];
                    r.xs[size_t(e)] = sign * c->x;
                    const int64_t bits = c->x == 0 ? 1 : int64_t(mpz_sizeinbase(c->x.get_mpz_t(), 2));
                    r.scale[size_t(e)] = int32_t(c->top - (bits - 1));
                    r.at[size_t(e)] = c;
                }
                check(r);
                if (::testing::Test::HasFatalFailure()) return;
            }
}

// The words and zero flags of a run against the oracle's, element by element.
inline void expect_words(const char* name, int moduli, const Run& r, const double* hi, const double* lo,
                         const float* res, const uint8_t* zero) {
    for (size_t e = 0; e < r.xs.size(); ++e) {
        const mpz_class& x = r.xs[e];
        ASSERT_EQ(zero[e], x == 0 ? 1 : 0) << name << ", " << moduli << " moduli, element " << e;
        const vexa_test::Triple want = vexa_test::reference_words(x, r.scale[e]);
        const vexa_test::Triple got{hi[e], lo[e], res[e]};
        ASSERT_TRUE(vexa_test::same_bits(got, want))
            << name << ", " << moduli << " moduli, run " << r.xs.size() << ", element " << e << " ("
            << (r.at[e] ? r.at[e]->label : "filler") << "): x = " << x.get_str(16) << " * 2^" << r.scale[e]
            << ": got " << vexa_test::describe(got) << ", want " << vexa_test::describe(want);
    }
}

}  // namespace crt_edges
