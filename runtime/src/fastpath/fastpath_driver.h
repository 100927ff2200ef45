// The driver of the exact integer fast path, generic over a residue engine: a plan
// (fast_plan.h), then the excluded lines through the exact core, then block by block the
// residues, their products and the reassembly.
//
// An engine (int8_engine.cpp, int16_engine.cpp) supplies its residue types, its layout
// constants, its modulus list and five pieces:
//   residues_a(plan, rows[kRowGroup], shift[kRowGroup], k_count, k_padded, out, modulus_stride)
//       residues of one group of rows of A (a null row is a zero row) over k < k_count,
//       zero up to k_padded, in the engine's packed group layout, one block per modulus;
//   residues_b(plan, b, ldb, cols, k_count, k_padded, shift, out, modulus_stride)
//       residues of one panel of kPanelWidth columns of B (`cols` real, the rest zero);
//   residues_b_columns(plan, b, ldb, columns, cols, ...), where kReadsColumns
//       the same with column c at b + columns[c];
//   tile(modulus, a_group, b_panel, k_padded, acc, acc_stride, accumulate)
//       the product of a row group by a panel reduced modulo p into acc (residues in
//       [0, p)), added modulo p to what is there when `accumulate`;
//   crt_round(...) and scan_lines(...) as fast::portable_crt_round and portable_scan_lines.
// Every piece writes every element of its output region. Only baseline code includes this.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "exact/exact_core.h"
#include "fastpath/fast_plan.h"
#include "fastpath/fastpath.h"
#include "support/parallel.h"
#include "vexa.h"
#include "support/workspace_pool.h"

namespace vexa::fast {
namespace driver {

inline int64_t round_up(int64_t v, int64_t to) { return (v + to - 1) / to * to; }

// Adds the seconds from its construction to stop() (or its end) to one Timing field.
class PhaseTimer {
public:
    explicit PhaseTimer(double& slot) : slot_(&slot), start_(std::chrono::steady_clock::now()) {}
    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;
    ~PhaseTimer() { stop(); }
    void stop() {
        if (!slot_) return;
        *slot_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        slot_ = nullptr;
    }

private:
    double* slot_;
    std::chrono::steady_clock::time_point start_;
};

// An exact zero sum is +0 unless every product is -0 (IEEE summation of -0 terms).
// The first nonzero or +0 product settles it, so this is short except for the rare
// element whose every product really is -0.
double signed_zero(const double* a, const double* b, int64_t ldb, int64_t K);

// The excluded lines of a plan through the exact core's blocked product: the excluded rows
// whole, then the admitted rows' elements in excluded columns.
int run_fallback(const GemmProblem& pb, int threads, const FastPlan& plan);

template <class Engine>
EngineLayout layout_of(const Engine& engine) {
    return EngineLayout{Engine::kPanelWidth, Engine::kRowGroup, Engine::kStep, Engine::kMaxChunk,
                        int64_t(sizeof(typename Engine::ResidueA)), int64_t(sizeof(typename Engine::ResidueB)),
                        int64_t(sizeof(typename Engine::Residue)), engine.moduli(), engine.ops.scan_lines,
                        Engine::kReadsColumns};
}

// One block of the plan: sorted rows [m0, m0 + mb) (whole row groups from g0, mb_pad rows
// with the pad) by sorted columns [n0, n0 + nb) (panels from q0, nb_pad with the pad).
struct Block {
    int64_t m0, mb, mb_pad, g0;
    int64_t n0, nb, panels, nb_pad, q0;
};

// Carries out the CRT part of a plan, block by block: the residues, their products modulo
// each modulus and the reassembly of each element by the CRT. Every phase adds its time to
// the Timing through a PhaseTimer.
template <class Engine>
class Execution {
    using ResidueA = typename Engine::ResidueA;
    using ResidueB = typename Engine::ResidueB;
    using Residue = typename Engine::Residue;
    static constexpr int64_t kPanelWidth = Engine::kPanelWidth, kRowGroup = Engine::kRowGroup;
    static constexpr int64_t kStep = Engine::kStep;
    // Columns of a block whose rows go through a buffer: 48 KiB of stack at most.
    static constexpr int64_t kRowBuffer = 2048;
    static_assert(kPanelWidth <= kMaxRun, "one CRT run per panel");

public:
    Execution(const GemmProblem& pb, int threads, const Engine& engine, const FastPlan& plan,
              unsigned char* workspace, Timing& timing)
        : pb_(pb), threads_(threads), engine_(engine), p_(plan), timing_(timing),
          res_a_(reinterpret_cast<ResidueA*>(workspace)),
          res_b_(reinterpret_cast<ResidueB*>(workspace + plan.a_bytes)),
          acc_(reinterpret_cast<Residue*>(workspace + plan.a_bytes + plan.b_bytes)),
          gathered_(reinterpret_cast<double*>(workspace + plan.a_bytes + plan.b_bytes + plan.acc_bytes)),
          in_place_(plan.panel_in_place), position_(plan.position), block_first_(plan.block_first),
          block_last_(plan.block_last), block_in_place_(plan.block_in_place) {}

