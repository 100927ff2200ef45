// The x86 intrinsics of the kernel folders on a CPU that lacks their ISA, for the emulated
// test build: SIMDe under the intrinsics' own names, plus what SIMDe 0.7 lacks or gets
// wrong. Force-included (-include) before every kernel source of that build; never part
// of libvexa.
//
// Every function here is written from the instruction's documented behaviour, lane by
// lane, for the defaults the kernels run under (MXCSR rounding to nearest, no DAZ/FTZ,
// exceptions masked). Explicit rounding modes set MXCSR's rounding control around the lane
// operations that need them. NaN results are quiet NaNs, their payloads not modelled.
// test_intrinsics_shim.cpp checks each against an independent model, and against the
// instruction itself where the CPU has it.
#pragma once

#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vexa_simde {

// ---- Lanes in and out ----

template <class T, int N>
struct Lanes {
    T v[N];
};

template <class T, int N, class V>
inline Lanes<T, N> lanes(const V& x) {
    static_assert(sizeof(V) == sizeof(T) * N, "lane count");
    Lanes<T, N> l;
    std::memcpy(l.v, &x, sizeof x);
    return l;
}

template <class V, class T, int N>
inline V vector(const Lanes<T, N>& l) {
    static_assert(sizeof(V) == sizeof(T) * N, "lane count");
    V x;
    std::memcpy(&x, l.v, sizeof x);
    return x;
}

// out[i] = f(in[i]) over the lanes of one vector type into another.
template <class Out, class TOut, int N, class TIn, class In, class F>
inline Out map(const In& x, F f) {
    const Lanes<TIn, N> in = lanes<TIn, N>(x);
    Lanes<TOut, N> out;
    for (int i = 0; i < N; ++i) out.v[i] = f(in.v[i]);
    return vector<Out>(out);
}

// ---- Masked loads and stores: lanes outside the mask are never touched ----

template <class T, int N, class V>
inline void mask_store(void* p, uint64_t k, const V& x) {
    const Lanes<T, N> l = lanes<T, N>(x);
    for (int i = 0; i < N; ++i)
        if ((k >> i) & 1) std::memcpy(static_cast<char*>(p) + i * sizeof(T), &l.v[i], sizeof(T));
}

template <class V, class T, int N>
inline V maskz_load(uint64_t k, const void* p) {
    Lanes<T, N> l{};
    for (int i = 0; i < N; ++i)
        if ((k >> i) & 1) std::memcpy(&l.v[i], static_cast<const char*>(p) + i * sizeof(T), sizeof(T));
    return vector<V>(l);
}

// ---- Rounding ----

// The C rounding direction of an _MM_FROUND_* argument; -1 for the current one.
inline int direction(int rounding) {
    if (rounding & _MM_FROUND_CUR_DIRECTION) return -1;
    switch (rounding & 3) {
        case _MM_FROUND_TO_NEG_INF: return FE_DOWNWARD;
        case _MM_FROUND_TO_POS_INF: return FE_UPWARD;
        case _MM_FROUND_TO_ZERO: return FE_TOWARDZERO;
        default: return FE_TONEAREST;
    }
}

// The same operation on every lane with MXCSR's rounding control set to `rounding` (its
// two bits are those of _MM_FROUND_TO_*), and then restored.
template <class T, int N, class F>
inline Lanes<T, N> rounded(int rounding, F f) {
    Lanes<T, N> r;
    if (rounding & _MM_FROUND_CUR_DIRECTION) {
        for (int i = 0; i < N; ++i) r.v[i] = f(i);
        return r;
    }
    const unsigned saved = __builtin_ia32_stmxcsr();
    __builtin_ia32_ldmxcsr((saved & ~0x6000u) | unsigned(rounding & 3) << 13);
    for (int i = 0; i < N; ++i) r.v[i] = f(i);
    __builtin_ia32_ldmxcsr(saved);
    return r;
}

// Keeps the compiler from moving or folding an operation on v across a rounding switch.
template <class T>
inline T pinned(T v) {
    __asm__ volatile("" : "+x"(v));
    return v;
}

