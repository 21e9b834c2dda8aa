#include "miner/worker.h"

#include <sched.h>

#include <cstring>
#include <mutex>

#include "app/console.h"
#include "app/sleep.h"
#include "miner/topology.h"

namespace orvo::qel {

std::optional<uint64_t> nonce_for_step(uint64_t nonce_start, uint64_t nonce_end, int32_t index,
                                       uint64_t k, int32_t thread_count) {
    uint64_t nonce = nonce_start + static_cast<uint64_t>(index) +
                     k * static_cast<uint64_t>(thread_count);
    if (nonce < nonce_start || nonce > nonce_end) return std::nullopt;
    return nonce;
}

namespace {

void copy_job(const Job& job, JobCopy& copy) {
    copy.seq = job.seq;
    copy.conn_gen = job.conn_gen;
    copy.job_id = job.job_id;
    std::memcpy(copy.header_base, job.header_base, sizeof copy.header_base);
    std::memcpy(copy.target, job.target, sizeof copy.target);
    std::memcpy(copy.network_target, job.network_target, sizeof copy.network_target);
    copy.height = job.height;
    copy.nonce_start = job.nonce_start;
    copy.nonce_end = job.nonce_end;
    copy.difficulty = job.difficulty;
    copy.valid = job.valid;
}

void bench_loop(const WorkerContext& ctx, const Arena& arena) {
    uint8_t header[HEADER_BYTES];
    std::memset(header, BENCH_HEADER_BYTE, sizeof header);
    uint8_t out[HASH_BYTES];
    for (uint64_t k = 0; !ctx.stop_requested.load(std::memory_order_relaxed); ++k) {
        ctx.pow_hash(arena, header, bench_nonce(ctx.index, k), out);
        ctx.total_hashes.fetch_add(1, std::memory_order_relaxed);
    }
}

void mining_loop(const WorkerContext& ctx, const Arena& arena) {
    Pool& pool = ctx.pool;
    JobCopy copy;
    uint64_t k = 0;
    uint8_t out[HASH_BYTES];
    while (!ctx.stop_requested.load(std::memory_order_relaxed)) {
        // Without the lock: a new job_seq is published inside job_mutex before the job's
        // fields, so taking the lock to copy always yields a complete job.
        if (!copy.valid || pool.job_seq.load(std::memory_order_acquire) != copy.seq) {
            std::lock_guard<std::mutex> lock(pool.job_mutex);
            copy_job(pool.job, copy);
            k = 0;
        }
        std::optional<uint64_t> nonce;
        if (copy.valid && pool.connected.load(std::memory_order_acquire)) {
            nonce = nonce_for_step(copy.nonce_start, copy.nonce_end, ctx.index, k,
                                   ctx.thread_count);
        }
        if (!nonce) {
            // No job, no connection or the range is used up: rest, then start the job afresh.
            sleep_resuming(ctx.idle_sleep);
            copy.valid = false;
            continue;
        }
        ++k;
        ctx.pow_hash(arena, copy.header_base, *nonce, out);
        ctx.total_hashes.fetch_add(1, std::memory_order_relaxed);
        if (!meets_target(out, copy.target)) continue;
        // A job of an earlier connection: the pool would not know its id any more.
        if (pool.conn_gen.load(std::memory_order_acquire) != copy.conn_gen) continue;
        pool.submit(copy.job_id, *nonce, out);
        if (meets_target(out, copy.network_target)) {
            log_line(palette.green, "block",
                     "candidate found at height " + std::to_string(copy.height));
        }
    }
}

}  // namespace

void hashing_thread(const WorkerContext& ctx) {
    CheckedCpu where;
    if (ctx.index >= 0 && static_cast<size_t>(ctx.index) < ctx.pin_order.size() &&
        ctx.pin_order[static_cast<size_t>(ctx.index)] >= 0) {
        where = {ctx.pin_order[static_cast<size_t>(ctx.index)], true};
        pin_current_thread(where.cpu);
    }
    Arena arena;
    if (!ctx.map(arena)) {
        ctx.arenas.failed_count.fetch_add(1);
        return;
    }
    if (!passes_self_check(ctx.pow_hash, arena, *ctx.known_answer)) {
        if (!where.pinned) where.cpu = sched_getcpu();
        report_self_check_failure(ctx.index, where);
        ctx.arenas.check_failed_count.fetch_add(1);
        unmap_arena(arena);
        return;
    }
    if (arena.huge) ctx.arenas.huge_count.fetch_add(1);
    ctx.arenas.ready_count.fetch_add(1);

    if (ctx.bench_seconds > 0) {
        bench_loop(ctx, arena);
    } else {
        mining_loop(ctx, arena);
    }
    unmap_arena(arena);
}

}  // namespace orvo::qel