    void run_blocks() {
        const int64_t Mp = int64_t(p_.row_order.size()), Np = int64_t(p_.col_order.size());
        for (int64_t m0 = 0; m0 < Mp; m0 += p_.Mb) {
            Block b{};
            b.m0 = m0;
            b.mb = std::min(p_.Mb, Mp - m0);
            b.mb_pad = round_up(b.mb, kRowGroup);
            b.g0 = m0 / kRowGroup;  // Mb is a multiple of kRowGroup
            for (int64_t n0 = 0; n0 < Np; n0 += p_.Nb) {
                b.n0 = n0;
                b.nb = std::min(p_.Nb, Np - n0);
                b.panels = (b.nb + kPanelWidth - 1) / kPanelWidth;
                b.nb_pad = b.panels * kPanelWidth;
                b.q0 = n0 / kPanelWidth;  // Nb is a multiple of kPanelWidth
                for (int64_t k0 = 0; k0 < pb_.K; k0 += p_.Kb) {
                    const int64_t kb = std::min(p_.Kb, pb_.K - k0);
                    residues(b, k0, kb);
                    products(b, k0, kb);
                }
                reassemble(b);
            }
        }
    }

private:
    // The most moduli a row group needs against panels [q0, q1).
    int group_count(int64_t g, int64_t q0, int64_t q1) const {
        int most = 0;
        for (int64_t q = q0; q < q1; ++q) most = std::max(most, p_.count_at(g, q));
        return most;
    }

    // Residues of one row group of the block over k in [k0, k0 + kb), `count` moduli; the
    // pad rows are zero.
    void residues_of_a(const Block& b, int64_t k0, int64_t kb, int64_t group, int count) {
        const double* rows[kRowGroup];
        int32_t shifts[kRowGroup];
        for (int64_t u = 0; u < kRowGroup; ++u) {
            const int64_t r = group * kRowGroup + u;
            const int64_t i = r < b.mb ? p_.row_order[size_t(b.m0 + r)] : -1;
            rows[u] = i >= 0 ? pb_.A + i * pb_.K + k0 : nullptr;
            shifts[u] = i >= 0 ? p_.row_shift[size_t(i)] : 0;
        }
        const int64_t kb_pad = round_up(kb, kStep);
        engine_.residues_a(p_.residue_plan(count), rows, shifts, kb, kb_pad, res_a_ + group * kRowGroup * kb_pad,
                           p_.Mb * p_.Kb);
    }

    // Where the gathered block is small enough to stay in cache, each panel gathers its own
    // columns as its residues are made: one region fewer per block, which is what counts
    // for small products.
    bool gather_by_panel(int64_t kb) const { return kb * p_.Nb * int64_t(sizeof(double)) <= (int64_t(512) << 10); }

