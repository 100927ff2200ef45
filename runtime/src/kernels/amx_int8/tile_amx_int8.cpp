// The int8 product tile on AMX: up to 16 rows of A residues (unsigned bytes) by a 64-column
// panel of B residues (signed bytes) with tdpbusd, into four 16 x 16 int32 tiles.
// Built with AMX and AVX-512 flags; nothing here runs unless the registry found both.
#include <cstdint>
#include <cstring>

#include "kernels/amx_int8/amx_int8.h"
#include "kernels/amx_int8/amx_int8_pieces.h"
#include "kernels/avx512_vnni/fold_avx512_vnni.h"

namespace vexa::amx_int8 {
namespace {

using avx512_vnni::fold_row;
using avx512_vnni::FoldWidth;

// One tile row: 64 bytes of K of an A row, 16 int32 sums of a C row, or one quad of K for
// 16 columns of a B row, which is how the packed panel ([k / 4][column][k % 4]) already
// lies: B tile j over quads g..g+15 is 16 rows of 64 bytes, kBStride apart.
constexpr int kTileBytes = 64;
constexpr int kMaxRows = 16;
constexpr int kStepK = kTileBytes;               // K per tdpbusd
constexpr int64_t kBStride = 4 * kPanelWidth;    // bytes from one quad of the panel to the next
static_assert(kColumnGroups == 4 && kColumnGroup == 16, "four C tiles of 16 int32 columns per panel");
static_assert(kWideRowGroup == kMaxRows && kWideStep == kStepK, "gemm_wide's layout is one tile step");

// Tile loads and stores. GCC 12's own macros pass the stride as `long`, 32 bits on Windows,
// which the assembler refuses as an index, and tell the compiler nothing of the memory a
// load reads, so that stores just before it (the zero-padded tail) could be dropped as
// dead: these take a 64-bit stride and clobber memory. The emulated build keeps the
// intrinsics, which the AMX model of the tests replaces.
#if VEXA_AMX_MODEL
#define VEXA_TILE_LOADD(t, base, stride) _tile_loadd(t, base, stride)
#define VEXA_TILE_STORED(t, base, stride) _tile_stored(t, base, stride)
#else
#define VEXA_TILE_LOADD(t, base, stride)                                                   \
    __asm__ volatile("tileloadd (%0,%1,1), %%tmm" #t ::"r"(static_cast<const void*>(base)), \
                     "r"(static_cast<long long>(stride))                                     \
                     : "memory")
#define VEXA_TILE_STORED(t, base, stride)                                                  \
    __asm__ volatile("tilestored %%tmm" #t ", (%0,%1,1)" ::"r"(static_cast<void*>(base)),   \
                     "r"(static_cast<long long>(stride))                                     \
                     : "memory")
#endif

// ldtilecfg's 64-byte form, palette 1.
struct alignas(64) TileConfig {
    uint8_t palette = 1;
    uint8_t start_row = 0;
    uint8_t reserved[14] = {};
    uint16_t colsb[16] = {};
    uint8_t rows[16] = {};
};
static_assert(sizeof(TileConfig) == 64, "ldtilecfg reads 64 bytes");

// Tiles 0-3: C for columns 16j..16j+15; 4: A; 5-7: B, rotated so that a load need not wait
// for the product that last read its tile.
TileConfig config_for(int rows) {
    TileConfig c;
    for (int t = 0; t < 5; ++t) {
        c.rows[t] = uint8_t(rows);
        c.colsb[t] = kTileBytes;
    }
    for (int t = 5; t < 8; ++t) {
        c.rows[t] = kStepK / 4;
        c.colsb[t] = kTileBytes;
    }
    return c;
}

// Loading a tile configuration costs about ten times what reading it back does (130 and 13
// cycles of the time-stamp counter on Sapphire Rapids), and a tile call is a few thousand:
// so a thread keeps its tiles configured from call to call, and loads the configuration
// only when what is loaded differs, after another user of the tiles in the thread or for
// another row count.
inline void configure(const TileConfig& wanted) {
    TileConfig loaded;
    _tile_storeconfig(&loaded);
    if (std::memcmp(&loaded, &wanted, sizeof loaded) != 0) _tile_loadconfig(&wanted);
}

// C += A (rows x 64 bytes at a, row stride a_stride) times the first `live` of the four
// B tiles of 16 quads at b. The C tiles past them cover only the panel's zero padding and
// stay zero, as their products would leave them.
inline void step(const uint8_t* a, int64_t a_stride, const int8_t* b, int live) {
    VEXA_TILE_LOADD(4, a, a_stride);
    VEXA_TILE_LOADD(5, b, kBStride);
    _tile_dpbusd(0, 4, 5);
    if (live < 2) return;
    VEXA_TILE_LOADD(6, b + 16 * 4, kBStride);
    _tile_dpbusd(1, 4, 6);
    if (live < 3) return;
    VEXA_TILE_LOADD(7, b + 32 * 4, kBStride);
    _tile_dpbusd(2, 4, 7);
    if (live < 4) return;
    VEXA_TILE_LOADD(5, b + 48 * 4, kBStride);
    _tile_dpbusd(3, 4, 5);
}

// The int32 sums cannot wrap: k_padded <= kMaxChunk (int8_fastpath.h), whatever the order
// of the additions.
}  // namespace

void tile(const Modulus& mod, const uint8_t* a, int64_t a_row_stride, int rows, const int8_t* b_panel,
          int cols, int64_t k_padded, uint8_t* acc, int64_t acc_stride, bool accumulate) {
    if (rows < 1 || rows > kMaxRows) return;
    const int live = live_column_groups(cols);
    configure(config_for(rows));
    _tile_zero(0);
    _tile_zero(1);
    _tile_zero(2);
    _tile_zero(3);
    const int64_t k_full = k_padded / kStepK * kStepK;
    for (int64_t k = 0; k < k_full; k += kStepK) step(a + k, a_row_stride, b_panel + k * kPanelWidth, live);
    if (const int64_t tail = k_padded - k_full) {
        // The last quads (gemm_wide never has any): zero-padded copies, so that no load
        // reads past the operands.
        alignas(64) uint8_t a_tail[kMaxRows][kTileBytes] = {};
        alignas(64) int8_t b_tail[kStepK / 4][kBStride] = {};
        for (int r = 0; r < rows; ++r) std::memcpy(a_tail[r], a + r * a_row_stride + k_full, size_t(tail));
        std::memcpy(b_tail, b_panel + k_full * kPanelWidth, size_t(tail * kPanelWidth));
        step(a_tail[0], kTileBytes, b_tail[0], live);
    }
    alignas(64) int32_t sums[kMaxRows][kPanelWidth];
    VEXA_TILE_STORED(0, &sums[0][0], sizeof sums[0]);
    VEXA_TILE_STORED(1, &sums[0][16], sizeof sums[0]);
    VEXA_TILE_STORED(2, &sums[0][32], sizeof sums[0]);
    VEXA_TILE_STORED(3, &sums[0][48], sizeof sums[0]);
    const avx512_vnni::FoldConstants c = avx512_vnni::fold_constants(mod);
    for (int r = 0; r < rows; ++r) {
        const __m512i s0 = _mm512_load_si512(&sums[r][0]), s1 = _mm512_load_si512(&sums[r][16]);
        const __m512i s2 = _mm512_load_si512(&sums[r][32]), s3 = _mm512_load_si512(&sums[r][48]);
        if (k_padded <= avx512_vnni::kShortFoldChunk)
            fold_row<FoldWidth::kShort>(s0, s1, s2, s3, c, acc + r * acc_stride, accumulate);
        else if (k_padded <= avx512_vnni::kNarrowFoldChunk)
            fold_row<FoldWidth::kNarrow>(s0, s1, s2, s3, c, acc + r * acc_stride, accumulate);
        else
            fold_row<FoldWidth::kWide>(s0, s1, s2, s3, c, acc + r * acc_stride, accumulate);
    }
}

constexpr avx512_vnni::Stores kStores = avx512_vnni::Stores::kCached;
extern const Int8Ops kInt8Ops = {avx512_vnni::residues_a<kStores>, avx512_vnni::residues_b_panel<kStores>, tile,
                                 avx512_vnni::crt_round, avx512_vnni::scan_lines,
                                 avx512_vnni::residues_b_columns<kStores>};

}  // namespace vexa::amx_int8
