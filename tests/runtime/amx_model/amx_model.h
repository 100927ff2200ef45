// A model of the AMX tile instructions under their intrinsics' names, for running the
// amx_int8 folder on CPUs without AMX. Force-included (-include) before the kernel sources
// of the emulated test build, after the SIMDe shim; never part of libvexa.
//
// Written from the instructions' documented behaviour for palette 1: eight tiles of up to
// 16 rows of up to 64 bytes, shaped by the last ldtilecfg. Loads, products and zeroing
// write the configured rows and bytes and clear the rest of the tile; tdpbusd sums in int32
// with wrap-around. What the hardware answers with #GP or #UD (a configuration over the
// limits, an unconfigured tile, operand shapes that do not fit, one tile in two roles) is
// a Fault here, reported on stderr and thrown, so that a test fails where the CPU would.
// The state is per thread, as the tile registers are.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>  // first, so that its own tile macros are defined before ours replace them
#endif

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vexa_amx_model {

constexpr int kTiles = 8, kMaxRows = 16, kMaxBytes = 64;

struct Fault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fault(const std::string& what) {
    std::fprintf(stderr, "AMX model fault: %s\n", what.c_str());
    throw Fault(what);
}

struct Tile {
    int rows = 0, colsb = 0;  // 0 and 0: not configured
    alignas(64) uint8_t bytes[kMaxRows][kMaxBytes] = {};
};

struct State {
    bool configured = false;
    Tile tiles[kTiles];
};

inline thread_local State state;

// How many ldtilecfg/tilerelease and tdpbusd this thread has run: lets a test see that the
// code under test went through the model at all.
struct Counts {
    long configs = 0, releases = 0, products = 0;
};
inline thread_local Counts counts;

inline Tile& usable(int t, const char* op) {
    if (t < 0 || t >= kTiles) fault(std::string(op) + ": no tile " + std::to_string(t));
    if (!state.configured) fault(std::string(op) + ": tiles used before ldtilecfg");
    Tile& tile = state.tiles[t];
    if (tile.rows == 0) fault(std::string(op) + ": tile " + std::to_string(t) + " is not configured");
    return tile;
}

// Rows and bytes past the configured shape read as zero after every write to a tile.
inline void clear_outside(Tile& tile) {
    for (int r = 0; r < kMaxRows; ++r)
        for (int b = 0; b < kMaxBytes; ++b)
            if (r >= tile.rows || b >= tile.colsb) tile.bytes[r][b] = 0;
}

// The 64-byte palette-1 layout: palette, start_row, 14 reserved bytes, colsb[16] as
// 16-bit words, rows[16].
inline void loadconfig(const void* config) {
    uint8_t c[64];
    std::memcpy(c, config, 64);
    State fresh;
    if (c[0] == 0) {  // palette 0: the initial state, nothing configured
        for (int i = 1; i < 64; ++i)
            if (c[i]) fault("ldtilecfg: palette 0 with nonzero fields");
        state = fresh;
        ++counts.configs;
        return;
    }
    if (c[0] != 1) fault("ldtilecfg: palette " + std::to_string(c[0]) + " is not supported");
    if (c[1] != 0) fault("ldtilecfg: start_row must be 0 outside an interrupted load");
    for (int i = 2; i < 16; ++i)
        if (c[i]) fault("ldtilecfg: reserved byte " + std::to_string(i) + " is not zero");
    for (int t = 0; t < 16; ++t) {
        const int colsb = c[16 + 2 * t] | (c[17 + 2 * t] << 8), rows = c[48 + t];
        if (t >= kTiles) {
            if (colsb || rows) fault("ldtilecfg: tile " + std::to_string(t) + " does not exist in palette 1");
            continue;
        }
        if (rows > kMaxRows) fault("ldtilecfg: tile " + std::to_string(t) + " has " + std::to_string(rows) + " rows");
        if (colsb > kMaxBytes)
            fault("ldtilecfg: tile " + std::to_string(t) + " has " + std::to_string(colsb) + " bytes per row");
        if ((rows == 0) != (colsb == 0))
            fault("ldtilecfg: tile " + std::to_string(t) + " has rows or bytes but not both");
        fresh.tiles[t].rows = rows;
        fresh.tiles[t].colsb = colsb;
    }
    fresh.configured = true;
    state = fresh;
    ++counts.configs;
}

// sttilecfg: the configuration as ldtilecfg took it, or 64 zero bytes in the initial state.
inline void storeconfig(void* config) {
    uint8_t c[64] = {};
    if (state.configured) {
        c[0] = 1;
        for (int t = 0; t < kTiles; ++t) {
            c[16 + 2 * t] = uint8_t(state.tiles[t].colsb);
            c[17 + 2 * t] = uint8_t(state.tiles[t].colsb >> 8);
            c[48 + t] = uint8_t(state.tiles[t].rows);
        }
    }
    std::memcpy(config, c, 64);
}

inline void release() {
    state = State();
    ++counts.releases;
}

inline void loadd(int t, const void* base, long stride) {
    Tile& tile = usable(t, "tileloadd");
    const uint8_t* p = static_cast<const uint8_t*>(base);
    for (int r = 0; r < tile.rows; ++r) std::memcpy(tile.bytes[r], p + r * stride, size_t(tile.colsb));
    clear_outside(tile);
}

inline void stored(int t, void* base, long stride) {
    const Tile& tile = usable(t, "tilestored");
    uint8_t* p = static_cast<uint8_t*>(base);
    for (int r = 0; r < tile.rows; ++r) std::memcpy(p + r * stride, tile.bytes[r], size_t(tile.colsb));
}

inline void zero(int t) {
    Tile& tile = usable(t, "tilezero");
    std::memset(tile.bytes, 0, sizeof tile.bytes);
}

// C[m][n] += sum over k < K, i < 4 of u8(A[m][4k + i]) * s8(B[k][4n + i]), mod 2^32.
inline void dpbusd(int c, int a, int b) {
    if (c == a || c == b || a == b) fault("tdpbusd: one tile in two roles");
    Tile& tc = usable(c, "tdpbusd");
    const Tile& ta = usable(a, "tdpbusd");
    const Tile& tb = usable(b, "tdpbusd");
    if (ta.colsb % 4 || tc.colsb % 4 || tb.colsb % 4) fault("tdpbusd: bytes per row not a multiple of 4");
    if (ta.colsb != tb.rows * 4) fault("tdpbusd: A's bytes per row differ from 4 times B's rows");
    if (tc.rows != ta.rows) fault("tdpbusd: C and A have different row counts");
    if (tc.colsb != tb.colsb) fault("tdpbusd: C and B have different bytes per row");
    const int quads = tb.rows, columns = tc.colsb / 4;
    for (int m = 0; m < tc.rows; ++m)
        for (int n = 0; n < columns; ++n) {
            uint32_t sum;
            std::memcpy(&sum, &tc.bytes[m][4 * n], 4);
            for (int k = 0; k < quads; ++k)
                for (int i = 0; i < 4; ++i)
                    sum += uint32_t(int32_t(ta.bytes[m][4 * k + i]) * int32_t(int8_t(tb.bytes[k][4 * n + i])));
            std::memcpy(&tc.bytes[m][4 * n], &sum, 4);
        }
    clear_outside(tc);
    ++counts.products;
}

}  // namespace vexa_amx_model

#undef _tile_loadd
#undef _tile_stream_loadd
#undef _tile_stored
#undef _tile_zero
#undef _tile_dpbusd
#undef _tile_loadconfig
#undef _tile_release
#undef _tile_storeconfig
#define _tile_loadconfig(config) ::vexa_amx_model::loadconfig(config)
#define _tile_release() ::vexa_amx_model::release()
#define _tile_storeconfig(config) ::vexa_amx_model::storeconfig(config)
#define _tile_loadd(dst, base, stride) ::vexa_amx_model::loadd((dst), (base), long(stride))
#define _tile_stream_loadd(dst, base, stride) ::vexa_amx_model::loadd((dst), (base), long(stride))
#define _tile_stored(src, base, stride) ::vexa_amx_model::stored((src), (base), long(stride))
#define _tile_zero(dst) ::vexa_amx_model::zero(dst)
#define _tile_dpbusd(dst, src1, src2) ::vexa_amx_model::dpbusd((dst), (src1), (src2))
#define VEXA_AMX_MODEL 1