    // Panels [pnl_begin, pnl_end) of the block's sorted columns, rows [k_begin, k_end) of
    // the chunk, into the panel layout of the gathered block.
    void gather(const Block& b, int64_t k0, int64_t pnl_begin, int64_t pnl_end, int64_t k_begin, int64_t k_end) {
        for (int64_t k = k_begin; k < k_end; ++k) {
            const double* const row = pb_.B + (k0 + k) * pb_.N;
            for (int64_t pnl = pnl_begin; pnl < pnl_end; ++pnl) {
                const int64_t width = std::min(kPanelWidth, b.nb - pnl * kPanelWidth);
                const int64_t* const from = &p_.col_order[size_t(b.n0 + pnl * kPanelWidth)];
                double* const to = gathered_ + pnl * kPanelWidth * p_.Kb + k * kPanelWidth;
                for (int64_t c = 0; c < width; ++c) to[c] = row[from[c]];
            }
        }
    }

    // The whole block gathered a few rows of B at a time: panel by panel would stream all of
    // B once per panel.
    void gather_columns(const Block& b, int64_t k0, int64_t kb) {
        const int64_t rows_per_task = 16;
        parallel_for((kb + rows_per_task - 1) / rows_per_task, threads_, [&](int64_t t) {
            gather(b, k0, 0, b.panels, t * rows_per_task, std::min(kb, (t + 1) * rows_per_task));
        });
    }

    // Residues of one panel of B; a panel's count is against the block's last row group,
    // the widest of the block since the rows are sorted.
    void residues_of_b(const Block& b, int64_t k0, int64_t kb, int64_t pnl) {
        if constexpr (Engine::kReadsColumns) {
            if (p_.columns_moved) return residues_of_b_columns(b, k0, kb, pnl, 0, kb);
        }
        const int64_t c0 = b.n0 + pnl * kPanelWidth;
        const int64_t cols = std::min<int64_t>(kPanelWidth, int64_t(p_.col_order.size()) - c0);
        const double* source = pb_.B + k0 * pb_.N + c0;
        int64_t stride = pb_.N;
        if (p_.columns_moved) {
            if (gather_by_panel(kb)) gather(b, k0, pnl, pnl + 1, 0, kb);
            source = gathered_ + pnl * kPanelWidth * p_.Kb;
            stride = kPanelWidth;
        }
        const int64_t kb_pad = round_up(kb, kStep);
        engine_.residues_b(p_.residue_plan(panel_count(b, pnl)), source, stride, cols, kb, kb_pad,
                           &p_.sorted_col_shift[size_t(c0)], res_b_ + pnl * kb_pad * kPanelWidth, p_.Kb * p_.Nb);
    }

    // Where B's residues serve every row block, they are made for the most moduli any row
    // group needs against the panel.
    int panel_count(const Block& b, int64_t pnl) const {
        if (b_residues_shared()) return group_count_all(b.q0 + pnl);
        return p_.count_at(b.g0 + b.mb_pad / kRowGroup - 1, b.q0 + pnl);
    }

    int group_count_all(int64_t q) const {
        int most = 0;
        for (int64_t g = 0; g < p_.groups; ++g) most = std::max(most, p_.count_at(g, q));
        return most;
    }

    // With K in one chunk and the columns in one block, every row block multiplies the same
    // panels of B: their residues, made with the first row block, serve the others.
    bool b_residues_shared() const {
        return p_.single_chunk && p_.Nb >= int64_t(p_.col_order.size());
    }

    // Rows [k_begin, k_end) of a panel's residues, its sorted columns read where they are in
    // B: engines with kReadsColumns never gather. k_begin is a whole number of steps, and
    // the chunk's padding rows come with its last rows.
    void residues_of_b_columns(const Block& b, int64_t k0, int64_t kb, int64_t pnl, int64_t k_begin,
                               int64_t k_end) {
        if constexpr (Engine::kReadsColumns) {
            const int64_t c0 = b.n0 + pnl * kPanelWidth;
            const int64_t cols = std::min<int64_t>(kPanelWidth, int64_t(p_.col_order.size()) - c0);
            const int64_t kb_pad = round_up(kb, kStep);
            const int64_t k_padded = (k_end < kb ? k_end : kb_pad) - k_begin;
            engine_.residues_b_columns(p_.residue_plan(panel_count(b, pnl)), pb_.B + (k0 + k_begin) * pb_.N,
                                       pb_.N, &p_.col_order[size_t(c0)], cols, k_end - k_begin, k_padded,
                                       &p_.sorted_col_shift[size_t(c0)],
                                       res_b_ + (pnl * kb_pad + k_begin) * kPanelWidth, p_.Kb * p_.Nb);
        }
    }