// An integer-valued rounding of x in the direction of `rounding`.
inline double integral(double x, int rounding) {
    switch (direction(rounding)) {
        case FE_DOWNWARD: return std::floor(x);
        case FE_UPWARD: return std::ceil(x);
        case FE_TOWARDZERO: return std::trunc(x);
        case FE_TONEAREST: return __builtin_roundeven(x);
        default: return std::nearbyint(x);
    }
}

// The x86 conversions to integers: out of range and NaN give the "integer indefinite",
// the most negative value for signed results and all ones for unsigned ones.
inline int32_t to_int32(double r) {
    return r >= -2147483648.0 && r < 2147483648.0 ? int32_t(r) : INT32_MIN;
}
inline uint64_t to_uint64(double r) {
    return r >= 0.0 && r < 18446744073709551616.0 ? uint64_t(r) : ~uint64_t(0);
}

// ---- The instructions ----

inline __m512 fmadd_round_ps(__m512 a, __m512 b, __m512 c, int rounding) {
    const Lanes<float, 16> x = lanes<float, 16>(a), y = lanes<float, 16>(b), z = lanes<float, 16>(c);
    return vector<__m512>(rounded<float, 16>(rounding, [&](int i) {
        return pinned(std::fma(pinned(x.v[i]), pinned(y.v[i]), pinned(z.v[i])));
    }));
}

inline __m512d cvt_roundepu64_pd(__m512i a, int rounding) {
    const Lanes<uint64_t, 8> x = lanes<uint64_t, 8>(a);
    return vector<__m512d>(rounded<double, 8>(rounding, [&](int i) {
        uint64_t v = x.v[i];
        __asm__ volatile("" : "+r"(v));
        return pinned(double(v));
    }));
}

inline __m256i cvt_roundpd_epi32(__m512d a, int rounding) {
    return map<__m256i, int32_t, 8, double>(a, [&](double x) { return to_int32(integral(x, rounding)); });
}

// A NaN whose quiet bit (the fraction's top bit) is clear.
inline bool signalling_nan(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return std::isnan(x) && !(bits & (uint64_t(1) << 51));
}

// 2^floor(b) times a, rounded once; the special cases as the instruction documents them
// (DAZ off: subnormal inputs count).
inline double scalef_lane(double a, double b) {
    const double indefinite = -std::numeric_limits<double>::quiet_NaN();
    if (std::isnan(a)) {
        // A quiet NaN scaled by an infinity is not a NaN: the instruction's table gives +inf
        // for 2^+inf and +0 for 2^-inf, whatever the NaN's sign. A signalling NaN stays a
        // NaN, quietened.
        if (!signalling_nan(a) && std::isinf(b)) return b > 0 ? HUGE_VAL : 0.0;
        return a + a;  // quietened
    }
    if (std::isnan(b)) return b + b;
    if (std::isinf(b)) {
        if (b > 0) return a == 0 ? indefinite : std::copysign(HUGE_VAL, a);
        return std::isinf(a) ? indefinite : std::copysign(0.0, a);
    }
    if (a == 0 || std::isinf(a)) return a;
    const double n = std::floor(b);
    // Beyond +-2200 every finite a has overflowed or underflowed to zero already.
    return std::scalbn(a, n > 2200 ? 2200 : n < -2200 ? -2200 : int(n));
}

inline __m512d scalef_pd(__m512d a, __m512d b) {
    const Lanes<double, 8> x = lanes<double, 8>(a), y = lanes<double, 8>(b);
    Lanes<double, 8> r;
    for (int i = 0; i < 8; ++i) r.v[i] = scalef_lane(x.v[i], y.v[i]);
    return vector<__m512d>(r);
}

// x rounded to a multiple of 2^-M, M = imm >> 4, in the direction of imm's low bits.
inline double roundscale_lane(double x, int imm) {
    if (std::isnan(x)) return x + x;
    const int m = (imm >> 4) & 15;
    if (std::isinf(x) || std::fabs(x) >= 0x1p52) return x;  // already an integer
    const double r = std::ldexp(integral(std::ldexp(x, m), imm & 7), -m);
    return std::copysign(r, x);  // a zero keeps the sign of its source
}

