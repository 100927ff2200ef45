// The fast path's plan of one product, as data: which lines go through the CRT and in
// which order, how many moduli each row group and panel pair needs, the CRT plans of those
// counts, the blocking and the workspace. Making a plan scans the operands but multiplies
// nothing; fastpath_driver.h carries a plan out. Baseline code only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fastpath/fastpath.h"
#include "fastpath/planning.h"
#include "vexa.h"

namespace vexa::fast {

// An engine's line scan, as fast::portable_scan_lines.
using ScanLines = void (*)(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                           LineScan* out);

// Windows of every row of A and column of B (each vector sized M and N) through `scan`.
void scan_windows(const GemmProblem& problem, ScanLines scan, int threads, std::vector<LineWindow>& row_win,
                  std::vector<LineWindow>& col_win);

// What the planning needs to know of an engine: the shapes of its residue blocks, its
// moduli and its line scan (as fast::portable_scan_lines).
struct EngineLayout {
    int64_t panel_width;  // columns of B per panel
    int64_t row_group;    // rows of A per group
    int64_t step;         // K is padded to a multiple of this
    int64_t max_chunk;    // longest K chunk its accumulators hold
    int64_t residue_a_bytes, residue_b_bytes, residue_bytes;  // sizes of its residue types
    ModulusList moduli;
    ScanLines scan_lines;
    // Makes B's residues from its sorted columns where they are, with no gathered copy.
    bool reads_columns;
};

// The layouts of the engines over their portable line scans, for the tests: the driver
// derives the same from the engine it runs.
EngineLayout int8_layout();
EngineLayout int8_wide_layout();
EngineLayout int16_layout();

struct FastPlan {
    // False when the whole product is cheaper (or only possible) in the exact core; the
    // rest of the plan is then empty.
    bool fast = false;
    int64_t M = 0, N = 0, K = 0;

    // Admitted lines and the moduli: every admitted element's exact integer is below half
    // the product of the first `moduli` moduli.
    ModulusChoice choice;  // widths admitted (cap_a, cap_b) and L
    int moduli = 0;        // L
    std::vector<int32_t> row_shift;  // of every row of A: row i is scaled by 2^-row_shift[i]
    // The admitted rows sorted by norm bound, and the admitted columns sorted by norm bound
    // within each column block (so that a row's results land in the block's own stretch).
    std::vector<int64_t> row_order, col_order;
    // Shifts of col_order's columns in that order, zero up to a whole panel.
    std::vector<int32_t> sorted_col_shift;
    // Lines with an inf or NaN, or wider than the admitted width: the exact core's.
    std::vector<int64_t> excluded_rows, excluded_cols;
    bool columns_moved = false;  // col_order is not the identity: B's columns are gathered
    // Whether each sorted panel's columns sit at their own positions (col_order[c] == c for
    // all of its c), so that its run can be rounded straight into the output rows.
    std::vector<uint8_t> panel_in_place;
    // Of every output column, its place in col_order; -1 for an excluded one.
    std::vector<int32_t> position;
    // Of every column block (Nb sorted columns): the least and greatest output column it
    // holds, and whether all its panels are in place.
    std::vector<int64_t> block_first, block_last;
    std::vector<uint8_t> block_in_place;

    // Row groups of row_group sorted rows and panels of panel_width sorted columns, each
    // with the largest norm bound of its lines (that of its last), and the moduli a pair
    // needs: count[g * panels + q] = ladder.needed(group_norm[g] + panel_norm[q]) <= L.
    int64_t groups = 0, panels = 0;
    std::vector<double> group_norm, panel_norm;
    std::vector<uint8_t> count;
    double average_moduli = 0;  // of count over all pairs
    int count_at(int64_t g, int64_t q) const { return count[size_t(g * panels + q)]; }

    // crt[c], the CRT plan of the first c moduli, for every c a pair uses; shared by every
    // product over the same modulus list and never changed once made.
    const CrtPlan* crt = nullptr;
    // The moduli as the residue code reads them, and 2^t mod p_l for t < shift_limit.
    ResiduePlan residue{};
    std::vector<double> pow2;
    // `residue` with the first `count` moduli, pointing into this plan's pow2.
    ResiduePlan residue_plan(int count) const {
        ResiduePlan r = residue;
        r.count = count;
        r.pow2 = pow2.data();
        return r;
    }

    // Blocks of Mb admitted rows by Nb admitted columns, K in chunks of Kb; when K fits
    // one chunk the residues of a row block serve every column block.
    int64_t Mb = 0, Nb = 0, Kb = 0;
    bool single_chunk = false;
    // The workspace, in this order, each part rounded up to 64 bytes: residues of A (L
    // blocks of Mb x Kb), of B (L of Kb x Nb), the residue accumulators (L of Mb x Nb) and
    // the gathered columns of B (Kb x Nb doubles, only when columns moved).
    size_t a_bytes = 0, b_bytes = 0, acc_bytes = 0, gather_bytes = 0;
    size_t workspace_bytes() const { return a_bytes + b_bytes + acc_bytes + gather_bytes; }
};

// The plan of `problem` for an engine of `layout`; scans the operands on up to `threads`
// threads. Throws std::bad_alloc when memory is short, std::logic_error on an inconsistency
// that would make the CRT inexact.
FastPlan plan(const GemmProblem& problem, const EngineLayout& layout, const Options& options,
              int threads);

}  // namespace vexa::fast
