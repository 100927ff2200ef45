// The driver of the exact integer fast path, generic over a residue engine:
// plan -> layout -> residues and products per block -> reassembly -> fallback.
//
// An engine (int8_engine.cpp, int16_engine.cpp) supplies its residue types, its layout
// constants, its modulus list and five pieces:
//   residues_a(plan, rows[kRowGroup], shift[kRowGroup], k_count, k_padded, out, modulus_stride)
//       residues of one group of rows of A (a null row is a zero row) over k < k_count,
//       zero up to k_padded, in the engine's packed group layout, one block per modulus;
//   residues_b(plan, b, ldb, cols, k_count, k_padded, shift, out, modulus_stride)
//       residues of one panel of kPanelWidth columns of B (`cols` real, the rest zero);
//   tile(modulus, a_group, b_panel, k_padded, acc, acc_stride, accumulate)
//       the product of a row group by a panel reduced modulo p into acc (residues in
//       [0, p)), added modulo p to what is there when `accumulate`;
//   crt_round(...) and scan_lines(...) as fast::portable_crt_round and portable_scan_lines.
// Every piece writes every element of its output region. Only baseline code includes this.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "exact_core.h"
#include "fastpath.h"
#include "parallel.h"
#include "planning.h"
#include "vexa.h"
#include "workspace_pool.h"

