// The int16 engine: its moduli, its portable pieces, and the adapter the driver runs.
#include "fastpath/int16_engine.h"

#include <cmath>

#include "fastpath/fastpath_driver.h"

namespace vexa::int16 {
namespace {

constexpr int kModuli[] = {kPowerModulus, 8191, 8179, 8171, 8167, 8161, 8147, 8123, 8117,
                           8111, 8101, 8093, 8089, 8087, 8081, 8069, 8059, 8053, 8039,
                           8017, 8011, 8009, 7993, 7963, 7951, 7949};
constexpr int kModulusCount = int(sizeof(kModuli) / sizeof(kModuli[0]));
static_assert(kModulusCount <= fast::kMaxModuli, "the CRT plan holds every modulus");

// |x| * 2^-shift modulo p, from the significand and the distance of its lowest bit from
// 2^shift: the integer is m * 2^t with m < 2^53, and pow2[t] = 2^t mod p.
int64_t magnitude_residue(double x, int32_t shift, int64_t p, const double* pow2) {
    int exponent;
    const double fraction = std::frexp(std::fabs(x), &exponent);  // |x| = fraction * 2^exponent
    int64_t m = int64_t(std::ldexp(fraction, 53));
    int64_t t = int64_t(exponent) - 53 - shift;
    if (t < 0) {  // only zero bits of m are shifted out
        m >>= -t;
        t = 0;
    }
    return m % p * int64_t(pow2[t]) % p;
}

// The stored residue of x * 2^-shift for modulus l of the plan: the low 16 bits for 2^16,
// centred otherwise.
int16_t residue16(double x, int32_t shift, const ResiduePlan& plan, int l) {
    if (x == 0.0) return 0;
    const int p = plan.moduli[l].p;
    int64_t r = magnitude_residue(x, shift, p, plan.pow2 + size_t(l) * size_t(plan.shift_limit));
    if (std::signbit(x)) r = (p - r) % p;
    if (p == kPowerModulus) return int16_t(uint16_t(r));
    return int16_t(r > (p - 1) / 2 ? r - p : r);
}

void portable_residues_a(const ResiduePlan& plan, const double* const* rows, const int32_t* shift,
                         int64_t k_count, int64_t k_padded, int16_t* out, int64_t modulus_stride) {
    for (int l = 0; l < plan.count; ++l)
        for (int64_t u = 0; u < kRowGroup; ++u)
            for (int64_t k = 0; k < k_padded; ++k)
                out[l * modulus_stride + (k / 2) * 2 * kRowGroup + u * 2 + k % 2] =
                    rows[u] && k < k_count ? residue16(rows[u][k], shift[u], plan, l) : 0;
}

void portable_residues_b_panel(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                               int64_t k_count, int64_t k_padded, const int32_t* shift,
                               int16_t* out, int64_t modulus_stride) {
    for (int l = 0; l < plan.count; ++l)
        for (int64_t k = 0; k < k_padded; ++k)
            for (int64_t c = 0; c < kPanelWidth; ++c)
                out[l * modulus_stride + (k / 2) * 2 * kPanelWidth + c * 2 + k % 2] =
                    k < k_count && c < cols ? residue16(b[k * ldb + c], shift[c], plan, l) : 0;
}

void portable_tile(const Modulus& mod, const int16_t* a, const int16_t* b, int64_t k_padded,
                   uint16_t* acc, int64_t acc_stride, bool accumulate) {
    int64_t sum[kRowGroup][kPanelWidth] = {};
    for (int64_t q = 0; q < k_padded / 2; ++q) {
        const int16_t* aq = a + q * 2 * kRowGroup;
        const int16_t* bq = b + q * 2 * kPanelWidth;
        for (int64_t r = 0; r < kRowGroup; ++r)
            for (int64_t c = 0; c < kPanelWidth; ++c)
                sum[r][c] += int64_t(aq[2 * r]) * bq[2 * c] + int64_t(aq[2 * r + 1]) * bq[2 * c + 1];
    }
    for (int64_t r = 0; r < kRowGroup; ++r)
        for (int64_t c = 0; c < kPanelWidth; ++c) {
            int64_t v = sum[r][c] % mod.p;
            if (v < 0) v += mod.p;
            if (accumulate) v = (v + acc[r * acc_stride + c]) % mod.p;
            acc[r * acc_stride + c] = uint16_t(v);
        }
}

void portable_crt_round_words(const CrtPlan& plan, const uint16_t* residues, int64_t stride,
                              int count, int64_t scale_base, const int32_t* scale, double* hi,
                              double* lo, float* res, uint8_t* zero) {
    fast::portable_crt_round(plan, residues, stride, count, scale_base, scale, hi, lo, res, zero);
}

// The driver's view of a set of Int16Ops.
struct Engine : fast::SharedPieces<Int16Ops, uint16_t> {
    using ResidueA = int16_t;
    using ResidueB = int16_t;
    using Residue = uint16_t;
    static constexpr int64_t kPanelWidth = int16::kPanelWidth, kRowGroup = int16::kRowGroup, kStep = 2;
    // The tile reduces as it goes, so a chunk is bounded by cache, not by int32.
    static constexpr int64_t kMaxChunk = int64_t(1) << 20;

