// The int16 engine's CRT and rounding (Int16Ops::crt_round), every registry entry, against
// GMP: residues modulo 2^16 and the 13-bit primes of integers up to the largest the
// planning admits, for every modulus count, then the rounded words of x * 2^scale.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crt_edge_table.h"
#include "exact_oracle.h"
#include "fastpath_support.h"
#include "fastpath/int16_engine.h"

namespace {

namespace int16 = vexa::int16;
using namespace fastpath_test;

struct Implementation {
    const char* name;
    const int16::Int16Ops* ops;
};
Implementation implementation(const EntryParam& p) { return {p.entry->id, p.entry->int16}; }

// Every int16 entry of the registry, the portable reference included.
class CrtWords : public EntryTest {};

// Integers |x| <= P / 2.0014 (what the planning guarantees), all sizes, extremes included.
std::vector<mpz_class> samples(const mpz_class& product, std::mt19937_64& gen, int count) {
    const mpz_class limit = product * 10000 / 20014;
    gmp_randclass rand(gmp_randinit_default);
    rand.seed(static_cast<unsigned long>(gen()));
    std::vector<mpz_class> xs = {limit, -limit, 0, 1, -1, limit - 1, -(limit - 1)};
    while (int(xs.size()) < count) {
        mpz_class x = rand.get_z_bits(1 + gen() % mpz_sizeinbase(limit.get_mpz_t(), 2));
        if (x > limit) x = limit;
        xs.push_back(gen() & 1 ? -x : x);
    }
    xs.resize(size_t(count));
    std::shuffle(xs.begin(), xs.end(), gen);
    return xs;
}

// The product of the first `count` moduli.
mpz_class product_of(const vexa::fast::ModulusList& list, int count) {
    mpz_class product = 1;
    for (int l = 0; l < count; ++l) product *= list.p[l];
    return product;
}

// Residues of xs modulo each of the first `count` moduli, x_e mod p_l at l * stride + e;
// the entries past the xs hold 0xeeee.
std::vector<uint16_t> residues_of(const vexa::fast::ModulusList& list, int count, const std::vector<mpz_class>& xs,
                                  int64_t stride) {
    std::vector<uint16_t> residues(size_t(count * stride), 0xeeee);
    for (int l = 0; l < count; ++l)
        for (size_t e = 0; e < xs.size(); ++e) {
            mpz_class r;
            const mpz_class modulus = list.p[l];
            mpz_fdiv_r(r.get_mpz_t(), xs[e].get_mpz_t(), modulus.get_mpz_t());
            residues[size_t(l * stride) + e] = uint16_t(r.get_ui());
        }
    return residues;
}

TEST_P(CrtWords, MatchesTheOracleForEveryModulusCount) {
    const vexa::fast::ModulusList list = int16::moduli();
    std::mt19937_64 gen(23);
    const Implementation impl = implementation(GetParam());
    for (int count = 1; count <= list.count; ++count) {
        vexa::fast::CrtPlan plan;
        vexa::fast::build_crt_plan(list, count, plan);
        const mpz_class product = product_of(list, count);
        // Runs ending in each group of four, whole or not, and in either of a pair of groups
        // that share one pass over the moduli.
        for (int run : {int16::kPanelWidth, 1, 4, 5, 8, 9, 12, 15}) {
            const int64_t stride = run + 3;
            const std::vector<mpz_class> xs = samples(product, gen, run);
            const std::vector<uint16_t> residues = residues_of(list, count, xs, stride);
            const int64_t scale_base = int64_t(gen() % 64) - 32;
            std::vector<int32_t> scale(size_t(int16::kPanelWidth), 99999);
            for (int e = 0; e < run; ++e) {
                const int64_t bits = int64_t(mpz_sizeinbase(xs[size_t(e)].get_mpz_t(), 2));
                scale[size_t(e)] = int32_t(std::max<int64_t>(vexa_test::target_top(gen) - (bits - 1), -2148 + 40) - scale_base);
            }
            const double kPoison = -3.25;
            std::vector<double> hi(size_t(int16::kPanelWidth), kPoison), lo(hi);
            std::vector<float> res(size_t(int16::kPanelWidth), float(kPoison));
            std::vector<uint8_t> zero(size_t(int16::kPanelWidth), 7);
            impl.ops->crt_round(plan, residues.data(), stride, run, scale_base, scale.data(), hi.data(),
                                lo.data(), res.data(), zero.data());
            for (int e = 0; e < run; ++e) {
                const mpz_class& x = xs[size_t(e)];
                ASSERT_EQ(zero[size_t(e)], x == 0 ? 1 : 0) << impl.name << " " << count << " moduli";
                const int64_t s = scale_base + scale[size_t(e)];
                const vexa_test::Triple want = vexa_test::reference_words(x, s);
                const vexa_test::Triple got{hi[size_t(e)], lo[size_t(e)], res[size_t(e)]};
                ASSERT_TRUE(vexa_test::same_bits(got, want))
                    << impl.name << ", " << count << " moduli, run " << run << ", element " << e
                    << ": x = " << x.get_str() << " * 2^" << s << ": got " << vexa_test::describe(got)
                    << ", want " << vexa_test::describe(want);
            }
            for (size_t e = size_t(run); e < hi.size(); ++e)
                ASSERT_TRUE(hi[e] == kPoison && lo[e] == kPoison && res[e] == float(kPoison) && zero[e] == 7)
                    << impl.name << " wrote past the run at " << e;
        }
    }
}

// Every residue of every prime of every plan: the coefficient r * (Q_l mod p_l)^-1 mod p_l
// then takes every value, those just below and just above a multiple of p_l included,
// where a quotient estimate is most easily off by one.
TEST_P(CrtWords, EveryResidueOfEveryPrimeInEveryPlan) {
    const vexa::fast::ModulusList list = int16::moduli();
    const int run = int16::kPanelWidth;
    const Implementation impl = implementation(GetParam());
    for (int count = 2; count <= list.count; ++count) {
        vexa::fast::CrtPlan plan;
        vexa::fast::build_crt_plan(list, count, plan);
        std::vector<uint16_t> residues(size_t(count * run));
        const std::vector<int32_t> scale(static_cast<size_t>(run), 0);
        std::vector<double> hi(static_cast<size_t>(run)), lo(static_cast<size_t>(run));
        std::vector<float> res(static_cast<size_t>(run));
        std::vector<uint8_t> zero(static_cast<size_t>(run));
        int64_t bad = 0;
        for (int prime = 1; prime < count; ++prime) {
            const int p = list.p[prime];
            for (int64_t first = -(p - 1); first < p; first += run) {
                for (int l = 0; l < count; ++l)
                    for (int e = 0; e < run; ++e)
                        residues[size_t(l * run + e)] =
                            uint16_t(((first + e) % list.p[l] + list.p[l]) % list.p[l]);
                impl.ops->crt_round(plan, residues.data(), run, run, 0, scale.data(), hi.data(), lo.data(),
                                    res.data(), zero.data());
                for (int e = 0; e < run; ++e)
                    if (hi[size_t(e)] != double(first + e) || lo[size_t(e)] != 0.0 || res[size_t(e)] != 0.0f ||
                        zero[size_t(e)] != (first + e == 0 ? 1 : 0))
                        if (++bad <= 3)
                            ADD_FAILURE() << impl.name << ", " << count << " moduli: x = " << first + e
                                          << " came back as " << hi[size_t(e)];
            }
        }
        EXPECT_EQ(bad, 0) << impl.name << ", " << count << " moduli";
    }
}

// The labelled edge table (crt_edge_table.h), each case at every lane of a group of four,
// in whole groups and in a run's last, partial one, for every modulus count whose P holds
// it: up to three 64-bit words the vector rounding, wider integers the scalar one.
TEST_P(CrtWords, EdgeTableInEveryLaneOfAGroup) {
    const vexa::fast::ModulusList list = int16::moduli();
    const Implementation impl = implementation(GetParam());
    for (int count = 1; count <= list.count; ++count) {
        vexa::fast::CrtPlan plan;
        vexa::fast::build_crt_plan(list, count, plan);
        const mpz_class limit = product_of(list, count) * 10000 / 20014;
        crt_edges::for_each_run(limit, {int16::kPanelWidth, int16::kPanelWidth - 3, 6}, 4,
                                [&](const crt_edges::Run& r) {
            const int run = int(r.xs.size());
            const std::vector<uint16_t> residues = residues_of(list, count, r.xs, run);
            const double kPoison = -3.25;
            const size_t n = size_t(int16::kPanelWidth);
            std::vector<double> hi(n, kPoison), lo(n, kPoison);
            std::vector<float> res(n, float(kPoison));
            std::vector<uint8_t> zero(n, 7);
            impl.ops->crt_round(plan, residues.data(), run, run, 0, r.scale.data(), hi.data(), lo.data(),
                                res.data(), zero.data());
            crt_edges::expect_words(impl.name, count, r, hi.data(), lo.data(), res.data(), zero.data());
            for (size_t e = size_t(run); e < n; ++e)
                ASSERT_TRUE(hi[e] == kPoison && lo[e] == kPoison && res[e] == float(kPoison) && zero[e] == 7)
                    << impl.name << " wrote past the run at " << e;
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, CrtWords,
                         ::testing::ValuesIn(entries_where([](const vexa::registry::Entry& e) { return e.int16 != nullptr; })),
                         param_name);

}  // namespace
