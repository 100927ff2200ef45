// Driver of the exact integer fast path: planning, blocking, CRT reassembly, fallback.
// See int8_fastpath.h for the scheme; the ISA code is behind Int8Ops.
#include "int8_fastpath.h"

// The fast path is only reachable through the ISA kernels, which are built with GCC or
// Clang; this file uses their builtins (__int128, bit scans) freely.
#if defined(__GNUC__) || defined(__clang__)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "exact_core.h"
#include "parallel.h"
#include "workspace_pool.h"
#include "vexa.h"

namespace vexa {
namespace int8 {
namespace {

// Greedy from 256 downwards, keeping a number only if it is coprime to all kept so far.
// Large moduli first: each carries close to 8 bits, and P grows fastest per int8 product.
constexpr int kModuli[] = {256, 255, 253, 251, 247, 241, 239, 233, 229, 227, 223, 217, 211,
                           199, 197, 193, 191, 181, 179, 173, 167, 163, 157, 151, 149, 139,
                           137, 131, 127, 113, 109, 107, 103, 101, 97,  89,  83,  79,  73,
                           71,  67,  61,  59,  53,  47,  43,  41,  37,  29};
constexpr int kModulusCount = int(sizeof(kModuli) / sizeof(kModuli[0]));
static_assert(kMaxModuli <= kModulusCount, "not enough coprime moduli");

thread_local Int8Timing tls_timing;

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Little-endian multi-limb natural numbers of fixed capacity kMaxLimbs.
struct Limbs {
    uint64_t w[kMaxLimbs] = {};
};

void mul_small(Limbs& x, uint64_t factor) {
    unsigned __int128 carry = 0;
    for (int i = 0; i < kMaxLimbs; ++i) {
        unsigned __int128 t = (unsigned __int128)x.w[i] * factor + carry;
        x.w[i] = uint64_t(t);
        carry = t >> 64;
    }
}

uint64_t mod_small(const Limbs& x, uint64_t p) {
    unsigned __int128 r = 0;
    for (int i = kMaxLimbs - 1; i >= 0; --i) r = ((r << 64) | x.w[i]) % p;
    return uint64_t(r);
}

// Exact division by a small divisor that is known to divide x.
Limbs div_small(const Limbs& x, uint64_t p) {
    Limbs q;
    unsigned __int128 r = 0;
    for (int i = kMaxLimbs - 1; i >= 0; --i) {
        unsigned __int128 cur = (r << 64) | x.w[i];
        q.w[i] = uint64_t(cur / p);
        r = cur % p;
    }
    return q;
}

int bit_length(const Limbs& x) {
    for (int i = kMaxLimbs - 1; i >= 0; --i)
        if (x.w[i]) return 64 * i + 64 - __builtin_clzll(x.w[i]);
    return 0;
}

Limbs modulus_product(int count) {
    Limbs p;
    p.w[0] = 1;
    for (int l = 0; l < count; ++l) mul_small(p, uint64_t(kModuli[l]));
    return p;
}

void to_digits(const Limbs& x, uint32_t* d) {
    for (int i = 0; i < kMaxLimbs; ++i) {
        d[2 * i] = uint32_t(x.w[i]);
        d[2 * i + 1] = uint32_t(x.w[i] >> 32);
    }
}

void build_crt(int count, CrtPlan& t) {
    t.count = count;
    const Limbs product = modulus_product(count);
    t.digits = (bit_length(product) + 7 + 31) / 32;
    to_digits(product, t.product);
    double pd = 0;
    for (int i = kMaxDigits - 1; i >= 0; --i) pd = pd * 4294967296.0 + double(t.product[i]);
    t.product_inverse = 1.0 / pd;
    for (int l = 0; l < count; ++l) {
        const uint32_t p = uint32_t(kModuli[l]);
        const Limbs cofactor = div_small(product, p);
        to_digits(cofactor, t.cofactor[l]);
        const uint32_t q_mod = uint32_t(mod_small(cofactor, p));
        uint32_t inv = 0;
        for (uint32_t v = 1; v < p; ++v)
            if ((q_mod * v) % p == 1) {
                inv = v;
                break;
            }
        t.p[l] = p;
        t.inverse[l] = inv;
        t.reciprocal[l] = uint32_t(((uint64_t(1) << 32) + p - 1) / p);
    }
}

// Portable CRT, one element at a time; the vector versions follow the same steps.
// y = sum_l c_l Q_l is congruent to x modulo P, and y / P = q + x / P for an integer q.
// The moduli were chosen with P > 2^(2^-10) * 2 |x| (moduli_above_twice), so
// |x / P| < 0.4998. y and P are converted to double with relative errors below 2^-48, so
// y / P (< 41) is known to within 2^-40, far under the 0.0002 to spare: rounding it to
// the nearest integer gives q exactly.
void portable_crt(const CrtPlan& t, const uint8_t* residues, int64_t stride, int count,
                  uint32_t* magnitude, uint8_t* negative) {
    const int D = t.digits;
    for (int e = 0; e < count; ++e) {
        uint64_t acc[kMaxDigits] = {};
        for (int l = 0; l < t.count; ++l) {
            const uint64_t x = uint64_t(residues[l * stride + e]) * t.inverse[l];
            const uint64_t c = x - ((x * t.reciprocal[l]) >> 32) * t.p[l];
            for (int j = 0; j < D; ++j) acc[j] += c * t.cofactor[l][j];
        }
        uint32_t y[kMaxDigits];
        uint64_t carry = 0;
        for (int j = 0; j < D; ++j) {
            const uint64_t v = acc[j] + carry;
            y[j] = uint32_t(v);
            carry = v >> 32;
        }
        double yd = 0;
        for (int j = D - 1; j >= 0; --j) yd = yd * 4294967296.0 + double(y[j]);
        const uint64_t q = uint64_t(std::nearbyint(yd * t.product_inverse));
        // x = y - q P in D digits, two's complement.
        uint64_t borrow = 0;
        for (int j = 0; j < D; ++j) {
            const uint64_t sub = q * t.product[j] + borrow;  // < 2^38
            const uint64_t v = uint64_t(y[j]) - (sub & 0xffffffffu);
            y[j] = uint32_t(v);
            borrow = (sub >> 32) + (v >> 63);
        }
        const bool neg = (y[D - 1] >> 31) != 0;
        if (neg) {
            uint64_t c = 1;
            for (int j = 0; j < D; ++j) {
                const uint64_t v = uint64_t(uint32_t(~y[j])) + c;
                y[j] = uint32_t(v);
                c = v >> 32;
            }
        }
        for (int j = 0; j < D; ++j) magnitude[j * kCrtRun + e] = y[j];
        negative[e] = neg;
    }
}

// An exact zero sum is +0 unless every product is -0 (IEEE summation of -0 terms).
// The first nonzero or +0 product settles it, so this is short except for the rare
// element whose every product really is -0.
double signed_zero(const double* a, const double* b, int64_t ldb, int64_t K) {
    for (int64_t k = 0; k < K; ++k) {
        const double x = a[k], y = b[k * ldb];
        if (x != 0.0 && y != 0.0) return 0.0;
        if (std::signbit(x) == std::signbit(y)) return 0.0;
    }
    return -0.0;
}

// Running lowest set bit and highest bit of the nonzero finite elements of a line.
struct WindowScan : LineScan {
    WindowScan() = default;
    explicit WindowScan(const LineScan& scan) : LineScan(scan) {}
    void add(double v) {
        sum_squares += v * v;
        add_bits(v);
    }
    // A contiguous run: four interleaved partial sums of squares, so the additions do not
    // wait on each other. Any order of summation keeps the error bound of norm_bound.
    void add_run(const double* x, int64_t count) {
        double partial[4] = {0, 0, 0, 0};
        int64_t k = 0;
        for (; k + 4 <= count; k += 4)
            for (int u = 0; u < 4; ++u) {
                partial[u] += x[k + u] * x[k + u];
                add_bits(x[k + u]);
            }
        for (; k < count; ++k) {
            partial[0] += x[k] * x[k];
            add_bits(x[k]);
        }
        sum_squares += (partial[0] + partial[1]) + (partial[2] + partial[3]);
    }
    void add_bits(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        const int biased = int((bits >> 52) & 0x7ff);
        const uint64_t frac = bits & ((uint64_t(1) << 52) - 1);
        if (biased == 0x7ff) {
            special = true;
            return;
        }
        if (biased == 0 && frac == 0) return;
        const uint64_t m = biased ? (frac | (uint64_t(1) << 52)) : frac;
        const int e = biased ? biased - 1075 : -1074;
        lowest = std::min(lowest, e + __builtin_ctzll(m));
        highest = std::max(highest, e + 63 - __builtin_clzll(m));
    }
    Window window(int64_t count) const {
        Window w;
        w.special = special;
        if (highest >= lowest) {
            w.shift = lowest;
            w.width = highest - lowest + 1;
            w.log2_norm = norm_bound(count, w);
        }
        return w;
    }
    // log2 of an upper bound on the Euclidean norm of the scaled line x * 2^-shift.
    // Two bounds, the smaller wins:
    // - every scaled element is below 2^width, so the norm is below sqrt(count) * 2^width;
    // - from the sum of squares s computed in double: a sum of n products rounded to
    //   nearest is within gamma_n = n u / (1 - n u) (u = 2^-53) of the true sum when no
    //   underflow occurs, below 2^-21 for n < 2^31; each product or sum that lands in the
    //   subnormal range adds at most 2^-1075 more. So the true sum is at most
    //   s (1 + 2^-20) + n 2^-1074, and the norm at most the square root of that. The bound
    //   is only used when s is finite (no overflow) and n < 2^31. A contracted
    //   multiply-add rounds once where the plain form rounds twice: the bound covers both.
    // log2 and the final sum are rounded, with errors far below the 2^-30 added to each.
    double norm_bound(int64_t count, const Window& w) const {
        constexpr double kSlack = 1.0 / (1 << 30);
        const double by_width = double(w.width) + 0.5 * std::log2(double(count)) + kSlack;
        if (!(sum_squares < std::numeric_limits<double>::infinity()) || count >= (int64_t(1) << 31))
            return by_width;
        const double sum_up = sum_squares * (1.0 + 1.0 / (1 << 20)) +
                              double(count) * std::numeric_limits<double>::denorm_min();
        const double by_sum = 0.5 * std::log2(sum_up) - double(w.shift) + kSlack;
        return std::min(by_width, by_sum);
    }
};

// Windows of columns j0..j1-1 of row-major B, read row by row; `scans` is scratch for them.
void columns_window(const double* B, int64_t N, int64_t K, int64_t j0, int64_t j1,
                    WindowScan* scans, Window* out) {
    for (int64_t k = 0; k < K; ++k) {
        const double* row = B + k * N;
        for (int64_t j = j0; j < j1; ++j) scans[j - j0].add(row[j]);
    }
    for (int64_t j = j0; j < j1; ++j) out[j - j0] = scans[j - j0].window(K);
}

// log2 of the modulus products P_1 < P_2 < ... of the first moduli, for repeated
// look-ups of the count a bound needs (see moduli_above_twice).
class ModulusLadder {
public:
    explicit ModulusLadder(int max_moduli) : limit_(std::max(0, std::min(max_moduli, kMaxModuli))) {
        double log2_p = 0;
        for (int l = 0; l < limit_; ++l) {
            log2_p += std::log2(double(kModuli[l]));
            log2_p_[l] = log2_p;
        }
    }
    // The sum of up to 40 logarithms is off by far less than 2^-30; kMargin keeps
    // P >= 2^(2^-10) * 2 * bound even so, which leaves the CRT quotient its slack.
    int needed(double log2_bound) const {
        constexpr double kMargin = 1.0 / 1024;
        for (int l = 0; l < limit_; ++l)
            if (log2_p_[l] > log2_bound + 1.0 + kMargin) return l + 1;
        return 0;
    }

private:
    int limit_;
    double log2_p_[kMaxModuli] = {};
};

struct ModulusChoice {
    int32_t cap_a = -1, cap_b = -1;  // widths admitted; -1: nothing goes through the CRT
    int count = 0;
};

// Histogram of the widths of the non-special lines; specials are counted apart.
struct WidthCensus {
    std::vector<int64_t> at_most;  // at_most[w]: lines of width <= w (non-special)
    std::vector<double> norm_at_most;  // largest log2_norm of those lines (-inf if none)
    int64_t lines = 0;             // all lines, specials included
    std::vector<int32_t> distinct; // widths that occur, ascending
};

WidthCensus census(const std::vector<Window>& windows) {
    WidthCensus c;
    int32_t top = 0;
    for (const Window& w : windows) if (!w.special) top = std::max(top, w.width);
    std::vector<int64_t> count(size_t(top) + 1, 0);
    std::vector<double> norm(size_t(top) + 1, -std::numeric_limits<double>::infinity());
    for (const Window& w : windows)
        if (!w.special) {
            ++count[size_t(w.width)];
            norm[size_t(w.width)] = std::max(norm[size_t(w.width)], w.log2_norm);
        }
    c.at_most.resize(count.size());
    c.norm_at_most.resize(count.size());
    int64_t run = 0;
    double largest = -std::numeric_limits<double>::infinity();
    for (size_t w = 0; w < count.size(); ++w) {
        run += count[w];
        c.at_most[w] = run;
        largest = std::max(largest, norm[w]);
        c.norm_at_most[w] = largest;
        if (count[w]) c.distinct.push_back(int32_t(w));
    }
    c.lines = int64_t(windows.size());
    return c;
}

// Picks the admitted widths by a cost model: each modulus costs one int8 product of the
// whole matrix, each excluded line costs its elements in the exact core. Any choice is
// exact; this only decides speed.
ModulusChoice choose_moduli(const WidthCensus& rows, const WidthCensus& cols, int64_t M,
                            int64_t N, int64_t K, const Int8Options& opt) {
    const ModulusLadder ladder(std::max(1, std::min(opt.max_moduli, kMaxModuli)));
    const double mnk = double(M) * double(N) * double(K);
    ModulusChoice best;
    double best_cost = opt.exact_cost_ratio * mnk;
    for (int32_t wa : rows.distinct) {
        const double ex_a = double(rows.lines - rows.at_most[size_t(wa)]);
        for (int32_t wb : cols.distinct) {
            // By Cauchy-Schwarz every admitted |x_ij| is at most ||a_i|| ||b_j|| on the
            // scaled integers, below 2^(norm_a + norm_b) with the per-line bounds of
            // WindowScan::norm_bound.
            const double log2_bound = rows.norm_at_most[size_t(wa)] + cols.norm_at_most[size_t(wb)];
            const int count = ladder.needed(log2_bound);
            if (count == 0) break;
            const double ex_b = double(cols.lines - cols.at_most[size_t(wb)]);
            const double excluded = ex_a * double(N) + ex_b * double(M) - ex_a * ex_b;
            // Residues, reduction and reassembly grow with L too; 16 int8 products'
            // worth per output element and modulus is a fair estimate.
            const double cost = count * (mnk + 16.0 * double(M) * double(N) +
                                         4.0 * double(K) * double(M + N)) +
                                opt.exact_cost_ratio * double(K) * excluded;
            if (cost < best_cost) {
                best_cost = cost;
                best.cap_a = wa;
                best.cap_b = wb;
                best.count = count;
            }
        }
    }
    return best;
}

void write_exact(const GemmProblem& pb, int64_t i, int64_t j) {
    const int64_t at = i * pb.N + j;
    exact::dot_triple(pb.A + i * pb.K, 1, pb.B + j, pb.N, pb.K, &pb.C_hi[at], &pb.C_lo[at],
                      &pb.C_res[at]);
}

int64_t round_up(int64_t v, int64_t to) { return (v + to - 1) / to * to; }

template <class F>
void parallel(int64_t tasks, int threads, F&& body) {
    if (tasks <= 0) return;
    vexa::parallel_for(tasks, threads, [&](int64_t t) { body(t); });
}

int gemm_impl(const GemmProblem& pb, int threads, const Int8Ops& ops, const Int8Options& opt) {
    Int8Timing timing;
    const int64_t M = pb.M, N = pb.N, K = pb.K;
    auto t0 = Clock::now();

    if (K == 0) {
        for (int64_t e = 0; e < M * N; ++e) {
            pb.C_hi[e] = 0.0;
            pb.C_lo[e] = 0.0;
            pb.C_res[e] = 0.0f;
        }
        tls_timing = timing;
        return VEXA_OK;
    }

    auto all_exact = [&]() {
        parallel(M, threads, [&](int64_t i) {
            for (int64_t j = 0; j < N; ++j) write_exact(pb, i, j);
        });
        timing.fallback = seconds_since(t0);
        timing.excluded_rows = M;
        tls_timing = timing;
        return VEXA_OK;
    };
    if (double(M) * double(N) * double(K) < double(opt.min_work)) return all_exact();

    // ---- Planning: integer windows, admitted widths, moduli ----
    std::vector<Window> row_win(static_cast<size_t>(M)), col_win(static_cast<size_t>(N));
    if (ops.scan_lines) {
        // The vector scans, a few lines per task.
        std::vector<LineScan> row_scan(static_cast<size_t>(M)), col_scan(static_cast<size_t>(N));
        const int64_t rows_per_task = 16, cols_per_task = 64;
        const int64_t row_tasks = (M + rows_per_task - 1) / rows_per_task;
        parallel(row_tasks + (N + cols_per_task - 1) / cols_per_task, threads, [&](int64_t t) {
            if (t < row_tasks) {
                const int64_t i0 = t * rows_per_task, i1 = std::min(M, i0 + rows_per_task);
                ops.scan_lines(pb.A + i0 * K, K, i1 - i0, K, true, &row_scan[size_t(i0)]);
                for (int64_t i = i0; i < i1; ++i) row_win[size_t(i)] = WindowScan(row_scan[size_t(i)]).window(K);
            } else {
                const int64_t j0 = (t - row_tasks) * cols_per_task, j1 = std::min(N, j0 + cols_per_task);
                ops.scan_lines(pb.B + j0, N, K, j1 - j0, false, &col_scan[size_t(j0)]);
                for (int64_t j = j0; j < j1; ++j) col_win[size_t(j)] = WindowScan(col_scan[size_t(j)]).window(K);
            }
        });
    } else {
        parallel(M, threads, [&](int64_t i) { row_win[size_t(i)] = window_of(pb.A + i * K, 1, K); });
        // Tasks must not allocate: parallel_for would swallow a bad_alloc.
        std::vector<WindowScan> col_scan(static_cast<size_t>(N));
        const int64_t col_chunk = 256;
        parallel((N + col_chunk - 1) / col_chunk, threads, [&](int64_t c) {
            const int64_t j0 = c * col_chunk, j1 = std::min(N, j0 + col_chunk);
            columns_window(pb.B, N, K, j0, j1, &col_scan[size_t(j0)], &col_win[size_t(j0)]);
        });
    }
    const ModulusChoice choice =
        choose_moduli(census(row_win), census(col_win), M, N, K, opt);
    if (choice.count == 0) return all_exact();

    const int L = choice.count;
    std::vector<int32_t> row_shift(static_cast<size_t>(M)), col_shift(static_cast<size_t>(N));
    std::vector<uint8_t> row_in(static_cast<size_t>(M)), col_in(static_cast<size_t>(N));
    std::vector<int64_t> excluded_rows, excluded_cols, row_order, col_order;
    for (int64_t i = 0; i < M; ++i) {
        const Window& w = row_win[size_t(i)];
        row_in[size_t(i)] = !w.special && w.width <= choice.cap_a;
        row_shift[size_t(i)] = w.shift;
        (row_in[size_t(i)] ? row_order : excluded_rows).push_back(i);
    }
    for (int64_t j = 0; j < N; ++j) {
        const Window& w = col_win[size_t(j)];
        col_in[size_t(j)] = !w.special && w.width <= choice.cap_b;
        col_shift[size_t(j)] = w.shift;
        (col_in[size_t(j)] ? col_order : excluded_cols).push_back(j);
    }
    // ---- Blocking: residues of A (Mb x Kb), of B (Kb x Nb) and the residue
    // accumulators (Mb x Nb), one of each per modulus, plus the gathered columns of B
    // when sorting moved them, within the workspace target ----
    const int64_t chunk = std::max<int64_t>(4, std::min(opt.chunk, kMaxChunk) / 4 * 4);
    const int64_t Kb = std::min(round_up(K, 4), chunk);
    const int64_t Mp = int64_t(row_order.size()), Np = int64_t(col_order.size());
    int64_t Mb = round_up(std::max<int64_t>(Mp, 1), kRowGroup), Nb = round_up(std::max<int64_t>(Np, 1), kPanelWidth);
    // Room for gathering the columns of B is counted whether or not sorting moves them.
    auto bytes = [&](int64_t mb, int64_t nb) {
        return L * (mb * Kb + Kb * nb + mb * nb) + Kb * int64_t(sizeof(double)) * nb;
    };
    // With K in one chunk the residues of A are made once per row block and serve every
    // column block, so splitting N alone costs nothing extra; otherwise both operands'
    // residues are remade per block of the other, and the larger side is split first.
    const bool single_chunk = Kb >= K;
    while (bytes(Mb, Nb) > opt.workspace_bytes && (Mb > 96 || Nb > 256)) {
        const bool split_rows = single_chunk ? Nb <= 256 : (Mb >= Nb && Mb > 96);
        if (split_rows) Mb = round_up(Mb / 2, kRowGroup);
        else Nb = round_up(Nb / 2, kPanelWidth);
    }

    // The admitted lines in order of their norm bounds. L moduli are what the widest pair
    // needs; sorted, a group of rows and a panel of columns can make do with the count
    // their own largest bounds call for, which for random data saves a tenth or more of
    // the int8 products. Any count that satisfies an element's own bound is exact, so the
    // order changes the speed only. Columns are sorted within each column block: a row's
    // results then land within the block's own stretch of C, which stays in cache.
    auto by_norm = [](const std::vector<Window>& win) {
        return [&win](int64_t x, int64_t y) {
            return win[size_t(x)].log2_norm < win[size_t(y)].log2_norm;
        };
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
    // Largest over the panels [q0, q1).
    auto widest_panel = [&](int64_t q0, int64_t q1) {
        double widest = -std::numeric_limits<double>::infinity();
        for (int64_t q = q0; q < q1; ++q) widest = std::max(widest, panel_norm[size_t(q)]);
        return widest;
    };
    const double widest_panel_norm = widest_panel(0, all_panels);
    const ModulusLadder ladder(L);
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
        const int p = kModuli[l];
        plan.moduli[l] = Modulus{p, double(p), 1.0 / p};
        int v = 1 % p;
        for (int s = 0; s < plan.shift_limit; ++s) {
            pow2[size_t(l) * size_t(plan.shift_limit) + size_t(s)] = double(v);
            v = (v * 2) % p;
        }
    }
    plan.pow2 = pow2.data();
    // One CRT plan per modulus count in use.
    std::vector<CrtPlan> crt(size_t(L) + 1);
    for (int count = ladder.needed(-std::numeric_limits<double>::infinity()); count <= L; ++count) {
        build_crt(count, crt[size_t(count)]);
        if (crt[size_t(count)].digits > kMaxDigits) return VEXA_ERROR_INTERNAL;
    }
    std::vector<int32_t> sorted_col_shift(size_t(round_up(Np, kPanelWidth)), 0);
    for (int64_t c = 0; c < Np; ++c) sorted_col_shift[size_t(c)] = col_shift[size_t(col_order[size_t(c)])];
    static const uint8_t kAllIncluded[kPanelWidth] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                      1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                      1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                      1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

    // Left uninitialised: every byte is written before it is read, and zero-filling
    // hundreds of megabytes on one thread would cost more than the residues themselves.
    const size_t a_bytes = size_t(round_up(L * Mb * Kb, 64));
    const size_t b_bytes = size_t(round_up(L * Kb * Nb, 64));
    const size_t acc_bytes = size_t(round_up(L * Mb * Nb, 64));
    const size_t gather_bytes = columns_moved ? size_t(Kb * Nb) * sizeof(double) : 0;
    const WorkspaceLease workspace(a_bytes + b_bytes + acc_bytes + gather_bytes);
    uint8_t* const res_a = workspace.get();
    int8_t* const res_b = reinterpret_cast<int8_t*>(workspace.get() + a_bytes);
    uint8_t* const acc = workspace.get() + a_bytes + b_bytes;
    double* const gathered = reinterpret_cast<double*>(workspace.get() + a_bytes + b_bytes + acc_bytes);
    timing.planning = seconds_since(t0);

    const int64_t tile_rows = 16 * kRowGroup, tile_panels = 4;
    double modulus_products = 0;
    for (int64_t m0 = 0; m0 < Mp; m0 += Mb) {
        const int64_t mb = std::min(Mb, Mp - m0);
        const int64_t mb_pad = round_up(mb, kRowGroup);
        const int64_t g0 = m0 / kRowGroup;  // Mb is a multiple of kRowGroup
        // Residues of A rows [m0, m0 + mb) over k in [k0, k0 + kb), row group by row group,
        // each with the count it needs against a panel of norm bound widest; the pad rows
        // of the last group are zero.
        auto residues_of_a = [&](int64_t k0, int64_t kb, int64_t group, double widest) {
            const int64_t kb_pad = round_up(kb, 4);
            ResiduePlan group_plan = plan;
            group_plan.count = ladder.needed(group_norm[size_t(g0 + group)] + widest);
            for (int64_t r = group * kRowGroup; r < (group + 1) * kRowGroup; ++r) {
                if (r < mb) {
                    const int64_t i = row_order[size_t(m0 + r)];
                    ops.residues_a(group_plan, pb.A + i * K + k0, K, 1, kb, &row_shift[size_t(i)],
                                   kAllIncluded, res_a + r * kb_pad, kb_pad, Mb * Kb);
                } else {
                    for (int l = 0; l < group_plan.count; ++l)
                        std::memset(res_a + l * Mb * Kb + r * kb_pad, 0, size_t(kb_pad));
                }
            }
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
                const int64_t kb_pad = round_up(kb, 4);
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
                    } else {
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
                        ops.residues_b_panel(panel_plan, source, stride, cols, kb, kb_pad,
                                             &sorted_col_shift[size_t(c0)], kAllIncluded,
                                             res_b + pnl * kb_pad * kPanelWidth, Kb * Nb);
                    }
                });
                auto t2 = Clock::now();
                timing.residues += std::chrono::duration<double>(t2 - t1).count();
                // int8 products, one task per (modulus, row tile, panel group); a row group
                // and panel pair takes part for the moduli its bound needs.
                const int64_t row_tiles = (mb_pad + tile_rows - 1) / tile_rows;
                const int64_t col_tiles = (panels + tile_panels - 1) / tile_panels;
                parallel(L * row_tiles * col_tiles, threads, [&](int64_t t) {
                    const int l = int(t / (row_tiles * col_tiles));
                    const int64_t rest = t % (row_tiles * col_tiles);
                    const int64_t rt = rest / col_tiles, ct = rest % col_tiles;
                    const uint8_t* a = res_a + l * Mb * Kb;
                    const int8_t* b = res_b + l * Kb * Nb;
                    uint8_t* out = acc + l * Mb * Nb;
                    const int64_t p1 = std::min(panels, (ct + 1) * tile_panels);
                    const int64_t r1 = std::min(mb_pad, (rt + 1) * tile_rows);
                    for (int64_t pnl = ct * tile_panels; pnl < p1; ++pnl)
                        for (int64_t r = rt * tile_rows; r < r1; r += kRowGroup)
                            if (moduli_needed(g0 + r / kRowGroup, q0 + pnl) > l)
                                ops.tile(plan.moduli[l], a + r * kb_pad, kb_pad, kRowGroup,
                                         b + pnl * kb_pad * kPanelWidth, kb_pad,
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
                float* const c_res = pb.C_res + i * N;
                uint32_t magnitude[kMaxDigits * kCrtRun];
                uint8_t negative[kCrtRun];
                uint64_t limbs[kMaxLimbs];
                uint8_t zero[kCrtRun];
                alignas(64) double run_hi[kCrtRun], run_lo[kCrtRun];
                alignas(64) float run_res[kCrtRun];
                static_assert(kCrtRun == kPanelWidth, "one CRT run per panel");
                for (int64_t pnl = 0; pnl < panels; ++pnl) {
                    const int64_t c0 = n0 + pnl * kPanelWidth;  // sorted position
                    const int run = int(std::min<int64_t>(kCrtRun, Np - c0));
                    const CrtPlan& plan_here = crt[size_t(moduli_needed(g0 + r / kRowGroup, q0 + pnl))];
                    const uint8_t* const residues = acc + r * nb_pad + (c0 - n0);
                    if (ops.crt_round) {
                        ops.crt_round(plan_here, residues, Mb * Nb, run, row_shift[size_t(i)],
                                      &sorted_col_shift[size_t(c0)], run_hi, run_lo, run_res, zero);
                    } else {
                        const int D = plan_here.digits, nl = (D + 1) / 2;
                        ops.crt(plan_here, residues, Mb * Nb, run, magnitude, negative);
                        for (int e = 0; e < run; ++e) {
                            uint64_t any = 0;
                            for (int w = 0; w < nl; ++w) {
                                const uint64_t high =
                                    2 * w + 1 < D ? magnitude[(2 * w + 1) * kCrtRun + e] : 0;
                                limbs[w] = magnitude[2 * w * kCrtRun + e] | (high << 32);
                                any |= limbs[w];
                            }
                            zero[e] = any == 0;
                            if (any)
                                exact::round_triple(negative[e] != 0, limbs, nl,
                                                    int64_t(row_shift[size_t(i)]) + sorted_col_shift[size_t(c0 + e)],
                                                    &run_hi[e], &run_lo[e], &run_res[e]);
                            else
                                run_lo[e] = 0.0, run_res[e] = 0.0f;
                        }
                    }
                    for (int e = 0; e < run; ++e) {
                        const int64_t j = col_order[size_t(c0 + e)];
                        c_hi[j] = zero[e] ? signed_zero(pb.A + i * K, pb.B + j, N, K) : run_hi[e];
                        c_lo[j] = run_lo[e];
                        c_res[j] = run_res[e];
                    }
                }
            });
            timing.reconstruction += seconds_since(t3);
        }
    }
    timing.average_moduli = modulus_products / std::max(1.0, double(groups) * double(all_panels));

