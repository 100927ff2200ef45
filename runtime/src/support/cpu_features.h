// What the CPU and the operating system let this process run. Every query is cheap after
// its first call and safe from any thread. On compilers or CPUs where a feature cannot be
// detected, it reports false.
#pragma once

namespace vexa::cpu {

// AVX-512 F, CD, BW, DQ, VL and VNNI (plus BMI2), with the OS saving the opmask and ZMM state.
bool has_avx512_vnni();

// AMX-TILE and AMX-INT8 with the OS managing the tile state (XCR0 bits 17 and 18) and, on
// Linux, this process granted the tile data (arch_prctl ARCH_REQ_XCOMP_PERM, asked once),
// plus everything has_avx512_vnni() needs: the amx_int8 folder is built on that one.
bool has_amx_int8();

// AVX2, FMA, BMI1 and BMI2 (x86-64-v3's vector part), with the OS saving the YMM state.
bool has_avx2();

// AVX-VNNI (vpdpwssd and vpdpbusd on YMM registers, CPUID leaf 7 subleaf 1) plus
// everything has_avx2() needs.
bool has_avx_vnni();

// The features above and the common x86 SIMD ones below them that this CPU and OS offer,
// as lower-case names separated by single spaces ("sse4_2 avx avx2 fma ..."); empty when
// none. For reports only: kernels decide with the has_* queries.
const char* feature_names();

// ARMv8.2 dot products (sdot/udot): HWCAP_ASIMDDP on Linux, FEAT_DotProd on macOS.
bool has_neon_dotprod();

// ARMv8.6 int8 matrix multiplies (usdot/usmmla) as well as the dot products: HWCAP2_I8MM
// on Linux, FEAT_I8MM on macOS.
bool has_neon_i8mm();

}  // namespace vexa::cpu
