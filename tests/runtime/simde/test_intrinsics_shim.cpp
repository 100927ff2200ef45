// The emulated intrinsics (SIMDe plus intrinsics_shim.h) against models of the documented
// instructions, written from exact arithmetic (GMP rationals for everything that rounds),
// lane by lane on edge values and random bit patterns; and against the instructions
// themselves where the CPU has AVX-512.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cpuinfo_flags.h"
#include "intrinsic_calls.h"

namespace {

using vexa_shim_test::Intrinsic;
using vexa_shim_test::Vec;

enum class Kind { f32, f64, u8, i16, i32, u32, i64, u64 };

int lane_bytes(Kind k) {
    switch (k) {
        case Kind::u8: return 1;
        case Kind::i16: return 2;
        case Kind::f32: case Kind::i32: case Kind::u32: return 4;
        default: return 8;
    }
}

template <class T>
T lane(const Vec& v, int i) {
    T x;
    std::memcpy(&x, v.bytes + i * sizeof(T), sizeof x);
    return x;
}
template <class T>
void set_lane(Vec& v, int i, T x) {
    std::memcpy(v.bytes + i * sizeof(T), &x, sizeof x);
}

// ---- Exact rounding ----

enum Mode { kNearest, kDown, kUp, kZero };

// The direction of an _MM_FROUND_* argument; the current one is to nearest.
Mode mode_of(int imm) { return (imm & 4) ? kNearest : Mode(imm & 3); }

mpq_class pow2(long e) {
    mpq_class x = 1;
    if (e >= 0)
        mpq_mul_2exp(x.get_mpq_t(), x.get_mpq_t(), static_cast<mp_bitcnt_t>(e));
    else
        mpq_div_2exp(x.get_mpq_t(), x.get_mpq_t(), static_cast<mp_bitcnt_t>(-e));
    return x;
}

// The integer nearest to x in direction `mode` (ties to even).
mpz_class to_integer(const mpq_class& x, Mode mode) {
    mpz_class floor_x;
    mpz_fdiv_q(floor_x.get_mpz_t(), x.get_num_mpz_t(), x.get_den_mpz_t());
    const mpq_class rest = x - mpq_class(floor_x);
    if (rest == 0) return floor_x;
    switch (mode) {
        case kDown: return floor_x;
        case kUp: return floor_x + 1;
        case kZero: return x < 0 ? mpz_class(floor_x + 1) : floor_x;
        default: {
            const mpq_class half(1, 2);
            const bool up = rest > half || (rest == half && mpz_odd_p(floor_x.get_mpz_t()));
            return up ? mpz_class(floor_x + 1) : floor_x;
        }
    }
}

// A nonzero x rounded to a binary format of `precision` bits whose smallest quantum is
// 2^min_quantum and largest finite value `largest`, as a double.
double round_to_format(const mpq_class& x, int precision, long min_quantum, double largest, Mode mode) {
    const bool negative = x < 0;
    const mpq_class ax = abs(x);
    long e = long(mpz_sizeinbase(ax.get_num_mpz_t(), 2)) - long(mpz_sizeinbase(ax.get_den_mpz_t(), 2));
    if (ax < pow2(e)) --e;  // now 2^e <= |x| < 2^(e + 1)
    const long quantum = std::max(e - (precision - 1), min_quantum);
    const Mode magnitude_mode = mode == kDown ? (negative ? kUp : kDown) : mode == kUp ? (negative ? kDown : kUp) : mode;
    const mpz_class m = to_integer(ax / pow2(quantum), magnitude_mode);
    double v = std::ldexp(m.get_d(), int(quantum));
    if (v > largest) {
        const bool to_infinity = mode == kNearest || (mode == kUp && !negative) || (mode == kDown && negative);
        v = to_infinity ? HUGE_VAL : largest;
    }
    return negative ? -v : v;
}

double to_double(const mpq_class& x, Mode mode) { return round_to_format(x, 53, -1074, DBL_MAX, mode); }
float to_float(const mpq_class& x, Mode mode) { return float(round_to_format(x, 24, -149, FLT_MAX, mode)); }

// ---- Models of the instructions, lane by lane ----

float fmadd_model(float a, float b, float c, Mode mode) {
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) return float(double(a) * double(b) + double(c));
    const mpq_class exact = mpq_class(a) * mpq_class(b) + mpq_class(c);
    if (exact != 0) return to_float(exact, mode);
    // An exact zero: -0 only if both terms are -0, or under rounding down unless both are +0.
    const bool product_negative = std::signbit(a) != std::signbit(b);
    if (a * b == 0 && c == 0) {
        const bool negative = mode == kDown ? (product_negative || std::signbit(c)) : (product_negative && std::signbit(c));
        return negative ? -0.0f : 0.0f;
    }
    return mode == kDown ? -0.0f : 0.0f;
}

