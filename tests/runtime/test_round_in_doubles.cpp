// The scalar floating-point rounding of the portable CRT (fastpath/round_in_doubles.h)
// against the GMP oracle: whatever it accepts must be the oracle's words bit for bit, and it
// must accept nearly every integer whose words are all far from the edges of their formats.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>

#include "crt_edge_table.h"
#include "exact_oracle.h"
#include "fastpath/round_in_doubles.h"

namespace {

// The three little-endian limbs of x's two's complement, |x| < 2^157.
void limbs_of(const mpz_class& x, uint64_t* w) {
    mpz_class u = x;
    if (u < 0) u += crt_edges::pow2(192);
    w[0] = w[1] = w[2] = 0;
    size_t count = 0;
    mpz_export(w, &count, -1, sizeof(uint64_t), 0, 0, u.get_mpz_t());
}

// Rounds x * 2^scale; returns whether the function took it, checking its words if so.
bool check(const mpz_class& x, int64_t scale, const char* label) {
    uint64_t w[3];
    limbs_of(x, w);
    double hi = 7, lo = 7;
    float res = 7;
    if (!vexa::fast::round_in_doubles(w, scale, &hi, &lo, &res)) {
        EXPECT_TRUE(hi == 7 && lo == 7 && res == 7) << label << ": wrote words while declining";
        return false;
    }
    const vexa_test::Triple want = vexa_test::reference_words(x, scale), got{hi, lo, res};
    EXPECT_TRUE(vexa_test::same_bits(got, want)) << label << ": x = " << x.get_str(16) << " * 2^" << scale
                                                 << ": got " << vexa_test::describe(got) << ", want "
                                                 << vexa_test::describe(want);
    return true;
}

TEST(RoundInDoubles, EdgeTableBothSignsMatchesTheOracleWhereTaken) {
    for (const crt_edges::Case& c : crt_edges::table()) {
        if (c.x == 0 || c.x >= crt_edges::pow2(157)) continue;
        const int64_t bits = int64_t(mpz_sizeinbase(c.x.get_mpz_t(), 2));
        for (int sign : {1, -1}) check(sign * c.x, c.top - (bits - 1), c.label);
    }
}

// Random integers of every width below 157 bits and either sign, at scales across the whole
// range of the formats: every accepted one exact; where all three words land well inside
// their normal ranges, all but a handful accepted (a random integer is a tie or within a
// quarter ulp of a power of two's edge about once in 2^50).
TEST(RoundInDoubles, RandomIntegersMatchTheOracleAndAreMostlyTaken) {
    std::mt19937_64 gen(157);
    gmp_randclass bits(gmp_randinit_default);
    bits.seed(157);
    int inside = 0, taken_inside = 0;
    for (int i = 0; i < 20000; ++i) {
        const int width = 1 + int(gen() % 156);
        mpz_class x = bits.get_z_bits(width) | crt_edges::pow2(width - 1);
        if (gen() & 1) x = -x;
        // Central: hi's exponent in [0, 100], so lo's and res's stay normal too.
        const bool central = gen() % 4 != 0;
        const int64_t scale = central ? int64_t(gen() % 101) - (width - 1) : int64_t(gen() % 2400) - 1250;
        const bool taken = check(x, scale, "random");
        if (::testing::Test::HasFailure()) return;
        if (central && width > 110) {
            ++inside;
            taken_inside += taken;
        }
    }
    ASSERT_GT(inside, 1000);
    EXPECT_GE(taken_inside, inside - 5) << "declined " << inside - taken_inside << " of " << inside;
}

}  // namespace
