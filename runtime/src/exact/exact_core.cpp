// The exact core.
//
// A finite double is s * m * 2^(e - 1074) with m < 2^53 an integer and e = max(field, 1) - 1
// in [0, 2045], so the product of two is (m_a * m_b) * 2^(e_a + e_b - 2148): a 106-bit
// integer at a bit position p = e_a + e_b in [0, 4090]. Products are added into a long
// fixed-point accumulator (Kulisch style) of 64-bit words, one for the positive and one for
// the negative products, so every addition is an unsigned add with carry and nothing ever
// needs a sign. The exact sum, the difference of the two, is then rounded once, with
// integer operations only, into the three output words (exact_rounding.cpp).
#include "exact/exact_core.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "support/bits.h"
#include "support/parallel.h"
#include "vexa.h"
#include "support/wide_int.h"

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace vexa::exact {
namespace {

// Bit 0 of word 0 has weight 2^-2148, the smallest product of two subnormals.
constexpr int64_t kWordZeroExponent = -2148;
// Words in one accumulator. A product is below 2^(p + 106) <= 2^4196 and fewer than 2^63 of
// them sum below 2^4259, so words 0..66 hold any sum (a carry never leaves word 66).
constexpr int kWords = 68;
// Limbs of a difference handed to round_triple: at most one per word.
constexpr int kMaxLimbs = kWords;


constexpr uint64_t kFractionMask = (uint64_t(1) << 52) - 1;
constexpr uint64_t kHiddenBit = uint64_t(1) << 52;

// Integer significand and biased exponent of a finite double (subnormals included).
inline uint64_t significand(uint64_t u) {
    const uint64_t field = (u >> 52) & 0x7ff;
    return (u & kFractionMask) | (field != 0 ? kHiddenBit : 0);
}
inline uint32_t exponent(uint64_t u) {
    const uint32_t field = static_cast<uint32_t>((u >> 52) & 0x7ff);
    return field != 0 ? field - 1 : 0;
}
inline bool non_finite(uint64_t u) { return ((u >> 52) & 0x7ff) == 0x7ff; }

// w[0..2] += x0 + x1 * 2^64 + x2 * 2^128; returns the carry out of w[2].
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXA_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VEXA_ADDRESS_SANITIZER 1
#endif

inline bool add3(uint64_t* w, uint64_t x0, uint64_t x1, uint64_t x2) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(VEXA_ADDRESS_SANITIZER)
    // One add-with-carry chain straight into memory; compilers otherwise park the carry
    // flag in a register between the steps. (Under AddressSanitizer the portable version
    // runs instead, so that these accesses are checked.)
    unsigned char carry;
    __asm__("addq %[x0], %[w0]\n\t"
            "adcq %[x1], %[w1]\n\t"
            "adcq %[x2], %[w2]\n\t"
            "setc %[carry]"
            : [carry] "=r"(carry), [w0] "+m"(w[0]), [w1] "+m"(w[1]), [w2] "+m"(w[2])
            : [x0] "r"(x0), [x1] "r"(x1), [x2] "r"(x2)
            : "cc");
    return carry != 0;
#else
    uint64_t carry;
    w[0] = wide::add_carry(w[0], x0, 0, &carry);
    w[1] = wide::add_carry(w[1], x1, carry, &carry);
    w[2] = wide::add_carry(w[2], x2, carry, &carry);
    return carry != 0;
#endif
}

// Adds m_a * m_b * 2^p (m_a, m_b < 2^53, p <= 4090) into the accumulator words.
inline void add_product(uint64_t* acc, uint64_t ma, uint64_t mb, uint32_t p) {
    uint64_t hi;
    const uint64_t lo = wide::mul(ma, mb, &hi);  // < 2^106
    const uint32_t shift = p & 63;
    // product * 2^shift < 2^169 in three words; split shifts so a zero shift never
    // shifts by 64.
    const uint64_t x0 = lo << shift;
    const uint64_t x1 = (hi << shift) | ((lo >> 1) >> (63 - shift));
    const uint64_t x2 = (hi >> 1) >> (63 - shift);
    uint64_t* w = acc + (p >> 6);
    const bool carry = add3(w, x0, x1, x2);
    if (__builtin_expect(carry, 0)) {
        // The accumulator only grows and never exceeds its words, so this stops in range.
        uint64_t* q = w + 3;
        while (++*q == 0) ++q;
    }
}

// pos - neg over words [first, last] (all other words are zero), as a sign and a magnitude
// whose bit 0 weighs 2^(64 * first - 2148). Clears those words of both. Returns the number
// of limbs written (0 when the difference is zero).
int take_difference(uint64_t* pos, uint64_t* neg, int first, int last, bool* negative,
                    uint64_t* limbs, int64_t* scale) {
    int count = 0;
    uint64_t borrow = 0;
    for (int w = first; w <= last; ++w) {
        limbs[count++] = wide::sub_borrow(pos[w], neg[w], borrow, &borrow);
        pos[w] = neg[w] = 0;
    }
    *negative = borrow != 0;
    if (*negative) {  // magnitude = two's complement negation
        uint64_t add = 1;
        for (int l = 0; l < count; ++l) {
            const uint64_t v = ~limbs[l] + add;
            add = (add && v == 0) ? 1 : 0;
            limbs[l] = v;
        }
    }
    *scale = int64_t(64) * first + kWordZeroExponent;
    while (count > 0 && limbs[count - 1] == 0) --count;
    return count;
}

// ---- Special values ---------------------------------------------------------------------

struct SpecialScan {
    bool nan = false, positive_infinity = false, negative_infinity = false;
    bool any() const { return nan || positive_infinity || negative_infinity; }
};

// Folds the IEEE product of two doubles, at least one non-finite, into the scan.
inline void scan_special(uint64_t ua, uint64_t ub, SpecialScan& s) {
    const bool a_nan = non_finite(ua) && (ua & kFractionMask);
    const bool b_nan = non_finite(ub) && (ub & kFractionMask);
    const bool a_zero = (ua << 1) == 0, b_zero = (ub << 1) == 0;
    if (a_nan || b_nan || a_zero || b_zero) {  // NaN operand, or inf * 0
        s.nan = true;
    } else if ((ua ^ ub) >> 63) {
        s.negative_infinity = true;
    } else {
        s.positive_infinity = true;
    }
}

// The words of an element whose products include a non-finite one.
template <class Res>
void write_special(const SpecialScan& s, double* hi, double* lo, Res* res) {
    if (s.nan || (s.positive_infinity && s.negative_infinity)) {
        *hi = bits::to_double(uint64_t(0x7ff8) << 48);
        *lo = 0.0;
        *res = 0;
    } else {
        write_infinity(s.negative_infinity, hi, lo, res);
    }
}

// Two accumulators (positive, negative products) for one output element.
struct Accumulator {
    uint64_t pos[kWords];
    uint64_t neg[kWords];
};

// The words that products at bit positions [lowest, highest] can reach: a product is below
// 2^(p + 106), and fewer than 2^64 of them add at most 64 bits.
inline int first_word(uint32_t lowest) { return static_cast<int>(lowest >> 6); }
inline int last_word(uint32_t highest) { return std::min<int>(kWords - 1, (highest + 170) >> 6); }

// Rounds pos - neg over words [first, last] and clears them. Returns false when the
// difference is exactly zero (nothing written then).
template <class Res>
bool round_accumulator(Accumulator& acc, int first, int last, double* hi, double* lo, Res* res) {
    uint64_t limbs[kMaxLimbs];
    bool negative = false;
    int64_t scale = 0;
    const int n = take_difference(acc.pos, acc.neg, first, last, &negative, limbs, &scale);
    if (n == 0) return false;
    round_triple(negative, limbs, n, scale, hi, lo, res);
    return true;
}

// dot_triple with a float (Res = float) or float64 (Res = double) third word.
template <class Res>
void dot_words(const double* a, int64_t a_stride, const double* b, int64_t b_stride, int64_t K,
               double* hi, double* lo, Res* res) {
    Accumulator acc;
    std::memset(&acc, 0, sizeof acc);
    SpecialScan special;
    bool all_negative_zero = K > 0;  // IEEE sums of only -0 products give -0
    uint32_t lowest = 4090, highest = 0;
    for (int64_t k = 0; k < K; ++k) {
        const uint64_t ua = bits::of(a[k * a_stride]), ub = bits::of(b[k * b_stride]);
        if (non_finite(ua) || non_finite(ub)) {
            scan_special(ua, ub, special);
            all_negative_zero = false;
            continue;
        }
        const uint64_t ma = significand(ua), mb = significand(ub);
        if (ma == 0 || mb == 0) {
            all_negative_zero &= ((ua ^ ub) >> 63) != 0;
            continue;
        }
        all_negative_zero = false;
        const uint32_t p = exponent(ua) + exponent(ub);
        lowest = std::min(lowest, p);
        highest = std::max(highest, p);
        add_product((ua ^ ub) >> 63 ? acc.neg : acc.pos, ma, mb, p);
    }
    if (special.any()) {
        write_special(special, hi, lo, res);
        return;
    }
    if (lowest > highest ||
        !round_accumulator(acc, first_word(lowest), last_word(highest), hi, lo, res)) {
        *hi = all_negative_zero ? -0.0 : 0.0;
        *lo = 0.0;
        *res = 0;
    }
}

}  // namespace