inline __m512d roundscale_pd(__m512d a, int imm) {
    return map<__m512d, double, 8, double>(a, [&](double x) { return roundscale_lane(x, imm); });
}

inline __m512d abs_pd(__m512d a) {
    return map<__m512d, double, 8, double>(a, [](double x) { return std::fabs(x); });
}

// floor(log2 |x|) as a double, subnormals included; -inf for zeros, +inf for infinities.
inline __m512d getexp_pd(__m512d a) {
    return map<__m512d, double, 8, double>(a, [](double x) { return std::isnan(x) ? x + x : std::logb(x); });
}

inline __m512i srai_epi32(__m512i a, unsigned count) {
    const int s = count > 31 ? 31 : int(count);
    return map<__m512i, int32_t, 16, int32_t>(a, [&](int32_t v) { return int32_t(v >> s); });
}

// The reductions in GCC's own tree order (avx512fintrin.h): the upper half against the
// lower half, then the upper quarter against the lower one, then the last pair. For max,
// max_pd(p, q) is p > q ? p : q with the upper part as p, which decides for NaNs and for
// zeros of both signs.
template <class Op>
inline double reduce_pd(__m512d a, Op op) {
    const Lanes<double, 8> x = lanes<double, 8>(a);
    double h[4], q[2];
    for (int i = 0; i < 4; ++i) h[i] = op(x.v[i + 4], x.v[i]);
    for (int i = 0; i < 2; ++i) q[i] = op(h[i + 2], h[i]);
    return op(q[0], q[1]);
}
inline double reduce_add_pd(__m512d a) {
    return reduce_pd(a, [](double p, double q) { return p + q; });
}
inline double reduce_max_pd(__m512d a) {
    return reduce_pd(a, [](double p, double q) { return p > q ? p : q; });
}
inline int64_t reduce_max_epi64(__m512i a) {
    const Lanes<int64_t, 8> x = lanes<int64_t, 8>(a);
    int64_t r = x.v[0];
    for (int64_t v : x.v) r = v > r ? v : r;
    return r;
}
inline int64_t reduce_min_epi64(__m512i a) {
    const Lanes<int64_t, 8> x = lanes<int64_t, 8>(a);
    int64_t r = x.v[0];
    for (int64_t v : x.v) r = v < r ? v : r;
    return r;
}

}  // namespace vexa_simde