    // ---- Excluded lines through the exact core ----
    auto t4 = Clock::now();
    const int64_t ex_r = int64_t(excluded_rows.size()), ex_c = int64_t(excluded_cols.size());
    parallel(ex_r + ex_c, threads, [&](int64_t t) {
        if (t < ex_r) {
            const int64_t i = excluded_rows[size_t(t)];
            for (int64_t j = 0; j < N; ++j) write_exact(pb, i, j);
        } else {
            const int64_t j = excluded_cols[size_t(t - ex_r)];
            for (int64_t i = 0; i < M; ++i)
                if (row_in[size_t(i)]) write_exact(pb, i, j);
        }
    });
    timing.fallback = seconds_since(t4);
    timing.moduli = L;
    timing.excluded_rows = ex_r;
    timing.excluded_cols = ex_c;
    tls_timing = timing;
    return VEXA_OK;
}

// ---- Portable pieces ----

// Residue in [0, p) of |x| * 2^-shift, an integer by the choice of shift.
// With u = floor(log2(|x| * 2^-shift)), the value is m * 2^t where t = max(u - 52, 0) and
// m = |x| * 2^(-shift - t) is an integer below 2^53 (all 53 significand bits lie at or
// above bit t), so m is exact in a double and (m mod p) * (2^t mod p) mod p is the residue.
inline int residue_of(double x, int32_t shift, const Modulus& mod, const double* pow2) {
    if (x == 0.0) return 0;
    const double ax = std::fabs(x);
    const int u = std::ilogb(ax) - shift;
    const int t = std::max(u - 52, 0);
    const double m = std::ldexp(ax, -shift - t);
    const int64_t mi = int64_t(m);
    int64_t r = (mi % mod.p) * int64_t(pow2[t]) % mod.p;
    if (x < 0 && r != 0) r = mod.p - r;
    return int(r);
}

void portable_residues_a(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows,
                         int64_t k_count, const int32_t* shift, const uint8_t* included,
                         uint8_t* out, int64_t out_row_stride, int64_t out_modulus_stride) {
    for (int l = 0; l < plan.count; ++l) {
        const double* pow2 = plan.pow2 + size_t(l) * size_t(plan.shift_limit);
        for (int64_t r = 0; r < rows; ++r) {
            uint8_t* o = out + l * out_modulus_stride + r * out_row_stride;
            int64_t k = 0;
            if (included[r])
                for (; k < k_count; ++k)
                    o[k] = uint8_t(residue_of(a[r * lda + k], shift[r], plan.moduli[l], pow2));
            for (; k < out_row_stride; ++k) o[k] = 0;
        }
    }
}

void portable_residues_b_panel(const ResiduePlan& plan, const double* b, int64_t ldb,
                               int64_t cols, int64_t k_count, int64_t k_padded,
                               const int32_t* shift, const uint8_t* included, int8_t* out,
                               int64_t out_modulus_stride) {
    for (int l = 0; l < plan.count; ++l) {
        const Modulus& mod = plan.moduli[l];
        const double* pow2 = plan.pow2 + size_t(l) * size_t(plan.shift_limit);
        int8_t* o = out + l * out_modulus_stride;
        for (int64_t k = 0; k < k_padded; ++k)
            for (int64_t c = 0; c < kPanelWidth; ++c) {
                int r = 0;
                if (k < k_count && c < cols && included[c]) {
                    r = residue_of(b[k * ldb + c], shift[c], mod, pow2);
                    if (r >= (mod.p + 1) / 2) r -= mod.p;
                }
                o[(k / 4) * 4 * kPanelWidth + c * 4 + k % 4] = int8_t(r);
            }
    }
}

void portable_tile(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, int rows,
                   const int8_t* b_panel, int64_t k_padded, uint8_t* acc, int64_t acc_stride,
                   bool accumulate) {
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < kPanelWidth; ++c) {
            int32_t s = 0;
            for (int64_t k = 0; k < k_padded; ++k)
                s += int32_t(a[r * a_row_stride + k]) *
                     int32_t(b_panel[(k / 4) * 4 * kPanelWidth + c * 4 + k % 4]);
            int v = s % mod.p;
            if (v < 0) v += mod.p;
            if (accumulate) v += acc[r * acc_stride + c];
            if (v >= mod.p) v -= mod.p;
            acc[r * acc_stride + c] = uint8_t(v);
        }
}

}  // namespace