    // A block too large to stay in cache has its sorted columns read a few rows of B at a
    // time for every panel, rather than panel by panel over all rows: each row is then
    // fetched once, and stays in the second-level cache while every panel picks its
    // columns out of it. Where the engine cannot read columns in place, the block is
    // gathered first (gather_columns). Against gathering, reading in place took 10-15% off
    // the int8 residues at n = 1024 and 4096 and up to 13% at 2048, noisier there (Zen 4),
    // and the gathered copy's room out of the workspace.
    static constexpr int64_t kRowsPerTask = (32 + kStep - 1) / kStep * kStep;
    void residues_of_b_rows(const Block& b, int64_t k0, int64_t kb, int64_t t) {
        const int64_t k_begin = t * kRowsPerTask, k_end = std::min(kb, k_begin + kRowsPerTask);
        for (int64_t pnl = 0; pnl < b.panels; ++pnl) residues_of_b_columns(b, k0, kb, pnl, k_begin, k_end);
    }

    // Residues of A by row group, of B by panel, in one region. With K in one chunk the
    // residues of A are made with the first column block, for every panel, and serve the
    // others. The panels go first: each is the work of about ten row groups, and taken
    // last they would leave a thread with one while the other has nothing left.
    void residues(const Block& b, int64_t k0, int64_t kb) {
        PhaseTimer timer(timing_.residues);
        const bool b_made = b_residues_shared() && b.m0 > 0;
        const bool out_of_cache = p_.columns_moved && !gather_by_panel(kb);
        if (out_of_cache && !Engine::kReadsColumns && !b_made) gather_columns(b, k0, kb);
        const bool rows_of_panels = out_of_cache && Engine::kReadsColumns;
        const bool all_panels = p_.single_chunk;
        const int64_t a_tasks = !all_panels || b.n0 == 0 ? b.mb_pad / kRowGroup : 0;
        const int64_t q0 = all_panels ? 0 : b.q0, q1 = all_panels ? p_.panels : b.q0 + b.panels;
        const int64_t b_tasks = b_made ? 0 : rows_of_panels ? (kb + kRowsPerTask - 1) / kRowsPerTask : b.panels;
        parallel_for(a_tasks + b_tasks, threads_, [&](int64_t t) {
            if (t >= b_tasks)
                residues_of_a(b, k0, kb, t - b_tasks, group_count(b.g0 + t - b_tasks, q0, q1));
            else if (rows_of_panels)
                residues_of_b_rows(b, k0, kb, t);
            else
                residues_of_b(b, k0, kb, t);
        });
    }

    // Products, one task per (modulus, row tile, panel group); a row group and panel pair
    // takes part for the moduli its bound needs.
    void products(const Block& b, int64_t k0, int64_t kb) {
        PhaseTimer timer(timing_.products);
        const int64_t kb_pad = round_up(kb, kStep);
        const int64_t tile_rows = 16 * kRowGroup, tile_panels = std::max<int64_t>(1, 256 / kPanelWidth);
        const int64_t row_tiles = (b.mb_pad + tile_rows - 1) / tile_rows;
        const int64_t col_tiles = (b.panels + tile_panels - 1) / tile_panels;
        parallel_for(p_.moduli * row_tiles * col_tiles, threads_, [&](int64_t t) {
            const int l = int(t / (row_tiles * col_tiles));
            const int64_t rest = t % (row_tiles * col_tiles);
            const int64_t rt = rest / col_tiles, ct = rest % col_tiles;
            const ResidueA* a = res_a_ + l * p_.Mb * p_.Kb;
            const ResidueB* bp = res_b_ + l * p_.Kb * p_.Nb;
            Residue* out = acc_ + l * p_.Mb * p_.Nb;
            const int64_t p1 = std::min(b.panels, (ct + 1) * tile_panels);
            const int64_t r1 = std::min(b.mb_pad, (rt + 1) * tile_rows);
            for (int64_t pnl = ct * tile_panels; pnl < p1; ++pnl)
                for (int64_t r = rt * tile_rows; r < r1; r += kRowGroup)
                    if (p_.count_at(b.g0 + r / kRowGroup, b.q0 + pnl) > l)
                        engine_.tile(p_.residue.moduli[l], a + r * kb_pad, bp + pnl * kb_pad * kPanelWidth,
                                     int(std::min(kPanelWidth, b.nb - pnl * kPanelWidth)), kb_pad,
                                     out + r * b.nb_pad + pnl * kPanelWidth, b.nb_pad, k0 > 0);
        });
    }

