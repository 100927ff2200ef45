// The portable residues of the int8 engine, in vector types that compilers lower to NEON or
// SSE: what the NEON engines run, and the portable int8 entry.
//
// As in the AVX-512 pieces (residues_avx512_vnni.cpp), an element's integer X (below 2^128
// here) is taken apart once into its base-256 digits d_j, and X mod p is that of
// S = sum_j d_j w_j with w_j = 256^j mod p in [-128, 127]; a negative element negates its
// digits, so S is congruent to the signed integer. It all stays in float lanes, exactly:
// |S| <= 16 * 255 * 128 < 2^19, and A = S + offset, offset = C p - low with C p just above
// that bound, is an integer in [0, 2^20), as is every partial sum on the way.
//
// q = trunc(RN(A * RU(1/p))) is floor(A / p): the exact product lies in [A/p, A/p (1 + 2^-23)],
// so below k + 1 - 0.875/p for floor(A / p) = k, and it rounds to nearest no further than
// half an ulp of k + 1, at most 2^-4 / p for k < 2^20 / p. Rounding cannot pass an integer
// either way: at or above k it stays there, since k is a float. A - q p, exact, is then
// (S - low) mod p, and adding low, in the bytes, puts it in [low, low + p), the side's range.
//
// A group whose integers need more than 16 digits (lines spread over more than 2^128) takes
// the exact core's scalar residue (element::residue_of).
#include <cmath>
#include <cstdint>
#include <cstring>

#include "exact/element_math.h"
#include "fastpath/int8_fastpath.h"

namespace vexa::int8 {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the narrowing shuffles take each lane's low bytes");

// Four 32-bit lanes, one NEON or SSE register; a group is kVectors of them, sixteen
// elements, which make sixteen residue bytes per modulus, one store.
using Floats = float __attribute__((vector_size(16)));
using Ints = int32_t __attribute__((vector_size(16)));
using Words = uint32_t __attribute__((vector_size(16)));
using Shorts = int16_t __attribute__((vector_size(16)));
using Bytes = uint8_t __attribute__((vector_size(16)));
constexpr int kVectors = 4;
constexpr int kGroup = 4 * kVectors;
constexpr int kMaxDigits = 16;  // bytes of a 128-bit integer

constexpr int32_t kDigitSumBound = kMaxDigits * 255 * 128;
static_assert(2 * kDigitSumBound + 256 + 128 < (1 << 20), "the reduction needs A < 2^20");

// What the vector code needs of one modulus p <= 256, built once per process for every p.
struct ModulusEntry {
    float weight[kMaxDigits];  // 256^j mod p in [-128, 127]
    float p, inverse_up;       // p, RU(1/p)
    float offset[2];           // C p - low, for [0, p) and for the symmetric range
    int8_t low[2];             // 0, and (p + 1) / 2 - p
};

struct ModulusTable {
    ModulusEntry entry[257];
    ModulusTable() {
        for (int p = 2; p <= 256; ++p) {
            ModulusEntry& e = entry[p];
            for (int j = 0, v = 1; j < kMaxDigits; ++j, v = v * 256 % p) e.weight[j] = float(v >= 128 ? v - p : v);
            e.p = float(p);
            e.inverse_up = 1.0f / float(p);
            if (double(e.inverse_up) * p < 1.0) e.inverse_up = std::nextafter(e.inverse_up, 2.0f);
            for (int symmetric = 0; symmetric < 2; ++symmetric) {
                const int low = symmetric ? (p + 1) / 2 - p : 0;
                e.low[symmetric] = int8_t(low);
                e.offset[symmetric] = float((kDigitSumBound / p + 1) * p - low);
            }
        }
    }
};

const ModulusTable& modulus_table() {
    static const ModulusTable table;
    return table;
}

// A group's integers |x| * 2^-shift as four 32-bit limbs each, limb[w][i] for element i,
// read from the bits of x, and its signs; false when one needs more than 128 bits.
struct GroupIntegers {
    alignas(16) uint32_t limb[4][kGroup];
    alignas(16) uint32_t sign[kGroup];  // the sign bit of a float, or 0
    uint32_t any[4];                    // the limbs of all elements or-ed together

