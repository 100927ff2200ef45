// Every int8 tile of the registry against plain 64-bit sums: each row count a caller may
// pass, storing and accumulating, random residues and residues at their bounds, over
// K from one quad to a full chunk, at the edge where the reduction of the sums
// changes from float to double, and panels whose last columns are padding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fastpath_support.h"
#include "fastpath/int8_fastpath.h"
#include "kernel_registry.h"

namespace {

namespace int8 = vexa::int8;
using namespace fastpath_test;

// The tile of every int8 entry of the registry.
class Int8Tile : public EntryTest {};

// kNearBounds: every A term at p - 1 but the last of each row, random; every B term within
// 3 of its most negative, so that the sums, near their largest magnitude, take many residues.
enum class Fill { kRandom, kLargestSameSign, kLargestAlternating, kNearBounds };

// The A rows (row stride k_padded) and the B panel in the packed layout, residues of p.
struct Operands {
    std::vector<uint8_t> a;
    std::vector<int8_t> b;
};

// Columns from `cols` on are the panel's padding, zero as the residue pieces leave it.
Operands operands(int p, int64_t k_padded, Fill fill, std::mt19937_64& rng, int cols) {
    const int low = -(p / 2), high = (p - 1) / 2;  // the symmetric range of B
    Operands o{std::vector<uint8_t>(size_t(int8::kWideRowGroup * k_padded)),
               std::vector<int8_t>(size_t(k_padded * int8::kPanelWidth))};
    for (size_t e = 0; e < o.a.size(); ++e) {
        const bool last = int64_t(e) % k_padded == k_padded - 1;
        o.a[e] = uint8_t(fill == Fill::kRandom || (fill == Fill::kNearBounds && last) ? int(rng() % uint64_t(p)) : p - 1);
    }
    for (size_t e = 0; e < o.b.size(); ++e) {
        const size_t column = e % (4 * int8::kPanelWidth) / 4;
        if (fill == Fill::kRandom) o.b[e] = int8_t(low + int(rng() % uint64_t(high - low + 1)));
        else if (fill == Fill::kNearBounds) o.b[e] = int8_t(std::min(high, low + int(rng() % 4)));
        else if (fill == Fill::kLargestSameSign || column % 2) o.b[e] = int8_t(low);
        else o.b[e] = int8_t(high);
        if (int(column) >= cols) o.b[e] = 0;
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

// What the tile's output region holds before the call: random residues, or all p - 1.
enum class Held { kRandom, kLargest };

void check(const EntryParam& entry, int p, int64_t k_padded, Fill fill, std::mt19937_64& rng,
           Held held = Held::kRandom, int cols = int8::kPanelWidth) {
    const vexa::registry::Entry& tile = *entry.entry;
    const Operands o = operands(p, k_padded, fill, rng, cols);
    const std::vector<int64_t> sums = exact_sums(o, k_padded);
    const int8::Modulus modulus{p, double(p), 1.0 / p};
    // The driver passes an ISA tile its whole row group only; the reference takes every count
    // of the 6-row groups, one odd count between and the full 16 of gemm_wide.
    std::vector<int> row_counts{tile.layout.row_group};
    if (!tile.native) {
        row_counts.clear();
        for (int rows = 1; rows <= int8::kRowGroup; ++rows) row_counts.push_back(rows);
        row_counts.insert(row_counts.end(), {11, int8::kWideRowGroup});
    }
    for (int rows : row_counts)
        for (bool accumulate : {false, true}) {
            std::vector<uint8_t> acc(size_t(int8::kWideRowGroup * int8::kPanelWidth));
            for (uint8_t& x : acc) x = uint8_t(held == Held::kLargest ? p - 1 : int(rng() % uint64_t(p)));
            // Rows past `rows` must be left as they are.
            std::vector<uint8_t> want = acc;
            for (size_t e = 0; e < size_t(rows * int8::kPanelWidth); ++e) {
                const int64_t s = sums[e] + (accumulate ? acc[e] : 0);
                want[e] = uint8_t(((s % p) + p) % p);
            }
            tile.int8->tile(modulus, o.a.data(), k_padded, rows, o.b.data(), cols, k_padded, acc.data(),
                           int8::kPanelWidth, accumulate);
            ASSERT_EQ(acc, want) << tile.id << ": p " << p << ", K " << k_padded << ", " << rows
                                 << " rows, accumulate " << accumulate << ", fill " << int(fill)
                                 << ", held " << int(held) << ", " << cols << " columns";
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

// Either side of the chunk lengths where the tiles may change how they reduce the sums:
// 256 (the longest whose quotients by p fit a signed 16-bit word) and 512 (the longest whose
// sums a float holds, |sum| + p - 1 < 2^24), for every modulus up to 256: the quotient from
// the rounded 1/p depends on p.
TEST_P(Int8Tile, EveryModulusAroundTheShortChunkEdges) {
    std::mt19937_64 rng(43);
    for (int64_t k_padded : {256, 260, 512, 516})
        for (int p = 2; p <= 256; ++p) check(GetParam(), p, k_padded, Fill::kNearBounds, rng);
}

// The engine's own moduli at the largest sums of either sign, with the largest residues
// already held, at the ends of the short chunks and just past them.
TEST_P(Int8Tile, EngineModuliAtTheirBoundsOverShortChunks) {
    std::mt19937_64 rng(44);
    const vexa::fast::ModulusList moduli = int8::moduli();
    for (int64_t k_padded : {4, 128, 252, 256, 260, 508, 512, 516, 1024})
        for (int l = 0; l < moduli.count; ++l)
            for (Fill fill : {Fill::kLargestSameSign, Fill::kLargestAlternating, Fill::kNearBounds, Fill::kRandom})
                check(GetParam(), moduli.p[l], k_padded, fill, rng, Held::kLargest);
}

// A panel with 1 to 64 live columns, the rest zero padding, around each 16-column vector's
// edge: a tile that skips the padding must still leave the residues a full panel gives it,
// whichever way it reduces the sums (K short, middling and past 512).
TEST_P(Int8Tile, PanelsWithPaddingColumns) {
    std::mt19937_64 rng(45);
    for (int cols : {1, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63})
        for (int64_t k_padded : {4, 260, 516, 1024})
            for (int p : {256, 251, 29}) {
                check(GetParam(), p, k_padded, Fill::kRandom, rng, Held::kRandom, cols);
                check(GetParam(), p, k_padded, Fill::kLargestSameSign, rng, Held::kLargest, cols);
            }
}

INSTANTIATE_TEST_SUITE_P(Entries, Int8Tile,
                         ::testing::ValuesIn(entries_where([](const vexa::registry::Entry& e) { return e.int8 != nullptr; })),
                         param_name);

}  // namespace
