// Memory the runtime holds: the exact core's extra memory for B, counted by replacing the
// global allocation functions, and the fast kernels' parked workspace (its limit, its
// release, the resident memory it gives back).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <unistd.h>
#endif

#include "kernel.h"
#include "vexa.h"
#include "support/workspace_pool.h"

// ---- Counting allocator: every operator new of this process goes through here ----
namespace {
std::atomic<int64_t> live_bytes{0}, peak_bytes{0};
constexpr size_t kHeader = 16;  // keeps the caller's block 16-byte aligned

void* counted_allocate(size_t bytes) {
    void* block = std::malloc(bytes + kHeader);
    if (!block) throw std::bad_alloc();
    std::memcpy(block, &bytes, sizeof bytes);
    const int64_t now = live_bytes.fetch_add(int64_t(bytes)) + int64_t(bytes);
    int64_t peak = peak_bytes.load();
    while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
    }
    return static_cast<unsigned char*>(block) + kHeader;
}

void counted_free(void* pointer) {
    if (!pointer) return;
    unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
    size_t bytes;
    std::memcpy(&bytes, block, sizeof bytes);
    live_bytes.fetch_sub(int64_t(bytes));
    std::free(block);
}
}  // namespace

void* operator new(size_t bytes) { return counted_allocate(bytes); }
void* operator new[](size_t bytes) { return counted_allocate(bytes); }
void operator delete(void* pointer) noexcept { counted_free(pointer); }
void operator delete[](void* pointer) noexcept { counted_free(pointer); }
void operator delete(void* pointer, size_t) noexcept { counted_free(pointer); }
void operator delete[](void* pointer, size_t) noexcept { counted_free(pointer); }
// The nothrow forms too (std::stable_sort's buffer takes one): AddressSanitizer's own would
// otherwise hand out blocks without the header that the sized delete above expects.
void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
    try {
        return counted_allocate(bytes);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t bytes, const std::nothrow_t& tag) noexcept { return operator new(bytes, tag); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { counted_free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { counted_free(pointer); }

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// ---- The exact core's memory for B ----

// A 1 x K by K x N product, as in a long dot product against a few columns: the shape where
// a split copy of B padded to 16-column panels cost 1.25 to 2.35 times B.
class ExactCoreMemory : public ::testing::TestWithParam<int64_t> {};

TEST_P(ExactCoreMemory, ExtraMemoryStaysWithinATenthOverB) {
    const int64_t M = 1, N = GetParam(), K = int64_t(1) << 16;
    std::mt19937_64 gen(N);
    std::normal_distribution<double> normal;
    std::vector<double> A(size_t(M * K)), B(size_t(K * N)), hi(size_t(M * N)), lo(size_t(M * N));
    std::vector<float> res(size_t(M * N));
    for (double& x : A) x = normal(gen);
    for (double& x : B) x = normal(gen);
    const vexa::GemmProblem problem{A.data(), B.data(), hi.data(), lo.data(), res.data(), M, N, K};
    const double b_bytes = double(K * N) * sizeof(double);
    // The teams of threads are made once per process and kept: the first product with this
    // many threads makes them, the ones measured below find them.
    ASSERT_EQ(vexa::kScalarKernel.gemm(problem, 4), VEXA_OK);
    for (int threads : {1, 2, 4}) {
        const int64_t before = live_bytes.load();
        peak_bytes.store(before);
        ASSERT_EQ(vexa::kScalarKernel.gemm(problem, threads), VEXA_OK);
        const int64_t extra = peak_bytes.load() - before;
        EXPECT_LE(double(extra), 1.1 * b_bytes) << "threads = " << threads << ", B is " << b_bytes << " bytes";
        EXPECT_EQ(live_bytes.load(), before) << "threads = " << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, ExactCoreMemory, ::testing::Values(15, 16, 17));

// ---- The parked workspace ----

TEST(WorkspaceKeep, ParsesBytesAndFallsBackToTheDefault) {
    for (auto [text, bytes] : {std::pair<const char*, size_t>{"0", 0}, {"1048576", size_t(1) << 20},
                               {"8589934592", size_t(8) << 30}}) {
        bool usable = false;
        EXPECT_EQ(vexa::parse_workspace_keep(text, &usable), bytes) << text;
        EXPECT_TRUE(usable) << text;
    }
    // Unset: the default, and nothing to report.
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        bool usable = false;
        EXPECT_EQ(vexa::parse_workspace_keep(text, &usable), vexa::kDefaultWorkspaceKeep);
        EXPECT_TRUE(usable);
    }
    for (const char* text : {"-1", "1e6", "64M", " 5", "5 ", "+5", "99999999999999999999999"}) {
        bool usable = true;
        EXPECT_EQ(vexa::parse_workspace_keep(text, &usable), vexa::kDefaultWorkspaceKeep) << text;
        EXPECT_FALSE(usable) << text;
    }
    EXPECT_EQ(vexa::kDefaultWorkspaceKeep, size_t(64) << 20);
}

// The shared library has a pool of its own; this binary's copy (from vexa_core) is released
// directly, and the exported entry point only checked for its status.
TEST(WorkspaceKeep, BlocksUpToTheLimitAreParkedUntilReleased) {
    // This binary runs without VEXA_WORKSPACE_KEEP, so the limit is the default.
    ASSERT_EQ(vexa::workspace_keep_limit(), vexa::kDefaultWorkspaceKeep);
    EXPECT_EQ(vexa_release_workspace(), VEXA_OK);
    EXPECT_EQ(vexa_release_workspace(), VEXA_OK);
    vexa::release_parked_workspace();
    { vexa::WorkspaceLease lease(size_t(3) << 20); }
    EXPECT_EQ(vexa::parked_workspace_bytes(), size_t(4) << 20);  // whole 2 MiB pages
    vexa::release_parked_workspace();
    EXPECT_EQ(vexa::parked_workspace_bytes(), 0u);

    { vexa::WorkspaceLease lease(vexa::kDefaultWorkspaceKeep); }
    EXPECT_EQ(vexa::parked_workspace_bytes(), vexa::kDefaultWorkspaceKeep);
    { vexa::WorkspaceLease lease(vexa::kDefaultWorkspaceKeep + 1); }
    EXPECT_EQ(vexa::parked_workspace_bytes(), 0u) << "a block over the limit is freed, and the smaller one too";
}

// The library's own pool, through the C ABI: a fast kernel's product parks its block when it
// is within the limit, the exact core parks none, and vexa_release_workspace empties it.
TEST(WorkspaceKeep, TheParkedBytesAreReportedThroughTheCAbi) {
    ASSERT_EQ(vexa_workspace_keep_limit(), vexa::kDefaultWorkspaceKeep);
    ASSERT_EQ(vexa_release_workspace(), VEXA_OK);
    EXPECT_EQ(vexa_workspace_parked_bytes(), 0u);
    const int n = 256;
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    std::vector<double> A(n * n), B(n * n), hi(n * n), lo(n * n);
    std::vector<float> res(n * n);
    for (double& x : A) x = normal(rng);
    for (double& x : B) x = normal(rng);
    ASSERT_EQ(vexa_gemm_host(A.data(), B.data(), hi.data(), lo.data(), res.data(), n, n, n), VEXA_OK);
    const size_t parked = vexa_workspace_parked_bytes();
    if (&vexa::active_kernel() == &vexa::kScalarKernel) {
        EXPECT_EQ(parked, 0u);
    } else {
        EXPECT_GT(parked, size_t(n) * n) << "at least a byte of residue per element of A";
        EXPECT_LE(parked, vexa::kDefaultWorkspaceKeep);
    }
    ASSERT_EQ(vexa_release_workspace(), VEXA_OK);
    EXPECT_EQ(vexa_workspace_parked_bytes(), 0u);
}

// Resident set size in bytes: /proc on Linux, the working set on Windows; -1 elsewhere.
int64_t resident_bytes() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
    return int64_t(counters.WorkingSetSize);
#else
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (!file) return -1;
    long long pages_total = 0, pages_resident = -1;
    const int read = std::fscanf(file, "%lld %lld", &pages_total, &pages_resident);
    std::fclose(file);
    return read == 2 ? pages_resident * int64_t(sysconf(_SC_PAGESIZE)) : -1;
#endif
}

TEST(WorkspaceKeep, ReleaseGivesTheResidentMemoryBack) {
    if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
    if (resident_bytes() < 0) GTEST_SKIP() << "no resident set size on this system";
    vexa::release_parked_workspace();
    const size_t bytes = vexa::kDefaultWorkspaceKeep;
    const int64_t before = resident_bytes();
    {
        vexa::WorkspaceLease lease(bytes);
        std::memset(lease.get(), 1, bytes);  // touched, as the fast path touches it
    }
    const int64_t parked = resident_bytes();
    vexa::release_parked_workspace();
    const int64_t released = resident_bytes();
    EXPECT_GE(parked - before, int64_t(bytes) * 9 / 10) << "the parked block stays resident";
    EXPECT_LE(released - before, int64_t(bytes) / 10) << "released, it is gone";
}

}  // namespace
