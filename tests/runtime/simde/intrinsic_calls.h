// One call of each intrinsic that intrinsics_shim.h supplies or replaces, on raw 512-bit
// operands. The same calls are compiled twice: against the shim (emulated_calls.cpp) and
// with AVX-512 flags (and AVX-VNNI's where the compiler has them) against the compiler's
// own intrinsics (native_calls.cpp), so that the test can hold the two side by side.
#pragma once

#include <cstdint>

namespace vexa_shim_test {

enum class Intrinsic {
    fmadd_round_ps,      // a, b, c: 16 floats; imm: rounding
    cvt_roundepu64_pd,   // a: 8 uint64; imm: rounding
    cvtepu64_pd,         // a: 8 uint64
    cvtepi64_pd,         // a: 8 int64
    cvtpd_ps,            // a: 8 doubles
    cvt_roundpd_epi32,   // a: 8 doubles; imm: rounding
    cvttpd_epi32,        // a: 8 doubles
    cvttpd_epu64,        // a: 8 doubles
    cvttps_epi32,        // a: 16 floats
    cvtepi32_ps,         // a: 16 int32
    cvtepi32_pd,         // a: 8 int32
    cvtepi32_epi64,      // a: 8 int32
    cvtepu32_epi64,      // a: 8 uint32
    cvtepu8_epi16,       // a: 32 bytes
    cvtepu8_epi32,       // a: 16 bytes
    cvtepi32_epi8,       // a: 16 int32
    getexp_pd,           // a: 8 doubles
    scalef_pd,           // a, b: 8 doubles
    roundscale_pd,       // a: 8 doubles; imm: the immediate
    abs_pd,              // a: 8 doubles
    srai_epi32,          // a: 16 int32; imm: the count
    reduce_add_pd,       // a: 8 doubles; out: one double
    reduce_max_pd,       // a: 8 doubles; out: one double
    reduce_max_epi64,    // a: 8 int64; out: one int64
    reduce_min_epi64,    // a: 8 int64; out: one int64
    maskz_loadu_pd,      // from a under mask
    maskz_loadu_epi32_256,
    maskz_loadu_epi8_128,
    mask_storeu_pd,      // a over out (preset to b) under mask
    mask_storeu_epi32,
    mask_storeu_epi8,
    mask_storeu_epi32_256,
    mask_storeu_ps_256,
    mask_storeu_epi8_128,
    dpwssd_avx_epi32,    // a, b: 16 int16 each; c: 8 int32, the sum added to
    count
};

struct alignas(64) Vec {
    uint8_t bytes[64];
};

// The rounding arguments and roundscale immediates the calls accept (they must be
// constants for the compiler's intrinsics).
constexpr int kRoundings[] = {0x08, 0x09, 0x0a, 0x0b, 0x04};
constexpr int kRoundscaleImmediates[] = {0x08, 0x09, 0x0a, 0x0b, 0x04, 0x19, 0x3a, 0x4b, 0xf8};

// out = the intrinsic of a, b, c; false when it does not run here.
bool emulated_call(Intrinsic which, int imm, uint64_t mask, const Vec& a, const Vec& b, const Vec& c, Vec& out);
bool native_call(Intrinsic which, int imm, uint64_t mask, const Vec& a, const Vec& b, const Vec& c, Vec& out);

}  // namespace vexa_shim_test

// ---- The calls, for the two source files that define emulated_call and native_call ----
#ifdef VEXA_SHIM_TEST_CALLS
#include <immintrin.h>

#include <cstring>

