// The job board: where the pool's connection thread puts the job in force and the hashing
// threads take their copies of it. The hashing threads need nothing else of the pool client:
// this board and a submit function.
//
// A hashing thread reads job_seq and conn_gen without the lock and copies the job under
// job_mutex only when one of them changed; the publisher advances job_seq inside job_mutex
// before it stores the fields, so a copy is always a complete job. Nothing is logged or waited
// for while job_mutex is held: a hashing thread must never wait on a console.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_set>

#include "base/mutex.h"
#include "pool/job.h"

namespace orvo::qel {

// Sends one share: the job id, the nonce and the 32-byte hash it gave.
using SubmitFn =
    std::function<void(const std::string& job_id, uint64_t nonce, const uint8_t* hash32)>;

// How many of the run's latest shares SentShares remembers. Pools set their difficulty for a
// few shares per minute per rig (vardiff targets of 3 to 30 a minute are usual), so 4096 shares
// reach back hours: at 30 a minute over two hours, at 5 a minute over thirteen. A job the pool
// still takes is minutes old (it ends with the next block), so a repeat of any share the pool
// could still count is remembered, in under 1 MiB.
inline constexpr size_t SHARE_MEMORY = 4096;

// The shares submitted in this run, the latest SHARE_MEMORY of them: what catches a share found
// again when a thread has forgotten its place in work that came back. Hashing threads ask it on
// the share path only (a share is rare), never per hash; it takes its own lock, never job_mutex,
// and nothing is logged while the lock is held.
class SentShares {
  public:
    // True, remembering the share, when (job id, header, nonce) was not submitted before; false
    // for a share already sent, which must not go to the pool again.
    bool first_time(const Job& job, uint64_t nonce) EXCLUDES(mutex_);

  private:
    struct Share {
        std::string job_id;
        std::array<uint8_t, 112> header_base;
        uint64_t nonce;
        bool operator==(const Share&) const = default;
    };
    struct ShareHash {
        size_t operator()(const Share& s) const;
    };
    Mutex mutex_;
    std::unordered_set<Share, ShareHash> known_ GUARDED_BY(mutex_);
    std::deque<const Share*> order_ GUARDED_BY(mutex_);  // into known_, oldest first
};

// The name of the work `job` continues or starts: a 128-bit BLAKE2b digest of its job id, header
// and range start. Two different pieces of work share a name with odds of about 2^-128 a pair.
WorkKey work_key(const Job& job);

class JobBoard {
  public:
    // The connection thread, when a connection opens and when it ends. A closed connection
    // leaves the job in force with its content but no longer valid.
    void connection_opened();
    void connection_closed() EXCLUDES(job_mutex);

    // Makes `next` the job in force and fills in its seq, work and conn_gen. Every job that
    // decodes is taken: the pool decides what is worth mining. A piece of work is its job id,
    // header and range start; a job whose three match earlier work (a retarget, the same job on
    // a new connection, an older job sent again after any number of others) names the same
    // work, so each thread resumes where it left it. The board keeps nothing per job for this:
    // the name is a digest of the three.
    void publish(Job next) EXCLUDES(job_mutex);

    // The hand-off to a hashing thread: when the job in force differs from `copy` (a newer job,
    // or a new connection since the copy was taken) copies it into `copy` and returns true;
    // otherwise returns false without taking the lock.
    bool refresh_job_copy(Job& copy) const EXCLUDES(job_mutex);

    // Asked by a hashing thread before it submits a share of `job` (its copy): false when
    // that share was already submitted in this run.
    bool first_submission(const Job& job, uint64_t nonce) { return sent_.first_time(job, nonce); }

    bool connected() const { return connected_.load(std::memory_order_acquire); }
    uint64_t job_seq() const { return job_seq_.load(std::memory_order_acquire); }
    uint64_t conn_gen() const { return conn_gen_.load(std::memory_order_acquire); }
    // A copy of the job in force.
    Job job() const EXCLUDES(job_mutex);

  private:
    friend struct PoolTestAccess;  // tests check that the lock is free while lines are written

    mutable Mutex job_mutex;
    Job job_ GUARDED_BY(job_mutex);
    std::atomic<uint64_t> job_seq_{0};   // jobs published so far
    std::atomic<uint64_t> conn_gen_{0};  // connections opened so far
    std::atomic<bool> connected_{false};
    SentShares sent_;
};

}  // namespace orvo::qel
