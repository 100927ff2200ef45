// Built with -mamx-tile -mamx-int8; called only after cpu::has_amx_int8() said yes.
#include <immintrin.h>

#include "amx_calls.h"
#include "support/cpu_features.h"

namespace vexa_amx_test {
namespace {

void native_program(const Case& k, Result& out)
#include "amx_program.inc"

}  // namespace

bool native_run(const Case& k, Result& out) {
    if (!vexa::cpu::has_amx_int8()) return false;
    native_program(k, out);
    return true;
}

}  // namespace vexa_amx_test
