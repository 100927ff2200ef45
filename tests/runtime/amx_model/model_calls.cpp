#include "amx_model.h"

#include <cstring>

#include "amx_calls.h"

namespace vexa_amx_test {

void config_of(const Case& k, uint8_t config[64]) {
    std::memset(config, 0, 64);
    config[0] = 1;
    const int rows[3] = {k.rows, k.rows, k.quads};
    const int colsb[3] = {4 * k.columns, 4 * k.quads, 4 * k.columns};
    for (int t = 0; t < 3; ++t) {
        config[16 + 2 * t] = uint8_t(colsb[t]);
        config[48 + t] = uint8_t(rows[t]);
    }
}

void model_run(const Case& k, Result& out)
#include "amx_program.inc"

}  // namespace vexa_amx_test
