#include "judge.h"

#include <cstring>

#include "base/hex.h"

namespace orvo::qel::standin {

void target_for_difficulty(uint64_t divisor, uint8_t target[32]) {
    unsigned __int128 remainder = 0;
    for (int i = 0; i < 32; ++i) {
        unsigned __int128 current = (remainder << 8) | 0xFF;
        target[i] = static_cast<uint8_t>(current / divisor);
        remainder = current % divisor;
    }
}

void ShareJudge::issue(uint64_t conn, const IssuedJob& job) {
    auto& list = jobs_[conn];
    list.push_back(job);
    while (list.size() > KEEP_JOBS) list.pop_front();
}

void ShareJudge::forget_connection(uint64_t conn) {
    jobs_.erase(conn);
}

Judgement ShareJudge::judge(uint64_t conn, const std::string& job_id, uint64_t nonce,
                            const std::string& claimed_hex) {
    auto fail = [&](const char* reason) {
        ++invalid_;
        return Judgement{Verdict::invalid, reason};
    };
    const IssuedJob* job = nullptr;
    auto it = jobs_.find(conn);
    if (it != jobs_.end()) {
        for (const auto& j : it->second) {
            if (j.job_id == job_id) job = &j;
        }
    }
    if (job == nullptr) return fail("unknown or stale job");
    if (nonce < job->nonce_start || nonce > job->nonce_end) return fail("nonce out of range");
    uint8_t claimed[HASH_BYTES];
    if (!decode_hex_exact(claimed_hex, claimed, sizeof claimed)) return fail("malformed hash");
    if (accepted_.count({job_id, nonce}) != 0) {
        ++duplicates_;
        return Judgement{Verdict::duplicate, "duplicate share"};
    }
    uint8_t actual[HASH_BYTES];
    hash_(arena_, job->header, nonce, actual);
    if (std::memcmp(actual, claimed, HASH_BYTES) != 0) return fail("claimed hash mismatch");
    if (!meets_target(actual, job->target)) return fail("above target");
    accepted_.insert({job_id, nonce});
    ++valid_;
    return Judgement{Verdict::valid, {}};
}

}  // namespace orvo::qel::standin