    template <class Res>
    void round_run(const CrtPlan& crt, const Residue* residues, int run, int32_t shift, const int32_t* shifts,
                   double* hi, double* lo, Res* res, uint8_t* zero) const {
        if constexpr (std::is_same<Res, double>::value)
            portable_crt_round_f64(crt, residues, p_.Mb * p_.Nb, run, shift, shifts, hi, lo, res, zero);
        else
            engine_.crt_round(crt, residues, p_.Mb * p_.Nb, run, shift, shifts, hi, lo, res, zero);
    }

    void reassemble_row(const Block& b, int64_t r) {
        const int64_t i = p_.row_order[size_t(b.m0 + r)];
        if (pb_.C_res64)
            reassemble_row(b, r, i, pb_.C_res64 + i * pb_.N);
        else
            reassemble_row(b, r, i, pb_.C_res + i * pb_.N);
    }

    // One row of the block. The columns sorted within the block make the row's results a
    // permutation of its stretch of C, and stores to C one element at a time in that order
    // are what the reassembly would mostly wait on: each holds a store buffer entry until
    // its line comes, and no prefetcher foresees the order. So the runs are rounded into a
    // row buffer in sorted order, and C is written front to back from it. A block whose
    // panels all kept their columns' places is rounded straight into C; a block too wide
    // for the buffer goes panel by panel through a scatter. The output pointers are held in
    // locals, since the stores through them could otherwise alias the problem and the plan,
    // and be reloaded per element.
    template <class Res>
    void reassemble_row(const Block& b, int64_t r, int64_t i, Res* const c_res) {
        const int64_t N = pb_.N, K = pb_.K;
        double* const c_hi = pb_.C_hi + i * N;
        double* const c_lo = pb_.C_lo + i * N;
        const double* const a_row = pb_.A + i * K;
        const double* const b_top = pb_.B;
        const int32_t shift = p_.row_shift[size_t(i)];
        const int64_t g = b.g0 + r / kRowGroup, block = b.n0 / p_.Nb;
        const bool buffered = !block_in_place_[size_t(block)] && b.nb <= kRowBuffer;
        if (buffered) prefetch_stretch(block, c_hi, c_lo, c_res);
        alignas(64) double buf_hi[kRowBuffer], buf_lo[kRowBuffer];
        alignas(64) Res buf_res[kRowBuffer];
        alignas(64) uint8_t zero[kPanelWidth];
        for (int64_t pnl = 0; pnl < b.panels; ++pnl) {
            const int64_t c0 = b.n0 + pnl * kPanelWidth;  // sorted position
            const int run = int(std::min<int64_t>(kPanelWidth, int64_t(p_.col_order.size()) - c0));
            const CrtPlan& crt = p_.crt[p_.count_at(g, b.q0 + pnl)];
            const Residue* const residues = acc_ + r * b.nb_pad + (c0 - b.n0);
            if (kPrefetchResidues && r + 1 < b.mb)
                prefetch_residues(residues + b.nb_pad, p_.count_at(b.g0 + (r + 1) / kRowGroup, b.q0 + pnl));
            const int32_t* const shifts = &p_.sorted_col_shift[size_t(c0)];
            const int64_t* const cols = &p_.col_order[size_t(c0)];
            // Sorted position c0 + e is column c0 + e in an in-place panel.
            const bool in_place = !buffered && in_place_[size_t(b.q0 + pnl)];
            double* const hi = buffered ? buf_hi + (c0 - b.n0) : in_place ? c_hi + c0 : buf_hi;
            double* const lo = buffered ? buf_lo + (c0 - b.n0) : in_place ? c_lo + c0 : buf_lo;
            Res* const res = buffered ? buf_res + (c0 - b.n0) : in_place ? c_res + c0 : buf_res;
            round_run(crt, residues, run, shift, shifts, hi, lo, res, zero);
            // Exact zeros are rare: one scan of the flags, then the sign rule where one is set.
            if (any_set(zero, run))
                for (int e = 0; e < run; ++e)
                    if (zero[e]) hi[e] = signed_zero(a_row, b_top + cols[e], N, K);
            if (!buffered && !in_place) scatter(run, cols, hi, lo, res, c_hi, c_lo, c_res);
        }
        if (buffered) {
            // The block's stretch of columns holds its own admitted columns and excluded
            // ones (position -1), no other block's.
            const int32_t* const position = position_.data();
            const int32_t n0 = int32_t(b.n0);
            for (int64_t j = block_first_[size_t(block)], last = block_last_[size_t(block)]; j <= last; ++j) {
                const int32_t at = position[j] - n0;
                if (at < 0) continue;
                c_hi[j] = buf_hi[at];
                c_lo[j] = buf_lo[at];
                c_res[j] = buf_res[at];
            }
        }
    }

