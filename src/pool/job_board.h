// The job board: where the pool's connection thread puts the job in force and the hashing
// threads take their copies of it. The hashing threads need nothing else of the pool client:
// this board and a submit function.
//
// A hashing thread reads job_seq and conn_gen without the lock and copies the job under
// job_mutex only when one of them changed; the publisher advances job_seq inside job_mutex
// before it stores the fields, so a copy is always a complete job. Nothing is logged or waited
// for while job_mutex is held: a hashing thread must never wait on a console.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "base/mutex.h"
#include "pool/job.h"

namespace orvo::qel {

// Sends one share: the job id, the nonce and the 32-byte hash it gave.
using SubmitFn =
    std::function<void(const std::string& job_id, uint64_t nonce, const uint8_t* hash32)>;

// How many pieces of work (job id, header, range start) the board remembers, and each hashing
// thread its place in: a job older than this that comes back is taken for new work.
inline constexpr size_t JOB_MEMORY = 1024;

class JobBoard {
  public:
    // What publish did with a job.
    enum class Verdict {
        fresh,   // new work, walked from its first nonce
        repeat,  // work seen before (a retarget, or the same job on a new connection): the
                 // threads go on from where they were
        reused_on_connection,     // its id already named other work on this connection: refused
        reused_with_other_range,  // same id and header as earlier work but another range start,
                                  // whose nonces may already have been submitted: refused
    };

    // The connection thread, when a connection opens and when it ends. A closed connection
    // leaves the job in force with its content but no longer valid.
    void connection_opened();
    void connection_closed() EXCLUDES(job_mutex);

    // Makes `next` the job in force unless its id is used for other work; fills in its seq,
    // origin_seq and conn_gen. The repeat rule: a job id names one piece of work, whose
    // (job id, nonce) pairs the pool judges once in a run. On one connection an id may come
    // again only as a repeat of the job in force; across connections, a job with the id, header
    // and range start of earlier work continues that work.
    Verdict publish(Job next) EXCLUDES(job_mutex);

    // The hand-off to a hashing thread: when the job in force differs from `copy` (a newer job,
    // or a new connection since the copy was taken) copies it into `copy` and returns true;
    // otherwise returns false without taking the lock.
    bool refresh_job_copy(Job& copy) const EXCLUDES(job_mutex);

    bool connected() const { return connected_.load(std::memory_order_acquire); }
    uint64_t job_seq() const { return job_seq_.load(std::memory_order_acquire); }
    uint64_t conn_gen() const { return conn_gen_.load(std::memory_order_acquire); }
    // A copy of the job in force.
    Job job() const EXCLUDES(job_mutex);

  private:
    friend struct PoolTestAccess;  // tests check that the lock is free while lines are written

    // Work the board has published: its origin_seq and the last connection it came on.
    struct Work {
        std::string job_id;
        uint8_t header_base[112] = {};
        uint64_t nonce_start = 0;
        uint64_t origin_seq = 0;
        uint64_t last_conn = 0;
    };

    mutable Mutex job_mutex;
    Job job_ GUARDED_BY(job_mutex);
    std::deque<Work> works_ GUARDED_BY(job_mutex);  // oldest first, at most JOB_MEMORY
    std::atomic<uint64_t> job_seq_{0};              // jobs published so far
    std::atomic<uint64_t> conn_gen_{0};             // connections opened so far
    std::atomic<bool> connected_{false};
};

// A hashing thread's place in each piece of work it walked (by origin_seq), so work that comes
// back resumes where the thread left it instead of hashing, and submitting, its nonces again.
// Remembers as many pieces as the board, first walked first forgotten; the board forgets in the
// same order, so any work the board can still continue is one whose place is known here.
class WalkPlaces {
  public:
    // Leaves work `from` at `step` and returns the step at which to go on with work `to`
    // (0 for work not walked before). An origin of 0 is no work.
    uint64_t switch_work(uint64_t from, uint64_t step, uint64_t to);

  private:
    std::deque<std::pair<uint64_t, uint64_t>> places_;  // (origin_seq, next step)
};

}  // namespace orvo::qel
