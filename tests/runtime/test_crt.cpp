// The CRT reassembly of the int8 fast path against GMP: residues of known integers in, the
// integers out (the reference, fast::portable_crt), and their rounded words (Int8Ops::crt_round
// of every registry entry), for every modulus count.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crt_edge_table.h"
#include "exact_oracle.h"
#include "fastpath/int8_fastpath.h"
#include "fastpath_support.h"

namespace {

namespace int8 = vexa::int8;
using namespace fastpath_test;

struct Implementation {
    const char* name;
    const int8::Int8Ops* ops;
};
Implementation implementation(const EntryParam& p) { return {p.entry->id, p.entry->int8}; }

// The CRT and rounding of every int8 entry, the portable reference included.
class CrtRound : public EntryTest {};

mpz_class from_digits(const uint32_t* d, int count, int64_t step) {
    mpz_class x = 0;
    for (int i = count; i-- > 0;) {
        x <<= 32;
        x += static_cast<unsigned long>(d[i * step]);
    }
    return x;
}

void to_digits(const mpz_class& x, uint32_t* d, int count) {
    mpz_class rest = x;
    for (int i = 0; i < count; ++i) {
        const mpz_class low = rest & mpz_class(0xffffffffu);
        d[i] = static_cast<uint32_t>(low.get_ui());
        rest >>= 32;
    }
}

// x as `words` signed 16-bit digits, each in [-2^15, 2^15), x = sum_j d_j 2^(16 j).
std::vector<int16_t> signed_words(mpz_class x, int words) {
    std::vector<int16_t> d;
    for (int j = 0; j < words; ++j) {
        mpz_class digit = x & mpz_class(0xffff);
        if (digit >= 0x8000) digit -= 0x10000;
        d.push_back(int16_t(digit.get_si()));
        x = (x - digit) >> 16;
    }
    return d;
}

struct Plan;
void set_word_basis(Plan& plan);

// The plan for `count` moduli of the list from `first` on, built with GMP from its
// documented meaning.
struct Plan {
    int8::CrtPlan crt;
    std::vector<int> moduli;
    mpz_class product;
};

Plan plan_for(int count, int first = 0) {
    const int* list = nullptr;
    int8::modulus_list(&list);
    Plan plan;
    plan.moduli.assign(list + first, list + first + count);
    plan.product = 1;
    for (int p : plan.moduli) plan.product *= p;
    int8::CrtPlan& t = plan.crt;
    t.count = count;
    const int bits = int(mpz_sizeinbase(plan.product.get_mpz_t(), 2));
    t.digits = (bits + 7 + 31) / 32;
    to_digits(plan.product, t.product, int8::kMaxDigits);
    t.product_inverse = 1.0 / plan.product.get_d();
    for (int l = 0; l < count; ++l) {
        const int p = plan.moduli[size_t(l)];
        const mpz_class cofactor = plan.product / p;
        to_digits(cofactor, t.cofactor[l], int8::kMaxDigits);
        mpz_class inverse;
        const mpz_class modulus = p;
        mpz_invert(inverse.get_mpz_t(), cofactor.get_mpz_t(), modulus.get_mpz_t());
        t.p[l] = uint32_t(p);
        t.inverse[l] = uint32_t(inverse.get_ui());
        t.reciprocal[l] = ~uint64_t(0) / uint64_t(p) + 1;  // floor(2^64 / p) + 1, 2^64 / p for 2^k
        t.inverse_shoup[l] = uint16_t((uint64_t(t.inverse[l]) << 16) / uint64_t(p));
    }
    set_word_basis(plan);
    return plan;
}

// The basis e_l = inverse_l * Q_l in signed 16-bit digits, two moduli to a 32-bit word.
void set_word_basis(Plan& plan) {
    int8::CrtPlan& t = plan.crt;
    vexa::fast::WordBasis& w = t.word_basis;
    w.words = int(mpz_sizeinbase(plan.product.get_mpz_t(), 2) + 2 + 15) / 16;
    const std::vector<int16_t> product = signed_words(plan.product, w.words);
    for (int j = 0; j < w.words; ++j) w.product_words[j] = uint16_t(product[size_t(j)]);
    for (int l = 0; l < t.count; ++l) {
        const mpz_class e = mpz_class(plan.product / plan.moduli[size_t(l)]) * t.inverse[l];
        const std::vector<int16_t> d = signed_words(e, w.words);
        for (int j = 0; j < w.words; ++j)
            w.basis[(l / 2) * w.words + j] |= uint32_t(uint16_t(d[size_t(j)])) << (16 * (l % 2));
    }
}

// Integers the fast path may hand over: |x| <= P / 2^(1 + 2^-10) (what moduli_above_twice
// guarantees), drawn across all sizes, with the extremes and values near zero included.
std::vector<mpz_class> samples(const mpz_class& product, std::mt19937_64& gen, int count) {
    // floor(P / 2.0014) is below P / 2^(1 + 2^-10).
    const mpz_class limit = product * 10000 / 20014;
    gmp_randclass rand(gmp_randinit_default);
    rand.seed(static_cast<unsigned long>(gen()));
    std::vector<mpz_class> xs = {0, 1, -1, limit, -limit, limit - 1, -(limit - 1)};
    while (int(xs.size()) < count) {
        const unsigned long bits = 1 + gen() % mpz_sizeinbase(limit.get_mpz_t(), 2);
        mpz_class x = rand.get_z_bits(bits);
        if (x > limit) x = limit;
        if (gen() & 1) x = -x;
        xs.push_back(x);
    }
    return xs;
}

// Residues of the first `run` of xs modulo each of the plan's moduli, x_e mod p_l at
// l * stride + e; the entries between runs hold 0xee.
std::vector<uint8_t> residues_of(const Plan& plan, const std::vector<mpz_class>& xs, int run,
                                 int64_t stride) {
    const int count = int(plan.moduli.size());
    std::vector<uint8_t> residues(size_t(count * stride), 0xee);
    for (int l = 0; l < count; ++l)
        for (size_t e = 0; e < size_t(run); ++e) {
            mpz_class r;
            const mpz_class modulus = plan.moduli[size_t(l)];
            mpz_fdiv_r(r.get_mpz_t(), xs[e].get_mpz_t(), modulus.get_mpz_t());
            residues[size_t(l * stride) + e] = uint8_t(r.get_ui());
        }
    return residues;
}

TEST(Crt, RebuildsEveryIntegerForEveryModulusCount) {
    std::mt19937_64 gen(5);
    for (int count = 1; count <= int8::kMaxModuli; ++count) {
        const Plan plan = plan_for(count);
        ASSERT_LE(plan.crt.digits, int8::kMaxDigits);
        // Runs of every length up to kCrtRun, residues stored with a stride of their own.
        for (int run : {int8::kCrtRun, 1, 15, 16, 17, 37}) {
            const int64_t stride = run + 3;
            const std::vector<mpz_class> xs = samples(plan.product, gen, run);
            const std::vector<uint8_t> residues = residues_of(plan, xs, run, stride);
            // Poisoned past `run`: those entries must stay as they were.
            std::vector<uint32_t> magnitude(size_t(int8::kMaxDigits * int8::kCrtRun), 0xdeadbeef);
            std::vector<uint8_t> negative(size_t(int8::kCrtRun), 7);
            vexa::fast::portable_crt(plan.crt, residues.data(), stride, run, magnitude.data(), negative.data());
            for (int e = 0; e < run; ++e) {
                const mpz_class got_magnitude =
                    from_digits(magnitude.data() + e, plan.crt.digits, int8::kCrtRun);
                const mpz_class& want = xs[size_t(e)];
                ASSERT_EQ(got_magnitude, mpz_class(abs(want)))
                    << count << " moduli, run " << run << ", element " << e
                    << ": x = " << want.get_str();
                ASSERT_EQ(negative[size_t(e)], want < 0 ? 1 : 0)
                    << count << " moduli, element " << e;
            }
            for (int e = run; e < int8::kCrtRun; ++e) {
                ASSERT_EQ(negative[size_t(e)], 7) << "wrote past the run";
                for (int j = 0; j < int8::kMaxDigits; ++j)
                    ASSERT_EQ(magnitude[size_t(j * int8::kCrtRun + e)], 0xdeadbeefu)
                        << "wrote past the run";
            }
        }
    }
}

TEST(Crt, FollowsAChangeOfPlanOnTheSameThread) {
    // Plans alternating in the same storage, two of them with the same modulus count but
    // other moduli: whatever an implementation keeps from one call must not leak into the next.
    const Plan plans[] = {plan_for(21), plan_for(9), plan_for(21, 3), plan_for(21)};
    int8::CrtPlan shared;
    std::mt19937_64 gen(9);
    for (int round = 0; round < 12; ++round) {
        const Plan& plan = plans[round % 4];
        shared = plan.crt;
        const std::vector<mpz_class> xs = samples(plan.product, gen, int8::kCrtRun);
        std::vector<uint8_t> residues(size_t(plan.crt.count * int8::kCrtRun));
        for (int l = 0; l < plan.crt.count; ++l)
            for (int e = 0; e < int8::kCrtRun; ++e) {
                mpz_class r;
                const mpz_class modulus = plan.moduli[size_t(l)];
                mpz_fdiv_r(r.get_mpz_t(), xs[size_t(e)].get_mpz_t(), modulus.get_mpz_t());
                residues[size_t(l * int8::kCrtRun + e)] = uint8_t(r.get_ui());
            }
        std::vector<uint32_t> magnitude(size_t(int8::kMaxDigits * int8::kCrtRun));
        std::vector<uint8_t> negative(size_t(int8::kCrtRun));
        vexa::fast::portable_crt(shared, residues.data(), int8::kCrtRun, int8::kCrtRun, magnitude.data(),
                                 negative.data());
        for (int e = 0; e < int8::kCrtRun; ++e) {
            mpz_class got = from_digits(magnitude.data() + e, shared.digits, int8::kCrtRun);
            if (negative[size_t(e)]) got = -got;
            ASSERT_EQ(got, xs[size_t(e)]) << "round " << round << ", element " << e;
        }
    }
}

// One run of elements of random magnitudes, scaled to land anywhere in the three formats.
void check_crt_round(const Implementation& impl, const Plan& plan, int run, std::mt19937_64& gen) {
    const int64_t stride = run + 5;
    const std::vector<mpz_class> xs = samples(plan.product, gen, run);
    const std::vector<uint8_t> residues = residues_of(plan, xs, run, stride);
    const int64_t scale_base = int64_t(gen() % 64) - 32;
    std::vector<int32_t> scale(size_t(run) + 8, 99999);  // poisoned past the run
    for (int e = 0; e < run; ++e) {
        const int64_t bits = int64_t(mpz_sizeinbase(xs[size_t(e)].get_mpz_t(), 2));
        const int64_t s = std::max<int64_t>(vexa_test::target_top(gen) - (bits - 1), -2148 + 40);
        scale[size_t(e)] = int32_t(s - scale_base);
    }
    const double kPoison = -3.25;
    std::vector<double> hi(size_t(run) + 8, kPoison), lo(size_t(run) + 8, kPoison);
    std::vector<float> res(size_t(run) + 8, float(kPoison));
    std::vector<uint8_t> zero(size_t(run) + 8, 7);
    impl.ops->crt_round(plan.crt, residues.data(), stride, run, scale_base, scale.data(),
                        hi.data(), lo.data(), res.data(), zero.data());
    for (int e = 0; e < run; ++e) {
        const mpz_class& x = xs[size_t(e)];
        ASSERT_EQ(zero[size_t(e)], x == 0 ? 1 : 0) << impl.name << ", " << plan.crt.count << " moduli, element " << e;
        const int64_t s = scale_base + scale[size_t(e)];
        const vexa_test::Triple want = vexa_test::reference_words(x, s);
        const vexa_test::Triple got{hi[size_t(e)], lo[size_t(e)], res[size_t(e)]};
        ASSERT_TRUE(vexa_test::same_bits(got, want))
            << impl.name << ", " << plan.crt.count << " moduli, run " << run << ", element " << e << ": x = " << x.get_str()
            << " * 2^" << s << ": got " << vexa_test::describe(got) << ", want "
            << vexa_test::describe(want);
    }
    for (size_t e = size_t(run); e < hi.size(); ++e)
        ASSERT_TRUE(hi[e] == kPoison && lo[e] == kPoison && res[e] == float(kPoison) && zero[e] == 7)
            << impl.name << " wrote past the run at " << e;
}

TEST_P(CrtRound, MatchesTheOracleForEveryModulusCount) {
    const Implementation impl = implementation(GetParam());
    std::mt19937_64 gen(17);
    for (int count = 1; count <= int8::kMaxModuli; ++count) {
        const Plan plan = plan_for(count);
        for (int run : {int8::kCrtRun, 1, 13, 16, 17, 50})
            ASSERT_NO_FATAL_FAILURE(check_crt_round(impl, plan, run, gen));
    }
}

// Values built to round up at the edges: all ones (hi rounds up to a power of two, to
// 2^1024 at the top), res of 25 ones (rounds up to 2^128 at float32's top: res = 0), and
// ties in hi and lo.
TEST_P(CrtRound, CarriesAtTheTopOfBothFormats) {
    const Plan plan = plan_for(23);  // P near 2^180: magnitudes of three limbs
    auto pow2 = [](unsigned long e) {
        mpz_class x = 1;
        x <<= e;
        return x;
    };
    const mpz_class words = (pow2(52) + 1) * pow2(120) + (pow2(52) + 1) * pow2(60);
    // (x, exponent of the bit that should land on the edge), edges 2^1023 and 2^127.
    const std::vector<std::pair<mpz_class, int64_t>> cases = {
        {pow2(100) - 1, 99},                          // hi all ones
        {pow2(170) - 1, 169},                         // hi all ones, three limbs
        {words + pow2(25) - 1, 24},                   // res all ones, rounding up
        {words + pow2(25) - 2, 24},                   // res all ones and one zero
        {(pow2(52) + 1) * pow2(60) + pow2(59), 112},  // hi tie, up to even
        {(pow2(52) + 2) * pow2(60) + pow2(59), 112},  // hi tie, down to even
        {words + pow2(59), 172},                      // lo tie
    };
    std::vector<mpz_class> xs;
    std::vector<int32_t> scale;
    for (const auto& [x, at] : cases)
        for (int sign : {1, -1})
            for (int64_t edge : {int64_t(1023), int64_t(127)})
                for (int64_t d = -2; d <= 1; ++d) {
                    xs.push_back(sign * x);
                    scale.push_back(int32_t(edge + d - at));
                }
    ASSERT_LE(xs.size(), size_t(2 * int8::kCrtRun));
    const Implementation impl = implementation(GetParam());
    const int count = plan.crt.count;
    for (size_t first = 0; first < xs.size(); first += int8::kCrtRun) {
        const int run = int(std::min<size_t>(int8::kCrtRun, xs.size() - first));
        std::vector<uint8_t> residues(size_t(count * run));
        for (int l = 0; l < count; ++l)
            for (int e = 0; e < run; ++e) {
                mpz_class r;
                const mpz_class modulus = plan.moduli[size_t(l)];
                mpz_fdiv_r(r.get_mpz_t(), xs[first + size_t(e)].get_mpz_t(), modulus.get_mpz_t());
                residues[size_t(l * run + e)] = uint8_t(r.get_ui());
            }
        std::vector<double> hi(static_cast<size_t>(run)), lo(static_cast<size_t>(run));
        std::vector<float> res(static_cast<size_t>(run));
        std::vector<uint8_t> zero(static_cast<size_t>(run));
        impl.ops->crt_round(plan.crt, residues.data(), run, run, 0, scale.data() + first, hi.data(),
                            lo.data(), res.data(), zero.data());
        for (int e = 0; e < run; ++e) {
            const mpz_class& x = xs[first + size_t(e)];
            const int64_t s = scale[first + size_t(e)];
            const vexa_test::Triple want = vexa_test::reference_words(x, s);
            const vexa_test::Triple got{hi[size_t(e)], lo[size_t(e)], res[size_t(e)]};
            EXPECT_TRUE(vexa_test::same_bits(got, want))
                << impl.name << ": x = " << x.get_str(16) << " * 2^" << s << ": got " << vexa_test::describe(got)
                << ", want " << vexa_test::describe(want);
        }
    }
}

// The labelled edge table (crt_edge_table.h), each case at every lane of a group of eight,
// in whole groups and in a run's last, partial one, for every modulus count whose P holds it.
TEST_P(CrtRound, EdgeTableInEveryLaneOfAGroup) {
    const Implementation impl = implementation(GetParam());
    for (int count = 1; count <= int8::kMaxModuli; ++count) {
        const Plan plan = plan_for(count);
        const mpz_class limit = plan.product * 10000 / 20014;
        crt_edges::for_each_run(limit, {int8::kCrtRun, int8::kCrtRun - 3, 5}, 8, [&](const crt_edges::Run& r) {
            const int run = int(r.xs.size());
            const std::vector<uint8_t> residues = residues_of(plan, r.xs, run, run);
            const size_t n = size_t(run);
            std::vector<double> hi(n), lo(n);
            std::vector<float> res(n);
            std::vector<uint8_t> zero(n);
            impl.ops->crt_round(plan.crt, residues.data(), run, run, 0, r.scale.data(), hi.data(), lo.data(),
                                res.data(), zero.data());
            crt_edges::expect_words(impl.name, count, r, hi.data(), lo.data(), res.data(), zero.data());
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, CrtRound,
                         ::testing::ValuesIn(entries_where([](const vexa::registry::Entry& e) { return e.int8 != nullptr; })),
                         param_name);

}  // namespace
