#include "miner/worker.h"

#include <sched.h>

#include <cstring>

#include "base/sleep.h"
#include "miner/pin_thread.h"

namespace orvo::qel {

std::optional<uint64_t> nonce_for_step(uint64_t nonce_start, uint64_t nonce_end, int32_t index,
                                       uint64_t k, int32_t thread_count) {
    uint64_t nonce =
        nonce_start + static_cast<uint64_t>(index) + k * static_cast<uint64_t>(thread_count);
    if (nonce < nonce_start || nonce > nonce_end) return std::nullopt;
    return nonce;
}

namespace {

void bench_loop(const WorkerContext& ctx, const Arena& arena, ThreadStats& stats) {
    uint8_t header[HEADER_BYTES];
    std::memset(header, BENCH_HEADER_BYTE, sizeof header);
    uint8_t out[HASH_BYTES];
    for (uint64_t k = 0; !ctx.stop_requested.load(std::memory_order_relaxed); ++k) {
        ctx.pow_hash(arena, header, bench_nonce(ctx.index, k), out);
        ctx.total_hashes.fetch_add(1, std::memory_order_relaxed);
        stats.count_hash();
    }
}

// Walks the thread's share of the job in force. Every nonce of a job is hashed once: a used-up
// range waits for the next job instead of starting again, and work that comes back (a retarget,
// the same job after a reconnect, an older job sent again) resumes at the thread's place in it.
// A share is submitted once in a run: the board remembers the shares sent.
void mining_loop(const WorkerContext& ctx, const Arena& arena, ThreadStats& stats) {
    JobBoard& board = ctx.board;
    Job copy;
    uint64_t k = 0;
    WalkPlaces places;
    uint8_t out[HASH_BYTES];
    while (!ctx.stop_requested.load(std::memory_order_relaxed)) {
        const uint64_t walking = copy.origin_seq;
        if (board.refresh_job_copy(copy) && copy.origin_seq != walking) {
            k = places.switch_work(walking, k, copy.origin_seq);
        }
        std::optional<uint64_t> nonce;
        if (copy.valid && board.connected()) {
            nonce =
                nonce_for_step(copy.nonce_start, copy.nonce_end, ctx.index, k, ctx.thread_count);
        }
        if (!nonce) {
            // No job, no connection or the range is used up: rest until something changes.
            sleep_resuming(ctx.idle_sleep);
            continue;
        }
        ++k;
        ctx.pow_hash(arena, copy.header_base, *nonce, out);
        ctx.total_hashes.fetch_add(1, std::memory_order_relaxed);
        stats.count_hash();
        if (!meets_target(out, copy.target)) continue;
        // A job of an earlier connection: the pool would not know its id any more.
        if (board.conn_gen() != copy.conn_gen) continue;
        // Found before (work walked again after the board forgot it): the pool has it already.
        if (!board.first_submission(copy, *nonce)) continue;
        ctx.submit(copy.job_id, *nonce, out);
        if (meets_target(out, copy.network_target)) {
            if (ctx.blocks_found != nullptr) ctx.blocks_found->fetch_add(1);
            ctx.report({LineColour::green, "block",
                        "candidate found at height " + std::to_string(copy.height)});
        }
    }
}

}  // namespace

void hashing_thread(const WorkerContext& ctx) {
    ThreadStats unreported;  // counts nobody reads when the caller asked for none
    ThreadStats& stats = ctx.stats != nullptr ? *ctx.stats : unreported;
    CheckedCpu where;
    if (ctx.index >= 0 && static_cast<size_t>(ctx.index) < ctx.pin_order.size() &&
        ctx.pin_order[static_cast<size_t>(ctx.index)] >= 0) {
        const int32_t cpu = ctx.pin_order[static_cast<size_t>(ctx.index)];
        if (pin_current_thread(cpu)) {
            where = {cpu, true};
            stats.cpu.store(cpu, std::memory_order_relaxed);
        } else {
            // Never counted as pinned: a cpuset changed since start-up, or the CPU went away.
            ctx.report({LineColour::red, "cpu  ",
                        "thread " + std::to_string(ctx.index) + ": the kernel refused CPU " +
                            std::to_string(cpu) + " \u2014 thread runs unpinned"});
            if (ctx.refused_pins != nullptr) ctx.refused_pins->fetch_add(1);
        }
    }
    Arena arena;
    const bool mapped =
        ctx.arena_room != nullptr ? ctx.arena_room->map_if_room(arena, ctx.map) : ctx.map(arena);
    if (!mapped) {
        ctx.arenas.failed_count.fetch_add(1);
        return;
    }
    if (!passes_self_check(ctx.pow_hash, arena, *ctx.known_answer)) {
        if (!where.pinned) where.cpu = sched_getcpu();
        report_self_check_failure(ctx.index, where, ctx.report);
        ctx.arenas.check_failed_count.fetch_add(1);
        unmap_arena(arena);
        return;
    }
    stats.huge.store(arena.huge, std::memory_order_relaxed);
    if (arena.huge) ctx.arenas.huge_count.fetch_add(1);
    ctx.arenas.ready_count.fetch_add(1);

    if (ctx.bench_seconds > 0) {
        bench_loop(ctx, arena, stats);
    } else {
        mining_loop(ctx, arena, stats);
    }
    unmap_arena(arena);
}

}  // namespace orvo::qel