// The conversions to integers give the most negative value, or all ones for unsigned
// results, where the rounded value does not fit (NaN included).
int32_t to_int32_model(double x, Mode mode) {
    if (!std::isfinite(x)) return INT32_MIN;
    const mpz_class v = to_integer(mpq_class(x), mode);
    return v >= INT32_MIN && v <= INT32_MAX ? int32_t(v.get_si()) : INT32_MIN;
}
uint64_t to_uint64_model(double x) {
    if (!std::isfinite(x)) return ~uint64_t(0);
    const mpz_class v = to_integer(mpq_class(x), kZero);
    if (v < 0 || mpz_sizeinbase(v.get_mpz_t(), 2) > 64) return ~uint64_t(0);
    return uint64_t(mpz_get_ui(v.get_mpz_t()));
}

double from_uint64_model(uint64_t v, Mode mode) {
    if (v == 0) return 0.0;
    return to_double(mpq_class(mpz_class(static_cast<unsigned long>(v))), mode);
}

bool signalling(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return std::isnan(x) && ((bits >> 51) & 1) == 0;
}

// a * 2^floor(b), once rounded, with the special cases of the instruction's table.
double scalef_model(double a, double b) {
    const double indefinite = -std::numeric_limits<double>::quiet_NaN();
    const double quiet_nan = std::numeric_limits<double>::quiet_NaN();
    // A quiet NaN times 2^+-inf is +inf or +0; a signalling NaN stays a NaN.
    if (std::isnan(a) && std::isinf(b) && !signalling(a)) return b > 0 ? HUGE_VAL : 0.0;
    if (std::isnan(a) || std::isnan(b)) return quiet_nan;
    if (b == HUGE_VAL) return a == 0 ? indefinite : std::copysign(HUGE_VAL, a);
    if (b == -HUGE_VAL) return std::isinf(a) ? indefinite : std::copysign(0.0, a);
    if (a == 0 || std::isinf(a)) return a;
    const double n = std::max(-5000.0, std::min(5000.0, std::floor(b)));
    return to_double(mpq_class(a) * pow2(long(n)), kNearest);
}

double roundscale_model(double x, int imm) {
    if (std::isnan(x)) return std::numeric_limits<double>::quiet_NaN();
    if (std::isinf(x) || x == 0) return x;
    const long m = (imm >> 4) & 15;
    const mpz_class n = to_integer(mpq_class(x) * pow2(m), mode_of(imm & 7));
    const mpq_class r = mpq_class(n) / pow2(m);
    return std::copysign(r.get_d(), x);  // exact: a double's bits, rounded off below 2^-m
}

double getexp_model(double x) {
    if (std::isnan(x)) return x;
    if (x == 0) return -HUGE_VAL;
    if (std::isinf(x)) return HUGE_VAL;
    int e;
    std::frexp(x, &e);
    return double(e - 1);
}

// The reductions in GCC's tree order (avx512fintrin.h), as nested expressions; max_pd keeps
// its first operand only where it is the greater.
double reduce_add_model(const Vec& a) {
    auto x = [&](int i) { return lane<double>(a, i); };
    return ((x(6) + x(2)) + (x(4) + x(0))) + ((x(7) + x(3)) + (x(5) + x(1)));
}
double reduce_max_model(const Vec& a) {
    auto x = [&](int i) { return lane<double>(a, i); };
    auto mx = [](double p, double q) { return p > q ? p : q; };
    return mx(mx(mx(x(6), x(2)), mx(x(4), x(0))), mx(mx(x(7), x(3)), mx(x(5), x(1))));
}

// A masked load or store: its lanes and their width.
struct Masked {
    int lanes, bytes;
    bool store;
};

