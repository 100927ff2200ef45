// The kernel registry: every way libvexa can compute a product, fastest first, and the
// engines of the fast path with their portable references.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cpu_features.h"
#include "exact_core.h"
#include "gpu_engine.h"
#include "int16_engine.h"
#include "int8_fastpath.h"
#include "kernel.h"
#include "platform.h"
#include "thread_count.h"
#if VEXA_HAVE_KERNEL_NEON_DOTPROD
#include "kernels/neon_dotprod/neon_dotprod.h"
#endif
#if VEXA_HAVE_KERNEL_NEON_I8MM
#include "kernels/neon_i8mm/neon_i8mm.h"
#endif

namespace vexa {

namespace {
bool always_supported() { return true; }

// The emulated test build (VEXA_SIMDE) compiles every ISA folder against SIMDe for an
// x86-64-v3 CPU, so there each of them runs wherever AVX2 does.
#if VEXA_SIMDE
#define VEXA_RUNS_HERE(native_check) cpu::has_avx2
#else
#define VEXA_RUNS_HERE(native_check) native_check
#endif

fast::Options int8_options() { return fast::Options(); }
#if VEXA_HAVE_KERNEL_AVX512_VNNI
// Where the VNNI engine measured faster than the exact core on random normal operands of
// every shape class (2 threads, Ice Lake server): about even at 2^17 multiply-adds, half
// the time at 2^18 (64^3) and above. Fewer than 16 rows (or columns) still lose at 2^17,
// and a single row up to 2^21.
fast::Options vnni_options() {
    fast::Options options;
    options.min_work = int64_t(1) << 18;
    options.min_side = 16;
    return options;
}
#endif

// An engine with one set of pieces, as a kernel and as an engine of the list.
template <const int8::Int8Ops& ops, fast::Options (*defaults)() = int8_options>
int int8_kernel(const GemmProblem& problem, int threads) {
    return int8::gemm(problem, threads, ops, defaults());
}
template <const int8::Int8Ops& ops>
int int8_engine(const GemmProblem& problem, int threads, const fast::Options& options) {
    return int8::gemm(problem, threads, ops, options);
}
template <const int8::Int8Ops& ops>
int int8_wide_kernel(const GemmProblem& problem, int threads) {
    return int8::gemm_wide(problem, threads, ops);
}
template <const int8::Int8Ops& ops>
int int8_wide_engine(const GemmProblem& problem, int threads, const fast::Options& options) {
    return int8::gemm_wide(problem, threads, ops, options);
}
template <const int16::Int16Ops& ops>
int int16_kernel(const GemmProblem& problem, int threads) {
    return int16::gemm(problem, threads, ops);
}
template <const int16::Int16Ops& ops>
int int16_engine(const GemmProblem& problem, int threads, const fast::Options& options) {
    return int16::gemm(problem, threads, ops, options);
}
}  // namespace

extern const Kernel kScalarKernel = {"scalar", always_supported, exact::gemm};
extern const Kernel kCudaKernel = {"cuda", gpu::cuda_kernel_usable, gpu::cuda_kernel_gemm};
#if VEXA_HAVE_KERNEL_AMX_INT8
extern const Kernel kAmxInt8Kernel = {"amx_int8", VEXA_RUNS_HERE(cpu::has_amx_int8), int8_wide_kernel<int8::kAmxOps>};
#endif
#if VEXA_HAVE_KERNEL_AVX512_VNNI
extern const Kernel kAvx512VnniKernel = {"avx512_vnni", VEXA_RUNS_HERE(cpu::has_avx512_vnni), int8_kernel<int8::kVnniOps, vnni_options>};
#endif
#if VEXA_HAVE_KERNEL_AVX2
extern const Kernel kAvx2Kernel = {"avx2", VEXA_RUNS_HERE(cpu::has_avx2), int16_kernel<avx2::kInt16Ops>};
#endif
#if VEXA_HAVE_KERNEL_NEON_I8MM
extern const Kernel kNeonI8mmKernel = {"neon_i8mm", cpu::has_neon_i8mm, int8_kernel<neon_i8mm::kInt8Ops>};
#endif
#if VEXA_HAVE_KERNEL_NEON_DOTPROD
extern const Kernel kNeonDotprodKernel = {"neon_dotprod", cpu::has_neon_dotprod,
                                           int8_kernel<neon_dotprod::kInt8Ops>};
#endif

namespace {

const Kernel* const kTable[] = {
#if VEXA_HAVE_KERNEL_AMX_INT8
    &kAmxInt8Kernel,
#endif
#if VEXA_HAVE_KERNEL_AVX512_VNNI
    &kAvx512VnniKernel,
#endif
#if VEXA_HAVE_KERNEL_AVX2
    &kAvx2Kernel,
#endif
#if VEXA_HAVE_KERNEL_NEON_I8MM
    &kNeonI8mmKernel,
#endif
#if VEXA_HAVE_KERNEL_NEON_DOTPROD
    &kNeonDotprodKernel,
#endif
    &kCudaKernel,
    &kScalarKernel,
};
constexpr std::size_t kTableSize = sizeof(kTable) / sizeof(kTable[0]);

// Every engine of the fast path, the portable references first: what the tests run.
const fast::Engine kEngines[] = {
    {"int8/portable", always_supported, int8_engine<int8::kPortableOps>, int8_options, int8::moduli},
    {"int16/portable", always_supported, int16_engine<int16::kPortableOps>, int16::default_options, int16::moduli},
#if VEXA_HAVE_KERNEL_AMX_INT8
    {"int8/amx_int8", VEXA_RUNS_HERE(cpu::has_amx_int8), int8_wide_engine<int8::kAmxOps>, int8_options, int8::moduli},
#endif
#if VEXA_HAVE_KERNEL_AVX512_VNNI
    {"int8/avx512_vnni", VEXA_RUNS_HERE(cpu::has_avx512_vnni), int8_engine<int8::kVnniOps>, vnni_options, int8::moduli},
#endif
#if VEXA_HAVE_KERNEL_AVX2
    {"int16/avx2", VEXA_RUNS_HERE(cpu::has_avx2), int16_engine<avx2::kInt16Ops>, int16::default_options, int16::moduli},
#endif
#if VEXA_HAVE_KERNEL_NEON_I8MM
    {"int8/neon_i8mm", cpu::has_neon_i8mm, int8_engine<neon_i8mm::kInt8Ops>, int8_options, int8::moduli},
#endif
#if VEXA_HAVE_KERNEL_NEON_DOTPROD
    {"int8/neon_dotprod", cpu::has_neon_dotprod, int8_engine<neon_dotprod::kInt8Ops>, int8_options,
     int8::moduli},
#endif
};

struct Choice {
    const Kernel* kernel;
    std::string refused;  // a VEXA_KERNEL that named no kernel usable here
};

Choice choose_kernel() {
    const Kernel* first = &kScalarKernel;
    for (const Kernel* kernel : kTable)
        if (kernel->is_supported()) {
            first = kernel;
            break;
        }
    // An unknown or unsupported name is not an error: the library must always load and
    // compute, so it takes the normal choice and says so in its version text.
    if (const char* forced = std::getenv("VEXA_KERNEL"); forced && *forced) {
        for (const Kernel* kernel : kTable)
            if (std::strcmp(kernel->name, forced) == 0 && kernel->is_supported()) return {kernel, {}};
        return {first, forced};
    }
    return {first, {}};
}

const Choice& choice() {
    static const Choice chosen = choose_kernel();
    return chosen;
}

struct ThreadSetting {
    int threads;
    std::string note;  // why VEXA_NUM_THREADS was not taken as it is, or empty
};

ThreadSetting choose_threads() {
    const char* text = std::getenv("VEXA_NUM_THREADS");
    if (!text || !*text) return {platform::usable_cpu_count(), {}};
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    const std::string setting = std::string("VEXA_NUM_THREADS=") + text;
    if (!end || *end != '\0' || value < 1)
        return {platform::usable_cpu_count(), setting + " is not a positive integer"};
    if (value > kMaxThreads) return {kMaxThreads, setting + " is capped at " + std::to_string(kMaxThreads)};
    return {static_cast<int>(value), {}};
}

const ThreadSetting& thread_setting() {
    // Read once: the environment is not safe to read while another thread may change it.
    static const ThreadSetting setting = choose_threads();
    return setting;
}

}  // namespace

const Kernel* const* kernel_table(std::size_t* count) {
    if (count) *count = kTableSize;
    return kTable;
}

const fast::Engine* fast::engine_table(std::size_t* count) {
    if (count) *count = sizeof(kEngines) / sizeof(kEngines[0]);
    return kEngines;
}

const Kernel& active_kernel() { return *choice().kernel; }

const char* refused_kernel() {
    return choice().refused.empty() ? nullptr : choice().refused.c_str();
}

int configured_threads() { return thread_setting().threads; }

const char* num_threads_note() {
    return thread_setting().note.empty() ? nullptr : thread_setting().note.c_str();
}

}  // namespace vexa
