#include "fastpath/fast_plan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "support/parallel.h"
#include "support/workspace_pool.h"

namespace vexa::fast {
namespace {

int64_t round_up(int64_t v, int64_t to) { return (v + to - 1) / to * to; }

}  // namespace

void scan_windows(const GemmProblem& pb, ScanLines scan, int threads, std::vector<LineWindow>& row_win,
                  std::vector<LineWindow>& col_win) {
    const int64_t M = pb.M, N = pb.N, K = pb.K;
    std::vector<LineScan> row_scan(static_cast<size_t>(M)), col_scan(static_cast<size_t>(N));
    // Column tasks as wide as a fair share allows, up to 256 columns: a scan reads B's rows
    // in stretches of its width, and narrow ones turn the walk down K into a walk of pages.
    // They go first, being the larger, so the row tasks even out the threads' shares.
    const int64_t rows_per_task = 16;
    const int64_t share = (N + std::max(threads, 1) - 1) / std::max(threads, 1);
    const int64_t cols_per_task = std::min<int64_t>(256, std::max<int64_t>(64, round_up(share, 64)));
    const int64_t col_tasks = (N + cols_per_task - 1) / cols_per_task;
    const int64_t tasks = col_tasks + (M + rows_per_task - 1) / rows_per_task;
    const double log2_k = std::log2(double(K));
    parallel_for(tasks, threads, [&](int64_t t) {
        if (t < col_tasks) {
            const int64_t j0 = t * cols_per_task, j1 = std::min(N, j0 + cols_per_task);
            scan(pb.B + j0, N, K, j1 - j0, false, &col_scan[size_t(j0)]);
            for (int64_t j = j0; j < j1; ++j)
                col_win[size_t(j)] = WindowScan(col_scan[size_t(j)]).window(K, log2_k);
        } else {
            const int64_t i0 = (t - col_tasks) * rows_per_task, i1 = std::min(M, i0 + rows_per_task);
            scan(pb.A + i0 * K, K, i1 - i0, K, true, &row_scan[size_t(i0)]);
            for (int64_t i = i0; i < i1; ++i)
                row_win[size_t(i)] = WindowScan(row_scan[size_t(i)]).window(K, log2_k);
        }
    });
}

namespace {

// Each line to the admitted order or the excluded list, in index order.
void admit(const std::vector<LineWindow>& win, int32_t cap, std::vector<int64_t>& admitted,
           std::vector<int64_t>& excluded) {
    for (int64_t i = 0; i < int64_t(win.size()); ++i) {
        const LineWindow& w = win[size_t(i)];
        (!w.special && w.width <= cap ? admitted : excluded).push_back(i);
    }
}

// Room for gathering the columns of B, where the engine needs it, is counted whether or
// not sorting moves them.
int64_t block_bytes(const EngineLayout& e, int L, int64_t mb, int64_t nb, int64_t kb) {
    return L * (mb * kb * e.residue_a_bytes + kb * nb * e.residue_b_bytes + mb * nb * e.residue_bytes) +
           (e.reads_columns ? 0 : kb * int64_t(sizeof(double)) * nb);
}

// A product of one panel of columns uses each residue of A for a panel's worth of
// multiply-adds, too few to hide a read from memory: rows of A whose residues exceed
// Options::thin_block_bytes are cut into equal row blocks below it, so that the products
// find each block's residues in cache, and B's, made once, serve every block. At
// 1024 x 16 x 1024 on Zen 4 the products took 0.3x the time, the whole call 0.6x.
int64_t thin_block_rows(const FastPlan& p, const EngineLayout& e, const Options& opt, int64_t Mb, int64_t min_rows) {
    const int64_t per_row = std::max<int64_t>(1, int64_t(p.moduli) * p.Kb * e.residue_a_bytes);
    const int64_t most = std::max(min_rows, opt.thin_block_bytes / per_row / e.row_group * e.row_group);
    if (Mb <= most) return Mb;
    const int64_t blocks = (Mb + most - 1) / most;
    return round_up((Mb + blocks - 1) / blocks, e.row_group);
}

// Mb, Nb and Kb within the workspace target. With K in one chunk the residues of A are
// made once per row block and serve every column block, so splitting N alone costs nothing
// extra; otherwise both operands' residues are remade per block of the other, and the
// larger side is split first.
void choose_blocks(FastPlan& p, const EngineLayout& e, const Options& opt, int threads) {
    const int64_t chunk = std::max(e.step, std::min(opt.chunk, e.max_chunk) / e.step * e.step);
    p.Kb = std::min(round_up(p.K, e.step), chunk);
    p.single_chunk = p.Kb >= p.K;
    const int64_t Mp = int64_t(p.row_order.size()), Np = int64_t(p.col_order.size());
    int64_t Mb = round_up(std::max<int64_t>(Mp, 1), e.row_group);
    int64_t Nb = round_up(std::max<int64_t>(Np, 1), e.panel_width);
    const int64_t min_rows = 16 * e.row_group, min_cols = 4 * e.panel_width;
    while (block_bytes(e, p.moduli, Mb, Nb, p.Kb) > opt.workspace_bytes && (Mb > min_rows || Nb > min_cols)) {
        const bool split_rows = p.single_chunk ? Nb <= min_cols : (Mb >= Nb && Mb > min_rows);
        if (split_rows) Mb = round_up(Mb / 2, e.row_group);
        else Nb = round_up(Nb / 2, e.panel_width);
    }
    // Splitting N being free with K in one chunk, it goes on where that makes the block fit
    // what the workspace pool keeps between calls: a repeated product then finds its pages
    // mapped (a fresh block's page faults and zeroing cost more than a tenth of a middling
    // product). Where it would not fit anyway, the columns stay in wide blocks: narrow ones
    // sort fewer columns together (more moduli) and write C in short stretches, which
    // makes the reconstruction slower. A block keeps a panel per thread.
    if (p.single_chunk) {
        const int64_t keep = int64_t(workspace_keep_limit());
        const int64_t fit_cols = std::max<int64_t>(min_cols, int64_t(threads) * e.panel_width);
        int64_t narrower = Nb;
        while (block_bytes(e, p.moduli, Mb, narrower, p.Kb) > keep &&
               round_up(narrower / 2, e.panel_width) >= fit_cols)
            narrower = round_up(narrower / 2, e.panel_width);
        if (block_bytes(e, p.moduli, Mb, narrower, p.Kb) <= keep) Nb = narrower;
    }
    if (p.single_chunk && Nb <= e.panel_width) Mb = thin_block_rows(p, e, opt, Mb, min_rows);
    p.Mb = Mb;
    p.Nb = Nb;
}

// The admitted lines in order of their norm bounds. L moduli are what the widest pair
// needs; sorted, a group of rows and a panel of columns can make do with the count their
// own largest bounds call for, which for random data saves a tenth or more of the
// products. Any count that satisfies an element's own bound is exact, so the order changes
// the speed only.
void sort_lines(FastPlan& p, const std::vector<LineWindow>& row_win, const std::vector<LineWindow>& col_win) {
    // By (bound, index) pairs, which order as a stable sort by bound would (the lines come
    // in index order), without a look-up through the windows per comparison.
    std::vector<std::pair<double, int64_t>> keyed;
    auto sort_by_norm = [&keyed](const std::vector<LineWindow>& win, std::vector<int64_t>::iterator first,
                                 std::vector<int64_t>::iterator last) {
        keyed.clear();
        for (auto it = first; it != last; ++it) keyed.emplace_back(win[size_t(*it)].log2_norm, *it);
        std::sort(keyed.begin(), keyed.end());
        for (const auto& line : keyed) *first++ = line.second;
    };
    const int64_t Np = int64_t(p.col_order.size());
    keyed.reserve(std::max(p.row_order.size(), size_t(std::min(Np, p.Nb))));
    sort_by_norm(row_win, p.row_order.begin(), p.row_order.end());
    for (int64_t n0 = 0; n0 < Np; n0 += p.Nb)
        sort_by_norm(col_win, p.col_order.begin() + n0, p.col_order.begin() + std::min(Np, n0 + p.Nb));
    for (int64_t c = 0; c < Np && !p.columns_moved; ++c) p.columns_moved = p.col_order[size_t(c)] != c;
}

// The largest bound of each panel of columns in `order`. Sorted, that is the panel's last
// column's; in index order, any of them.
std::vector<double> panel_norms(const std::vector<int64_t>& order, const std::vector<LineWindow>& col_win,
                                int64_t width) {
    const int64_t Np = int64_t(order.size());
    std::vector<double> norm(size_t((Np + width - 1) / width), -std::numeric_limits<double>::infinity());
    for (int64_t c = 0; c < Np; ++c)
        norm[size_t(c / width)] = std::max(norm[size_t(c / width)], col_win[size_t(order[size_t(c)])].log2_norm);
    return norm;
}

// The moduli the pairs of row groups and panels need in all, and each pair's count into
// `count` where given. The widest pair is the one the global choice was made for, so L
// always suffices. The rows are sorted, so down a panel each count starts its search
// from the last group's.
int64_t pair_counts(const ModulusLadder& ladder, const std::vector<double>& group_norm,
                    const std::vector<double>& panel_norm, std::vector<uint8_t>* count) {
    int64_t total = 0;
    std::vector<int> above(panel_norm.size(), 1);
    for (size_t g = 0; g < group_norm.size(); ++g)
        for (size_t q = 0; q < panel_norm.size(); ++q) {
            const int c = ladder.needed(group_norm[g] + panel_norm[q], above[q]);
            above[q] = std::max(c, 1);
            if (c == 0) throw std::logic_error("a pair needs more moduli than the plan has");
            if (count) (*count)[g * panel_norm.size() + q] = uint8_t(c);
            total += c;
        }
    return total;
}

// The largest bound of each row group and panel, and each pair's count. The rows are
// sorted; the columns too, where that spares enough moduli (Options::sort_gain): in index
// order they keep their places, and each panel of them is then read from B and written to
// C in place, without the gather and the row buffer that sorted columns cost.
void count_moduli(FastPlan& p, const EngineLayout& e, const Options& opt, const std::vector<LineWindow>& row_win,
                  const std::vector<LineWindow>& col_win, const std::vector<int64_t>& unsorted_cols) {
    const int64_t Mp = int64_t(p.row_order.size()), Np = int64_t(p.col_order.size());
    p.groups = (Mp + e.row_group - 1) / e.row_group;
    p.panels = (Np + e.panel_width - 1) / e.panel_width;
    p.group_norm.resize(size_t(p.groups));
    for (int64_t g = 0; g < p.groups; ++g)
        p.group_norm[size_t(g)] = row_win[size_t(p.row_order[size_t(std::min(Mp, (g + 1) * e.row_group) - 1)])].log2_norm;
    const ModulusLadder ladder(e.moduli, p.moduli);
    p.count.resize(size_t(p.groups * p.panels));
    p.panel_norm = panel_norms(p.col_order, col_win, e.panel_width);
    int64_t total = pair_counts(ladder, p.group_norm, p.panel_norm, &p.count);
    if (p.columns_moved) {
        std::vector<double> unsorted_norm = panel_norms(unsorted_cols, col_win, e.panel_width);
        // The gain was measured for byte residues. The int16 engine came out slower unsorted
        // at every size tried (its moduli are dearer, and its reassembly gains less): it
        // sorts wherever a modulus is spared.
        const double gain = e.residue_a_bytes == 1 ? opt.sort_gain : 0.0;
        std::vector<uint8_t> unsorted_count(p.count.size());
        const int64_t unsorted_total = pair_counts(ladder, p.group_norm, unsorted_norm, &unsorted_count);
        if (double(unsorted_total - total) * double(p.K) <= gain * double(p.groups) * double(p.panels)) {
            p.col_order = unsorted_cols;
            p.panel_norm = std::move(unsorted_norm);
            p.count = std::move(unsorted_count);
            total = unsorted_total;
            p.columns_moved = false;
            for (int64_t c = 0; c < Np && !p.columns_moved; ++c) p.columns_moved = p.col_order[size_t(c)] != c;
        }
    }
    p.average_moduli = double(total) / std::max(1.0, double(p.groups) * double(p.panels));
}

// The moduli in the residue code's form, 2^t mod p for every shift of an admitted line,
// and the CRT plans of the counts.
void prepare_moduli(FastPlan& p, const EngineLayout& e) {
    const int L = p.moduli;
    p.residue.count = L;
    p.residue.shift_limit = std::max(1, std::max(p.choice.cap_a, p.choice.cap_b));
    p.pow2.resize(size_t(L) * size_t(p.residue.shift_limit));
    for (int l = 0; l < L; ++l) {
        const int modulus = e.moduli.p[l];
        p.residue.moduli[l] = Modulus{modulus, double(modulus), 1.0 / modulus};
        int64_t v = 1 % modulus;
        for (int s = 0; s < p.residue.shift_limit; ++s) {
            p.pow2[size_t(l) * size_t(p.residue.shift_limit) + size_t(s)] = double(v);
            v = 2 * v >= modulus ? 2 * v - modulus : 2 * v;
        }
    }
    p.crt = crt_plans(e.moduli, L);
    for (int c = 1; c <= L; ++c)
        if (p.crt[c].digits > kMaxDigits) throw std::logic_error("CRT plan too wide");
}

// Where the reassembly may write each panel's results: the runs of in-place panels go
// straight into C, the others through a row buffer or a scatter, by these maps.
void map_columns(FastPlan& p, const EngineLayout& e) {
    const int64_t Np = int64_t(p.col_order.size());
    p.panel_in_place.assign(size_t(p.panels), 1);
    p.position.assign(size_t(p.N), -1);
    for (int64_t c = 0; c < Np; ++c) {
        const int64_t j = p.col_order[size_t(c)];
        p.position[size_t(j)] = int32_t(c);
        if (j != c) p.panel_in_place[size_t(c / e.panel_width)] = 0;
    }
    const size_t blocks = size_t((Np + p.Nb - 1) / std::max<int64_t>(p.Nb, 1));
    p.block_first.resize(blocks);
    p.block_last.resize(blocks);
    p.block_in_place.resize(blocks);
    for (int64_t n0 = 0, block = 0; n0 < Np; n0 += p.Nb, ++block) {
        const int64_t n1 = std::min(Np, n0 + p.Nb);
        const auto span = std::minmax_element(p.col_order.begin() + n0, p.col_order.begin() + n1);
        p.block_first[size_t(block)] = *span.first;
        p.block_last[size_t(block)] = *span.second;
        bool all = true;
        for (int64_t q = n0 / e.panel_width; q * e.panel_width < n1; ++q) all = all && p.panel_in_place[size_t(q)];
        p.block_in_place[size_t(block)] = all;
    }
}

void size_workspace(FastPlan& p, const EngineLayout& e) {
    const int64_t L = p.moduli;
    p.a_bytes = size_t(round_up(L * p.Mb * p.Kb * e.residue_a_bytes, 64));
    p.b_bytes = size_t(round_up(L * p.Kb * p.Nb * e.residue_b_bytes, 64));
    p.acc_bytes = size_t(round_up(L * p.Mb * p.Nb * e.residue_bytes, 64));
    p.gather_bytes = p.columns_moved && !e.reads_columns ? size_t(p.Kb * p.Nb) * sizeof(double) : 0;
}

}  // namespace

FastPlan plan(const GemmProblem& pb, const EngineLayout& layout, const Options& opt, int threads) {
    FastPlan p;
    p.M = pb.M;
    p.N = pb.N;
    p.K = pb.K;
    const double outputs = double(pb.M) * double(pb.N);
    if (pb.K == 0 || outputs * double(pb.K) < double(opt.min_work) || std::min(pb.M, pb.N) < opt.min_side ||
        pb.N < opt.min_cols || outputs < double(opt.min_outputs) || pb.K < opt.min_depth)
        return p;
    std::vector<LineWindow> row_win(static_cast<size_t>(pb.M)), col_win(static_cast<size_t>(pb.N));
    scan_windows(pb, layout.scan_lines, threads, row_win, col_win);
    p.choice = choose_moduli(census(row_win), census(col_win), pb.M, pb.N, pb.K, layout.moduli, opt,
                             CountScope::kPerPair);
    if (p.choice.count == 0) return p;
    p.fast = true;
    p.moduli = p.choice.count;
    p.row_shift.resize(size_t(pb.M));
    for (int64_t i = 0; i < pb.M; ++i) p.row_shift[size_t(i)] = row_win[size_t(i)].shift;
    admit(row_win, p.choice.cap_a, p.row_order, p.excluded_rows);
    admit(col_win, p.choice.cap_b, p.col_order, p.excluded_cols);
    choose_blocks(p, layout, opt, threads);
    const std::vector<int64_t> unsorted_cols = p.col_order;
    sort_lines(p, row_win, col_win);
    count_moduli(p, layout, opt, row_win, col_win, unsorted_cols);
    prepare_moduli(p, layout);
    const int64_t Np = int64_t(p.col_order.size());
    p.sorted_col_shift.assign(size_t(round_up(Np, layout.panel_width)), 0);
    for (int64_t c = 0; c < Np; ++c) p.sorted_col_shift[size_t(c)] = col_win[size_t(p.col_order[size_t(c)])].shift;
    map_columns(p, layout);
    size_workspace(p, layout);
    return p;
}

}  // namespace vexa::fast
