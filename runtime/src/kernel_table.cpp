#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "exact_core.h"
#include "kernel.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace vexa {

namespace {
bool always_supported() { return true; }
}  // namespace

extern const Kernel kScalarKernel = {"scalar", always_supported, exact::gemm};

namespace {

const Kernel* const kTable[] = {
#if VEXA_HAVE_KERNEL_AMX_INT8
    &kAmxInt8Kernel,
#endif
#if VEXA_HAVE_KERNEL_AVX512_VNNI
    &kAvx512VnniKernel,
#endif
    &kScalarKernel,
};
constexpr std::size_t kTableSize = sizeof(kTable) / sizeof(kTable[0]);

const Kernel& choose_kernel() {
    // An unknown or unsupported name is not an error: the library must always load and
    // compute, so it quietly takes the normal choice.
    if (const char* forced = std::getenv("VEXA_KERNEL"); forced && *forced) {
        for (const Kernel* kernel : kTable)
            if (std::strcmp(kernel->name, forced) == 0 && kernel->is_supported()) return *kernel;
    }
    for (const Kernel* kernel : kTable)
        if (kernel->is_supported()) return *kernel;
    return kScalarKernel;
}

int hardware_threads() {
#if defined(__linux__)
    // Respect an affinity mask (taskset, containers): threads beyond it only contend.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? static_cast<int>(count) : 1;
}

int choose_threads() {
    if (const char* text = std::getenv("VEXA_NUM_THREADS"); text && *text) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end && *end == '\0' && value > 0) return static_cast<int>(std::min<long>(value, 1024));
    }
    return hardware_threads();
}

}  // namespace

const Kernel* const* kernel_table(std::size_t* count) {
    if (count) *count = kTableSize;
    return kTable;
}

const Kernel& active_kernel() {
    static const Kernel& kernel = choose_kernel();
    return kernel;
}

int configured_threads() {
    // Read once: the environment is not safe to read while another thread may change it.
    static const int threads = choose_threads();
    return threads;
}

}  // namespace vexa
