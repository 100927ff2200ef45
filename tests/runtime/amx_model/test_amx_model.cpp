// The AMX model against sums worked out independently (by hand, and in 64 bits reduced
// modulo 2^32), its faults where the instructions fault, and against the instructions
// themselves where the CPU has them.
#include "amx_model.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "amx_calls.h"
#include "cpuinfo_flags.h"

namespace {

using vexa_amx_test::Case;
using vexa_amx_test::Result;
using vexa_amx_test::kUntouched;
namespace model = vexa_amx_model;

// C + A.B in 64 bits, then modulo 2^32 as two's complement.
int32_t reference(const Case& k, int m, int n) {
    int64_t sum = k.c[m][n];
    for (int q = 0; q < k.quads; ++q)
        for (int i = 0; i < 4; ++i) sum += int64_t(k.a[m][4 * q + i]) * int64_t(k.b[q][4 * n + i]);
    return int32_t(uint32_t(uint64_t(sum)));
}

void expect_reference(const Case& k, const Result& out, const std::string& where) {
    for (int m = 0; m < 16; ++m)
        for (int n = 0; n < 16; ++n) {
            const int32_t want = m < k.rows && n < k.columns ? reference(k, m, n) : kUntouched;
            ASSERT_EQ(out.c[m][n], want) << where << ": row " << m << ", column " << n;
        }
}

TEST(AmxModel, HandComputedProduct) {
    // Two rows, two quads of K, two columns.
    Case k;
    k.rows = 2, k.quads = 2, k.columns = 2;
    const uint8_t a[2][8] = {{1, 2, 3, 4, 5, 6, 7, 8}, {255, 0, 0, 0, 0, 0, 0, 128}};
    const int8_t b[2][8] = {{1, -1, 2, -2, 10, 0, 0, 0}, {3, 0, 0, 1, -128, 127, 1, 1}};
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 8; ++i) k.a[r][i] = a[r][i], k.b[r][i] = b[r][i];
    k.c[0][0] = 100, k.c[1][1] = -7;
    Result out;
    vexa_amx_test::model_run(k, out);
    // Row 0: column 0 = 100 + (1 - 2 + 6 - 8) + (15 + 8) = 120; column 1 = 10 + (-640 + 762 + 7 + 8) = 147.
    // Row 1: column 0 = 255 + 128 = 383; column 1 = -7 + 2550 + 128 = 2671.
    EXPECT_EQ(out.c[0][0], 120);
    EXPECT_EQ(out.c[0][1], 147);
    EXPECT_EQ(out.c[1][0], 383);
    EXPECT_EQ(out.c[1][1], 2671);
    EXPECT_EQ(out.c[0][2], kUntouched);
    EXPECT_EQ(out.c[2][0], kUntouched);
}

// sttilecfg gives back what ldtilecfg took, and zeros in the initial state: the tile keeps
// its configuration between calls on that.
TEST(AmxModel, StoredConfigurationIsTheLoadedOne) {
    Case k;
    k.rows = 9, k.quads = 5, k.columns = 11;
    Result out;
    vexa_amx_test::model_run(k, out);
    uint8_t loaded[64];
    vexa_amx_test::config_of(k, loaded);
    EXPECT_EQ(loaded[16], 44) << "the case's C tile: 11 columns of int32";
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(out.configured[i], loaded[i]) << "byte " << i;
        EXPECT_EQ(out.released[i], 0) << "byte " << i;
    }
}

TEST(AmxModel, SumsWrapModulo2To32) {
    Case k;
    for (auto& row : k.a)
        for (uint8_t& x : row) x = 255;
    for (auto& row : k.b)
        for (int8_t& x : row) x = -128;
    for (auto& row : k.c)
        for (int32_t& x : row) x = INT32_MIN + 5;
    Result out;
    vexa_amx_test::model_run(k, out);
    // INT32_MIN + 5 plus 64 products of -32640 wraps to 2^31 + 5 - 2088960.
    const int32_t want = int32_t(uint32_t(0x80000005u) - 64u * 32640u);
    EXPECT_EQ(want, 2145394693);
    for (int m = 0; m < 16; ++m)
        for (int n = 0; n < 16; ++n) ASSERT_EQ(out.c[m][n], want) << m << ", " << n;
}

