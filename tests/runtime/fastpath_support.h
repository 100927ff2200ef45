// What the fast-path tests share: matrices, running one engine, and the comparison with
// the exact core bit for bit.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "support/bits.h"
#include "exact/exact_core.h"
#include "fastpath/fastpath.h"
#include "kernel_registry.h"
#include "vexa.h"

namespace fastpath_test {

using vexa::bits::of;

struct Matrices {
    int64_t M, N, K;
    std::vector<double> A, B;
};

struct Result {
    std::vector<double> hi, lo;
    std::vector<float> res;
};

// An entry of the registry, printed by its id in test names and messages.
struct EntryParam {
    const vexa::registry::Entry* entry;
};
inline void PrintTo(const EntryParam& p, std::ostream* os) { *os << p.entry->id; }
inline std::string param_name(const ::testing::TestParamInfo<EntryParam>& info) {
    std::string name = info.param.entry->id;
    for (char& c : name)
        if (c == '/') c = '_';
    return name;
}

// The entries whose id starts with `prefix` ("" for all) and that `keep` accepts, among those
// this process runs (native or emulated is the registry's word, not CPUID's). An entry whose
// instructions this CPU lacks runs in the emulated build instead, and KernelChoice checks
// that every entry this CPU should run is listed.
template <class Keep>
std::vector<EntryParam> entries_where(Keep keep, const std::string& prefix = "") {
    std::size_t count = 0;
    const vexa::registry::Entry* table = vexa::registry::entries(&count);
    std::vector<EntryParam> v;
    for (std::size_t e = 0; e < count; ++e)
        if (std::string(table[e].id).rfind(prefix, 0) == 0 && keep(table[e]) &&
            vexa::registry::runs_here(table[e]))
            v.push_back({&table[e]});
    return v;
}
inline std::vector<EntryParam> entries_with_prefix(const std::string& prefix = "") {
    return entries_where([](const vexa::registry::Entry&) { return true; }, prefix);
}

// A suite over the registry entries this process runs.
using EntryTest = ::testing::TestWithParam<EntryParam>;

// The engine's options with its small-size cut-offs removed, so test shapes take its path.
inline vexa::fast::Options eager(const EntryParam& p) {
    vexa::fast::Options o = p.entry->defaults();
    o.min_work = 0;
    o.min_side = 0;
    o.min_cols = o.min_outputs = o.min_depth = 0;
    // Columns sorted wherever that spares a modulus, so that small operands take the
    // sorted paths too.
    o.sort_gain = 0;
    return o;
}

inline Result run(const Matrices& m, const EntryParam& p, const vexa::fast::Options& opt, int threads) {
    Result r;
    const size_t n = size_t(m.M * m.N);
    r.hi.assign(n, 12345.0);
    r.lo.assign(n, 12345.0);
    r.res.assign(n, 12345.0f);
    vexa::GemmProblem pb{m.A.data(), m.B.data(), r.hi.data(), r.lo.data(), r.res.data(), m.M, m.N, m.K};
    EXPECT_EQ(vexa::registry::gemm(*p.entry, pb, threads, opt), VEXA_OK);
    return r;
}

// Every element bit-identical to the exact core's triple of the same dot product.
inline void expect_matches_exact_core(const Matrices& m, const Result& r, const std::string& what) {
    int64_t bad = 0;
    for (int64_t i = 0; i < m.M; ++i)
        for (int64_t j = 0; j < m.N; ++j) {
            double hi, lo;
            float res;
            vexa::exact::dot_triple(m.A.data() + i * m.K, 1, m.B.data() + j, m.N, m.K, &hi, &lo, &res);
            const size_t at = size_t(i * m.N + j);
            const bool same = of(hi) == of(r.hi[at]) && of(lo) == of(r.lo[at]) &&
                              of(res) == of(r.res[at]);
            if (!same && ++bad <= 5)
                ADD_FAILURE() << what << " element (" << i << "," << j << "): got (" << r.hi[at] << ", "
                              << r.lo[at] << ", " << r.res[at] << ") want (" << hi << ", " << lo
                              << ", " << res << ")";
        }
    EXPECT_EQ(bad, 0) << what;
}

// Random normal operands with rows 3, 17 and 39 of A spanning 1e-300..1e300 and column 5
// of B alternating 1e-200 and 1e200: lines no modulus count can hold, among ordinary ones.
inline Matrices huge_and_tiny_lines(int64_t M, int64_t N, int64_t K, uint32_t seed);

inline Matrices random_normal(int64_t M, int64_t N, int64_t K, uint32_t seed, double scale = 1.0) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> d(0.0, scale);
    Matrices m{M, N, K, std::vector<double>(size_t(M * K)), std::vector<double>(size_t(K * N))};
    for (double& x : m.A) x = d(rng);
    for (double& x : m.B) x = d(rng);
    return m;
}

inline Matrices huge_and_tiny_lines(int64_t M, int64_t N, int64_t K, uint32_t seed) {
    Matrices m = random_normal(M, N, K, seed);
    for (int64_t i : {3, 17, 39})
        for (int64_t k = 0; k < m.K; ++k)
            m.A[size_t(i * m.K + k)] *= std::pow(10.0, -300.0 + 600.0 * double(k) / double(m.K - 1));
    for (int64_t k = 0; k < m.K; ++k) m.B[size_t(k * m.N + 5)] *= (k % 2 ? 1e-200 : 1e200);
    return m;
}

}  // namespace fastpath_test
