#include "support/cpu_features.h"

#include <cstdint>
#include <string>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VEXA_CPUID_GNU 1
#include <cpuid.h>
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#define VEXA_CPUID_MSVC 1
#include <immintrin.h>
#include <intrin.h>
#endif

#if (defined(__x86_64__) || defined(__i386__)) && defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#elif defined(__aarch64__) && defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace vexa::cpu {
namespace {

struct Regs {
    uint32_t a = 0, b = 0, c = 0, d = 0;
};

bool cpuid(uint32_t leaf, uint32_t subleaf, Regs& r) {
#if defined(VEXA_CPUID_GNU)
    if (__get_cpuid_max(leaf & 0x80000000u, nullptr) < leaf) return false;
    __cpuid_count(leaf, subleaf, r.a, r.b, r.c, r.d);
    return true;
#elif defined(VEXA_CPUID_MSVC)
    int info[4];
    __cpuid(info, static_cast<int>(leaf & 0x80000000u));
    if (static_cast<uint32_t>(info[0]) < leaf) return false;
    __cpuidex(info, static_cast<int>(leaf), static_cast<int>(subleaf));
    r.a = info[0], r.b = info[1], r.c = info[2], r.d = info[3];
    return true;
#else
    (void)leaf, (void)subleaf, (void)r;
    return false;
#endif
}

// XCR0, or 0 when the OS has not enabled XSAVE (then no extended state is usable).
uint64_t xcr0() {
    Regs r;
    if (!cpuid(1, 0, r) || !(r.c & (1u << 27))) return 0;  // OSXSAVE
#if defined(VEXA_CPUID_GNU)
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t(hi) << 32) | lo;
#elif defined(VEXA_CPUID_MSVC)
    return _xgetbv(0);
#else
    return 0;
#endif
}

bool detect_avx512_vnni() {
    Regs r;
    if (!cpuid(7, 0, r)) return false;
    constexpr uint32_t kAvx512F = 1u << 16, kAvx512Dq = 1u << 17, kAvx512Cd = 1u << 28, kAvx512Bw = 1u << 30,
                       kAvx512Vl = 1u << 31, kBmi2 = 1u << 8, kAvx512Vnni = 1u << 11;
    const uint32_t need_b = kAvx512F | kAvx512Dq | kAvx512Cd | kAvx512Bw | kAvx512Vl | kBmi2;
    if ((r.b & need_b) != need_b || !(r.c & kAvx512Vnni)) return false;
    // SSE, AVX, opmask, ZMM_Hi256 and Hi16_ZMM state must all be saved by the OS.
    constexpr uint64_t kZmmState = 0xe6;
    return (xcr0() & kZmmState) == kZmmState;
}

// XCR0 says what the CPU is set up to save, not that this process may use it: the tile data
// can be held back per process (extended feature disable), and then the first tile
// instruction faults. Linux grants it to a process that asks. Windows grants it where it
// manages the tile state at all, and then lists it among its enabled XSAVE features; Wine
// on a Linux host lists only x87, SSE and AVX while XCR0 has the tile bits, and a tile
// instruction there dies as illegal.
bool tile_data_granted() {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__linux__) && defined(SYS_arch_prctl)
    constexpr long kReqXcompPerm = 0x1023, kXfeatureXtileData = 18;  // asm/prctl.h, fpu/types.h
    return syscall(SYS_arch_prctl, kReqXcompPerm, kXfeatureXtileData) == 0;
#elif defined(_WIN32)
    constexpr DWORD64 kTileState = DWORD64(3) << 17;  // XTILECFG, XTILEDATA
    return (GetEnabledXStateFeatures() & kTileState) == kTileState;
#else
    return true;
#endif
}

bool detect_amx_int8() {
    Regs r;
    if (!cpuid(7, 0, r)) return false;
    constexpr uint32_t kAmxTile = 1u << 24, kAmxInt8 = 1u << 25;
    if ((r.d & (kAmxTile | kAmxInt8)) != (kAmxTile | kAmxInt8)) return false;
    constexpr uint64_t kTileState = uint64_t(3) << 17;  // XTILECFG, XTILEDATA
    if ((xcr0() & kTileState) != kTileState) return false;
    return tile_data_granted();
}

bool detect_avx2() {
    Regs r;
    if (!cpuid(1, 0, r)) return false;
    constexpr uint32_t kFma = 1u << 12, kAvx = 1u << 28;
    if ((r.c & (kFma | kAvx)) != (kFma | kAvx)) return false;
    if (!cpuid(7, 0, r)) return false;
    constexpr uint32_t kBmi1 = 1u << 3, kAvx2 = 1u << 5, kBmi2 = 1u << 8;
    if ((r.b & (kBmi1 | kAvx2 | kBmi2)) != (kBmi1 | kAvx2 | kBmi2)) return false;
    // SSE and AVX state must be saved by the OS.
    constexpr uint64_t kYmmState = 0x6;
    return (xcr0() & kYmmState) == kYmmState;
}