const Int8Ops kPortableOps = {portable_residues_a, portable_residues_b_panel, portable_tile,
                              portable_crt, nullptr, nullptr};

Int8Timing last_int8_timing() { return tls_timing; }

int modulus_list(const int** moduli) {
    *moduli = kModuli;
    return kModulusCount;
}

int moduli_above_twice(double log2_bound, int max_moduli) {
    return ModulusLadder(max_moduli).needed(log2_bound);
}

int moduli_for_bits(int bits, int max_moduli) {
    Limbs p;
    p.w[0] = 1;
    const int limit = std::min(max_moduli, kMaxModuli);
    for (int l = 0; l < limit; ++l) {
        mul_small(p, uint64_t(kModuli[l]));
        // P >= 2^bits exactly when its bit length exceeds bits.
        if (bit_length(p) > bits) return l + 1;
    }
    return 0;
}

Window window_of(const double* x, int64_t stride, int64_t count) {
    WindowScan scan;
    if (stride == 1) {
        scan.add_run(x, count);
    } else {
        for (int64_t k = 0; k < count; ++k) scan.add(x[k * stride]);
    }
    return scan.window(count);
}

int gemm(const GemmProblem& problem, int threads, const Int8Ops& ops,
         const Int8Options& options) {
    try {
        return gemm_impl(problem, threads, ops, options);
    } catch (const std::bad_alloc&) {
        return VEXA_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VEXA_ERROR_INTERNAL;
    }
}

}  // namespace int8
}  // namespace vexa

#endif  // __GNUC__ || __clang__
