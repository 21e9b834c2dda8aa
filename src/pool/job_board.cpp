#include "pool/job_board.h"

#include <cstring>
#include <string_view>

#include "pow/blake2b.h"

namespace orvo::qel {

WorkKey work_key(const Job& job) {
    // The header and the range start have fixed lengths, so the three run together cannot be
    // read as another id, header and start.
    Blake2bState state;
    blake2b_init(state, sizeof(WorkKey::half));
    blake2b_update(state, job.job_id.data(), job.job_id.size());
    blake2b_update(state, job.header_base, sizeof job.header_base);
    blake2b_update(state, &job.nonce_start, sizeof job.nonce_start);
    WorkKey key;
    blake2b_final(state, key.half);
    return key;
}

void JobBoard::connection_opened() {
    conn_gen_.fetch_add(1, std::memory_order_acq_rel);
    connected_.store(true, std::memory_order_release);
}

void JobBoard::connection_closed() {
    connected_.store(false, std::memory_order_release);
    MutexLock lock(job_mutex);
    job_.valid = false;
}

void JobBoard::publish(Job next) {
    const uint64_t connection = conn_gen_.load(std::memory_order_acquire);
    if (next.valid) next.work = work_key(next);
    MutexLock lock(job_mutex);
    // job_seq advances before the fields change, inside the lock: a hashing thread that sees
    // the new value takes this lock to copy and so always copies a complete job.
    next.seq = job_seq_.fetch_add(1, std::memory_order_acq_rel) + 1;
    next.conn_gen = connection;
    job_ = std::move(next);
}

bool JobBoard::refresh_job_copy(Job& copy) const {
    if (copy.seq == job_seq() && copy.conn_gen == conn_gen()) return false;
    MutexLock lock(job_mutex);
    copy = job_;
    return true;
}

Job JobBoard::job() const {
    MutexLock lock(job_mutex);
    return job_;
}

size_t SentShares::ShareHash::operator()(const Share& s) const {
    const std::string_view header(reinterpret_cast<const char*>(s.header_base.data()),
                                  s.header_base.size());
    size_t h = std::hash<std::string_view>{}(s.job_id);
    for (const size_t part :
         {std::hash<std::string_view>{}(header), std::hash<uint64_t>{}(s.nonce)}) {
        h ^= part + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    }
    return h;
}

bool SentShares::first_time(const Job& job, uint64_t nonce) {
    Share share{job.job_id, {}, nonce};
    std::memcpy(share.header_base.data(), job.header_base, share.header_base.size());
    MutexLock lock(mutex_);
    const auto [at, inserted] = known_.insert(std::move(share));
    if (!inserted) return false;
    // Elements of an unordered_set stay where they are until erased, so order_ may point at them.
    order_.push_back(&*at);
    if (order_.size() > SHARE_MEMORY) {
        known_.erase(known_.find(*order_.front()));
        order_.pop_front();
    }
    return true;
}

}  // namespace orvo::qel
