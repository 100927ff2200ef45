// The registry: every set of fast-path pieces compiled in, described once, and the kernel
// table and VEXA_KERNEL's choice derived from it.
#include "kernel_registry.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "support/cpu_features.h"
#include "exact/exact_core.h"
#include "gpu/gpu_engine.h"
#include "fastpath/int16_engine.h"
#include "fastpath/int8_fastpath.h"
#include "kernel.h"
// The ISA folders' headers: only their pieces' names, so all of them may be included
// wherever they were not compiled; the lines below that use them are what CMake's
// VEXA_HAVE_KERNEL_* macros select.
#include "kernels/amx_int8/amx_int8.h"
#include "kernels/avx2/avx2.h"
#include "kernels/avx512_vnni/avx512_vnni.h"
#include "kernels/avx_vnni/avx_vnni.h"
#include "kernels/neon_dotprod/neon_dotprod.h"
#include "kernels/neon_i8mm/neon_i8mm.h"

namespace vexa {

namespace {

using registry::Entry;
using registry::Layout;

bool always_supported() { return true; }

// The emulated test build compiles every x86 folder against SIMDe.
#if VEXA_SIMDE
constexpr bool kEmulated = true;
#else
constexpr bool kEmulated = false;
#endif

constexpr Layout kInt8Layout{int8::kPanelWidth, int8::kRowGroup, 4};
constexpr Layout kInt8WideLayout{int8::kPanelWidth, int8::kWideRowGroup, int8::kWideStep};
constexpr Layout kInt16Layout{int16::kPanelWidth, int16::kRowGroup, 2};

fast::Options int8_options() { return fast::Options(); }
// Where the VNNI kernel measured faster than the exact core at 1 and 2 threads (Ice Lake
// server, bench/bench_small and thin shapes down to one row): from 2^13 multiply-adds on,
// with a single row too, as long as B has 8 columns or more (a panel is 64 wide), the
// product 64 output elements or more and K 16 or more. Below 8 columns, or K of a few
// with many rows, the exact core stays ahead; around 2^12 the two are even within the noise.
// The AMX kernel, measured the same way on Sapphire Rapids, takes the same cut-offs: at
// them (21^3, 8 x 8 x 128, 64 x 8 x 16) 0.4-0.6 of the exact core's time, at n = 32 to 96
// 0.1-0.3, on the thin shapes 0.1-0.7.
[[maybe_unused]] fast::Options small_product_options() {
    fast::Options options;
    options.min_work = int64_t(1) << 13;
    options.min_side = 0;
    options.min_cols = 8;
    options.min_outputs = 64;
    options.min_depth = 16;
    return options;
}

constexpr Entry int8_entry(const char* id, const char* kernel, bool (*native)(), Layout layout,
                           const int8::Int8Ops* pieces, fast::Options (*defaults)() = int8_options) {
    return {id, kernel, native, kernel && kEmulated, layout, pieces, nullptr, defaults, int8::moduli};
}
constexpr Entry int16_entry(const char* id, const char* kernel, bool (*native)(), const int16::Int16Ops* pieces) {
    return {id, kernel, native, kernel && kEmulated, kInt16Layout, nullptr, pieces, int16::default_options,
            int16::moduli};
}

// One line per set of pieces: the references, then the kernels in priority order.
constexpr Entry kEntries[] = {
    int8_entry("int8/portable", nullptr, nullptr, kInt8Layout, &int8::kPortableOps),
    int16_entry("int16/portable", nullptr, nullptr, &int16::kPortableOps),
#if VEXA_HAVE_KERNEL_AMX_INT8
    int8_entry("int8/amx_int8", "amx_int8", cpu::has_amx_int8, kInt8WideLayout, &amx_int8::kInt8Ops,
               small_product_options),
#endif
#if VEXA_HAVE_KERNEL_AVX512_VNNI
    int8_entry("int8/avx512_vnni", "avx512_vnni", cpu::has_avx512_vnni, kInt8Layout, &avx512_vnni::kInt8Ops,
               small_product_options),
#endif
#if VEXA_HAVE_KERNEL_AVX_VNNI
    // Ahead of avx2 by its instruction count alone (the same moduli and pieces, 26 rather
    // than 35 instructions per step of the tile); no CPU with AVX-VNNI has measured it yet.
    int16_entry("int16/avx_vnni", "avx_vnni", cpu::has_avx_vnni, &avx_vnni::kInt16Ops),
#endif
#if VEXA_HAVE_KERNEL_AVX2
    int16_entry("int16/avx2", "avx2", cpu::has_avx2, &avx2::kInt16Ops),
#endif
#if VEXA_HAVE_KERNEL_NEON_I8MM
    int8_entry("int8/neon_i8mm", "neon_i8mm", cpu::has_neon_i8mm, kInt8Layout, &neon_i8mm::kInt8Ops),
#endif
#if VEXA_HAVE_KERNEL_NEON_DOTPROD
    int8_entry("int8/neon_dotprod", "neon_dotprod", cpu::has_neon_dotprod, kInt8Layout, &neon_dotprod::kInt8Ops),
#endif
};
constexpr std::size_t kEntryCount = sizeof(kEntries) / sizeof(kEntries[0]);
constexpr std::size_t kReferenceCount = 2;

// The kernel of entry I: function pointers, as the C ABI's kernel table holds them.
template <std::size_t I>
bool entry_supported() {
    return registry::runs_here(kEntries[I]);
}
template <std::size_t I>
int entry_gemm(const GemmProblem& problem, int threads) {
    return registry::gemm(kEntries[I], problem, threads, kEntries[I].defaults());
}
template <std::size_t... I>
constexpr auto entry_kernels(std::index_sequence<I...>) {
    struct Kernels {
        Kernel kernel[sizeof...(I) + 1];
    };
    return Kernels{{{kEntries[kReferenceCount + I].kernel, entry_supported<kReferenceCount + I>,
                     entry_gemm<kReferenceCount + I>}...}};
}
constexpr auto kEntryKernels = entry_kernels(std::make_index_sequence<kEntryCount - kReferenceCount>());

}  // namespace

extern const Kernel kScalarKernel = {"scalar", always_supported, exact::gemm};
extern const Kernel kCudaKernel = {"cuda", gpu::cuda_kernel_usable, gpu::cuda_kernel_gemm};

const registry::Entry* registry::entries(std::size_t* count) {
    if (count) *count = kEntryCount;
    return kEntries;
}

bool registry::runs_here(const Entry& entry) {
    if (!entry.native) return true;
    return entry.emulated ? cpu::has_avx2() : entry.native();
}

int registry::gemm(const Entry& entry, const GemmProblem& problem, int threads, const fast::Options& options) {
    if (entry.int16) return int16::gemm(problem, threads, *entry.int16, options);
    if (entry.layout.row_group == int8::kWideRowGroup) return int8::gemm_wide(problem, threads, *entry.int8, options);
    return int8::gemm(problem, threads, *entry.int8, options);
}

namespace {

// The kernels by priority, then the GPU engine and the exact core.
struct Table {
    const Kernel* kernel[kEntryCount - kReferenceCount + 2];
};
constexpr Table make_table() {
    Table t{};
    std::size_t n = 0;
    for (std::size_t e = 0; e + kReferenceCount < kEntryCount; ++e) t.kernel[n++] = &kEntryKernels.kernel[e];
    t.kernel[n++] = &kCudaKernel;
    t.kernel[n++] = &kScalarKernel;
    return t;
}
constexpr Table kTable = make_table();
constexpr std::size_t kTableSize = sizeof(Table::kernel) / sizeof(Table::kernel[0]);

struct Choice {
    const Kernel* kernel;
    std::string refused;  // a VEXA_KERNEL that named no kernel usable here
};

Choice choose_kernel() {
    const Kernel* first = &kScalarKernel;
    for (const Kernel* kernel : kTable.kernel)
        if (kernel->is_supported()) {
            first = kernel;
            break;
        }
    // An unknown or unsupported name is not an error: the library must always load and
    // compute, so it takes the normal choice and says so in its version text.
    if (const char* forced = std::getenv("VEXA_KERNEL"); forced && *forced) {
        for (const Kernel* kernel : kTable.kernel)
            if (std::strcmp(kernel->name, forced) == 0 && kernel->is_supported()) return {kernel, {}};
        return {first, forced};
    }
    return {first, {}};
}

const Choice& choice() {
    static const Choice chosen = choose_kernel();
    return chosen;
}

}  // namespace

const Kernel* const* kernel_table(std::size_t* count) {
    if (count) *count = kTableSize;
    return kTable.kernel;
}

const Kernel& active_kernel() { return *choice().kernel; }

const char* refused_kernel() {
    return choice().refused.empty() ? nullptr : choice().refused.c_str();
}

}  // namespace vexa
