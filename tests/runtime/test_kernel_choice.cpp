// The kernel and the engines this machine gets are the ones its runner expects.
// tools/test_aarch64.sh runs the tests under emulated CPU models with and without the dot
// products and names, for each, the kernel that must be chosen (VEXA_EXPECTED_KERNEL) and
// the fast-path engines that must be usable (VEXA_EXPECTED_ENGINES, space-separated);
// tools/run_tests.sh sets both from /proc/cpuinfo for the native runs. Where they are
// unset (a test binary run by hand), the checks are skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "kernel.h"
#include "kernel_registry.h"

namespace {

const char* expectation(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

std::string supported_engines() {
    std::size_t count = 0;
    const vexa::registry::Entry* table = vexa::registry::entries(&count);
    std::string names;
    for (std::size_t e = 0; e < count; ++e)
        if (vexa::registry::runs_here(table[e])) names += (names.empty() ? "" : " ") + std::string(table[e].id);
    return names;
}

TEST(KernelChoice, ActiveKernelIsTheExpectedOne) {
    std::cout << "active kernel: " << vexa::active_kernel().name << "\n";
    const char* want = expectation("VEXA_EXPECTED_KERNEL");
    if (!want) GTEST_SKIP() << "VEXA_EXPECTED_KERNEL is not set";
    EXPECT_STREQ(vexa::active_kernel().name, want);
}

TEST(KernelChoice, UsableEnginesAreTheExpectedOnes) {
    const std::string engines = supported_engines();
    std::cout << "engines: " << engines << "\n";
    const char* want = expectation("VEXA_EXPECTED_ENGINES");
    if (!want) GTEST_SKIP() << "VEXA_EXPECTED_ENGINES is not set";
    EXPECT_EQ(engines, want);
}

}  // namespace