Masked masked(Intrinsic w) {
    switch (w) {
        case Intrinsic::maskz_loadu_pd: return {8, 8, false};
        case Intrinsic::maskz_loadu_epi32_256: return {8, 4, false};
        case Intrinsic::maskz_loadu_epi8_128: return {16, 1, false};
        case Intrinsic::mask_storeu_pd: return {8, 8, true};
        case Intrinsic::mask_storeu_epi32: return {16, 4, true};
        case Intrinsic::mask_storeu_epi8: return {64, 1, true};
        case Intrinsic::mask_storeu_epi32_256: case Intrinsic::mask_storeu_ps_256: return {8, 4, true};
        case Intrinsic::mask_storeu_epi8_128: return {16, 1, true};
        default: return {0, 0, false};
    }
}

struct Shape {
    Kind a, b, c, out;
    int out_lanes;
};

Shape shape_of(Intrinsic w) {
    switch (w) {
        case Intrinsic::fmadd_round_ps: return {Kind::f32, Kind::f32, Kind::f32, Kind::f32, 16};
        case Intrinsic::dpwssd_avx_epi32: return {Kind::i16, Kind::i16, Kind::i32, Kind::i32, 8};
        case Intrinsic::cvt_roundepu64_pd: case Intrinsic::cvtepu64_pd: return {Kind::u64, Kind::u64, Kind::u64, Kind::f64, 8};
        case Intrinsic::cvtepi64_pd: return {Kind::i64, Kind::i64, Kind::i64, Kind::f64, 8};
        case Intrinsic::cvtpd_ps: return {Kind::f64, Kind::f64, Kind::f64, Kind::f32, 8};
        case Intrinsic::cvt_roundpd_epi32: case Intrinsic::cvttpd_epi32: return {Kind::f64, Kind::f64, Kind::f64, Kind::i32, 8};
        case Intrinsic::cvttpd_epu64: return {Kind::f64, Kind::f64, Kind::f64, Kind::u64, 8};
        case Intrinsic::cvttps_epi32: return {Kind::f32, Kind::f32, Kind::f32, Kind::i32, 16};
        case Intrinsic::cvtepi32_ps: return {Kind::i32, Kind::i32, Kind::i32, Kind::f32, 16};
        case Intrinsic::cvtepi32_pd: return {Kind::i32, Kind::i32, Kind::i32, Kind::f64, 8};
        case Intrinsic::cvtepi32_epi64: return {Kind::i32, Kind::i32, Kind::i32, Kind::i64, 8};
        case Intrinsic::cvtepu32_epi64: return {Kind::u32, Kind::u32, Kind::u32, Kind::i64, 8};
        case Intrinsic::cvtepu8_epi16: return {Kind::u8, Kind::u8, Kind::u8, Kind::i16, 32};
        case Intrinsic::cvtepu8_epi32: return {Kind::u8, Kind::u8, Kind::u8, Kind::i32, 16};
        case Intrinsic::cvtepi32_epi8: return {Kind::i32, Kind::i32, Kind::i32, Kind::u8, 16};
        case Intrinsic::srai_epi32: return {Kind::i32, Kind::i32, Kind::i32, Kind::i32, 16};
        case Intrinsic::reduce_add_pd: case Intrinsic::reduce_max_pd: return {Kind::f64, Kind::f64, Kind::f64, Kind::f64, 1};
        case Intrinsic::reduce_max_epi64: case Intrinsic::reduce_min_epi64: return {Kind::i64, Kind::i64, Kind::i64, Kind::i64, 1};
        case Intrinsic::getexp_pd: case Intrinsic::scalef_pd: case Intrinsic::roundscale_pd:
        case Intrinsic::abs_pd: return {Kind::f64, Kind::f64, Kind::f64, Kind::f64, 8};
        default: break;
    }
    // Masked loads compare the vector they load, masked stores the whole memory around it.
    const Masked m = masked(w);
    return {Kind::u8, Kind::u8, Kind::u8, Kind::u8, m.store ? 64 : m.lanes * m.bytes};
}

