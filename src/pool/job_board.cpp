#include "pool/job_board.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace orvo::qel {

void JobBoard::connection_opened() {
    conn_gen_.fetch_add(1, std::memory_order_acq_rel);
    connected_.store(true, std::memory_order_release);
}

void JobBoard::connection_closed() {
    connected_.store(false, std::memory_order_release);
    MutexLock lock(job_mutex);
    job_.valid = false;
}

JobBoard::Verdict JobBoard::publish(Job next) {
    const uint64_t connection = conn_gen_.load(std::memory_order_acquire);
    MutexLock lock(job_mutex);
    std::optional<uint64_t> origin;
    Work* known = nullptr;  // the earlier work with this id and header
    if (next.valid) {
        bool used_here = false;
        for (Work& w : works_) {
            if (w.job_id != next.job_id) continue;
            used_here = used_here || w.last_conn == connection;
            if (std::memcmp(w.header_base, next.header_base, sizeof w.header_base) == 0) {
                known = &w;
            }
        }
        if (used_here) {
            const bool repeats_job_in_force =
                job_.valid && job_.conn_gen == connection && job_.job_id == next.job_id &&
                job_.nonce_start == next.nonce_start &&
                std::memcmp(job_.header_base, next.header_base, sizeof job_.header_base) == 0;
            if (!repeats_job_in_force) return Verdict::reused_on_connection;
            origin = job_.origin_seq;
        } else if (known != nullptr) {
            if (known->nonce_start != next.nonce_start) return Verdict::reused_with_other_range;
            origin = known->origin_seq;
            known->last_conn = connection;
        }
    }
    // job_seq advances before the fields change, inside the lock: a hashing thread that sees
    // the new value takes this lock to copy and so always copies a complete job.
    next.seq = job_seq_.fetch_add(1, std::memory_order_acq_rel) + 1;
    next.origin_seq = origin.value_or(next.seq);
    next.conn_gen = connection;
    if (next.valid && known == nullptr && !origin) {
        if (works_.size() == JOB_MEMORY) works_.pop_front();
        Work& w = works_.emplace_back();
        w.job_id = next.job_id;
        std::memcpy(w.header_base, next.header_base, sizeof w.header_base);
        w.nonce_start = next.nonce_start;
        w.origin_seq = next.seq;
        w.last_conn = connection;
    }
    job_ = std::move(next);
    return origin ? Verdict::repeat : Verdict::fresh;
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

uint64_t WalkPlaces::switch_work(uint64_t from, uint64_t step, uint64_t to) {
    const auto find = [this](uint64_t origin) {
        return std::find_if(places_.begin(), places_.end(),
                            [origin](const auto& p) { return p.first == origin; });
    };
    if (from != 0) {
        auto it = find(from);
        if (it != places_.end()) {
            it->second = step;
        } else {
            if (places_.size() == JOB_MEMORY) places_.pop_front();
            places_.emplace_back(from, step);
        }
    }
    auto it = find(to);
    return it == places_.end() ? 0 : it->second;
}

}  // namespace orvo::qel
