// The pool's current job, as published to the hashing threads; each thread keeps a copy of it
// (JobBoard::refresh_job_copy).
#pragma once

#include <cstdint>
#include <string>

namespace orvo::qel {

// Names a piece of work: a digest of its job id, header and range start. Every job with the same
// three names the same work, however many other jobs came between, so a thread that meets it
// again keeps its place in the range instead of hashing (and submitting) the same nonces again.
// All zero names no work (a job without an id).
struct WorkKey {
    uint64_t half[2] = {0, 0};
    bool operator==(const WorkKey&) const = default;
};

struct Job {
    uint64_t seq = 0;       // the client's job_seq after this job was counted (1 = first job)
    WorkKey work;           // the work this job continues or starts
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