Case random_case(std::mt19937_64& rng, int rows, int quads, int columns) {
    Case k;
    k.rows = rows, k.quads = quads, k.columns = columns;
    for (auto& row : k.a)
        for (uint8_t& x : row) x = uint8_t(rng());
    for (auto& row : k.b)
        for (int8_t& x : row) x = int8_t(rng());
    for (auto& row : k.c)
        for (int32_t& x : row) x = int32_t(uint32_t(rng()));
    return k;
}

// Random bytes over every row count, K and column count at and between their limits; the
// bytes outside the configured shape are random too and must not take part.
TEST(AmxModel, RandomShapesMatchTheReference) {
    std::mt19937_64 rng(29);
    for (int rows : {1, 2, 7, 16})
        for (int quads : {1, 3, 16})
            for (int columns : {1, 5, 16}) {
                const Case k = random_case(rng, rows, quads, columns);
                Result out;
                vexa_amx_test::model_run(k, out);
                expect_reference(k, out, std::to_string(rows) + "x" + std::to_string(quads) + "x" +
                                             std::to_string(columns));
            }
}

// What lies past the configured rows and bytes reads as zero after a load and a product.
TEST(AmxModel, LoadsAndProductsClearOutsideTheShape) {
    alignas(64) uint8_t config[64] = {};
    config[0] = 1;
    config[16] = 8, config[48] = 3;   // tile 0: C, 3 rows of 2 int32
    config[18] = 12, config[49] = 3;  // tile 1: A, 3 rows of 12 bytes
    config[20] = 8, config[50] = 3;   // tile 2: B, 3 quads of 2 columns
    uint8_t memory[16 * 64];
    for (int i = 0; i < 16 * 64; ++i) memory[i] = uint8_t(i * 7 + 1);
    _tile_loadconfig(config);
    for (int t = 0; t < 3; ++t) _tile_loadd(t, memory, 64);
    _tile_dpbusd(0, 1, 2);
    for (int t = 0; t < 3; ++t) {
        const model::Tile& tile = model::state.tiles[t];
        for (int r = 0; r < 16; ++r)
            for (int b = 0; b < 64; ++b)
                if (r >= tile.rows || b >= tile.colsb)
                    ASSERT_EQ(tile.bytes[r][b], 0) << "tile " << t << ", row " << r << ", byte " << b;
                else if (t > 0)
                    ASSERT_EQ(tile.bytes[r][b], memory[r * 64 + b]) << "tile " << t << ", row " << r;
    }
    _tile_zero(1);
    for (const auto& row : model::state.tiles[1].bytes)
        for (uint8_t x : row) ASSERT_EQ(x, 0);
    _tile_release();
    EXPECT_FALSE(model::state.configured);
}

struct FaultCase {
    const char* name;
    std::function<void()> program;
};
void PrintTo(const FaultCase& f, std::ostream* os) { *os << f.name; }

// A valid palette-1 configuration of tiles 0-2 as C 16x16, A 16x64, B 16x64, edited.
std::function<void()> configure(const std::function<void(uint8_t*)>& edit) {
    return [edit] {
        alignas(64) uint8_t config[64] = {};
        config[0] = 1;
        for (int t = 0; t < 3; ++t) config[16 + 2 * t] = 64, config[48 + t] = 16;
        edit(config);
        _tile_loadconfig(config);
    };
}
std::function<void()> then(std::function<void()> first, std::function<void()> second) {
    return [first, second] {
        first();
        second();
    };
}
void no_edit(uint8_t*) {}
uint8_t scratch[16 * 64];