    // The row's stretch of output columns, asked for while its runs are rounded: the rows
    // come in sorted order, which no hardware prefetcher follows.
    // Forced inline: out of line, a function of prefetches alone has no visible effect, and
    // GCC marks it const and drops every call to it.
    template <class Res>
    [[gnu::always_inline]] inline void prefetch_stretch(int64_t block, const double* c_hi, const double* c_lo,
                                                        const Res* c_res) const {
        const int64_t first = block_first_[size_t(block)], last = block_last_[size_t(block)];
        auto lines = [&](const void* row, int64_t size) [[gnu::always_inline]] {
            constexpr uintptr_t kLine = 64;
            const char* from = static_cast<const char*>(row) + first * size;
            const char* const to = static_cast<const char*>(row) + (last + 1) * size;
            for (from -= reinterpret_cast<uintptr_t>(from) % kLine; from < to; from += kLine)
                __builtin_prefetch(from, 1, 3);
        };
        lines(c_hi, sizeof(double));
        lines(c_lo, sizeof(double));
        lines(c_res, sizeof(Res));
    }

    // The next row's residues of a panel, one line per modulus, a row ahead of the CRT that
    // reads them: a row takes a line from each of twenty or so moduli's blocks, more streams
    // than the hardware prefetchers follow. That took 7-14% off the reassembly of the int8
    // engine at n = 1024 to 4096 (Zen 4); with the int16 engine's half-line panels it
    // measured no better. Forced inline, as prefetch_stretch.
    static constexpr bool kPrefetchResidues = kPanelWidth * sizeof(Residue) == 64;
    [[gnu::always_inline]] inline void prefetch_residues(const Residue* next, int count) const {
        for (int l = 0; l < count; ++l) __builtin_prefetch(next + l * p_.Mb * p_.Nb, 0, 3);
    }

    template <class Res>
    static void scatter(int run, const int64_t* cols, const double* hi, const double* lo, const Res* res,
                        double* c_hi, double* c_lo, Res* c_res) {
        for (int e = 0; e < run; ++e) {
            const int64_t j = cols[e];
            c_hi[j] = hi[e];
            c_lo[j] = lo[e];
            c_res[j] = res[e];
        }
    }