bool detect_avx_vnni() {
    Regs r;
    constexpr uint32_t kAvxVnni = 1u << 4;  // leaf 7, subleaf 1, EAX
    return cpuid(7, 1, r) && (r.a & kAvxVnni);
}

struct NamedFeature {
    const char* name;
    uint32_t leaf, subleaf;
    int reg;  // 0..3: a, b, c, d
    uint32_t bit;
    uint64_t os_state;  // XCR0 bits the OS must enable, 0 for none
};

constexpr uint64_t kAvxState = 0x6, kAvx512State = 0xe6, kAmxState = uint64_t(3) << 17;

// In the order a report lists them: oldest first.
constexpr NamedFeature kNamedFeatures[] = {
    {"sse4_2", 1, 0, 2, 1u << 20, 0},         {"avx", 1, 0, 2, 1u << 28, kAvxState},
    {"avx2", 7, 0, 1, 1u << 5, kAvxState},     {"fma", 1, 0, 2, 1u << 12, kAvxState},
    {"bmi2", 7, 0, 1, 1u << 8, 0},             {"avx512f", 7, 0, 1, 1u << 16, kAvx512State},
    {"avx512dq", 7, 0, 1, 1u << 17, kAvx512State}, {"avx512bw", 7, 0, 1, 1u << 30, kAvx512State},
    {"avx512vl", 7, 0, 1, 1u << 31, kAvx512State}, {"avx512_vnni", 7, 0, 2, 1u << 11, kAvx512State},
    {"avx_vnni", 7, 1, 0, 1u << 4, kAvxState},
    {"amx_tile", 7, 0, 3, 1u << 24, kAmxState}, {"amx_int8", 7, 0, 3, 1u << 25, kAmxState},
};

bool offers(const NamedFeature& feature) {
    Regs r;
    if (!cpuid(feature.leaf, feature.subleaf, r)) return false;
    const uint32_t regs[4] = {r.a, r.b, r.c, r.d};
    if (!(regs[feature.reg] & feature.bit)) return false;
    return (xcr0() & feature.os_state) == feature.os_state;
}

std::string list_feature_names() {
    std::string names;
    for (const NamedFeature& feature : kNamedFeatures) {
        if (!offers(feature)) continue;
        if (!names.empty()) names += ' ';
        names += feature.name;
    }
    return names;
}

// The arm64 bits of the Linux auxiliary vector (asm/hwcap.h), spelled out so that older
// kernel headers do not matter.
constexpr unsigned long kHwcapAsimdDp = 1ul << 20;  // AT_HWCAP
constexpr unsigned long kHwcap2I8mm = 1ul << 13;    // AT_HWCAP2

enum class ArmFeature { kDotProd, kI8mm };

bool detect_arm(ArmFeature feature) {
#if defined(__aarch64__) && defined(__linux__)
    if (feature == ArmFeature::kDotProd) return (getauxval(AT_HWCAP) & kHwcapAsimdDp) != 0;
    return (getauxval(AT_HWCAP2) & kHwcap2I8mm) != 0;
#elif defined(__aarch64__) && defined(__APPLE__)
    const char* name = feature == ArmFeature::kDotProd ? "hw.optional.arm.FEAT_DotProd" : "hw.optional.arm.FEAT_I8MM";
    int value = 0;
    size_t size = sizeof value;
    return sysctlbyname(name, &value, &size, nullptr, 0) == 0 && value != 0;
#else
    (void)feature, (void)kHwcapAsimdDp, (void)kHwcap2I8mm;
    return false;
#endif
}

}  // namespace

const char* feature_names() {
    static const std::string names = list_feature_names();
    return names.c_str();
}

bool has_neon_dotprod() {
    static const bool supported = detect_arm(ArmFeature::kDotProd);
    return supported;
}

bool has_neon_i8mm() {
    static const bool supported = detect_arm(ArmFeature::kI8mm) && has_neon_dotprod();
    return supported;
}

bool has_avx_vnni() {
    static const bool supported = has_avx2() && detect_avx_vnni();
    return supported;
}

bool has_avx512_vnni() {
    static const bool supported = detect_avx512_vnni();
    return supported;
}

bool has_amx_int8() {
    // The permission request runs once, under the static's initialisation guard.
    static const bool supported = has_avx512_vnni() && detect_amx_int8();
    return supported;
}

bool has_avx2() {
    static const bool supported = detect_avx2();
    return supported;
}

}  // namespace vexa::cpu
