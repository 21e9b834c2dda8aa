#include "app/startup.h"

#include <cstdio>

namespace orvo::qel {

bool require_payout_address(const RunConfig& config) {
    if (config.bench_seconds > 0 || !config.address.empty()) return true;
    std::fprintf(stderr, "an QEL payout address is required: -u <qel1...>\n");
    return false;
}

}  // namespace orvo::qel