    bool load(const double (&x)[kGroup], const int32_t (&shift)[kGroup]) {
        any[0] = any[1] = any[2] = any[3] = 0;
        for (int i = 0; i < kGroup; ++i) {
            uint64_t bits;
            std::memcpy(&bits, &x[i], sizeof bits);
            const int biased = int(bits >> 52) & 0x7ff;
            uint64_t m = bits & ((uint64_t(1) << 52) - 1);
            if (biased) m |= uint64_t(1) << 52;
            const int e = (biased ? biased - 1075 : -1074) - shift[i];
            uint64_t low = 0, high = 0;
            if (m != 0 && e < 0) {
                low = e > -64 ? m >> -e : 0;
            } else if (m != 0 && e < 64) {
                low = m << e;
                high = e ? m >> (64 - e) : 0;
            } else if (m != 0) {
                if (e > 75) return false;
                high = m << (e - 64);
            }
            const uint32_t words[4] = {uint32_t(low), uint32_t(low >> 32), uint32_t(high), uint32_t(high >> 32)};
            for (int w = 0; w < 4; ++w) {
                limb[w][i] = words[w];
                any[w] |= words[w];
            }
            sign[i] = uint32_t(bits >> 63) << 31;
        }
        return true;
    }

    int digits() const {
        for (int w = 3; w >= 0; --w)
            if (any[w]) return 4 * w + (32 - __builtin_clz(any[w]) + 7) / 8;
        return 0;
    }

    // Digit j of the elements of vector v, as signed floats.
    Floats digit(int j, int v) const {
        Words word;
        std::memcpy(&word, &limb[j / 4][4 * v], sizeof word);
        Words s;
        std::memcpy(&s, &sign[4 * v], sizeof s);
        const Floats d = __builtin_convertvector(Ints((word >> (8 * (j % 4))) & 0xff), Floats);
        return Floats(Words(d) ^ s);
    }
};

// Sixteen int32 lanes in [-128, 256) to their low bytes, in order.
inline Bytes narrow(const Ints (&r)[kVectors]) {
    const Shorts s01 = __builtin_shufflevector(Shorts(r[0]), Shorts(r[1]), 0, 2, 4, 6, 8, 10, 12, 14);
    const Shorts s23 = __builtin_shufflevector(Shorts(r[2]), Shorts(r[3]), 0, 2, 4, 6, 8, 10, 12, 14);
    return __builtin_shufflevector(Bytes(s01), Bytes(s23), 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28,
                                   30);
}

// The group's residues modulo every modulus of the plan, sixteen bytes per modulus through
// store(l, bytes); kDigits covers the group's digits (the ones past them are zero).
template <int kDigits, class Store>
void reduce(const ResiduePlan& plan, const GroupIntegers& g, int symmetric, Store store) {
    Floats digit[kDigits][kVectors];
#pragma GCC unroll 16
    for (int j = 0; j < kDigits; ++j)
#pragma GCC unroll 4
        for (int v = 0; v < kVectors; ++v) digit[j][v] = g.digit(j, v);
    const ModulusTable& table = modulus_table();
    for (int l = 0; l < plan.count; ++l) {
        const ModulusEntry& e = table.entry[plan.moduli[l].p];
        Ints r[kVectors];
#pragma GCC unroll 4
        for (int v = 0; v < kVectors; ++v) {
            Floats a = Floats{} + e.offset[symmetric];
#pragma GCC unroll 16
            for (int j = 0; j < kDigits; ++j) a += digit[j][v] * e.weight[j];
            const Floats q = __builtin_convertvector(__builtin_convertvector(a * e.inverse_up, Ints), Floats);
            r[v] = __builtin_convertvector(a - q * e.p, Ints);
        }
        store(l, narrow(r) + uint8_t(e.low[symmetric]));
    }
}

// The residues of a group of elements, sixteen bytes per modulus through store(l, bytes):
// each in [0, p), or in the symmetric range.
template <class Store>
void residues_of_group(const ResiduePlan& plan, const double (&x)[kGroup], const int32_t (&shift)[kGroup],
                       bool symmetric, Store store) {
    GroupIntegers g;
    if (g.load(x, shift)) {
        switch ((g.digits() + 3) / 4) {
            case 0:
            case 1: return reduce<4>(plan, g, symmetric, store);
            case 2: return reduce<8>(plan, g, symmetric, store);
            case 3: return reduce<12>(plan, g, symmetric, store);
            default: return reduce<16>(plan, g, symmetric, store);
        }
    }
    for (int l = 0; l < plan.count; ++l) {
        const uint32_t p = uint32_t(plan.moduli[l].p);
        Bytes bytes;
        for (int i = 0; i < kGroup; ++i) {
            const uint32_t r = element::residue_of(x[i], shift[i], p);
            bytes[i] = symmetric ? uint8_t(element::symmetric_byte(r, p)) : uint8_t(r);
        }
        store(l, bytes);
    }
}

}  // namespace