namespace vexa_shim_test {
namespace {

template <class V>
V load(const Vec& v) {
    V x;
    std::memcpy(&x, v.bytes, sizeof x);
    return x;
}
template <class V>
void store(const V& x, Vec& v) {
    std::memcpy(v.bytes, &x, sizeof x);
}
template <class T>
void store_scalar(T x, Vec& v) {
    std::memcpy(v.bytes, &x, sizeof x);
}

// The rounding arguments spelled as the kernels spell them, since a macro that takes them
// unparenthesised changes their meaning: CALL(expression) for each of kRoundings.
#define VEXA_ROUNDING_CASES(CALL)                                                    \
    case 0x08: CALL(_MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); return true;     \
    case 0x09: CALL(_MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); return true;         \
    case 0x0a: CALL(_MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC); return true;         \
    case 0x0b: CALL(_MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); return true;            \
    case 0x04: CALL(_MM_FROUND_CUR_DIRECTION); return true;
// And the roundscale immediates with a scale as well.
#define VEXA_ROUNDSCALE_CASES(CALL)                                                  \
    VEXA_ROUNDING_CASES(CALL)                                                        \
    case 0x19: CALL((1 << 4) | _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); return true; \
    case 0x3a: CALL((3 << 4) | _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC); return true; \
    case 0x4b: CALL((4 << 4) | _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); return true;    \
    case 0xf8: CALL((15 << 4) | _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); return true;

bool call(Intrinsic which, int imm, uint64_t mask, const Vec& a, const Vec& b, const Vec& c, Vec& out) {
    switch (which) {
        case Intrinsic::fmadd_round_ps:
#define VEXA_CALL(r) store(_mm512_fmadd_round_ps(load<__m512>(a), load<__m512>(b), load<__m512>(c), r), out)
            switch (imm) { VEXA_ROUNDING_CASES(VEXA_CALL) }
            return false;
#undef VEXA_CALL
        case Intrinsic::cvt_roundepu64_pd:
#define VEXA_CALL(r) store(_mm512_cvt_roundepu64_pd(load<__m512i>(a), r), out)
            switch (imm) { VEXA_ROUNDING_CASES(VEXA_CALL) }
            return false;
#undef VEXA_CALL
        case Intrinsic::cvtepu64_pd: store(_mm512_cvtepu64_pd(load<__m512i>(a)), out); return true;
        case Intrinsic::cvtepi64_pd: store(_mm512_cvtepi64_pd(load<__m512i>(a)), out); return true;
        case Intrinsic::cvtpd_ps: store(_mm512_cvtpd_ps(load<__m512d>(a)), out); return true;
        case Intrinsic::cvt_roundpd_epi32:
#define VEXA_CALL(r) store(_mm512_cvt_roundpd_epi32(load<__m512d>(a), r), out)
            switch (imm) { VEXA_ROUNDING_CASES(VEXA_CALL) }
            return false;
#undef VEXA_CALL
        case Intrinsic::cvttpd_epi32: store(_mm512_cvttpd_epi32(load<__m512d>(a)), out); return true;
        case Intrinsic::cvttpd_epu64: store(_mm512_cvttpd_epu64(load<__m512d>(a)), out); return true;
        case Intrinsic::cvttps_epi32: store(_mm512_cvttps_epi32(load<__m512>(a)), out); return true;
        case Intrinsic::cvtepi32_ps: store(_mm512_cvtepi32_ps(load<__m512i>(a)), out); return true;
        case Intrinsic::cvtepi32_pd: store(_mm512_cvtepi32_pd(load<__m256i>(a)), out); return true;
        case Intrinsic::cvtepi32_epi64: store(_mm512_cvtepi32_epi64(load<__m256i>(a)), out); return true;
        case Intrinsic::cvtepu32_epi64: store(_mm512_cvtepu32_epi64(load<__m256i>(a)), out); return true;
        case Intrinsic::cvtepu8_epi16: store(_mm512_cvtepu8_epi16(load<__m256i>(a)), out); return true;
        case Intrinsic::cvtepu8_epi32: store(_mm512_cvtepu8_epi32(load<__m128i>(a)), out); return true;
        case Intrinsic::cvtepi32_epi8: store(_mm512_cvtepi32_epi8(load<__m512i>(a)), out); return true;
        case Intrinsic::getexp_pd: store(_mm512_getexp_pd(load<__m512d>(a)), out); return true;
        case Intrinsic::scalef_pd: store(_mm512_scalef_pd(load<__m512d>(a), load<__m512d>(b)), out); return true;
        case Intrinsic::roundscale_pd:
#define VEXA_CALL(r) store(_mm512_roundscale_pd(load<__m512d>(a), r), out)
            switch (imm) { VEXA_ROUNDSCALE_CASES(VEXA_CALL) }
            return false;
#undef VEXA_CALL
        case Intrinsic::abs_pd: store(_mm512_abs_pd(load<__m512d>(a)), out); return true;
        case Intrinsic::srai_epi32: store(_mm512_srai_epi32(load<__m512i>(a), unsigned(imm)), out); return true;
        case Intrinsic::reduce_add_pd: store_scalar(_mm512_reduce_add_pd(load<__m512d>(a)), out); return true;
        case Intrinsic::reduce_max_pd: store_scalar(_mm512_reduce_max_pd(load<__m512d>(a)), out); return true;
        case Intrinsic::reduce_max_epi64: store_scalar(int64_t(_mm512_reduce_max_epi64(load<__m512i>(a))), out); return true;
        case Intrinsic::reduce_min_epi64: store_scalar(int64_t(_mm512_reduce_min_epi64(load<__m512i>(a))), out); return true;
        case Intrinsic::maskz_loadu_pd: store(_mm512_maskz_loadu_pd(__mmask8(mask), a.bytes), out); return true;
        case Intrinsic::maskz_loadu_epi32_256: store(_mm256_maskz_loadu_epi32(__mmask8(mask), a.bytes), out); return true;
        case Intrinsic::maskz_loadu_epi8_128: store(_mm_maskz_loadu_epi8(__mmask16(mask), a.bytes), out); return true;
#if defined(__AVXVNNI__) || defined(_mm256_dpwssd_avx_epi32)
        case Intrinsic::dpwssd_avx_epi32:
            store(_mm256_dpwssd_avx_epi32(load<__m256i>(c), load<__m256i>(a), load<__m256i>(b)), out);
            return true;
#endif
        default: break;
    }
    out = b;
    switch (which) {
        case Intrinsic::mask_storeu_pd: _mm512_mask_storeu_pd(out.bytes, __mmask8(mask), load<__m512d>(a)); return true;
        case Intrinsic::mask_storeu_epi32: _mm512_mask_storeu_epi32(out.bytes, __mmask16(mask), load<__m512i>(a)); return true;
        case Intrinsic::mask_storeu_epi8: _mm512_mask_storeu_epi8(out.bytes, __mmask64(mask), load<__m512i>(a)); return true;
        case Intrinsic::mask_storeu_epi32_256: _mm256_mask_storeu_epi32(out.bytes, __mmask8(mask), load<__m256i>(a)); return true;
        case Intrinsic::mask_storeu_ps_256: _mm256_mask_storeu_ps(reinterpret_cast<float*>(out.bytes), __mmask8(mask), load<__m256>(a)); return true;
        case Intrinsic::mask_storeu_epi8_128: _mm_mask_storeu_epi8(out.bytes, __mmask16(mask), load<__m128i>(a)); return true;
        default: return false;
    }
}

}  // namespace
}  // namespace vexa_shim_test
#endif
