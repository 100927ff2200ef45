// One program of tile instructions, built twice: against the model (model_calls.cpp) and
// against the instructions (native_calls.cpp, AMX flags). The program: ldtilecfg with the
// case's shapes (tile 0 C, 1 A, 2 B), tileloadd of C, A and B, tdpbusd, tilestored of C,
// sttilecfg, tilerelease, sttilecfg again.
#pragma once

#include <cstdint>

namespace vexa_amx_test {

struct Case {
    int rows = 16, quads = 16, columns = 16;  // C is rows x columns int32, A rows x 4*quads bytes
    uint8_t a[16][64] = {};
    int8_t b[16][64] = {};
    int32_t c[16][16] = {};
};

// C after the product, as tilestored writes it over a buffer of 16 full rows; untouched
// entries keep kUntouched.
struct Result {
    int32_t c[16][16];
    // What sttilecfg wrote while the tiles were configured, and after tilerelease.
    uint8_t configured[64], released[64];
};
constexpr int32_t kUntouched = 0x5a5a5a5a;

// The 64-byte ldtilecfg operand for a case.
void config_of(const Case& k, uint8_t config[64]);

// Always runs.
void model_run(const Case& k, Result& out);
// Runs and returns true only where the CPU and OS let this process use AMX-INT8.
bool native_run(const Case& k, Result& out);

}  // namespace vexa_amx_test
