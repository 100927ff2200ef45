// The exact integer fast path, shared by every residue engine.
//
// Every row of A and every column of B is scaled by a power of two so that its elements
// become integers. The integer product is then computed modulo L pairwise-coprime moduli
// with small integer products, and the exact integer of every output element is rebuilt
// by the Chinese remainder theorem and rounded once. Nothing here is approximate: the
// moduli are chosen so that the CRT has a unique answer, and whatever cannot be bounded
// (specials, enormous exponent spreads) goes to the exact core. The output is therefore
// bit-identical to the exact core.
//
// Residue engines differ in the residue width, the modulus list, the K chunk, the tile and
// the packing (int8_fastpath.h, int16_engine.h); the planning, the sorting by norm bound,
// the per-tile modulus counts and the blocking (fast_plan.h), and the execution, the CRT and
// the fallback (fastpath_driver.h) are shared. This header holds plain types only, so that
// ISA files can include it without instantiating anything that baseline code would also use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "kernel.h"

namespace vexa::fast {

// At most this many moduli in any engine.
constexpr int kMaxModuli = 40;
// Enough 64-bit limbs for sum_l c_l * (P / p_l) < L * P with P below 2^330.
constexpr int kMaxLimbs = 6;
constexpr int kMaxDigits = 2 * kMaxLimbs;
// Longest run of one CRT call: the widest panel of any engine.
constexpr int kMaxRun = 64;

// One modulus and what vector code needs to reduce by it with double arithmetic.
struct Modulus {
    int p;
    double p_double;
    double inverse;  // RN(1 / p); a quotient it gives is corrected afterwards
};

// A residue piece whose output over all moduli exceeds this many bytes may write it with
// non-temporal stores. So large a block is far past the second-level cache, the tiles read
// it from memory either way, and an ordinary store would first read every line it writes:
// the residue phase measured 12-22% faster at n = 1024 to 4096 with avx512_vnni and 9-17%
// with avx2 (Zen 4), the products no slower. Below it the products find the residues in
// cache, which streaming would give away (about 5% slower products at n = 256).
constexpr int64_t kStreamResidueBytes = int64_t(8) << 20;

inline bool streams_residues(int64_t output_bytes) { return output_bytes > kStreamResidueBytes; }

// The moduli of one product as the residue code reads them.
struct ResiduePlan {
    int count;                     // L
    Modulus moduli[kMaxModuli];
    // pow2[l][t] = 2^t mod p_l for t < shift_limit, stored as doubles for the vector code.
    const double* pow2;
    int shift_limit;               // every integer of an admitted row/column has < this many bits
};

// Signed 16-bit digits of a number below 2^(16 J - 2): J of them. e_l and P are below
// 2^bits(P), so J = ceil((bits(P) + 2) / 16) <= 2 * kMaxDigits.
constexpr int kMaxWords = 2 * kMaxDigits;
constexpr int kMaxPairs = (kMaxModuli + 1) / 2;

// The CRT basis e_l = inverse_l * Q_l (below P, 1 modulo p_l, 0 modulo the other moduli) in
// signed 16-bit digits, for vector code that sums r_l e_l with 16-bit dot products. Derived
// with the plan, so that no thread has to cache it.
struct WordBasis {
    int words = 0;
    // basis[g * words + j]: digit j of e_(2g) in the low half, of e_(2g+1) in the high half
    // (zero past the last modulus), as a pairwise 16-bit multiply-add reads two words.
    uint32_t basis[kMaxPairs * kMaxWords] = {};
    uint32_t product_words[kMaxWords] = {};  // digit j of P in the low half, high half zero
};

// The CRT in the form x = sum_l c_l * Q_l - q * P, with P the product of the moduli,
// Q_l = P / p_l and c_l = r_l * (Q_l mod p_l)^-1 mod p_l. Numbers are held in 32-bit
// digits so that one term c_l * digit is below 2^48 (p_l <= 2^16) and a sum of up to 40
// terms below 2^54: a plain 64-bit accumulator per digit position, no carries while summing.
struct CrtPlan {
    int count = 0;   // L
    int digits = 0;  // digits that hold sum_l c_l Q_l < L * P < 2^(bits(P) + 6), plus a sign bit
    uint32_t product[kMaxDigits] = {};
    uint32_t cofactor[kMaxModuli][kMaxDigits] = {};
    double product_inverse = 0;             // RN(1 / double(P)), for the quotient estimate
    uint32_t p[kMaxModuli] = {};
    uint32_t inverse[kMaxModuli] = {};      // (Q_l mod p_l)^-1 mod p_l
    // floor(2^64 / p_l) + 1, or 2^64 / p_l for a power of two: floor(v / p_l) is the high
    // word of v * reciprocal for every v < 2^32, hence for r_l * inverse_l.
    uint64_t reciprocal[kMaxModuli] = {};
    // floor(inverse_l * 2^16 / p_l): with it r_l * inverse_l mod p_l takes 16-bit multiplies
    // alone, for every r_l < 2^16 (Shoup's method).
    uint16_t inverse_shoup[kMaxModuli] = {};
    WordBasis word_basis;
};

// What the planning reads off a line (a row of A or a column of B): the lowest set bit
// and the highest bit of its nonzero finite elements as powers of two, whether it holds an
// inf or NaN, and the sum of the squares of its elements computed in double (any order,
// rounded to nearest or contracted; specials may make it inf or NaN).
struct LineScan {
    int32_t lowest = 1 << 20, highest = -(1 << 20);  // as they are when nothing was seen
    bool special = false;
    double sum_squares = 0;
};

// The integer window of one row or column: with every nonzero element a = m * 2^e
// (m odd), `shift` is the smallest e and `width` the number of bits of the largest
// |a| * 2^-shift, so that every element times 2^-shift is an integer below 2^width.
struct LineWindow {
    int32_t shift = 0;
    int32_t width = 0;     // 0 for an all-zero line
    bool special = false;  // holds an inf or NaN
    // log2 of an upper bound on the Euclidean norm of the scaled line (-inf when all zero).
    double log2_norm = -std::numeric_limits<double>::infinity();
};

// A list of pairwise-coprime moduli, largest first, of one engine.
struct ModulusList {
    const int* p;
    int count;
};

// Knobs of the driver; each engine has its own defaults.
struct Options {
    // Below this many multiply-adds (M*N*K) the whole product goes to the exact core.
    int64_t min_work = int64_t(1) << 21;
    // Products with fewer rows or columns than this go to the exact core: their residues
    // would cost about as much as the exact products themselves.
    int64_t min_side = 32;
    // Nor with fewer columns than this (B's residues come in panels of a fixed width, which
    // a narrow B mostly fills with padding), fewer output elements or a shorter K (each
    // element costs a CRT over all the moduli, against K multiply-adds in the exact core).
    int64_t min_cols = 0, min_outputs = 0, min_depth = 0;
    // Work per thread: the fast path runs on work / this threads, rounded to the nearest and
    // at least one, where that is fewer than asked (0: all of them). The work is M*N*K
    // multiply-adds plus 64 for each element of A and B, about what one element's residues
    // cost. Waking a parked thread takes tens of microseconds (in a
    // virtual machine an interrupt to an idle core), a few times per product. Sapphire
    // Rapids, 2 threads against 1 in one process (AMX and VNNI alike): 1.2-1.5x the time up
    // to n = 64, 1.0-1.1x at 80, 0.96x at 96, even at 128, 0.9x at 160; a thin
    // 1 x 1024 x 1024 or 8 x 512 x 512, mostly residues, 0.7x.
    int64_t min_work_per_thread = int64_t(1) << 20;
    // The exact core's cost per product in units of one multiply-add of one modulus;
    // it decides when a wide row or column is cheaper outside the CRT path.
    double exact_cost_ratio = 2048.0;
    // Largest K chunk of one residue block (rounded down to the engine's k step and capped
    // by what its accumulators can hold).
    int64_t chunk = 4096;
    // Workspace target in bytes for the residues and the residue accumulators. A block
    // above what the pool keeps between calls comes fresh from the system every call, and
    // its page faults and zeroing cost about what the residues that narrower blocks remake
    // do: on Ice Lake server at 2 threads, repeated products of n = 3072 went 7-10% faster
    // with 256 MiB than with 768 (246 MiB a call instead of 640), n = 4096 2% (218 instead
    // of 562), n = 2048 even (186 instead of 286).
    int64_t workspace_bytes = int64_t(256) << 20;
    // A product whose columns fit one panel, with K in one chunk, has its rows cut into
    // blocks whose residues of A stay below this many bytes, where the products read them
    // from cache (fast_plan.cpp, thin_block_rows).
    int64_t thin_block_bytes = kStreamResidueBytes;
    // Cap on the number of moduli (<= the engine's list and kMaxModuli).
    int max_moduli = kMaxModuli;
    // Columns are sorted by their bounds, so that panels of narrow columns take fewer
    // moduli, only where that spares more than this many multiply-adds of one modulus per
    // output element (moduli spared per row group and panel pair, on average, times K).
    // Unsorted, B is read and C written in place, where sorted columns cost a gather and a
    // row buffer per element, whatever K. (VNNI, random normal operands: unsorting measured
    // 4-7% faster at n = 128..512, about even at 1024, slower at 2048; per pair 0.25-0.85
    // moduli spared.) Engines with byte residues only; the others sort wherever a modulus
    // is spared.
    double sort_gain = 512;
};

// Where time went in the last fast-path call of the process (seconds), for the benches
// and tests.
struct Timing {
    double planning = 0, residues = 0, products = 0, reconstruction = 0, fallback = 0;
    int moduli = 0;                // the most any element needed
    double average_moduli = 0;     // over row group and panel pairs
    int64_t excluded_rows = 0, excluded_cols = 0;
};
Timing last_timing();
void record_timing(const Timing& timing);

// The CRT plan of the first `count` moduli of `list`.
void build_crt_plan(const ModulusList& list, int count, CrtPlan& plan);
// The CRT plans of the first c moduli of `list` for c in [1, count], as plans[c]: made once
// per list and count for the whole process, never changed afterwards, safe to read from any
// thread. Throws std::bad_alloc when memory is short.
const CrtPlan* crt_plans(const ModulusList& list, int count);
// plan.word_basis from the rest of the plan (build_crt_plan calls it).
void derive_word_basis(CrtPlan& plan);

// The signed integers x of `count` (<= kMaxRun) elements whose residues are
// residues[l * stride + e]: |x| as plan.digits 32-bit digits in magnitude[j * kMaxRun + e],
// and negative[e] = 1 when x < 0. The reference for every engine's CRT.
void portable_crt(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
                  uint32_t* magnitude, uint8_t* negative);
// The CRT and the rounding in one. For e < count, with x_e the integer the CRT rebuilds:
// where x_e != 0, hi/lo/res[e] are exact::round_triple of x_e * 2^(scale_base + scale[e])
// and zero[e] = 0; where x_e == 0 the words are +0 and zero[e] = 1, since the sign of an
// exact zero sum needs the inputs. Byte residues go through the word basis, eight elements
// at a time (crt_bytes.cpp); 16-bit ones through element::crt_one.
void portable_crt_round(const CrtPlan& plan, const uint8_t* residues, int64_t stride, int count,
                        int64_t scale_base, const int32_t* scale, double* hi, double* lo,
                        float* res, uint8_t* zero);
void portable_crt_round(const CrtPlan& plan, const uint16_t* residues, int64_t stride, int count,
                        int64_t scale_base, const int32_t* scale, double* hi, double* lo,
                        float* res, uint8_t* zero);
// The same with a float64 third word (GemmProblem::C_res64), for every engine: the fused
// CRT and rounding of the vector pieces make float32 words only.
// Residue is uint8_t or uint16_t (instantiated in crt_plan.cpp).
template <class Residue>
void portable_crt_round_f64(const CrtPlan& plan, const Residue* residues, int64_t stride, int count,
                            int64_t scale_base, const int32_t* scale, double* hi, double* lo,
                            double* res, uint8_t* zero);

// out[c] = the scan of column c < cols of the rows x cols at b (row stride ldb), or out[r]
// of row r when `by_rows` (rows at stride ldb of `cols` elements each).
void portable_scan_lines(const double* b, int64_t ldb, int64_t rows, int64_t cols, bool by_rows,
                         LineScan* out);

// The window of `count` elements at stride `stride`.
LineWindow window_of(const double* x, int64_t stride, int64_t count);

// Smallest L whose modulus product P exceeds 2 * 2^log2_bound with room to spare
// (log2 P > log2_bound + 1 + 2^-10), or 0 if none up to max_moduli. Any integer x with
// |x| <= 2^log2_bound is then recovered from its residues as the one in (-P/2, P/2).
int moduli_above_twice(const ModulusList& list, double log2_bound, int max_moduli);
// Smallest L whose modulus product P satisfies P >= 2^bits, or 0 if none up to max_moduli.
int moduli_for_bits(const ModulusList& list, int bits, int max_moduli);

}  // namespace vexa::fast
