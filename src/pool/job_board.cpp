#include "pool/job_board.h"

#include <algorithm>
#include <cstring>
#include <string_view>

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

void JobBoard::publish(Job next) {
    const uint64_t connection = conn_gen_.load(std::memory_order_acquire);
    MutexLock lock(job_mutex);
    const Work* known = nullptr;
    if (next.valid) {
        for (const Work& w : works_) {
            if (w.job_id == next.job_id && w.nonce_start == next.nonce_start &&
                std::memcmp(w.header_base, next.header_base, sizeof w.header_base) == 0) {
                known = &w;
                break;
            }
        }
    }
    // job_seq advances before the fields change, inside the lock: a hashing thread that sees
    // the new value takes this lock to copy and so always copies a complete job.
    next.seq = job_seq_.fetch_add(1, std::memory_order_acq_rel) + 1;
    next.origin_seq = known != nullptr ? known->origin_seq : next.seq;
    next.conn_gen = connection;
    if (next.valid && known == nullptr) {
        if (works_.size() == JOB_MEMORY) works_.pop_front();
        Work& w = works_.emplace_back();
        w.job_id = next.job_id;
        std::memcpy(w.header_base, next.header_base, sizeof w.header_base);
        w.nonce_start = next.nonce_start;
        w.origin_seq = next.seq;
    }
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
