// The int8 product tile with AVX-512 VNNI: six rows of A residues (unsigned bytes) by one
// 64-column panel of B residues (signed bytes), four products at a time into int32 through
// vpdpbusd, and the table of the folder's pieces.
// Built with AVX-512 flags; nothing here runs unless the registry found VNNI.
#include <cstdint>
#include <cstring>

#include "kernels/avx512_vnni/avx512_vnni.h"
#include "kernels/avx512_vnni/avx512_vnni_pieces.h"
#include "kernels/avx512_vnni/fold_avx512_vnni.h"

namespace vexa::avx512_vnni {
namespace {

// acc += dot4(a as u8, b as s8) per int32 lane, in place. Written as asm because GCC 12
// copies the accumulator around the builtin on every use, which spills the 24 accumulators.
// The emulated test build (VEXA_SIMDE) has no zmm registers to name: the intrinsic there.
#if VEXA_SIMDE
#define VEXA_DPBUSD(acc, a, b) ((acc) = _mm512_dpbusd_epi32((acc), (a), (b)))
#else
#define VEXA_DPBUSD(acc, a, b) __asm__("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(a), "vm"(b))
#endif

// Past 512 quads a B panel (32 KiB) no longer stays in the first-level cache between the
// row groups that share it and streams from the second level on every call; fetching it
// eight steps ahead hides that latency (the tile alone: 81 -> 97 MAC/cycle at K = 1024).
constexpr int64_t kPrefetchAhead = 8 * 4 * kPanelWidth;

// The hot loop for a full group of six rows, accumulators spelled out so that all 24
// stay in registers (with 4 B vectors and one broadcast: 29 of the 32 zmm registers).
// One copy per fold width and count of live column vectors, each kept out of line: inlined
// together into tile(), their loops ran out of registers and spilled the accumulators on
// every step. Vectors past kVectors cover only the panel's zero padding: their products
// are skipped and their sums stay zero, which the fold turns into the residues the full
// loop would give them (a panel of B with 16 columns or fewer costs a quarter of a full one).
template <FoldWidth kWidth, int kVectors>
[[gnu::noinline]] void tile_six(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, const int8_t* b_panel,
                                int64_t k_padded, uint8_t* acc, int64_t acc_stride, bool accumulate) {
    static_assert(kColumnGroup == 16 && kVectors >= 1 && kVectors <= kColumnGroups, "a vector per column group");
#define VEXA_ROW_ACCUMULATORS(r) \
    __m512i c##r##0 = _mm512_setzero_si512(), c##r##1 = _mm512_setzero_si512(), \
            c##r##2 = _mm512_setzero_si512(), c##r##3 = _mm512_setzero_si512();
    VEXA_ROW_ACCUMULATORS(0) VEXA_ROW_ACCUMULATORS(1) VEXA_ROW_ACCUMULATORS(2)
    VEXA_ROW_ACCUMULATORS(3) VEXA_ROW_ACCUMULATORS(4) VEXA_ROW_ACCUMULATORS(5)
#undef VEXA_ROW_ACCUMULATORS
    const uint8_t* a0 = a;
    const uint8_t* a1 = a + a_row_stride;
    const uint8_t* a2 = a + 2 * a_row_stride;
    const uint8_t* a3 = a + 3 * a_row_stride;
    const uint8_t* a4 = a + 4 * a_row_stride;
    const uint8_t* a5 = a + 5 * a_row_stride;
    for (int64_t k = 0; k < k_padded; k += 4) {
        const int8_t* bp = b_panel + k * kPanelWidth;
        const __m512i b0 = _mm512_loadu_si512(bp);
        const __m512i b1 = kVectors > 1 ? _mm512_loadu_si512(bp + 64) : _mm512_setzero_si512();
        const __m512i b2 = kVectors > 2 ? _mm512_loadu_si512(bp + 128) : _mm512_setzero_si512();
        const __m512i b3 = kVectors > 3 ? _mm512_loadu_si512(bp + 192) : _mm512_setzero_si512();
        if constexpr (kWidth == FoldWidth::kWide)
            for (int v = 0; v < kVectors; ++v)
                _mm_prefetch(reinterpret_cast<const char*>(bp + kPrefetchAhead + 64 * v), _MM_HINT_T0);
#define VEXA_ROW_STEP(r)                                              \
    {                                                                 \
        int32_t quad;                                                 \
        std::memcpy(&quad, a##r + k, 4);                             \
        const __m512i av = _mm512_set1_epi32(quad);                   \
        VEXA_DPBUSD(c##r##0, av, b0);                                 \
        if constexpr (kVectors > 1) VEXA_DPBUSD(c##r##1, av, b1);     \
        if constexpr (kVectors > 2) VEXA_DPBUSD(c##r##2, av, b2);     \
        if constexpr (kVectors > 3) VEXA_DPBUSD(c##r##3, av, b3);     \
    }
        VEXA_ROW_STEP(0) VEXA_ROW_STEP(1) VEXA_ROW_STEP(2)
        VEXA_ROW_STEP(3) VEXA_ROW_STEP(4) VEXA_ROW_STEP(5)
#undef VEXA_ROW_STEP
    }
    const FoldConstants c = fold_constants(mod);
#define VEXA_ROW_FOLD(r) fold_row<kWidth>(c##r##0, c##r##1, c##r##2, c##r##3, c, acc + r * acc_stride, accumulate);
    VEXA_ROW_FOLD(0) VEXA_ROW_FOLD(1) VEXA_ROW_FOLD(2)
    VEXA_ROW_FOLD(3) VEXA_ROW_FOLD(4) VEXA_ROW_FOLD(5)
#undef VEXA_ROW_FOLD
}

template <FoldWidth kWidth>
void tile_width(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, const int8_t* b_panel, int cols,
                int64_t k_padded, uint8_t* acc, int64_t acc_stride, bool accumulate) {
    switch (live_column_groups(cols)) {
        case 1: return tile_six<kWidth, 1>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride, accumulate);
        case 2: return tile_six<kWidth, 2>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride, accumulate);
        case 3: return tile_six<kWidth, 3>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride, accumulate);
        default: return tile_six<kWidth, 4>(mod, a, a_row_stride, b_panel, k_padded, acc, acc_stride, accumulate);
    }
}

}  // namespace

// The driver passes whole row groups only (the packing pads A to kRowGroup rows).
void tile(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, int rows, const int8_t* b_panel, int cols,
          int64_t k_padded, uint8_t* acc, int64_t acc_stride, bool accumulate) {
    if (rows != kRowGroup) return;
    if (k_padded <= kShortFoldChunk)
        tile_width<FoldWidth::kShort>(mod, a, a_row_stride, b_panel, cols, k_padded, acc, acc_stride, accumulate);
    else if (k_padded <= kNarrowFoldChunk)
        tile_width<FoldWidth::kNarrow>(mod, a, a_row_stride, b_panel, cols, k_padded, acc, acc_stride, accumulate);
    else
        tile_width<FoldWidth::kWide>(mod, a, a_row_stride, b_panel, cols, k_padded, acc, acc_stride, accumulate);
}

constexpr Stores kStores = Stores::kMayStream;
extern const Int8Ops kInt8Ops = {residues_a<kStores>, residues_b_panel<kStores>, tile, crt_round, scan_lines,
                                 residues_b_columns<kStores>};

}  // namespace vexa::avx512_vnni
