// Every int16 tile of the registry against plain 64-bit sums: storing and accumulating,
// random residues and residues at their bounds, over every count of k pairs from one to
// past two reduction windows (so every way a count splits into the loops' turns), with
// the rows of the accumulator block around the tile left as they were.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "fastpath_support.h"
#include "fastpath/int16_engine.h"
#include "kernel_registry.h"

namespace {

namespace int16 = vexa::int16;
using namespace fastpath_test;
using int16::kPanelWidth;
using int16::kRowGroup;

class Int16Tile : public EntryTest {};

// kSameSign: every term at its largest magnitude with one sign, so the int32 sums reach
// their bound between reductions; kAlternating: the sign of B's terms alternates by column.
enum class Fill { kRandom, kSameSign, kAlternating };

// The residues of a row group and a panel in their packed layouts ([k / 2][row][k % 2],
// [k / 2][column][k % 2]): centred for a prime, any word for 2^16.
struct Operands {
    std::vector<int16_t> a, b;
};

Operands operands(int p, int64_t k_padded, Fill fill, std::mt19937_64& rng) {
    const bool power = p == int16::kPowerModulus;
    const int high = power ? 32767 : (p - 1) / 2, low = power ? -32768 : -high;
    const auto random = [&] { return int16_t(low + int(rng() % uint64_t(high - low + 1))); };
    Operands o{std::vector<int16_t>(size_t(kRowGroup * k_padded)), std::vector<int16_t>(size_t(kPanelWidth * k_padded))};
    for (int16_t& x : o.a) x = fill == Fill::kRandom ? random() : int16_t(low);
    for (size_t e = 0; e < o.b.size(); ++e) {
        const size_t column = e % (2 * kPanelWidth) / 2;
        if (fill == Fill::kRandom) o.b[e] = random();
        else o.b[e] = int16_t(fill == Fill::kAlternating && column % 2 ? high : low);
    }
    return o;
}

int64_t exact_sum(const Operands& o, int64_t k_padded, int r, int c) {
    int64_t s = 0;
    for (int64_t k = 0; k < k_padded; ++k)
        s += int64_t(o.a[size_t((k / 2) * 2 * kRowGroup + 2 * r + k % 2)]) *
             int64_t(o.b[size_t((k / 2) * 2 * kPanelWidth + 2 * c + k % 2)]);
    return s;
}

void check(const EntryParam& entry, int p, int64_t pairs, Fill fill, std::mt19937_64& rng) {
    const int64_t k_padded = 2 * pairs;
    const Operands o = operands(p, k_padded, fill, rng);
    const int16::Modulus modulus{p, double(p), 1.0 / p};
    // Columns past the tile's sixteen, and the row below its six, are not its own.
    constexpr int64_t kStride = kPanelWidth + 5, kRows = kRowGroup + 1;
    for (bool accumulate : {false, true}) {
        std::vector<uint16_t> acc(size_t(kRows * kStride));
        for (size_t e = 0; e < acc.size(); ++e)
            acc[e] = uint16_t(e % 3 == 0 ? p - 1 : int(rng() % uint64_t(p)));
        std::vector<uint16_t> want = acc;
        for (int r = 0; r < kRowGroup; ++r)
            for (int c = 0; c < kPanelWidth; ++c) {
                uint16_t& w = want[size_t(r * kStride + c)];
                const int64_t s = exact_sum(o, k_padded, r, c) + (accumulate ? w : 0);
                w = uint16_t(((s % p) + p) % p);
            }
        entry.entry->int16->tile(modulus, o.a.data(), o.b.data(), k_padded, acc.data(), kStride, accumulate);
        ASSERT_EQ(acc, want) << entry.entry->id << ": p " << p << ", " << pairs << " k pairs, accumulate "
                             << accumulate << ", fill " << int(fill);
    }
}

// Pair counts on either side of every boundary of the loops: turns of one and of four
// steps, and the reduction window of kReduceEvery terms.
std::vector<int64_t> pair_counts() {
    const int64_t window = int16::kReduceEvery / 2;
    std::vector<int64_t> counts;
    for (int64_t n = 1; n <= 9; ++n) counts.push_back(n);
    for (int64_t w : {window, 2 * window, 4 * window})
        for (int64_t d = -3; d <= 3; ++d) counts.push_back(w + d);
    return counts;
}

TEST_P(Int16Tile, EveryModulusAndPairCountRandom) {
    std::mt19937_64 rng(61);
    const vexa::fast::ModulusList moduli = GetParam().entry->moduli();
    for (int l = 0; l < moduli.count; ++l)
        for (int64_t pairs : pair_counts()) check(GetParam(), moduli.p[l], pairs, Fill::kRandom, rng);
}

TEST_P(Int16Tile, ResiduesAtTheirBounds) {
    std::mt19937_64 rng(62);
    const vexa::fast::ModulusList moduli = GetParam().entry->moduli();
    for (int p : {moduli.p[0], moduli.p[1], moduli.p[moduli.count - 1]})
        for (int64_t pairs : pair_counts())
            for (Fill fill : {Fill::kSameSign, Fill::kAlternating}) check(GetParam(), p, pairs, fill, rng);
}

INSTANTIATE_TEST_SUITE_P(Entries, Int16Tile,
                         ::testing::ValuesIn(entries_where([](const vexa::registry::Entry& e) { return e.int16 != nullptr; })),
                         param_name);

}  // namespace