// ---- The intrinsics' names ----
// Conversions (widening, narrowing, to and from floating point).
#define _mm512_cvtepi32_epi64(a) (vexa_simde::map<__m512i, int64_t, 8, int32_t>((a), [](int32_t v) { return int64_t(v); }))
#define _mm512_cvtepu32_epi64(a) (vexa_simde::map<__m512i, uint64_t, 8, uint32_t>((a), [](uint32_t v) { return uint64_t(v); }))
#define _mm512_cvtepu8_epi16(a) (vexa_simde::map<__m512i, int16_t, 32, uint8_t>((a), [](uint8_t v) { return int16_t(v); }))
#define _mm512_cvtepu8_epi32(a) (vexa_simde::map<__m512i, int32_t, 16, uint8_t>((a), [](uint8_t v) { return int32_t(v); }))
#define _mm512_cvtepi32_epi8(a) (vexa_simde::map<__m128i, int8_t, 16, int32_t>((a), [](int32_t v) { return int8_t(v); }))
#define _mm512_cvtepi32_pd(a) (vexa_simde::map<__m512d, double, 8, int32_t>((a), [](int32_t v) { return double(v); }))
#define _mm512_cvtepi32_ps(a) (vexa_simde::map<__m512, float, 16, int32_t>((a), [](int32_t v) { return float(v); }))
#define _mm512_cvtepi64_pd(a) (vexa_simde::map<__m512d, double, 8, int64_t>((a), [](int64_t v) { return double(v); }))
#define _mm512_cvtpd_ps(a) (vexa_simde::map<__m256, float, 8, double>((a), [](double x) { return float(x); }))
#define _mm512_cvtepu64_pd(a) (vexa_simde::cvt_roundepu64_pd((a), _MM_FROUND_CUR_DIRECTION))
#define _mm512_cvt_roundepu64_pd(a, r) (vexa_simde::cvt_roundepu64_pd((a), (r)))
#define _mm512_cvt_roundpd_epi32(a, r) (vexa_simde::cvt_roundpd_epi32((a), (r)))
#define _mm512_cvttpd_epi32(a) (vexa_simde::cvt_roundpd_epi32((a), _MM_FROUND_TO_ZERO))
#define _mm512_cvttpd_epu64(a) (vexa_simde::map<__m512i, uint64_t, 8, double>((a), [](double x) { return vexa_simde::to_uint64(std::trunc(x)); }))
#define _mm512_cvttps_epi32(a) (vexa_simde::map<__m512i, int32_t, 16, float>((a), [](float x) { return vexa_simde::to_int32(std::trunc(double(x))); }))
// Arithmetic.
#define _mm512_fmadd_round_ps(a, b, c, r) (vexa_simde::fmadd_round_ps((a), (b), (c), (r)))
#define _mm512_getexp_pd(a) (vexa_simde::getexp_pd(a))
#define _mm512_srai_epi32(a, n) (vexa_simde::srai_epi32((a), unsigned(n)))
#undef _mm512_roundscale_pd
#define _mm512_roundscale_pd(a, imm) (vexa_simde::roundscale_pd((a), (imm)))
#undef _mm512_scalef_pd
#define _mm512_scalef_pd(a, b) (vexa_simde::scalef_pd((a), (b)))
#undef _mm512_abs_pd
#define _mm512_abs_pd(a) (vexa_simde::abs_pd(a))
// Reductions.
#define _mm512_reduce_add_pd(a) (vexa_simde::reduce_add_pd(a))
#define _mm512_reduce_max_pd(a) (vexa_simde::reduce_max_pd(a))
#define _mm512_reduce_max_epi64(a) (vexa_simde::reduce_max_epi64(a))
#define _mm512_reduce_min_epi64(a) (vexa_simde::reduce_min_epi64(a))
// Masked loads and stores.
#define _mm_maskz_loadu_epi8(k, p) (vexa_simde::maskz_load<__m128i, uint8_t, 16>((k), (p)))
#define _mm256_maskz_loadu_epi32(k, p) (vexa_simde::maskz_load<__m256i, uint32_t, 8>((k), (p)))
#define _mm512_maskz_loadu_pd(k, p) (vexa_simde::maskz_load<__m512d, double, 8>((k), (p)))
#define _mm_mask_storeu_epi8(p, k, a) (vexa_simde::mask_store<uint8_t, 16>((p), (k), (a)))
#define _mm256_mask_storeu_epi32(p, k, a) (vexa_simde::mask_store<uint32_t, 8>((p), (k), (a)))
#define _mm256_mask_storeu_ps(p, k, a) (vexa_simde::mask_store<float, 8>((p), (k), (a)))
#define _mm512_mask_storeu_epi8(p, k, a) (vexa_simde::mask_store<uint8_t, 64>((p), (k), (a)))
#define _mm512_mask_storeu_epi32(p, k, a) (vexa_simde::mask_store<uint32_t, 16>((p), (k), (a)))
#define _mm512_mask_storeu_pd(p, k, a) (vexa_simde::mask_store<double, 8>((p), (k), (a)))

// AVX-VNNI's vpdpwssd on YMM registers, which SIMDe 0.7 knows only under its AVX-512 name:
// the sum plus the two products of each pair of words, modulo 2^32, which is vpmaddwd's
// pair sum (2^31 wrapping to -2^31 as well) added to it.
#define _mm256_dpwssd_avx_epi32(src, a, b) (_mm256_add_epi32((src), _mm256_madd_epi16((a), (b))))