Vec model(Intrinsic w, int imm, uint64_t mask, const Vec& a, const Vec& b, const Vec& c) {
    Vec out{};
    const Mode mode = mode_of(imm);
    switch (w) {
        case Intrinsic::fmadd_round_ps:
            for (int i = 0; i < 16; ++i) set_lane(out, i, fmadd_model(lane<float>(a, i), lane<float>(b, i), lane<float>(c, i), mode));
            break;
        case Intrinsic::dpwssd_avx_epi32:
            for (int i = 0; i < 8; ++i) {
                uint32_t sum = uint32_t(lane<int32_t>(c, i));
                for (int j = 2 * i; j < 2 * i + 2; ++j) sum += uint32_t(int64_t(lane<int16_t>(a, j)) * lane<int16_t>(b, j));
                set_lane(out, i, int32_t(sum));
            }
            break;
        case Intrinsic::cvt_roundepu64_pd:
        case Intrinsic::cvtepu64_pd:
            for (int i = 0; i < 8; ++i)
                set_lane(out, i, from_uint64_model(lane<uint64_t>(a, i), w == Intrinsic::cvtepu64_pd ? kNearest : mode));
            break;
        case Intrinsic::cvtepi64_pd:
            for (int i = 0; i < 8; ++i) {
                const int64_t v = lane<int64_t>(a, i);
                set_lane(out, i, v == 0 ? 0.0 : to_double(mpq_class(mpz_class(static_cast<long>(v))), kNearest));
            }
            break;
        case Intrinsic::cvtpd_ps:
            for (int i = 0; i < 8; ++i) {
                const double x = lane<double>(a, i);
                // Zeros and infinities keep their signs; NaNs stay NaNs.
                set_lane(out, i, x == 0 || !std::isfinite(x) ? float(x) : to_float(mpq_class(x), kNearest));
            }
            break;
        case Intrinsic::cvt_roundpd_epi32:
        case Intrinsic::cvttpd_epi32:
            for (int i = 0; i < 8; ++i)
                set_lane(out, i, to_int32_model(lane<double>(a, i), w == Intrinsic::cvttpd_epi32 ? kZero : mode));
            break;
        case Intrinsic::cvttpd_epu64:
            for (int i = 0; i < 8; ++i) set_lane(out, i, to_uint64_model(lane<double>(a, i)));
            break;
        case Intrinsic::cvttps_epi32:
            for (int i = 0; i < 16; ++i) set_lane(out, i, to_int32_model(lane<float>(a, i), kZero));
            break;
        case Intrinsic::cvtepi32_ps:
            for (int i = 0; i < 16; ++i) {
                const int32_t v = lane<int32_t>(a, i);
                set_lane(out, i, v == 0 ? 0.0f : to_float(mpq_class(v), kNearest));
            }
            break;
        case Intrinsic::cvtepi32_pd:
            for (int i = 0; i < 8; ++i) set_lane(out, i, double(lane<int32_t>(a, i)));
            break;
        case Intrinsic::cvtepi32_epi64:
            for (int i = 0; i < 8; ++i) set_lane(out, i, int64_t(lane<int32_t>(a, i)));
            break;
        case Intrinsic::cvtepu32_epi64:
            for (int i = 0; i < 8; ++i) set_lane(out, i, int64_t(lane<uint32_t>(a, i)));
            break;
        case Intrinsic::cvtepu8_epi16:
            for (int i = 0; i < 32; ++i) set_lane(out, i, int16_t(lane<uint8_t>(a, i)));
            break;
        case Intrinsic::cvtepu8_epi32:
            for (int i = 0; i < 16; ++i) set_lane(out, i, int32_t(lane<uint8_t>(a, i)));
            break;
        case Intrinsic::cvtepi32_epi8:
            for (int i = 0; i < 16; ++i) set_lane(out, i, uint8_t(lane<uint32_t>(a, i) & 0xff));
            break;
        case Intrinsic::getexp_pd:
            for (int i = 0; i < 8; ++i) set_lane(out, i, getexp_model(lane<double>(a, i)));
            break;
        case Intrinsic::scalef_pd:
            for (int i = 0; i < 8; ++i) set_lane(out, i, scalef_model(lane<double>(a, i), lane<double>(b, i)));
            break;
        case Intrinsic::roundscale_pd:
            for (int i = 0; i < 8; ++i) set_lane(out, i, roundscale_model(lane<double>(a, i), imm));
            break;
        case Intrinsic::abs_pd:
            for (int i = 0; i < 8; ++i) set_lane(out, i, lane<uint64_t>(a, i) & ~(uint64_t(1) << 63));
            break;
        case Intrinsic::srai_epi32:
            for (int i = 0; i < 16; ++i) {
                const int64_t v = lane<int32_t>(a, i), d = int64_t(1) << std::min(imm, 31);
                set_lane(out, i, int32_t(v >= 0 ? v / d : -((-v + d - 1) / d)));  // floor(v / d)
            }
            break;
        case Intrinsic::reduce_add_pd: set_lane(out, 0, reduce_add_model(a)); break;
        case Intrinsic::reduce_max_pd: set_lane(out, 0, reduce_max_model(a)); break;
        case Intrinsic::reduce_max_epi64:
        case Intrinsic::reduce_min_epi64: {
            std::vector<int64_t> v;
            for (int i = 0; i < 8; ++i) v.push_back(lane<int64_t>(a, i));
            set_lane(out, 0, w == Intrinsic::reduce_max_epi64 ? *std::max_element(v.begin(), v.end())
                                                             : *std::min_element(v.begin(), v.end()));
            break;
        }
        default: {  // masked loads (zero outside the mask) and stores (memory kept there)
            const Masked m = masked(w);
            if (m.store) out = b;
            for (int i = 0; i < m.lanes; ++i)
                if ((mask >> i) & 1) std::memcpy(out.bytes + i * m.bytes, a.bytes + i * m.bytes, size_t(m.bytes));
            break;
        }
    }
    return out;
}