std::vector<FaultCase> fault_cases() {
    return {
        {"LoadBeforeAnyConfig", [] { _tile_release(); _tile_loadd(0, scratch, 64); }},
        {"UnconfiguredTile", then(configure(no_edit), [] { _tile_loadd(3, scratch, 64); })},
        {"UseAfterRelease", then(configure(no_edit), [] { _tile_release(); _tile_zero(0); })},
        {"SeventeenRows", configure([](uint8_t* c) { c[48] = 17; })},
        {"SixtyFiveBytes", configure([](uint8_t* c) { c[16] = 65; })},
        {"RowsWithoutBytes", configure([](uint8_t* c) { c[16] = 0; })},
        {"PaletteTwo", configure([](uint8_t* c) { c[0] = 2; })},
        {"ReservedByteSet", configure([](uint8_t* c) { c[9] = 1; })},
        {"NinthTile", configure([](uint8_t* c) { c[56] = 1, c[32] = 4; })},
        {"KNotFourTimesBRows", then(configure([](uint8_t* c) { c[50] = 15; }), [] { _tile_dpbusd(0, 1, 2); })},
        {"CRowsNotARows", then(configure([](uint8_t* c) { c[48] = 8; }), [] { _tile_dpbusd(0, 1, 2); })},
        {"CBytesNotBBytes", then(configure([](uint8_t* c) { c[20] = 32; }), [] { _tile_dpbusd(0, 1, 2); })},
        {"BytesNotMultipleOfFour", then(configure([](uint8_t* c) { c[16] = 62, c[20] = 62; }),
                                        [] { _tile_dpbusd(0, 1, 2); })},
        {"OneTileTwice", then(configure(no_edit), [] { _tile_dpbusd(0, 1, 1); })},
        {"StoreOfUnconfiguredTile", then(configure(no_edit), [] { _tile_stored(7, scratch, 64); })},
    };
}

class AmxModelFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(AmxModelFault, Faults) {
    EXPECT_THROW(GetParam().program(), model::Fault);
    _tile_release();
}

INSTANTIATE_TEST_SUITE_P(Cases, AmxModelFault, ::testing::ValuesIn(fault_cases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// From /proc/cpuinfo, not the detection native_run relies on.
bool cpu_has_amx_int8() {
    return vexa_test::cpuinfo_has({"avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512_vnni", "amx_tile", "amx_int8"});
}

TEST(AmxModel, MatchesTheInstructionsWhereTheCpuHasThem) {
    std::mt19937_64 rng(30);
    int native_runs = 0;
    for (int rows : {1, 9, 16})
        for (int quads : {1, 4, 16})
            for (int columns : {1, 11, 16})
                for (int repeat = 0; repeat < 4; ++repeat) {
                    const Case k = random_case(rng, rows, quads, columns);
                    Result modelled, native;
                    vexa_amx_test::model_run(k, modelled);
                    if (!vexa_amx_test::native_run(k, native)) continue;
                    ++native_runs;
                    for (int m = 0; m < 16; ++m)
                        for (int n = 0; n < 16; ++n)
                            ASSERT_EQ(modelled.c[m][n], native.c[m][n]) << rows << "x" << quads << "x" << columns
                                                                        << ": row " << m << ", column " << n;
                    for (int i = 0; i < 64; ++i) {
                        ASSERT_EQ(modelled.configured[i], native.configured[i]) << "sttilecfg, byte " << i;
                        ASSERT_EQ(modelled.released[i], native.released[i]) << "sttilecfg after release, byte " << i;
                    }
                }
    EXPECT_EQ(native_runs > 0, cpu_has_amx_int8())
        << "the native half must run exactly where the CPU can (on Linux, with the tile data granted)";
    if (native_runs == 0) std::printf("[ note ] no AMX here: the model was checked against the reference only\n");
}

}  // namespace
