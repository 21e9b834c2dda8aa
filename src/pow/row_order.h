// Conversions between the standard word order of a block and the row order that the AVX-512
// engines keep in their arena (see pow/blamka_avx512.h). AVX-512 code: only call these after the
// CPU has been found to support AVX-512 F, VL and BW.
#pragma once

#include "pow/pow_hash.h"

namespace orvo::qel {

void block_to_row_order_avx512(const Block& standard, Block& rows);
void block_from_row_order_avx512(const Block& rows, Block& standard);

}  // namespace orvo::qel