    fast::ModulusList moduli() const { return int16::moduli(); }
    void residues_a(const ResiduePlan& plan, const double* const* rows, const int32_t* shift,
                    int64_t k_count, int64_t k_padded, int16_t* out, int64_t modulus_stride) const {
        ops.residues_a(plan, rows, shift, k_count, k_padded, out, modulus_stride);
    }
    void residues_b(const ResiduePlan& plan, const double* b, int64_t ldb, int64_t cols,
                    int64_t k_count, int64_t k_padded, const int32_t* shift, int16_t* out,
                    int64_t modulus_stride) const {
        ops.residues_b_panel(plan, b, ldb, cols, k_count, k_padded, shift, out, modulus_stride);
    }
    // Moved columns are gathered by the driver first.
    static constexpr bool kReadsColumns = false;
    // A panel is 16 columns, one vector of the tile: padding costs little, `cols` goes unused.
    void tile(const Modulus& modulus, const int16_t* a, const int16_t* b, int /*cols*/, int64_t k_padded,
              uint16_t* acc, int64_t acc_stride, bool accumulate) const {
        ops.tile(modulus, a, b, k_padded, acc, acc_stride, accumulate);
    }
};

}  // namespace

const Int16Ops kPortableOps = {portable_residues_a, portable_residues_b_panel, portable_tile,
                               portable_crt_round_words, fast::portable_scan_lines};

fast::Options default_options() {
    fast::Options options;
    options.chunk = 512;
    // Measured with bench/bench_small on Zen 3 (AVX2, 1 and 2 threads, random normal
    // operands): from 2^15 multiply-adds the engine takes 0.25 to 0.6 of the exact core's
    // time (n = 32 to 96, 8 x 512 x 512, 16 x 1024 x 256 and their transposes); with a
    // single row it comes out even at best, with a single column at 2.2 to 2.6 times, and
    // around 2^13 (21^3, 8 x 8 x 128, 64 x 8 x 16) even within the noise.
    options.min_work = int64_t(1) << 15;
    options.min_side = 8;
    options.max_moduli = kModulusCount;
    return options;
}

}  // namespace vexa::int16

vexa::fast::EngineLayout vexa::fast::int16_layout() {
    return driver::layout_of(int16::Engine{{int16::kPortableOps}});
}

namespace vexa::int16 {

int gemm(const GemmProblem& problem, int threads, const Int16Ops& ops, const fast::Options& options) {
    return fast::run_engine(problem, threads, Engine{{ops}}, options);
}

fast::ModulusList moduli() { return {kModuli, kModulusCount}; }

}  // namespace vexa::int16
