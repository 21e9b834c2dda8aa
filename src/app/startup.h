// The start-up steps of a run that are more than one call, in the order main takes them.
#pragma once

#include "app/run_config.h"

namespace orvo::qel {

// A mining run needs a payout address; a verify or benchmark run does not. Writes the error to
// stderr and returns false when it is missing.
bool require_payout_address(const RunConfig& config);

}  // namespace orvo::qel