    // Four bytes at a time, straight after the CRT pieces stored the flags four or eight
    // at a time: a load within one store still in flight takes its bytes from it, where a
    // load across two waits for both to be written. Vectorised into 16-byte loads, this scan
    // stalled on every pair of stores and cost 5% of a whole n = 256 product on Zen 4, half
    // as much as the CRT itself; the early exit keeps GCC from vectorising it.
    static bool any_set(const uint8_t* flags, int count) {
        int e = 0;
        for (; e + 4 <= count; e += 4) {
            uint32_t word;
            std::memcpy(&word, flags + e, sizeof word);
            if (word) return true;
        }
        for (; e < count; ++e)
            if (flags[e]) return true;
        return false;
    }

    // A few rows per task where there are many: a row of a small block is a couple of
    // microseconds of work, against which handing out a task is not free. Sixteen tasks
    // per thread still even out the rows' unequal costs.
    void reassemble(const Block& b) {
        PhaseTimer timer(timing_.reconstruction);
        const int64_t per_task = std::max<int64_t>(1, std::min<int64_t>(4, b.mb / (16 * std::max(threads_, 1))));
        parallel_for((b.mb + per_task - 1) / per_task, threads_, [&](int64_t t) {
            for (int64_t r = t * per_task, r1 = std::min(b.mb, r + per_task); r < r1; ++r) reassemble_row(b, r);
        });
    }

    const GemmProblem& pb_;
    const int threads_;
    const Engine& engine_;
    const FastPlan& p_;
    Timing& timing_;
    ResidueA* const res_a_;
    ResidueB* const res_b_;
    Residue* const acc_;
    double* const gathered_;
    // The plan's maps of the columns (FastPlan::panel_in_place, position, block_*).
    const std::vector<uint8_t>& in_place_;
    const std::vector<int32_t>& position_;
    const std::vector<int64_t>& block_first_;
    const std::vector<int64_t>& block_last_;
    const std::vector<uint8_t>& block_in_place_;
};

// Outputs fresh from the allocator have no pages behind them yet. Left to the
// reassembly, whose stores come row by row in sorted order, the mapping made it two to
// three times slower on fresh numpy arrays (n = 2048) than on arrays already written; one
// write to every page first, front to back and in parallel, costs a small part of that.
// It leaves every value as it was.
void map_output_pages(const GemmProblem& pb, int threads);

// The threads the fast path takes for a product of this size, of `threads`, under
// Options::min_work_per_thread.
int threads_for_work(const GemmProblem& pb, const Options& opt, int threads);

template <class Engine>
int drive(const GemmProblem& pb, int threads, const Engine& engine, const Options& opt) {
    Timing timing;
    PhaseTimer planning(timing.planning);
    const int team = threads_for_work(pb, opt, threads);
    parallel_wake(team);
    const FastPlan p = plan(pb, layout_of(engine), opt, team);
    if (!p.fast) {
        // Scanning counts as the exact core's time here: it is what choosing it cost.
        planning.stop();
        timing.fallback = timing.planning;
        timing.planning = 0;
        PhaseTimer fallback(timing.fallback);
        const int status = exact::gemm(pb, threads);
        fallback.stop();
        timing.excluded_rows = pb.M;
        record_timing(timing);
        return status;
    }
    // Left uninitialised: every byte is written before it is read, and zero-filling
    // hundreds of megabytes on one thread would cost more than the residues themselves.
    const WorkspaceLease workspace(p.workspace_bytes());
    Execution<Engine> execution(pb, team, engine, p, workspace.get(), timing);
    planning.stop();
    // The excluded lines first: the exact core allocates, and nothing may be written
    // before every allocation has succeeded.
    {
        PhaseTimer fallback(timing.fallback);
        const int status = run_fallback(pb, threads, p);
        if (status != VEXA_OK) return status;
    }
    {
        PhaseTimer reassembly(timing.reconstruction);
        map_output_pages(pb, team);
    }
    execution.run_blocks();
    timing.average_moduli = p.average_moduli;
    timing.moduli = p.moduli;
    timing.excluded_rows = int64_t(p.excluded_rows.size());
    timing.excluded_cols = int64_t(p.excluded_cols.size());
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