void dot_triple(const double* a, int64_t a_stride, const double* b, int64_t b_stride, int64_t K,
                double* hi, double* lo, float* res) {
    dot_words(a, a_stride, b, b_stride, K, hi, lo, res);
}

namespace {

// Exponent range and special content of one row of A or column of B.
struct LineInfo {
    uint32_t lowest = 4095, highest = 0;  // biased exponents of the nonzero finite elements
    bool special = false;                  // holds an inf or NaN
    bool has_nonzero() const { return lowest <= highest; }
};

inline void note(LineInfo& info, uint64_t u) {
    if (non_finite(u)) {
        info.special = true;
    } else if (u << 1) {
        const uint32_t e = exponent(u);
        info.lowest = std::min(info.lowest, e);
        info.highest = std::max(info.highest, e);
    }
}

// Output columns per panel, and rows per block of one task. The accumulators of one panel
// are 16 x 1.5 KiB, of which only the few words the products reach are ever touched, so
// they live in L1.
constexpr int64_t kPanel = 16;
constexpr int64_t kRowBlock = 16;
// Rows of B split at a time for one panel (640 KiB). No split copy of the whole of B is ever
// made, so a call's memory does not grow with B: each worker splits the panel of its task
// itself and keeps it while its next tasks stay on that panel. A longer panel is split
// chunk by chunk, once for every block of rows.
constexpr int64_t kSplitRows = 4096;
// In a panel accumulator the negative products sit this many words above the positive ones;
// a power of two, so the sign can ride in the bit position as bit 13 (2^13 = 128 * 64).
constexpr int kNegativeWords = 128;
constexpr uint32_t kNegativeBit = kNegativeWords * 64;
struct PanelAccumulator {
    uint64_t words[kNegativeWords + kWords];  // [positive | unused gap | negative]
};

// The selected rows and columns of one call: position p stands for row (column) at[p], or
// for p itself when at is null. Line facts and panels are kept by position.
struct Selection {
    const int64_t* at;
    int64_t count;
    int64_t operator[](int64_t p) const { return at ? at[p] : p; }
};

// Rows [k0, k0 + rows) of one panel of B, split: for row k and slot c < kPanel, the
// significand (0 for an inf or NaN, whose element goes to dot_triple anyway) and the biased
// exponent with the sign as kNegativeBit. Padding slots are zero.
struct SplitChunk {
    std::vector<uint64_t> significands;
    std::vector<uint16_t> exponents;
    int64_t panel = -1, k0 = -1;  // what it holds
};

void split_chunk(const GemmProblem& pb, const Selection& cols, int64_t panel, int64_t k0,
                 int64_t rows, SplitChunk& split) {
    const int64_t N = pb.N, p0 = panel * kPanel;
    const int64_t width = std::min(kPanel, cols.count - p0);
    int64_t j[kPanel];
    for (int64_t c = 0; c < width; ++c) j[c] = cols[p0 + c];
    for (int64_t k = 0; k < rows; ++k) {
        const double* b_row = pb.B + (k0 + k) * N;
        uint64_t* mant = split.significands.data() + k * kPanel;
        uint16_t* expo = split.exponents.data() + k * kPanel;
        for (int64_t c = 0; c < kPanel; ++c) {
            uint64_t m = 0;
            uint32_t e = 0;
            if (c < width) {
                const uint64_t ub = bits::of(b_row[j[c]]);
                if (!non_finite(ub)) {
                    m = significand(ub);
                    e = exponent(ub) | ((ub >> 63) ? kNegativeBit : 0);
                }
            }
            mant[c] = m;
            expo[c] = static_cast<uint16_t>(e);
        }
    }
    split.panel = panel;
    split.k0 = k0;
}

// What one worker owns: its chunk of B, and the accumulators of a block of rows (of two
// rows when K fits one chunk, as each row is then finished before the next begins).
struct WorkerSpace {
    SplitChunk split;
    std::vector<PanelAccumulator> acc;
    WorkerSpace(int64_t chunk_rows, int64_t acc_rows)
        : acc(static_cast<size_t>(acc_rows * kPanel)) {
        split.significands.resize(static_cast<size_t>(chunk_rows * kPanel));
        split.exponents.resize(static_cast<size_t>(chunk_rows * kPanel));
    }
};

struct Plan {
    const GemmProblem* problem;
    Selection row_of, col_of;
    const LineInfo* rows;  // by row position
    const LineInfo* cols;  // by column position
};

// Element `at` of C rounded from a difference, or from the reference dot of row a_row and
// column j, into whichever third word the problem asks for.
void round_element(const GemmProblem& pb, int64_t at, bool negative, const uint64_t* limbs, int n,
                   int64_t scale) {
    if (pb.C_res64)
        round_triple(negative, limbs, n, scale, &pb.C_hi[at], &pb.C_lo[at], &pb.C_res64[at]);
    else
        round_triple(negative, limbs, n, scale, &pb.C_hi[at], &pb.C_lo[at], &pb.C_res[at]);
}
void dot_element(const GemmProblem& pb, int64_t at, const double* a_row, int64_t j) {
    if (pb.C_res64)
        dot_words(a_row, 1, pb.B + j, pb.N, pb.K, &pb.C_hi[at], &pb.C_lo[at], &pb.C_res64[at]);
    else
        dot_words(a_row, 1, pb.B + j, pb.N, pb.K, &pb.C_hi[at], &pb.C_lo[at], &pb.C_res[at]);
}

// Adds row i's products with the panel's columns into acc[0..kPanel).
void accumulate_row(const double* a_row, int64_t K, const uint64_t* mant, const uint16_t* expo,
                    PanelAccumulator* acc) {
    for (int64_t k = 0; k < K; ++k) {
        const uint64_t ua = bits::of(a_row[k]);
        const uint64_t ma = significand(ua);
        if (ma == 0) continue;  // zero: contributes nothing (the row holds no inf/NaN)
        const uint32_t ea = exponent(ua);
        // Flipping B's sign bit by A's sign sends the product to the right half.
        const uint32_t flip = (ua >> 63) ? kNegativeBit : 0;
        const uint64_t* mb = mant + k * kPanel;
        const uint16_t* eb = expo + k * kPanel;
        for (int64_t c = 0; c < kPanel; ++c) add_product(acc[c].words, ma, mb[c], ea + (eb[c] ^ flip));
    }
}

// The same for two rows at once, so each split element of B is loaded once for both. Kept
// out of line: inlined into compute_block, GCC makes its loop about a seventh longer.
__attribute__((noinline)) void accumulate_row_pair(const double* a0, const double* a1, int64_t K,
                                                   const uint64_t* mant, const uint16_t* expo,
                                                   PanelAccumulator* acc0, PanelAccumulator* acc1) {
    for (int64_t k = 0; k < K; ++k) {
        const uint64_t u0 = bits::of(a0[k]), u1 = bits::of(a1[k]);
        const uint64_t m0 = significand(u0), m1 = significand(u1);
        if ((m0 | m1) == 0) continue;
        // A zero significand adds zeros wherever its exponent points: harmless.
        const uint32_t e0 = exponent(u0), e1 = exponent(u1);
        const uint32_t flip0 = (u0 >> 63) ? kNegativeBit : 0, flip1 = (u1 >> 63) ? kNegativeBit : 0;
        const uint64_t* mb = mant + k * kPanel;
        const uint16_t* eb = expo + k * kPanel;
        for (int64_t c = 0; c < kPanel; ++c) {
            const uint64_t m = mb[c];
            const uint32_t e = eb[c];
            add_product(acc0[c].words, m0, m, e0 + (e ^ flip0));
            add_product(acc1[c].words, m1, m, e1 + (e ^ flip1));
        }
    }
}

// Writes the row at position r of the panel from its accumulators (and clears them),
// sending specials and exact zeros to the reference dot.
void finish_row(const Plan& plan, int64_t r, int64_t panel, bool accumulated, PanelAccumulator* acc) {
    const GemmProblem& pb = *plan.problem;
    const int64_t K = pb.K, N = pb.N;
    const int64_t p0 = panel * kPanel, width = std::min(kPanel, plan.col_of.count - p0);
    const LineInfo& row = plan.rows[r];
    const int64_t i = plan.row_of[r];
    const double* a_row = pb.A + i * K;
    for (int64_t jj = 0; jj < width; ++jj) {
        const LineInfo& col = plan.cols[p0 + jj];
        const int64_t j = plan.col_of[p0 + jj];
        const int64_t at = i * N + j;
        bool rounded = false;
        // A special column's finite elements were accumulated too: its words must be
        // cleared like any other before the accumulator serves the next row.
        if (accumulated && col.has_nonzero()) {
            uint64_t limbs[kMaxLimbs];
            bool negative = false;
            int64_t scale = 0;
            const int n = take_difference(acc[jj].words, acc[jj].words + kNegativeWords,
                                          first_word(row.lowest + col.lowest),
                                          last_word(row.highest + col.highest), &negative, limbs, &scale);
            if (n > 0 && !col.special) {
                round_element(pb, at, negative, limbs, n, scale);
                rounded = true;
            }
        }
        // Specials, and sums that are exactly zero (whose sign depends on the zero
        // products): the reference dot settles them. Rare, and no slower than the sum.
        if (!rounded) dot_element(pb, at, a_row, j);
    }
}

// Row positions [r0, r1) of one panel, through the worker's space; its accumulators are
// all zero on entry and on exit.
void compute_block(const Plan& plan, int64_t r0, int64_t r1, int64_t panel, WorkerSpace& space) {
    const GemmProblem& pb = *plan.problem;
    const int64_t K = pb.K;
    const int64_t p0 = panel * kPanel, width = std::min(kPanel, plan.col_of.count - p0);
    bool any_regular = false;
    for (int64_t jj = 0; jj < width; ++jj)
        any_regular |= !plan.cols[p0 + jj].special && plan.cols[p0 + jj].has_nonzero();
    auto regular = [&](int64_t r) {
        return any_regular && !plan.rows[r].special && plan.rows[r].has_nonzero();
    };
    auto row = [&](int64_t r) { return pb.A + plan.row_of[r] * K; };
    const int64_t chunk = std::min(K, kSplitRows);
    const bool one_chunk = chunk == K;
    auto acc = [&](int64_t r) {
        return space.acc.data() + (one_chunk ? (r - r0) & 1 : r - r0) * kPanel;
    };
    const uint64_t* mant = space.split.significands.data();
    const uint16_t* expo = space.split.exponents.data();
    for (int64_t k0 = 0; any_regular && k0 < K; k0 += chunk) {
        const int64_t rows = std::min(chunk, K - k0);
        if (space.split.panel != panel || space.split.k0 != k0)
            split_chunk(pb, plan.col_of, panel, k0, rows, space.split);
        const bool last = k0 + rows == K;
        for (int64_t r = r0; r < r1;) {
            if (r + 1 < r1 && regular(r) && regular(r + 1)) {
                accumulate_row_pair(row(r) + k0, row(r + 1) + k0, rows, mant, expo, acc(r), acc(r + 1));
                if (last) {
                    finish_row(plan, r, panel, true, acc(r));
                    finish_row(plan, r + 1, panel, true, acc(r + 1));
                }
                r += 2;
            } else {
                if (regular(r)) accumulate_row(row(r) + k0, rows, mant, expo, acc(r));
                if (last) finish_row(plan, r, panel, regular(r), acc(r));
                r += 1;
            }
        }
    }
    if (!any_regular)
        for (int64_t r = r0; r < r1; ++r) finish_row(plan, r, panel, false, acc(r));
}

}  // namespace

