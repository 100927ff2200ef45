// The int8 engine: its moduli, its portable pieces, and the adapter the driver runs.
#include "fastpath/int8_fastpath.h"

#include <cmath>
#include <cstring>

#include "fastpath/fastpath_driver.h"

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

void portable_tile(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, int rows,
                   const int8_t* b_panel, int /*cols: the reference multiplies the padding too*/,
                   int64_t k_padded, uint8_t* acc, int64_t acc_stride,
                   bool accumulate) {
    int32_t sum[kWideRowGroup][kPanelWidth] = {};
    for (int64_t k = 0; k < k_padded; ++k) {
        const int8_t* bk = b_panel + (k / 4) * 4 * kPanelWidth + k % 4;
        for (int r = 0; r < rows; ++r) {
            const int32_t x = a[r * a_row_stride + k];
            for (int c = 0; c < kPanelWidth; ++c) sum[r][c] += x * int32_t(bk[c * 4]);
        }
    }
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < kPanelWidth; ++c) {
            int v = sum[r][c] % mod.p;
            if (v < 0) v += mod.p;
            if (accumulate) v += acc[r * acc_stride + c];
            if (v >= mod.p) v -= mod.p;
            acc[r * acc_stride + c] = uint8_t(v);
        }
}

void portable_crt_round_bytes(const CrtPlan& plan, const uint8_t* residues, int64_t stride,
                              int count, int64_t scale_base, const int32_t* scale, double* hi,
                              double* lo, float* res, uint8_t* zero) {
    fast::portable_crt_round(plan, residues, stride, count, scale_base, scale, hi, lo, res, zero);
}

// The driver's view of a set of Int8Ops: groups of RowGroup rows of A stored row by row,
// K padded to a multiple of Step.
template <int64_t RowGroup, int64_t Step>
struct Engine : fast::SharedPieces<Int8Ops, uint8_t> {
    using ResidueA = uint8_t;
    using ResidueB = int8_t;
    using Residue = uint8_t;
    static constexpr int64_t kPanelWidth = int8::kPanelWidth, kRowGroup = RowGroup, kStep = Step;
    static_assert(int8::kMaxChunk % Step == 0, "a chunk holds whole steps");
    static constexpr int64_t kMaxChunk = int8::kMaxChunk;

    fast::ModulusList moduli() const { return int8::moduli(); }
    void residues_a(const ResiduePlan& plan, const double* const* rows, const int32_t* shift,
                    int64_t k_count, int64_t k_padded, uint8_t* out, int64_t modulus_stride) const {
        for (int64_t u = 0; u < kRowGroup; ++u) {
            if (rows[u]) {
                ops.residues_a(plan, rows[u], k_count, 1, k_count, &shift[u], out + u * k_padded, k_padded,
                               modulus_stride);
            } else {
                for (int l = 0; l < plan.count; ++l)
                    std::memset(out + l * modulus_stride + u * k_padded, 0, size_t(k_padded));
            }
        }
    }
    void residues_b(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                    int64_t k_count, int64_t k_padded, const int32_t* shift, int8_t* out,
                    int64_t modulus_stride) const {
        ops.residues_b_panel(plan, b, ldb, cols, k_count, k_padded, shift, out, modulus_stride);
    }
    static constexpr bool kReadsColumns = true;
    void residues_b_columns(const ResiduePlan& plan, const double* b, int64_t ldb, const int64_t* columns,
                            int64_t cols, int64_t k_count, int64_t k_padded, const int32_t* shift, int8_t* out,
                            int64_t modulus_stride) const {
        ops.residues_b_columns(plan, b, ldb, columns, cols, k_count, k_padded, shift, out, modulus_stride);
    }
    void tile(const Modulus& modulus, const uint8_t* a, const int8_t* b, int cols, int64_t k_padded,
              uint8_t* acc, int64_t acc_stride, bool accumulate) const {
        ops.tile(modulus, a, k_padded, int(kRowGroup), b, cols, k_padded, acc, acc_stride, accumulate);
    }
};

void portable_residues_b_panel(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols, int64_t k_count,
                               int64_t k_padded, const int32_t* shift, int8_t* out, int64_t out_modulus_stride) {
    portable_residues_b(plan, b, ldb, nullptr, cols, k_count, k_padded, shift, out, out_modulus_stride);
}

}  // namespace

const Int8Ops kPortableOps = {portable_residues_a, portable_residues_b_panel, portable_tile,
                              portable_crt_round_bytes, fast::portable_scan_lines, portable_residues_b};

}  // namespace int8

fast::EngineLayout fast::int8_layout() {
    return driver::layout_of(int8::Engine<int8::kRowGroup, 4>{{int8::kPortableOps}});
}
fast::EngineLayout fast::int8_wide_layout() {
    return driver::layout_of(int8::Engine<int8::kWideRowGroup, int8::kWideStep>{{int8::kPortableOps}});
}

namespace int8 {

int gemm(const GemmProblem& problem, int threads, const Int8Ops& ops, const Int8Options& options) {
    return fast::run_engine(problem, threads, Engine<kRowGroup, 4>{{ops}}, options);
}

int gemm_wide(const GemmProblem& problem, int threads, const Int8Ops& ops, const Int8Options& options) {
    return fast::run_engine(problem, threads, Engine<kWideRowGroup, kWideStep>{{ops}}, options);
}

fast::ModulusList moduli() { return {kModuli, kMaxModuli}; }

int modulus_list(const int** list) {
    *list = kModuli;
    return kModulusCount;
}

int moduli_for_bits(int bits, int max_moduli) { return fast::moduli_for_bits(moduli(), bits, max_moduli); }

int moduli_above_twice(double log2_bound, int max_moduli) {
    return fast::moduli_above_twice(moduli(), log2_bound, max_moduli);
}

}  // namespace int8
}  // namespace vexa
