// Share judging of the stand-in pool: remembers the jobs it issued per connection and checks a
// submitted share against them by recomputing the proof-of-work hash.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "pow/pow_hash.h"

namespace orvo::qel::standin {

struct IssuedJob {
    std::string job_id;
    uint8_t header[HEADER_BYTES] = {};
    uint8_t target[32] = {};
    uint64_t nonce_start = 0;
    uint64_t nonce_end = 0;
};

enum class Verdict { valid, invalid, duplicate };

struct Judgement {
    Verdict verdict = Verdict::invalid;
    std::string reason;  // empty for a valid share
};

// (2^256 - 1) / divisor as a 32-byte big-endian target; divisor >= 1.
void target_for_difficulty(uint64_t divisor, uint8_t target[32]);

class ShareJudge {
  public:
    // `hash` must stay usable for the judge's lifetime; `arena` is its 8 MiB scratch.
    ShareJudge(PowHashFn hash, Arena arena) : hash_(hash), arena_(arena) {}

    // A job issued on connection `conn`. Shares for the newest KEEP_JOBS jobs of that
    // connection are accepted (a hash in flight when a job is replaced is still honest work).
    void issue(uint64_t conn, const IssuedJob& job);
    void forget_connection(uint64_t conn);

    Judgement judge(uint64_t conn, const std::string& job_id, uint64_t nonce,
                    const std::string& claimed_hex);

    uint64_t valid() const { return valid_; }
    uint64_t invalid() const { return invalid_; }
    uint64_t duplicates() const { return duplicates_; }

    static constexpr size_t KEEP_JOBS = 3;

  private:
    PowHashFn hash_;
    Arena arena_;
    std::map<uint64_t, std::deque<IssuedJob>> jobs_;  // per connection, newest last
    std::set<std::pair<std::string, uint64_t>> accepted_;
    uint64_t valid_ = 0, invalid_ = 0, duplicates_ = 0;
};

}  // namespace orvo::qel::standin