int gemm_selected(const GemmProblem& pb, int threads, const int64_t* rows, int64_t n_rows,
                  const int64_t* cols, int64_t n_cols) {
    try {
        const int64_t K = pb.K, N = pb.N;
        const Selection row_of{rows, rows ? n_rows : pb.M}, col_of{cols, cols ? n_cols : pb.N};
        if (row_of.count <= 0 || col_of.count <= 0) return VEXA_OK;
        threads = threads_for_work(row_of.count * col_of.count, K, threads);
        if (col_of.count < kPanel) {
            // Too narrow for panels, whose padding slots would be most of the work. Element
            // by element, B's few columns share cache lines anyway.
            parallel_for(row_of.count, threads, [&](int64_t r) {
                const int64_t i = row_of[r];
                for (int64_t c = 0; c < col_of.count; ++c) {
                    const int64_t j = col_of[c], at = i * N + j;
                    dot_element(pb, at, pb.A + i * K, j);
                }
            });
            return VEXA_OK;
        }
        const int64_t panels = (col_of.count + kPanel - 1) / kPanel;
        const int64_t row_blocks = (row_of.count + kRowBlock - 1) / kRowBlock;
        const int64_t tasks = row_blocks * panels;
        const int workers = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, tasks)));
        // Workspace first, outputs after: an allocation failure must leave C untouched.
        std::vector<LineInfo> row_info(static_cast<size_t>(row_of.count));
        std::vector<LineInfo> col_info(static_cast<size_t>(col_of.count));
        const int64_t chunk = std::min(K, kSplitRows);
        std::vector<WorkerSpace> spaces;
        spaces.reserve(static_cast<size_t>(workers));
        for (int w = 0; w < workers; ++w) spaces.emplace_back(chunk, chunk == K ? 2 : kRowBlock);

        for (int64_t r = 0; r < row_of.count; ++r) {
            const double* a_row = pb.A + row_of[r] * K;
            for (int64_t k = 0; k < K; ++k) note(row_info[r], bits::of(a_row[k]));
        }
        for (int64_t k = 0; k < K; ++k)
            for (int64_t c = 0; c < col_of.count; ++c) note(col_info[c], bits::of(pb.B[k * N + col_of[c]]));

        const Plan plan{&pb, row_of, col_of, row_info.data(), col_info.data()};
        std::atomic<int64_t> next{0};
        parallel_for(workers, workers, [&](int64_t worker) {
            WorkerSpace& space = spaces[static_cast<size_t>(worker)];
            for (;;) {
                const int64_t t = next.fetch_add(1, std::memory_order_relaxed);
                if (t >= tasks) return;
                // Consecutive tasks share a panel, which the worker then splits only once.
                const int64_t panel = t / row_blocks, block = t % row_blocks;
                const int64_t r0 = block * kRowBlock;
                compute_block(plan, r0, std::min(row_of.count, r0 + kRowBlock), panel, space);
            }
        });
        return VEXA_OK;
    } catch (const std::bad_alloc&) {
        return VEXA_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VEXA_ERROR_INTERNAL;
    }
}

int threads_for_work(int64_t elements, int64_t K, int threads) {
    if (threads <= 1) return threads;
    const double shares = std::floor(double(elements) * double(K) / double(kWorkPerThread));
    return shares >= double(threads) ? threads : std::max(1, int(shares));
}

int gemm(const GemmProblem& pb, int threads) {
    return gemm_selected(pb, threads, nullptr, 0, nullptr, 0);
}

}  // namespace vexa::exact
