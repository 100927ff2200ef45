// The registry: one description per set of fast-path pieces that this build compiled, the
// portable references first, then the ISA folders' kernels by priority. The kernel table,
// VEXA_KERNEL's choice, the vexa_kernel_* entry points and the tests' lists all derive from
// it, so a new ISA folder is one line in kernel_registry.cpp.
//
// Words, each for one thing: a *kernel* is what VEXA_KERNEL names (kernel.h); a *residue
// engine* is int8 or int16, the driver that runs a set of pieces (int8_fastpath.h,
// int16_engine.h); *pieces* are one ISA folder's Int8Ops or Int16Ops; an *entry* is one
// set of pieces on its residue engine, as described here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fastpath/fastpath.h"
#include "kernel.h"

namespace vexa {
namespace int8 {
struct Int8Ops;
}
namespace int16 {
struct Int16Ops;
}

namespace registry {

// How the residue engine packs operands for the pieces.
struct Layout {
    int panel_width;  // columns of B per packed panel
    int row_group;    // rows of A per tile call: the ISA pieces take exactly this many
    int step;         // K is padded to a multiple of this
};

struct Entry {
    const char* id;      // "<residue engine>/<pieces>", e.g. "int8/avx512_vnni"
    const char* kernel;  // the kernel's name (the ISA folder), null for the portable references
    // Whether the CPU and OS run the folder's instructions (a cpu::has_* query); null for
    // the portable references.
    bool (*native)();
    // Compiled against SIMDe for x86-64-v3 (the emulated test build): then it runs wherever
    // AVX2 does, whatever `native` says.
    bool emulated;
    Layout layout;
    // The pieces: exactly one is set, and says which residue engine runs them.
    const int8::Int8Ops* int8;
    const int16::Int16Ops* int16;
    fast::Options (*defaults)();     // the residue engine's options for this kernel
    fast::ModulusList (*moduli)();   // the residue engine's moduli
};

// Every entry, the portable references first, then the kernels in priority order.
const Entry* entries(std::size_t* count);

// Whether this process can run the entry's pieces: always for a reference, in the emulated
// build wherever AVX2 runs, otherwise where `native` says so (for amx_int8 that asks the
// OS for the tile data once).
bool runs_here(const Entry& entry);

// The whole product through the entry's residue engine and pieces; a vexa_status value.
int gemm(const Entry& entry, const GemmProblem& problem, int threads, const fast::Options& options);

}  // namespace registry
}  // namespace vexa
