// The run-time controls of the C ABI: the thread count (set, reset, refused, changed while
// products run, its default from the CPUs the process may use) and the kernel and CPU
// queries.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exact_oracle.h"
#include "kernel.h"
#include "support/thread_count.h"
#include "support/platform.h"
#include "vexa.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

namespace {

// Leaves the process-wide count as the test found it.
class ThreadCount : public ::testing::Test {
protected:
    void TearDown() override { vexa_set_num_threads(0); }
};

struct Words {
    std::vector<double> hi, lo;
    std::vector<float> res;
    explicit Words(int n) : hi(size_t(n)), lo(size_t(n)), res(size_t(n)) {}
    bool operator==(const Words& other) const {
        return std::memcmp(hi.data(), other.hi.data(), hi.size() * sizeof(double)) == 0 &&
               std::memcmp(lo.data(), other.lo.data(), lo.size() * sizeof(double)) == 0 &&
               std::memcmp(res.data(), other.res.data(), res.size() * sizeof(float)) == 0;
    }
};

TEST_F(ThreadCount, SetGetAndReset) {
    const int by_default = vexa_get_num_threads();
    EXPECT_EQ(by_default, vexa::configured_threads());
    for (int n : {1, 3, 17}) {
        ASSERT_EQ(vexa_set_num_threads(n), VEXA_OK);
        EXPECT_EQ(vexa_get_num_threads(), n);
    }
    EXPECT_EQ(vexa_max_threads(), 1024);
    ASSERT_EQ(vexa_set_num_threads(100000), VEXA_OK);
    EXPECT_EQ(vexa_get_num_threads(), vexa_max_threads());
    ASSERT_EQ(vexa_set_num_threads(vexa_max_threads()), VEXA_OK);
    EXPECT_EQ(vexa_get_num_threads(), 1024);
    ASSERT_EQ(vexa_set_num_threads(0), VEXA_OK);
    EXPECT_EQ(vexa_get_num_threads(), by_default);
}

TEST_F(ThreadCount, NegativeCountsAreRefusedAndChangeNothing) {
    ASSERT_EQ(vexa_set_num_threads(2), VEXA_OK);
    EXPECT_EQ(vexa_set_num_threads(-1), VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexa_set_num_threads(-2147483647 - 1), VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexa_get_num_threads(), 2);
}

TEST_F(ThreadCount, ChangesRacingWithProductsLeaveEveryResultExact) {
    const int M = 33, N = 29, K = 70;
    const auto A = vexa_test::random_matrix(M * K, 11), B = vexa_test::random_matrix(K * N, 12);
    Words want(M * N);
    for (int i = 0; i < M; ++i)
        for (int j = 0; j < N; ++j) {
            const auto t = vexa_test::reference_dot(A.data() + i * K, 1, B.data() + j, N, K);
            want.hi[size_t(i * N + j)] = t.hi, want.lo[size_t(i * N + j)] = t.lo;
            want.res[size_t(i * N + j)] = t.res;
        }
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int n = 0; !done.load(); n = (n + 1) % 5) vexa_set_num_threads(n);
    });
    std::vector<std::thread> callers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                Words got(M * N);
                const int status = vexa_gemm_host(A.data(), B.data(), got.hi.data(),
                                                  got.lo.data(), got.res.data(), M, N, K);
                if (status != VEXA_OK || !(got == want)) failures.fetch_add(1);
            }
        });
    for (auto& caller : callers) caller.join();
    done = true;
    changer.join();
    EXPECT_EQ(failures.load(), 0);
}

#if defined(__linux__) || defined(_WIN32)
// The default thread count: a process confined to one CPU (taskset, a container, a job
// object, `start /affinity`) must not start a thread per CPU of the machine.
TEST(UsableCpus, FollowTheAffinityMask) {
#if defined(_WIN32)
    const HANDLE self = GetCurrentProcess();
    DWORD_PTR mask = 0, system_mask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(self, &mask, &system_mask));
    ASSERT_TRUE(SetProcessAffinityMask(self, mask & (~mask + 1)));  // its lowest CPU alone
    EXPECT_EQ(vexa::platform::usable_cpu_count(), 1);
    ASSERT_TRUE(SetProcessAffinityMask(self, mask));
    EXPECT_EQ(vexa::platform::usable_cpu_count(), __builtin_popcountll(mask));
#else
    cpu_set_t mask, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof(mask), &mask), 0);
    int lowest = 0;
    while (!CPU_ISSET(lowest, &mask)) ++lowest;
    CPU_ZERO(&one);
    CPU_SET(lowest, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
    EXPECT_EQ(vexa::platform::usable_cpu_count(), 1);
    ASSERT_EQ(sched_setaffinity(0, sizeof(mask), &mask), 0);
    EXPECT_EQ(vexa::platform::usable_cpu_count(), CPU_COUNT(&mask));
#endif
}
#endif

TEST(KernelQueries, TableActiveKernelAndRangeChecks) {
    std::size_t count = 0;
    const vexa::Kernel* const* table = vexa::kernel_table(&count);
    ASSERT_EQ(vexa_kernel_count(), static_cast<int>(count));
    for (int i = 0; i < vexa_kernel_count(); ++i) {
        EXPECT_STREQ(vexa_kernel_name(i), table[i]->name);
        EXPECT_EQ(vexa_kernel_supported(i), table[i]->is_supported() ? 1 : 0);
    }
    const int active = vexa_kernel_active();
    ASSERT_GE(active, 0);
    ASSERT_LT(active, vexa_kernel_count());
    EXPECT_EQ(table[active], &vexa::active_kernel());
    EXPECT_EQ(vexa_kernel_supported(active), 1);
    for (int bad : {-1, vexa_kernel_count(), 2147483647}) {
        EXPECT_EQ(vexa_kernel_name(bad), nullptr);
        EXPECT_EQ(vexa_kernel_supported(bad), VEXA_ERROR_INVALID_ARGUMENT);
    }
}

TEST(KernelQueries, CpuFeaturesAreKnownNamesOncePerName) {
    const std::set<std::string> known = {"sse4_2", "avx", "avx2", "fma", "bmi2",
                                         "avx512f", "avx512dq", "avx512bw", "avx512vl",
                                         "avx512_vnni", "avx_vnni", "amx_tile", "amx_int8"};
    const std::string text = vexa_cpu_features();
    std::set<std::string> seen;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        EXPECT_TRUE(known.count(word)) << word;
        EXPECT_TRUE(seen.insert(word).second) << word;
    }
    EXPECT_EQ(text.find("  "), std::string::npos);  // single spaces, no padding
    if (!text.empty()) EXPECT_TRUE(text.front() != ' ' && text.back() != ' ');
    // An x86 kernel named after a feature runs only where that feature is seen (the
    // emulated test build runs them all wherever AVX2 does).
#if !VEXA_SIMDE
    for (int i = 0; i < vexa_kernel_count(); ++i)
        if (vexa_kernel_supported(i) == 1 && known.count(vexa_kernel_name(i)))
            EXPECT_TRUE(seen.count(vexa_kernel_name(i))) << vexa_kernel_name(i);
#endif
}

}  // namespace