void portable_residues_a(const ResiduePlan& plan, const double* a, int64_t lda, int64_t rows, int64_t k_count,
                         const int32_t* shift, uint8_t* out, int64_t out_row_stride, int64_t out_modulus_stride) {
    for (int64_t r = 0; r < rows; ++r) {
        int32_t lane_shift[kGroup];
        for (int32_t& s : lane_shift) s = shift[r];
        for (int64_t k0 = 0; k0 < k_count; k0 += kGroup) {
            const int n = int(k_count - k0 < kGroup ? k_count - k0 : kGroup);
            double x[kGroup];
            for (int i = 0; i < kGroup; ++i) x[i] = i < n ? a[r * lda + k0 + i] : 0.0;
            uint8_t* const to = out + r * out_row_stride + k0;
            residues_of_group(plan, x, lane_shift, false, [&](int l, Bytes bytes) {
                if (n == kGroup)
                    std::memcpy(to + l * out_modulus_stride, &bytes, kGroup);
                else
                    std::memcpy(to + l * out_modulus_stride, &bytes, size_t(n));
            });
        }
        for (int l = 0; l < plan.count; ++l)
            if (out_row_stride > k_count)
                std::memset(out + l * out_modulus_stride + r * out_row_stride + k_count, 0,
                            size_t(out_row_stride - k_count));
    }
}

// A group is sixteen bytes of a panel: rows k0..k0+3 of four adjacent columns.
void portable_residues_b(const ResiduePlan& plan, const double* b, int64_t ldb, const int64_t* columns,
                         int64_t cols, int64_t k_count, int64_t k_padded, const int32_t* shift, int8_t* out,
                         int64_t out_modulus_stride) {
    constexpr int kRows = 4, kColumns = kGroup / kRows;
    for (int64_t k0 = 0; k0 < k_padded; k0 += kRows) {
        int8_t* const quad = out + (k0 / kRows) * kRows * kPanelWidth;
        for (int64_t c0 = 0; c0 < kPanelWidth; c0 += kColumns) {
            int8_t* const to = quad + c0 * kRows;
            if (c0 >= cols || k0 >= k_count) {
                for (int l = 0; l < plan.count; ++l) std::memset(to + l * out_modulus_stride, 0, kGroup);
                continue;
            }
            double x[kGroup];
            int32_t lane_shift[kGroup];
            for (int i = 0; i < kGroup; ++i) {
                const int64_t c = c0 + i / kRows, k = k0 + i % kRows;
                const bool live = c < cols && k < k_count;
                x[i] = live ? b[k * ldb + (columns ? columns[c] : c)] : 0.0;
                lane_shift[i] = live ? shift[c] : 0;
            }
            residues_of_group(plan, x, lane_shift, true,
                              [&](int l, Bytes bytes) { std::memcpy(to + l * out_modulus_stride, &bytes, kGroup); });
        }
    }
}

}  // namespace vexa::int8