// ---- Inputs ----

const double kEdgeDoubles[] = {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 1.5, 2.5, -2.5, 0.25, 0.75, 3.5, -7.5,
                               0x1p-1074, -0x1p-1074, 0x3p-1074, 0x1p-1022, 0x1.fffffffffffffp-1023,
                               DBL_MAX, -DBL_MAX, 0x1p52, 0x1p52 + 1, 0x1p53, 0x1p63, 0x1p64, 0x1.fffffffffffffp63,
                               2147483647.0, 2147483647.5, 2147483648.0, -2147483648.0, -2147483648.5,
                               -2147483649.0, 1074.0, -1074.0, 1075.5, -1100.25, 2098.0, 1e300, -1e-300,
                               HUGE_VAL, -HUGE_VAL, std::numeric_limits<double>::quiet_NaN()};
const float kEdgeFloats[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 1.5f, -2.5f, 0x1p-149f, -0x1p-149f, 0x1p-126f,
                             FLT_MAX, -FLT_MAX, 0x1p23f, 12582912.0f, 0x1p24f, 2147483520.0f, 2147483648.0f,
                             -2147483648.0f, -2147483904.0f, 0x1.000002p0f, 0x1.fffffep-1f, 1.0f / 3,
                             HUGE_VALF, -HUGE_VALF, std::numeric_limits<float>::quiet_NaN()};

// Integers of every width: the ends of each range (taken modulo the lane's width).
const uint64_t kIntegerEnds[] = {0, 1, ~uint64_t(0), uint64_t(1) << 63, (uint64_t(1) << 63) - 1,
                                 (uint64_t(1) << 53) + 1, 0x80000000u, 0x7fffffffu, 0xffffffffu, 0xff, 0x80};

