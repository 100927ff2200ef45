// Every int8 tile this machine can run against plain 64-bit sums: each row count a caller
// may pass, storing and accumulating, random residues and residues at their bounds, over
// K from one quad to a full chunk.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cpu_features.h"
#include "int8_fastpath.h"
#include "kernel.h"
#if VEXA_HAVE_KERNEL_NEON_DOTPROD
#include "kernels/neon_dotprod/neon_dotprod.h"
#endif
#if VEXA_HAVE_KERNEL_NEON_I8MM
#include "kernels/neon_i8mm/neon_i8mm.h"
#endif

namespace {

namespace int8 = vexa::int8;

struct Tile {
    const char* name;
    const int8::Int8Ops* ops;
    int max_rows = int8::kRowGroup;  // kWideRowGroup for the pieces gemm_wide runs
};
void PrintTo(const Tile& t, std::ostream* os) { *os << t.name; }

std::vector<Tile> tiles() {
    std::vector<Tile> v{{"portable", &int8::kPortableOps, int8::kWideRowGroup}};
#if VEXA_HAVE_KERNEL_AMX_INT8
    // The kernel's own check: in the emulated build the tile runs through the AMX model.
    if (vexa::kAmxInt8Kernel.is_supported()) v.push_back({"amx_int8", &int8::kAmxOps, int8::kWideRowGroup});
#endif
#if VEXA_HAVE_KERNEL_AVX512_VNNI
    if (vexa::cpu::has_avx512_vnni()) v.push_back({"avx512_vnni", &int8::kVnniOps});
#endif
#if VEXA_HAVE_KERNEL_NEON_DOTPROD
    if (vexa::cpu::has_neon_dotprod()) v.push_back({"neon_dotprod", &vexa::neon_dotprod::kInt8Ops});
#endif
#if VEXA_HAVE_KERNEL_NEON_I8MM
    if (vexa::cpu::has_neon_i8mm()) v.push_back({"neon_i8mm", &vexa::neon_i8mm::kInt8Ops});
#endif
    return v;
}

class Int8Tile : public ::testing::TestWithParam<Tile> {};

enum class Fill { kRandom, kLargestSameSign, kLargestAlternating };

// The A rows (row stride k_padded) and the B panel in the packed layout, residues of p.
struct Operands {
    std::vector<uint8_t> a;
    std::vector<int8_t> b;
};

Operands operands(int p, int64_t k_padded, Fill fill, std::mt19937_64& rng) {
    const int low = -(p / 2), high = (p - 1) / 2;  // the symmetric range of B
    Operands o{std::vector<uint8_t>(size_t(int8::kWideRowGroup * k_padded)),
               std::vector<int8_t>(size_t(k_padded * int8::kPanelWidth))};
    for (size_t e = 0; e < o.a.size(); ++e)
        o.a[e] = uint8_t(fill == Fill::kRandom ? int(rng() % uint64_t(p)) : p - 1);
    for (size_t e = 0; e < o.b.size(); ++e) {
        const size_t column = e % (4 * int8::kPanelWidth) / 4;
        if (fill == Fill::kRandom) o.b[e] = int8_t(low + int(rng() % uint64_t(high - low + 1)));
        else if (fill == Fill::kLargestSameSign || column % 2) o.b[e] = int8_t(low);
        else o.b[e] = int8_t(high);
    }
    return o;
}

// sum_k a[r][k] b[k][c] for every row and column of the group, in 64 bits.
std::vector<int64_t> exact_sums(const Operands& o, int64_t k_padded) {
    std::vector<int64_t> sums(size_t(int8::kWideRowGroup * int8::kPanelWidth), 0);
    for (int r = 0; r < int8::kWideRowGroup; ++r)
        for (int64_t k = 0; k < k_padded; ++k) {
            const int64_t a = o.a[size_t(r * k_padded + k)];
            const int8_t* b = &o.b[size_t((k / 4) * 4 * int8::kPanelWidth + k % 4)];
            for (int c = 0; c < int8::kPanelWidth; ++c) sums[size_t(r * int8::kPanelWidth + c)] += a * b[4 * c];
        }
    return sums;
}

void check(const Tile& tile, int p, int64_t k_padded, Fill fill, std::mt19937_64& rng) {
    const Operands o = operands(p, k_padded, fill, rng);
    const std::vector<int64_t> sums = exact_sums(o, k_padded);
    const int8::Modulus modulus{p, double(p), 1.0 / p};
    // Every count of the 6-row groups; for 16-row tiles, one odd count between and the full one.
    std::vector<int> row_counts;
    for (int rows = 1; rows <= int8::kRowGroup; ++rows) row_counts.push_back(rows);
    if (tile.max_rows > int8::kRowGroup) row_counts.insert(row_counts.end(), {11, tile.max_rows});
    for (int rows : row_counts)
        for (bool accumulate : {false, true}) {
            std::vector<uint8_t> acc(size_t(int8::kWideRowGroup * int8::kPanelWidth));
            for (uint8_t& x : acc) x = uint8_t(rng() % uint64_t(p));
            // Rows past `rows` must be left as they are.
            std::vector<uint8_t> want = acc;
            for (size_t e = 0; e < size_t(rows * int8::kPanelWidth); ++e) {
                const int64_t s = sums[e] + (accumulate ? acc[e] : 0);
                want[e] = uint8_t(((s % p) + p) % p);
            }
            tile.ops->tile(modulus, o.a.data(), k_padded, rows, o.b.data(), k_padded, acc.data(),
                           int8::kPanelWidth, accumulate);
            ASSERT_EQ(acc, want) << tile.name << ": p " << p << ", K " << k_padded << ", " << rows
                                 << " rows, accumulate " << accumulate << ", fill " << int(fill);
        }
}

TEST_P(Int8Tile, RandomResiduesEveryRowCount) {
    std::mt19937_64 rng(41);
    for (int p : {256, 255, 253, 251, 127, 29, 2})
        for (int64_t k_padded : {4, 8, 64, 260}) check(GetParam(), p, k_padded, Fill::kRandom, rng);
}

// Every term at its largest magnitude, of one sign along K or of alternating signs by
// column, over a full chunk: the int32 sums sit within 2^23 of their limit.
TEST_P(Int8Tile, ResiduesAtTheirBoundsOverAFullChunk) {
    std::mt19937_64 rng(42);
    for (int p : {256, 255, 251})
        for (Fill fill : {Fill::kLargestSameSign, Fill::kLargestAlternating})
            check(GetParam(), p, int8::kMaxChunk, fill, rng);
}

INSTANTIATE_TEST_SUITE_P(Tiles, Int8Tile, ::testing::ValuesIn(tiles()),
                         [](const ::testing::TestParamInfo<Tile>& info) { return std::string(info.param.name); });

}  // namespace
