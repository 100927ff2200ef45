// The int16 engine's CRT and rounding on AVX2.
#include "kernels/avx2/avx2.h"

namespace vexa::avx2 {

void crt_round(const fast::CrtPlan& plan, const uint16_t* residues, int64_t stride, int count,
               int64_t scale_base, const int32_t* scale, double* hi, double* lo, float* res, uint8_t* zero) {
    fast::portable_crt_round(plan, residues, stride, count, scale_base, scale, hi, lo, res, zero);
}

}  // namespace vexa::avx2