template <class T>
T random_bits(std::mt19937_64& rng) {
    const uint64_t bits = rng();
    T x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

void fill(Vec& v, Kind kind, std::mt19937_64& rng) {
    const int n = 64 / lane_bytes(kind);
    for (int i = 0; i < n; ++i) {
        const unsigned pick = unsigned(rng() % 4);
        switch (kind) {
            case Kind::f64: {
                double x = pick == 0 ? random_bits<double>(rng)
                           : pick == 1 ? std::ldexp(double(int64_t(rng() % 2000001) - 1000000), int(rng() % 80) - 60)
                                       : kEdgeDoubles[rng() % (sizeof kEdgeDoubles / sizeof kEdgeDoubles[0])];
                set_lane(v, i, x);
                break;
            }
            case Kind::f32: {
                float x = pick == 0 ? random_bits<float>(rng)
                          : pick == 1 ? std::ldexp(float(int32_t(rng() % 20001) - 10000), int(rng() % 40) - 30)
                                      : kEdgeFloats[rng() % (sizeof kEdgeFloats / sizeof kEdgeFloats[0])];
                set_lane(v, i, x);
                break;
            }
            default: {
                // Integers of every width: random bits, small values, and the ends of the range.
                const uint64_t x = pick == 0 ? rng() : pick == 1 ? rng() % 1000
                                                    : kIntegerEnds[rng() % (sizeof kIntegerEnds / sizeof kIntegerEnds[0])];
                std::memcpy(v.bytes + i * lane_bytes(kind), &x, size_t(lane_bytes(kind)));
            }
        }
    }
}

std::vector<int> immediates_of(Intrinsic w) {
    switch (w) {
        case Intrinsic::fmadd_round_ps: case Intrinsic::cvt_roundepu64_pd: case Intrinsic::cvt_roundpd_epi32:
            return std::vector<int>(std::begin(vexa_shim_test::kRoundings), std::end(vexa_shim_test::kRoundings));
        case Intrinsic::roundscale_pd:
            return std::vector<int>(std::begin(vexa_shim_test::kRoundscaleImmediates),
                                    std::end(vexa_shim_test::kRoundscaleImmediates));
        case Intrinsic::srai_epi32: return {0, 1, 7, 16, 31, 32, 200};
        default: return {0};
    }
}

// Lane by lane, NaNs matching any NaN.
std::string difference(const Vec& got, const Vec& want, Kind kind, int lanes) {
    for (int i = 0; i < lanes; ++i) {
        const int n = lane_bytes(kind);
        if (std::memcmp(got.bytes + i * n, want.bytes + i * n, size_t(n)) == 0) continue;
        if (kind == Kind::f64 && std::isnan(lane<double>(got, i)) && std::isnan(lane<double>(want, i))) continue;
        if (kind == Kind::f32 && std::isnan(lane<float>(got, i)) && std::isnan(lane<float>(want, i))) continue;
        std::string s = "lane " + std::to_string(i) + ": got ";
        if (kind == Kind::f64) return s + std::to_string(lane<double>(got, i)) + ", want " + std::to_string(lane<double>(want, i));
        if (kind == Kind::f32) return s + std::to_string(lane<float>(got, i)) + ", want " + std::to_string(lane<float>(want, i));
        uint64_t g = 0, x = 0;
        std::memcpy(&g, got.bytes + i * n, size_t(n));
        std::memcpy(&x, want.bytes + i * n, size_t(n));
        return s + std::to_string(g) + ", want " + std::to_string(x);
    }
    return {};
}

class Shim : public ::testing::TestWithParam<Intrinsic> {};

TEST_P(Shim, MatchesTheModelAndTheInstruction) {
    const Intrinsic w = GetParam();
    const Shape shape = shape_of(w);
    std::mt19937_64 rng(1000 + int(w));
    for (int imm : immediates_of(w))
        for (int trial = 0; trial < 400; ++trial) {
            Vec a, b, c, emulated{}, native{};
            fill(a, shape.a, rng);
            fill(b, shape.b, rng);
            fill(c, shape.c, rng);
            const uint64_t mask = rng();
            ASSERT_TRUE(vexa_shim_test::emulated_call(w, imm, mask, a, b, c, emulated));
            const Vec want = model(w, imm, mask, a, b, c);
            const std::string vs_model = difference(emulated, want, shape.out, shape.out_lanes);
            ASSERT_TRUE(vs_model.empty()) << "immediate " << imm << ", trial " << trial << ": " << vs_model;
            if (vexa_shim_test::native_call(w, imm, mask, a, b, c, native)) {
                const std::string vs_native = difference(emulated, native, shape.out, shape.out_lanes);
                ASSERT_TRUE(vs_native.empty()) << "immediate " << imm << ", trial " << trial << " (native): " << vs_native;
            }
        }
}

// ---- Every class of input, exhaustively ----

// Where the instruction behind an intrinsic exists, by the kernel's report.
bool cpu_runs_natively(Intrinsic w) {
    if (w == Intrinsic::dpwssd_avx_epi32) return vexa_test::cpuinfo_has({"avx2", "avx_vnni"});
    return vexa_test::cpuinfo_has({"avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512_vnni"});
}

// One value of each class an operand can fall in: both zeros, subnormals, normals near the
// ends, infinities, and quiet and signalling NaNs of both signs (random trials rarely pair
// two such values in one lane).
std::vector<uint64_t> class_values(Kind kind) {
    std::vector<uint64_t> v;
    auto add = [&](auto x) {
        uint64_t bits = 0;
        std::memcpy(&bits, &x, sizeof x);
        v.push_back(bits);
    };
    if (kind == Kind::f64) {
        for (double x : kEdgeDoubles) add(x);
        for (uint64_t nan : {0xfff8000000000000u, 0x7ff4000000000000u, 0xfff0000000000001u}) add(nan);
        for (double x : {-0x1p-1022, -0x1.fffffffffffffp-1023, -0x3p-1074}) add(x);
    } else if (kind == Kind::f32) {
        for (float x : kEdgeFloats) add(x);
        for (uint32_t nan : {0xffc00000u, 0x7fa00000u, 0xff800001u}) add(nan);
        for (float x : {-0x1p-126f, 0x1.fffffcp-127f}) add(x);
    } else {
        for (uint64_t x : kIntegerEnds) add(x);
    }
    return v;
}

// The operands that take part in the result: the masked stores' second one is the memory
// they write over, which needs no classes of its own.
int operand_count(Intrinsic w) {
    return w == Intrinsic::fmadd_round_ps || w == Intrinsic::dpwssd_avx_epi32 ? 3 : w == Intrinsic::scalef_pd ? 2 : 1;
}

TEST_P(Shim, MatchesOnEveryCombinationOfInputClasses) {
    const Intrinsic w = GetParam();
    const Shape shape = shape_of(w);
    const Kind kinds[3] = {shape.a, shape.b, shape.c};
    const int operands = operand_count(w);
    int widest = 1;
    for (int k = 0; k < operands; ++k) widest = std::max(widest, lane_bytes(kinds[k]));
    const int lanes = 64 / widest;
    std::vector<uint64_t> values[3];
    size_t combinations = 1;
    for (int k = 0; k < operands; ++k) {
        values[k] = class_values(kinds[k]);
        combinations *= values[k].size();
    }
    std::mt19937_64 rng(7000 + int(w));
    int native_runs = 0;
    for (int imm : immediates_of(w))
        for (size_t first = 0; first < combinations; first += size_t(lanes)) {
            Vec in[3]{}, emulated{}, native{};
            for (int k = operands; k < 3; ++k) fill(in[k], kinds[k], rng);
            for (int i = 0; i < lanes; ++i) {
                size_t index = (first + size_t(i)) % combinations;
                for (int k = 0; k < operands; ++k) {
                    const int n = lane_bytes(kinds[k]);
                    std::memcpy(in[k].bytes + i * n, &values[k][index % values[k].size()], size_t(n));
                    index /= values[k].size();
                }
            }
            const uint64_t mask = first % 2 ? rng() : ~uint64_t(0);
            ASSERT_TRUE(vexa_shim_test::emulated_call(w, imm, mask, in[0], in[1], in[2], emulated));
            const std::string vs_model =
                difference(emulated, model(w, imm, mask, in[0], in[1], in[2]), shape.out, shape.out_lanes);
            ASSERT_TRUE(vs_model.empty()) << "immediate " << imm << ", combination " << first << ": " << vs_model;
            if (vexa_shim_test::native_call(w, imm, mask, in[0], in[1], in[2], native)) {
                ++native_runs;
                const std::string vs_native = difference(emulated, native, shape.out, shape.out_lanes);
                ASSERT_TRUE(vs_native.empty())
                    << "immediate " << imm << ", combination " << first << " (native): " << vs_native;
            }
        }
    EXPECT_EQ(native_runs > 0, cpu_runs_natively(w)) << "the native half must run exactly where the CPU can";
}

std::vector<Intrinsic> every_intrinsic() {
    std::vector<Intrinsic> v;
    for (int i = 0; i < int(Intrinsic::count); ++i) v.push_back(Intrinsic(i));
    return v;
}

const char* const kNames[] = {
    "fmadd_round_ps", "cvt_roundepu64_pd", "cvtepu64_pd", "cvtepi64_pd", "cvtpd_ps", "cvt_roundpd_epi32", "cvttpd_epi32",
    "cvttpd_epu64", "cvttps_epi32", "cvtepi32_ps", "cvtepi32_pd", "cvtepi32_epi64", "cvtepu32_epi64",
    "cvtepu8_epi16", "cvtepu8_epi32", "cvtepi32_epi8", "getexp_pd", "scalef_pd", "roundscale_pd",
    "abs_pd", "srai_epi32", "reduce_add_pd", "reduce_max_pd", "reduce_max_epi64", "reduce_min_epi64",
    "maskz_loadu_pd", "maskz_loadu_epi32_256", "maskz_loadu_epi8_128", "mask_storeu_pd",
    "mask_storeu_epi32", "mask_storeu_epi8", "mask_storeu_epi32_256", "mask_storeu_ps_256",
    "mask_storeu_epi8_128", "dpwssd_avx_epi32"};
static_assert(sizeof kNames / sizeof kNames[0] == size_t(Intrinsic::count), "one name per intrinsic");

INSTANTIATE_TEST_SUITE_P(Intrinsics, Shim, ::testing::ValuesIn(every_intrinsic()),
                         [](const ::testing::TestParamInfo<Intrinsic>& info) { return std::string(kNames[int(info.param)]); });

// The cases that SIMDe 0.7 gets wrong, spelled out.
TEST(ShimOverrides, RoundscaleFloorsToIntegers) {
    Vec a{}, out;
    const double x[8] = {2.75, -2.25, 0.5, -0.5, 1e15 + 0.5, -0.0, 3.0, -1e-300};
    const double floor_x[8] = {2.0, -3.0, 0.0, -1.0, 1e15, -0.0, 3.0, -1.0};
    std::memcpy(a.bytes, x, sizeof x);
    ASSERT_TRUE(vexa_shim_test::emulated_call(Intrinsic::roundscale_pd, 0x09, 0, a, a, a, out));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(lane<double>(out, i), floor_x[i]) << x[i];
        EXPECT_EQ(std::signbit(lane<double>(out, i)), std::signbit(floor_x[i])) << x[i];
    }
}

