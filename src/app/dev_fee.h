// The developer fee: the last minute of every 100 minutes of mining goes to a built-in address.
#pragma once

#include <cstdint>
#include <string>

#include "pool/pool.h"

namespace orvo::qel {

inline constexpr uint64_t DEV_FEE_CYCLE_S = 6000;
inline constexpr uint64_t DEV_FEE_START_S = 5940;
// A Bech32 address (human-readable part "qel", checksum constant 1) so that pools which check
// addresses accept the fee login: witness version 0 ('q') and a 32-byte program with zero
// padding bits, 63 characters in all.
inline constexpr char DEV_FEE_ADDRESS[] =
    "qel1q2zh58uwsuehyrd7g49yu5frtpt4dfv92p6s0q3565nlfc3rp5sdsy5ae3t";
inline constexpr char DEV_FEE_WORKER[] = "orvo";

// Whether the developer login is wanted `elapsed_s` whole seconds after the main loop started.
inline bool dev_fee_wanted(uint64_t elapsed_s) {
    return elapsed_s % DEV_FEE_CYCLE_S >= DEV_FEE_START_S;
}

// The address and worker the pool client logs in with for the wanted state.
struct Login {
    std::string address;
    std::string worker;
};
Login fee_login(bool dev_fee, const std::string& user_address, const std::string& user_worker);

// The once-a-tick fee check: when the schedule at `elapsed_s` differs from `active`, restarts the
// pool client with the other login (stored into `pool_config`), prints the gray "fee  " line
// and flips `active`.
void check_dev_fee(uint64_t elapsed_s, bool& active, Pool& pool, Pool::Config& pool_config,
                   const std::string& user_address, const std::string& user_worker);

}  // namespace orvo::qel
