// The int8 fast-path entries of the kernel table. Baseline code: only the hot loops live in
// the ISA folders, and the support checks (cpu_features) run on any x86-64 CPU.
#include "cpu_features.h"
#include "int8_fastpath.h"

namespace vexa {

#if VEXA_HAVE_KERNEL_AVX512_VNNI
namespace {
int vnni_gemm(const GemmProblem& problem, int threads) {
    return int8::gemm(problem, threads, int8::kVnniOps);
}
}  // namespace
extern const Kernel kAvx512VnniKernel = {"avx512_vnni", cpu::has_avx512_vnni, vnni_gemm};
#endif

#if VEXA_HAVE_KERNEL_AMX_INT8
namespace {
int amx_gemm(const GemmProblem& problem, int threads) {
    return int8::gemm(problem, threads, int8::kAmxOps);
}
}  // namespace
extern const Kernel kAmxInt8Kernel = {"amx_int8", cpu::has_amx_int8, amx_gemm};
#endif

}  // namespace vexa
