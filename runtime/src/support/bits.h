// The bits of doubles and floats, and back.
#pragma once

#include <cstdint>
#include <cstring>

namespace vexa::bits {

inline uint64_t of(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
inline uint32_t of(float x) {
    uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
inline double to_double(uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}
inline float to_float(uint32_t u) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

}  // namespace vexa::bits