TEST(ShimOverrides, ScalefKeepsSubnormalsAndScalesInOneStep) {
    Vec a{}, b{}, out;
    const double x[8] = {0x1p-1074, 0x1p-1074, 0x3p-1074, DBL_MAX, 0x1p-1022, -0x1p-1074, 1.0, 0x1p1023};
    const double e[8] = {1074, 1074.9, 1, -1, -1, 2200, -1075, -2097};
    // 2^-1075 is a tie between 0 and the smallest subnormal: to even, 0.
    const double want[8] = {1.0, 1.0, 0x3p-1073, DBL_MAX / 2, 0x1p-1023, -HUGE_VAL, 0.0, 0x1p-1074};
    std::memcpy(a.bytes, x, sizeof x);
    std::memcpy(b.bytes, e, sizeof e);
    ASSERT_TRUE(vexa_shim_test::emulated_call(Intrinsic::scalef_pd, 0, 0, a, b, a, out));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(lane<double>(out, i), want[i]) << x[i] << " * 2^" << e[i];
}

TEST(ShimOverrides, AbsClearsTheSignOfZero) {
    Vec a{}, out;
    const double x[8] = {-0.0, 0.0, -1.0, -HUGE_VAL, -0x1p-1074, 2.0, -DBL_MAX, -3.5};
    std::memcpy(a.bytes, x, sizeof x);
    ASSERT_TRUE(vexa_shim_test::emulated_call(Intrinsic::abs_pd, 0, 0, a, a, a, out));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(lane<double>(out, i), std::fabs(x[i]));
        EXPECT_FALSE(std::signbit(lane<double>(out, i))) << x[i];
    }
}

}  // namespace

// The one pair sum that leaves int32: two products of -2^15 by -2^15 make 2^31, which wraps.
TEST(ShimOverrides, DpwssdWrapsTheLargestPairSum) {
    const Intrinsic w = Intrinsic::dpwssd_avx_epi32;
    Vec a, b, c, emulated{}, native{};
    for (int i = 0; i < 16; ++i) set_lane(a, i, int16_t(-32768));
    b = a;
    for (int i = 0; i < 16; ++i) set_lane(c, i, int32_t(i < 8 ? i * 0x10000001 - 0x40000000 : 0));
    ASSERT_TRUE(vexa_shim_test::emulated_call(w, 0, 0, a, b, c, emulated));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(lane<int32_t>(emulated, i), int32_t(uint32_t(i * 0x10000001 - 0x40000000) + 0x80000000u)) << i;
    if (vexa_shim_test::native_call(w, 0, 0, a, b, c, native))
        EXPECT_EQ(std::memcmp(emulated.bytes, native.bytes, 32), 0);
}
