// The int16 engine's residue pieces of every entry against GMP, every output word: row
// groups of A and panels of B on lines of chosen integer widths, on both sides of each limb
// count the vector code distinguishes, with the padding of K and of the group.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fastpath/int16_engine.h"
#include "fastpath_support.h"
#include "residue_lines.h"

namespace {

using namespace fastpath_test;
namespace int16 = vexa::int16;

class Int16ResiduePieces : public EntryTest {};

// The first `count` moduli of the engine's list, with 2^t mod p for t < shift_limit.
vexa::fast::ResiduePlan residue_plan(int count, int shift_limit, std::vector<double>& pow2) {
    const vexa::fast::ModulusList list = int16::moduli();
    vexa::fast::ResiduePlan plan{};
    plan.count = count;
    plan.shift_limit = shift_limit;
    pow2.assign(size_t(count) * size_t(shift_limit), 0.0);
    for (int l = 0; l < count; ++l) {
        const int p = list.p[l];
        plan.moduli[l] = {p, double(p), 1.0 / p};
        mpz_class power = 1;
        for (int t = 0; t < shift_limit; ++t, power *= 2) pow2[size_t(l * shift_limit + t)] = double(residue_of(power, p));
    }
    plan.pow2 = pow2.data();
    return plan;
}

// The stored word of v for modulus p: the low 16 bits for 2^16, centred for a prime.
int16_t stored_residue(const mpz_class& v, int p) {
    const int r = residue_of(v, p);
    if (p == int16::kPowerModulus) return int16_t(uint16_t(r));
    return int16_t(r > (p - 1) / 2 ? r - p : r);
}

struct Lines {
    std::vector<double> x;  // line i at x[i * stride + k]
    std::vector<int32_t> shift;
    int64_t stride;
};

// One line per width (width 0: zeros), k_count elements each; what lies past k_count is
// NaN, which a stray read would turn into a wrong word.
Lines lines_of(const std::vector<int>& widths, int64_t k_count, std::mt19937_64& rng) {
    Lines out{std::vector<double>(widths.size() * size_t(k_count + 3), std::numeric_limits<double>::quiet_NaN()),
              std::vector<int32_t>(widths.size(), 0), k_count + 3};
    for (size_t i = 0; i < widths.size(); ++i) {
        const int w = widths[i] > 0 ? widths[i] : 1;
        out.shift[i] = shift_for_width(w, rng);
        const std::vector<double> x = widths[i] > 0 ? line_of_width(w, out.shift[i], k_count, rng)
                                                    : std::vector<double>(size_t(k_count), 0.0);
        std::copy(x.begin(), x.end(), out.x.begin() + int64_t(i) * out.stride);
    }
    return out;
}

int widest_of(const std::vector<int>& widths) {
    int widest = 1;
    for (int w : widths) widest = std::max(widest, w);
    return widest;
}

// A row group: width -1 is a row the driver passes as null (a pad row). Each modulus's
// words start `gap` words past the last one's end.
void check_group(const int16::Int16Ops& ops, const std::vector<int>& widths, int count, int64_t k_count,
                 std::mt19937_64& rng, const std::string& what, int64_t gap = 6) {
    ASSERT_EQ(widths.size(), size_t(int16::kRowGroup));
    const Lines lines = lines_of(widths, k_count, rng);
    std::vector<double> pow2;
    const vexa::fast::ResiduePlan plan = residue_plan(count, widest_of(widths) + 1, pow2);
    const int64_t k_padded = (k_count + 1) / 2 * 2, stride = k_padded * int16::kRowGroup + gap;
    const double* rows[int16::kRowGroup];
    for (int u = 0; u < int16::kRowGroup; ++u) rows[u] = widths[size_t(u)] < 0 ? nullptr : &lines.x[size_t(u * lines.stride)];
    std::vector<int16_t> expected(size_t(count * stride), int16_t(0x5a5a));
    AlignedBuffer<int16_t> out(expected.size(), int16_t(0x5a5a));
    for (int l = 0; l < count; ++l)
        for (int u = 0; u < int16::kRowGroup; ++u)
            for (int64_t k = 0; k < k_padded; ++k) {
                const bool live = rows[u] && k < k_count;
                const mpz_class v = live ? scaled_integer(rows[u][k], lines.shift[size_t(u)]) : mpz_class(0);
                expected[size_t(l * stride + (k / 2) * 2 * int16::kRowGroup + u * 2 + k % 2)] =
                    stored_residue(v, plan.moduli[l].p);
            }
    ops.residues_a(plan, rows, lines.shift.data(), k_count, k_padded, out.data(), stride);
    for (size_t e = 0; e < expected.size(); ++e)
        if (out[e] != expected[e]) {
            const int64_t l = int64_t(e) / stride, at = int64_t(e) % stride;
            ADD_FAILURE() << what << ": A word mod " << plan.moduli[l].p << " of row " << at % (2 * int16::kRowGroup) / 2
                          << ", k " << at / (2 * int16::kRowGroup) * 2 + at % 2 << ": " << out[e] << " instead of "
                          << expected[e];
            return;
        }
}

// A panel of `widths.size()` real columns (the rest of the panel zero), the matrix a few
// columns wider than the panel; each modulus's panel `gap` words past the last one's end.
void check_panel(const int16::Int16Ops& ops, const std::vector<int>& widths, int count, int64_t k_count,
                 std::mt19937_64& rng, const std::string& what, int64_t gap = 0) {
    const int64_t cols = int64_t(widths.size()), ldb = int16::kPanelWidth + 3;
    const Lines lines = lines_of(widths, k_count, rng);
    std::vector<double> b(size_t(k_count * ldb), std::numeric_limits<double>::infinity());
    for (int64_t c = 0; c < cols; ++c)
        for (int64_t k = 0; k < k_count; ++k) b[size_t(k * ldb + c)] = lines.x[size_t(c * lines.stride + k)];
    std::vector<int32_t> shift(size_t(int16::kPanelWidth), 0);
    std::copy(lines.shift.begin(), lines.shift.end(), shift.begin());
    std::vector<double> pow2;
    const vexa::fast::ResiduePlan plan = residue_plan(count, widest_of(widths) + 1, pow2);
    const int64_t k_padded = (k_count + 1) / 2 * 2 + 2, panel_words = k_padded * int16::kPanelWidth;
    const int64_t stride = panel_words + gap;
    std::vector<int16_t> expected(size_t(count * stride), int16_t(0x5a5a));
    for (int l = 0; l < count; ++l) std::fill_n(expected.begin() + l * stride, panel_words, int16_t(0));
    AlignedBuffer<int16_t> out(expected.size(), int16_t(0x5a5a));
    for (int l = 0; l < count; ++l)
        for (int64_t c = 0; c < cols; ++c)
            for (int64_t k = 0; k < k_count; ++k)
                expected[size_t(l * stride + (k / 2) * 2 * int16::kPanelWidth + c * 2 + k % 2)] =
                    stored_residue(scaled_integer(b[size_t(k * ldb + c)], shift[size_t(c)]), plan.moduli[l].p);
    ops.residues_b_panel(plan, b.data(), ldb, cols, k_count, k_padded, shift.data(), out.data(), stride);
    for (size_t e = 0; e < expected.size(); ++e)
        if (out[e] != expected[e]) {
            const int64_t l = int64_t(e) / stride, at = int64_t(e) % stride;
            ADD_FAILURE() << what << ": B word mod " << plan.moduli[l].p << " of column "
                          << at % (2 * int16::kPanelWidth) / 2 << ", k " << at / (2 * int16::kPanelWidth) * 2 + at % 2
                          << ": " << out[e] << " instead of " << expected[e];
            return;
        }
}

// The widest line of a call sets its limb count, (width + 15) / 15 limbs of 15 bits: both
// sides of every pair of limbs, of 16 limbs (the most the paired sums hold) and of the
// widest integer the list carries.
TEST_P(Int16ResiduePieces, EveryLimbCountAgainstGmp) {
    const int16::Int16Ops& ops = *GetParam().entry->int16;
    std::mt19937_64 rng(21);
    for (int widest : {1, 14, 15, 29, 30, 44, 45, 53, 59, 60, 89, 90, 119, 120, 179, 180, 224, 238, 239, 240, 241,
                       254, 255, 300, 338}) {
        const std::string what = "widest " + std::to_string(widest);
        std::vector<int> group(size_t(int16::kRowGroup));
        for (int& w : group) w = 1 + int(rng() % uint64_t(widest));
        group[rng() % group.size()] = widest;
        for (int64_t k_count : {1, 16, 17, 38}) {
            check_group(ops, group, 26, k_count, rng, what + ", K " + std::to_string(k_count));
            std::vector<int> panel(size_t(int16::kPanelWidth));
            for (int& w : panel) w = 1 + int(rng() % uint64_t(widest));
            panel[rng() % panel.size()] = widest;
            check_panel(ops, panel, 26, k_count, rng, what + ", K " + std::to_string(k_count));
        }
    }
}

// Pad rows, zero lines, partial panels and short modulus lists.
TEST_P(Int16ResiduePieces, PadRowsPartialPanelsAndFewModuli) {
    const int16::Int16Ops& ops = *GetParam().entry->int16;
    std::mt19937_64 rng(22);
    for (int count : {1, 2, 11}) {
        const std::string what = std::to_string(count) + " moduli";
        check_group(ops, {70, -1, 0, 53, -1, 1}, count, 33, rng, what);
        check_group(ops, {-1, -1, -1, -1, -1, 12}, count, 2, rng, what);
        check_panel(ops, {66, 0, 53}, count, 21, rng, what);
        check_panel(ops, std::vector<int>(size_t(int16::kPanelWidth - 1), 64), count, 5, rng, what);
    }
}

// Residue blocks of many megabytes, as large products have, are stored otherwise than small
// ones; here the moduli's blocks lie that far apart, aligned and not, with the gaps
// between them left untouched.
TEST_P(Int16ResiduePieces, BlocksSpreadOverMegabytes) {
    const int16::Int16Ops& ops = *GetParam().entry->int16;
    std::mt19937_64 rng(23);
    const int64_t gap = int64_t(1) << 19;  // words: a megabyte
    for (int64_t extra : {0, 3}) {
        const std::string what = "spread " + std::to_string(extra);
        check_group(ops, {70, -1, 0, 53, 120, 1}, 11, 40, rng, what, gap + extra);
        check_panel(ops, std::vector<int>(size_t(int16::kPanelWidth), 90), 11, 38, rng, what, gap + extra);
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, Int16ResiduePieces,
                         ::testing::ValuesIn(entries_where([](const vexa::registry::Entry& e) { return e.int16 != nullptr; })),
                         param_name);

}  // namespace