namespace vexa::fast {
namespace driver {

using Clock = std::chrono::steady_clock;
inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline int64_t round_up(int64_t v, int64_t to) { return (v + to - 1) / to * to; }

template <class F>
void parallel(int64_t tasks, int threads, F&& body) {
    if (tasks <= 0) return;
    vexa::parallel_for(tasks, threads, [&](int64_t t) { body(t); });
}

// An exact zero sum is +0 unless every product is -0 (IEEE summation of -0 terms).
// The first nonzero or +0 product settles it, so this is short except for the rare
// element whose every product really is -0.
double signed_zero(const double* a, const double* b, int64_t ldb, int64_t K);

// Windows of every row of A and column of B, through the engine's line scans.
template <class Engine>
void scan_windows(const GemmProblem& pb, int threads, const Engine& engine,
                  std::vector<Window>& row_win, std::vector<Window>& col_win) {
    const int64_t M = pb.M, N = pb.N, K = pb.K;
    std::vector<LineScan> row_scan(static_cast<size_t>(M)), col_scan(static_cast<size_t>(N));
    const int64_t rows_per_task = 16, cols_per_task = 64;
    const int64_t row_tasks = (M + rows_per_task - 1) / rows_per_task;
    parallel(row_tasks + (N + cols_per_task - 1) / cols_per_task, threads, [&](int64_t t) {
        if (t < row_tasks) {
            const int64_t i0 = t * rows_per_task, i1 = std::min(M, i0 + rows_per_task);
            engine.scan_lines(pb.A + i0 * K, K, i1 - i0, K, true, &row_scan[size_t(i0)]);
            for (int64_t i = i0; i < i1; ++i) row_win[size_t(i)] = WindowScan(row_scan[size_t(i)]).window(K);
        } else {
            const int64_t j0 = (t - row_tasks) * cols_per_task, j1 = std::min(N, j0 + cols_per_task);
            engine.scan_lines(pb.B + j0, N, K, j1 - j0, false, &col_scan[size_t(j0)]);
            for (int64_t j = j0; j < j1; ++j) col_win[size_t(j)] = WindowScan(col_scan[size_t(j)]).window(K);
        }
    });
}

template <class Engine>
int drive(const GemmProblem& pb, int threads, const Engine& engine, const Options& opt) {
    using ResidueA = typename Engine::ResidueA;
    using ResidueB = typename Engine::ResidueB;
    using Residue = typename Engine::Residue;
    constexpr int64_t kPanelWidth = Engine::kPanelWidth, kRowGroup = Engine::kRowGroup;
    constexpr int64_t kStep = Engine::kStep;
    static_assert(kPanelWidth <= kMaxRun, "one CRT run per panel");
    const ModulusList list = engine.moduli();

    Timing timing;
    const int64_t M = pb.M, N = pb.N, K = pb.K;
    auto t0 = Clock::now();
    auto all_exact = [&]() {
        const int status = exact::gemm(pb, threads);
        timing.fallback = seconds_since(t0);
        timing.excluded_rows = M;
        record_timing(timing);
        return status;
    };
    if (K == 0 || double(M) * double(N) * double(K) < double(opt.min_work) ||
        std::min(M, N) < opt.min_side)
        return all_exact();

    // ---- Planning: integer windows, admitted widths, moduli ----
    std::vector<Window> row_win(static_cast<size_t>(M)), col_win(static_cast<size_t>(N));
    scan_windows(pb, threads, engine, row_win, col_win);
    const ModulusChoice choice = choose_moduli(census(row_win), census(col_win), M, N, K, list, opt);
    if (choice.count == 0) return all_exact();

    const int L = choice.count;
    std::vector<int32_t> row_shift(static_cast<size_t>(M)), col_shift(static_cast<size_t>(N));
    std::vector<int64_t> excluded_rows, excluded_cols, row_order, col_order;
    for (int64_t i = 0; i < M; ++i) {
        const Window& w = row_win[size_t(i)];
        row_shift[size_t(i)] = w.shift;
        (!w.special && w.width <= choice.cap_a ? row_order : excluded_rows).push_back(i);
    }
    for (int64_t j = 0; j < N; ++j) {
        const Window& w = col_win[size_t(j)];
        col_shift[size_t(j)] = w.shift;
        (!w.special && w.width <= choice.cap_b ? col_order : excluded_cols).push_back(j);
    }
    // ---- Blocking: residues of A (Mb x Kb), of B (Kb x Nb) and the residue
    // accumulators (Mb x Nb), one of each per modulus, plus the gathered columns of B
    // when sorting moved them, within the workspace target ----
    const int64_t chunk = std::max(kStep, std::min(opt.chunk, Engine::kMaxChunk) / kStep * kStep);
    const int64_t Kb = std::min(round_up(K, kStep), chunk);
    const int64_t Mp = int64_t(row_order.size()), Np = int64_t(col_order.size());
    int64_t Mb = round_up(std::max<int64_t>(Mp, 1), kRowGroup), Nb = round_up(std::max<int64_t>(Np, 1), kPanelWidth);
    // Room for gathering the columns of B is counted whether or not sorting moves them.
    auto bytes = [&](int64_t mb, int64_t nb) {
        return L * (mb * Kb * int64_t(sizeof(ResidueA)) + Kb * nb * int64_t(sizeof(ResidueB)) +
                    mb * nb * int64_t(sizeof(Residue))) +
               Kb * int64_t(sizeof(double)) * nb;
    };
    // With K in one chunk the residues of A are made once per row block and serve every
    // column block, so splitting N alone costs nothing extra; otherwise both operands'
    // residues are remade per block of the other, and the larger side is split first.
    const bool single_chunk = Kb >= K;
    const int64_t min_rows = 16 * kRowGroup, min_cols = 4 * kPanelWidth;
    while (bytes(Mb, Nb) > opt.workspace_bytes && (Mb > min_rows || Nb > min_cols)) {
        const bool split_rows = single_chunk ? Nb <= min_cols : (Mb >= Nb && Mb > min_rows);
        if (split_rows) Mb = round_up(Mb / 2, kRowGroup);
        else Nb = round_up(Nb / 2, kPanelWidth);
    }
    // Splitting N being free with K in one chunk, it goes on where that makes the block fit
    // what the workspace pool keeps between calls: a repeated product then finds its pages
    // mapped (a fresh block's page faults and zeroing cost more than a tenth of a middling
    // product). Where it would not fit anyway, the columns stay in wide blocks: narrow ones
    // sort fewer columns together (more moduli) and write C in short stretches, which
    // makes the reconstruction slower. A block keeps a panel per thread, whose residues
    // are made one panel per task.
    if (single_chunk) {
        const int64_t keep = int64_t(workspace_keep_limit());
        const int64_t fit_cols = std::max<int64_t>(min_cols, int64_t(threads) * kPanelWidth);
        int64_t narrower = Nb;
        while (bytes(Mb, narrower) > keep && round_up(narrower / 2, kPanelWidth) >= fit_cols)
            narrower = round_up(narrower / 2, kPanelWidth);
        if (bytes(Mb, narrower) <= keep) Nb = narrower;
    }

    // The admitted lines in order of their norm bounds. L moduli are what the widest pair
    // needs; sorted, a group of rows and a panel of columns can make do with the count
    // their own largest bounds call for, which for random data saves a tenth or more of
    // the products. Any count that satisfies an element's own bound is exact, so the
    // order changes the speed only. Columns are sorted within each column block: a row's
    // results then land within the block's own stretch of C, which stays in cache.
    auto by_norm = [](const std::vector<Window>& win) {
        return [&win](int64_t x, int64_t y) { return win[size_t(x)].log2_norm < win[size_t(y)].log2_norm; };
    };
    std::stable_sort(row_order.begin(), row_order.end(), by_norm(row_win));
    for (int64_t n0 = 0; n0 < Np; n0 += Nb)
        std::stable_sort(col_order.begin() + n0, col_order.begin() + std::min(Np, n0 + Nb), by_norm(col_win));
    bool columns_moved = false;
    for (int64_t c = 0; c < Np && !columns_moved; ++c) columns_moved = col_order[size_t(c)] != c;

    // Largest norm bound of each group of kRowGroup sorted rows and each panel of sorted
    // columns: that of its last line.
    const int64_t groups = (Mp + kRowGroup - 1) / kRowGroup;
    const int64_t all_panels = (Np + kPanelWidth - 1) / kPanelWidth;
    std::vector<double> group_norm(static_cast<size_t>(groups)), panel_norm(static_cast<size_t>(all_panels));
    for (int64_t g = 0; g < groups; ++g)
        group_norm[size_t(g)] = row_win[size_t(row_order[size_t(std::min(Mp, (g + 1) * kRowGroup) - 1)])].log2_norm;
    for (int64_t q = 0; q < all_panels; ++q)
        panel_norm[size_t(q)] = col_win[size_t(col_order[size_t(std::min(Np, (q + 1) * kPanelWidth) - 1)])].log2_norm;
    auto widest_panel = [&](int64_t q0, int64_t q1) {
        double widest = -std::numeric_limits<double>::infinity();
        for (int64_t q = q0; q < q1; ++q) widest = std::max(widest, panel_norm[size_t(q)]);
        return widest;
    };
    const double widest_panel_norm = widest_panel(0, all_panels);
    const ModulusLadder ladder(list, L);
    // The widest pair is the one the global choice was made for, so L always suffices.
    if (groups > 0 && all_panels > 0 && ladder.needed(group_norm[size_t(groups - 1)] + widest_panel_norm) == 0)
        return VEXA_ERROR_INTERNAL;
    auto moduli_needed = [&](int64_t g, int64_t q) {
        return ladder.needed(group_norm[size_t(g)] + panel_norm[size_t(q)]);
    };

    ResiduePlan plan;
    plan.count = L;
    plan.shift_limit = std::max(1, std::max(choice.cap_a, choice.cap_b));
    std::vector<double> pow2(size_t(L) * size_t(plan.shift_limit));
    for (int l = 0; l < L; ++l) {
        const int p = list.p[l];
        plan.moduli[l] = Modulus{p, double(p), 1.0 / p};
        int64_t v = 1 % p;
        for (int s = 0; s < plan.shift_limit; ++s) {
            pow2[size_t(l) * size_t(plan.shift_limit) + size_t(s)] = double(v);
            v = (v * 2) % p;
        }
    }
    plan.pow2 = pow2.data();
    // One CRT plan per modulus count in use.
    std::vector<CrtPlan> crt(size_t(L) + 1);
    for (int count = ladder.needed(-std::numeric_limits<double>::infinity()); count <= L; ++count) {
        build_crt_plan(list, count, crt[size_t(count)]);
        if (crt[size_t(count)].digits > kMaxDigits) return VEXA_ERROR_INTERNAL;
    }
    std::vector<int32_t> sorted_col_shift(size_t(round_up(Np, kPanelWidth)), 0);
    for (int64_t c = 0; c < Np; ++c) sorted_col_shift[size_t(c)] = col_shift[size_t(col_order[size_t(c)])];

    // Left uninitialised: every byte is written before it is read, and zero-filling
    // hundreds of megabytes on one thread would cost more than the residues themselves.
    const size_t a_bytes = size_t(round_up(L * Mb * Kb * int64_t(sizeof(ResidueA)), 64));
    const size_t b_bytes = size_t(round_up(L * Kb * Nb * int64_t(sizeof(ResidueB)), 64));
    const size_t acc_bytes = size_t(round_up(L * Mb * Nb * int64_t(sizeof(Residue)), 64));
    const size_t gather_bytes = columns_moved ? size_t(Kb * Nb) * sizeof(double) : 0;
    const WorkspaceLease workspace(a_bytes + b_bytes + acc_bytes + gather_bytes);
    ResidueA* const res_a = reinterpret_cast<ResidueA*>(workspace.get());
    ResidueB* const res_b = reinterpret_cast<ResidueB*>(workspace.get() + a_bytes);
    Residue* const acc = reinterpret_cast<Residue*>(workspace.get() + a_bytes + b_bytes);
    double* const gathered = reinterpret_cast<double*>(workspace.get() + a_bytes + b_bytes + acc_bytes);
    timing.planning = seconds_since(t0);

    // ---- Excluded lines through the exact core's blocked product, first: it allocates,
    // and nothing may be written before every allocation has succeeded ----
    auto t4 = Clock::now();
    int status = VEXA_OK;
    if (!excluded_rows.empty())
        status = exact::gemm_selected(pb, threads, excluded_rows.data(), int64_t(excluded_rows.size()), nullptr, 0);
    if (status == VEXA_OK && !excluded_cols.empty() && Mp > 0)
        status = exact::gemm_selected(pb, threads, row_order.data(), Mp, excluded_cols.data(),
                                      int64_t(excluded_cols.size()));
    if (status != VEXA_OK) return status;
    timing.fallback = seconds_since(t4);

    const int64_t tile_rows = 16 * kRowGroup, tile_panels = std::max<int64_t>(1, 256 / kPanelWidth);
    double modulus_products = 0;
    for (int64_t m0 = 0; m0 < Mp; m0 += Mb) {
        const int64_t mb = std::min(Mb, Mp - m0);
        const int64_t mb_pad = round_up(mb, kRowGroup);
        const int64_t g0 = m0 / kRowGroup;  // Mb is a multiple of kRowGroup
        // Residues of A rows [m0, m0 + mb) over k in [k0, k0 + kb), one row group, with the
        // count it needs against a panel of norm bound widest; the pad rows are zero.
        auto residues_of_a = [&](int64_t k0, int64_t kb, int64_t group, double widest) {
            const int64_t kb_pad = round_up(kb, kStep);
            ResiduePlan group_plan = plan;
            group_plan.count = ladder.needed(group_norm[size_t(g0 + group)] + widest);
            const double* rows[kRowGroup];
            int32_t shifts[kRowGroup];
            for (int64_t u = 0; u < kRowGroup; ++u) {
                const int64_t r = group * kRowGroup + u;
                const int64_t i = r < mb ? row_order[size_t(m0 + r)] : -1;
                rows[u] = i >= 0 ? pb.A + i * K + k0 : nullptr;
                shifts[u] = i >= 0 ? row_shift[size_t(i)] : 0;
            }
            engine.residues_a(group_plan, rows, shifts, kb, kb_pad,
                              res_a + group * kRowGroup * kb_pad, Mb * Kb);
        };
        if (single_chunk) {
            auto t1 = Clock::now();
            parallel(mb_pad / kRowGroup, threads,
                     [&](int64_t group) { residues_of_a(0, K, group, widest_panel_norm); });
            timing.residues += seconds_since(t1);
        }
        for (int64_t n0 = 0; n0 < Np; n0 += Nb) {
            const int64_t nb = std::min(Nb, Np - n0);
            const int64_t panels = (nb + kPanelWidth - 1) / kPanelWidth;
            const int64_t nb_pad = panels * kPanelWidth;
            const int64_t q0 = n0 / kPanelWidth;  // Nb is a multiple of kPanelWidth
            const double block_widest = single_chunk ? 0 : widest_panel(q0, q0 + panels);
            // The widest count of a panel is against the block's last row group.
            auto panel_count = [&](int64_t pnl) { return moduli_needed(g0 + mb_pad / kRowGroup - 1, q0 + pnl); };
            for (int64_t k0 = 0; k0 < K; k0 += Kb) {
                const int64_t kb = std::min(Kb, K - k0);
                const int64_t kb_pad = round_up(kb, kStep);
                auto t1 = Clock::now();
                // The sorted columns of B gathered into panels, a few rows of B at a time:
                // gathering panel by panel instead would stream all of B once per panel.
                if (columns_moved) {
                    const int64_t rows_per_task = 16;
                    parallel((kb + rows_per_task - 1) / rows_per_task, threads, [&](int64_t t) {
                        const int64_t* from = &col_order[size_t(n0)];
                        for (int64_t k = t * rows_per_task; k < std::min(kb, (t + 1) * rows_per_task); ++k) {
                            const double* row = pb.B + (k0 + k) * N;
                            for (int64_t c = 0; c < nb; ++c)
                                gathered[(c / kPanelWidth) * kPanelWidth * Kb + k * kPanelWidth + c % kPanelWidth] =
                                    row[from[c]];
                        }
                    });
                }
                // Residues of A by row group (unless made once above), of B by panel.
                const int64_t a_tasks = single_chunk ? 0 : mb_pad / kRowGroup;
                parallel(a_tasks + panels, threads, [&](int64_t t) {
                    if (t < a_tasks) {
                        residues_of_a(k0, kb, t, block_widest);
                        return;
                    }
                    const int64_t pnl = t - a_tasks;
                    const int64_t c0 = n0 + pnl * kPanelWidth;
                    const int64_t cols = std::min<int64_t>(kPanelWidth, Np - c0);
                    const double* source = pb.B + k0 * N + c0;
                    int64_t stride = N;
                    if (columns_moved) {
                        source = gathered + pnl * kPanelWidth * Kb;
                        stride = kPanelWidth;
                    }
                    ResiduePlan panel_plan = plan;
                    panel_plan.count = panel_count(pnl);
                    engine.residues_b(panel_plan, source, stride, cols, kb, kb_pad, &sorted_col_shift[size_t(c0)],
                                      res_b + pnl * kb_pad * kPanelWidth, Kb * Nb);
                });
                auto t2 = Clock::now();
                timing.residues += std::chrono::duration<double>(t2 - t1).count();
                // Products, one task per (modulus, row tile, panel group); a row group and
                // panel pair takes part for the moduli its bound needs.
                const int64_t row_tiles = (mb_pad + tile_rows - 1) / tile_rows;
                const int64_t col_tiles = (panels + tile_panels - 1) / tile_panels;
                parallel(L * row_tiles * col_tiles, threads, [&](int64_t t) {
                    const int l = int(t / (row_tiles * col_tiles));
                    const int64_t rest = t % (row_tiles * col_tiles);
                    const int64_t rt = rest / col_tiles, ct = rest % col_tiles;
                    const ResidueA* a = res_a + l * Mb * Kb;
                    const ResidueB* b = res_b + l * Kb * Nb;
                    Residue* out = acc + l * Mb * Nb;
                    const int64_t p1 = std::min(panels, (ct + 1) * tile_panels);
                    const int64_t r1 = std::min(mb_pad, (rt + 1) * tile_rows);
                    for (int64_t pnl = ct * tile_panels; pnl < p1; ++pnl)
                        for (int64_t r = rt * tile_rows; r < r1; r += kRowGroup)
                            if (moduli_needed(g0 + r / kRowGroup, q0 + pnl) > l)
                                engine.tile(plan.moduli[l], a + r * kb_pad, b + pnl * kb_pad * kPanelWidth, kb_pad,
                                            out + r * nb_pad + pnl * kPanelWidth, nb_pad, k0 > 0);
                });
                timing.products += seconds_since(t2);
            }
            for (int64_t r = 0; r < mb_pad; r += kRowGroup)
                for (int64_t pnl = 0; pnl < panels; ++pnl)
                    modulus_products += double(moduli_needed(g0 + r / kRowGroup, q0 + pnl));
            // Reassembly of this block, each element straight to its place: the block's
            // columns span only its own stretch of the row.
            auto t3 = Clock::now();
            parallel(mb, threads, [&](int64_t r) {
                const int64_t i = row_order[size_t(m0 + r)];
                double* const c_hi = pb.C_hi + i * N;
                double* const c_lo = pb.C_lo + i * N;
                uint8_t zero[kPanelWidth];
                alignas(64) double run_hi[kPanelWidth], run_lo[kPanelWidth], run_res64[kPanelWidth];
                alignas(64) float run_res[kPanelWidth];
                for (int64_t pnl = 0; pnl < panels; ++pnl) {
                    const int64_t c0 = n0 + pnl * kPanelWidth;  // sorted position
                    const int run = int(std::min<int64_t>(kPanelWidth, Np - c0));
                    const CrtPlan& plan_here = crt[size_t(moduli_needed(g0 + r / kRowGroup, q0 + pnl))];
                    const Residue* const residues = acc + r * nb_pad + (c0 - n0);
                    const int32_t* const shifts = &sorted_col_shift[size_t(c0)];
                    if (pb.C_res64)
                        portable_crt_round_f64(plan_here, residues, Mb * Nb, run, row_shift[size_t(i)], shifts,
                                               run_hi, run_lo, run_res64, zero);
                    else
                        engine.crt_round(plan_here, residues, Mb * Nb, run, row_shift[size_t(i)], shifts,
                                         run_hi, run_lo, run_res, zero);
                    for (int e = 0; e < run; ++e) {
                        const int64_t j = col_order[size_t(c0 + e)];
                        c_hi[j] = zero[e] ? signed_zero(pb.A + i * K, pb.B + j, N, K) : run_hi[e];
                        c_lo[j] = run_lo[e];
                        if (pb.C_res64)
                            pb.C_res64[i * N + j] = run_res64[e];
                        else
                            pb.C_res[i * N + j] = run_res[e];
                    }
                }
            });
            timing.reconstruction += seconds_since(t3);
        }
    }
    timing.average_moduli = modulus_products / std::max(1.0, double(groups) * double(all_panels));
    timing.moduli = L;
    timing.excluded_rows = int64_t(excluded_rows.size());
    timing.excluded_cols = int64_t(excluded_cols.size());
    record_timing(timing);
    return VEXA_OK;
}

}  // namespace driver

// The two pieces whose form every engine shares, forwarded to its table of pieces.
template <class Ops, class Residue>
struct SharedPieces {
    const Ops& ops;
    void crt_round(const CrtPlan& plan, const Residue* residues, int64_t stride, int count,
                   int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res,
                   uint8_t* zero) const {
        ops.crt_round(plan, residues, stride, count, scale_base, scale, hi, lo, res, zero);
    }
    void scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                    LineScan* out) const {
        ops.scan_lines(b, ldb, rows, cols, by_rows, out);
    }
};

// The whole product through an engine; returns a vexa_status value, never throws.
template <class Engine>
int run_engine(const GemmProblem& problem, int threads, const Engine& engine, const Options& options) {
    try {
        return driver::drive(problem, threads, engine, options);
    } catch (const std::bad_alloc&) {
        return VEXA_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VEXA_ERROR_INTERNAL;
    }
}

}  // namespace vexa::fast
