// The pool's current job, as published to the hashing threads; each thread keeps a copy of it
// (JobBoard::refresh_job_copy).
#pragma once

#include <cstdint>
#include <string>

namespace orvo::qel {

struct Job {
    uint64_t seq = 0;  // the client's job_seq after this job was counted (1 = first job)
    // The seq of the first job of the same work (its own seq when it is new work): a job with
    // the id, header and range start of earlier work continues it, so a thread keeps its place
    // in the range instead of hashing (and submitting) the same nonces again.
    uint64_t origin_seq = 0;
    uint64_t conn_gen = 0;  // the client's conn_gen when the job arrived: its connection
    std::string job_id;     // empty for a job the pool sent without an id (then never valid)
    uint8_t header_base[112] = {};    // header input of the proof-of-work hash
    uint8_t target[32] = {};          // share target, most significant byte first
    uint8_t network_target[32] = {};  // block target, same order; all zero when the pool sent none
    uint64_t height = 0;              // for messages only
    uint64_t nonce_start = 0;         // first nonce of the range
    uint64_t nonce_end = 0;           // last nonce of the range, inclusive
    uint64_t difficulty = 0;          // for messages only
    bool valid = false;               // job_id non-empty and its connection still open
};

}  // namespace orvo::qel
