#include "miner/worker.h"

#include <sched.h>

#include <algorithm>
#include <cstring>

#include "miner/pin_thread.h"
#include "miner/walk_places.h"

namespace orvo::qel {

std::optional<uint64_t> nonce_for_step(uint64_t nonce_start, uint64_t nonce_end, int32_t index,
                                       uint64_t k, int32_t thread_count) {
    uint64_t nonce =
        nonce_start + static_cast<uint64_t>(index) + k * static_cast<uint64_t>(thread_count);
    if (nonce < nonce_start || nonce > nonce_end) return std::nullopt;
    return nonce;
}

namespace {

// The arenas a thread hashes in, side by side.
struct Arenas {
    Arena slot[MAX_INTENSITY];
    int32_t count = 0;

    // Releases the arenas from `keep` on.
    void release_from(int32_t keep) {
        for (; count > keep; --count) unmap_arena(slot[count - 1]);
    }
};

void bench_loop(const WorkerContext& ctx, const Hasher& engine, const Arenas& arenas,
                ThreadStats& stats) {
    uint8_t header[HEADER_BYTES];
    std::memset(header, BENCH_HEADER_BYTE, sizeof header);
    const uint8_t* headers[MAX_INTENSITY];
    uint64_t nonces[MAX_INTENSITY];
    uint8_t outs[MAX_INTENSITY][HASH_BYTES];
    const int32_t n = arenas.count;
    for (int32_t i = 0; i < n; ++i) headers[i] = header;
    const uint64_t group = static_cast<uint64_t>(n);
    for (uint64_t k = 0; ctx.control.wait_until_hashing_allowed(); k += group) {
        for (uint64_t i = 0; i < group; ++i) nonces[i] = bench_nonce(ctx.index, k + i);
        engine.hash(arenas.slot, headers, nonces, outs, n);
        ctx.total_hashes.fetch_add(group, std::memory_order_relaxed);
        stats.count_hashes(group);
    }
}

// Walks the thread's share of the job in force. Every nonce of a job is hashed once: a used-up
// range waits for the next job instead of starting again, and work that comes back (a retarget,
// the same job after a reconnect, an older job sent again) resumes at the thread's place in it.
// A share is submitted once in a run: the board remembers the shares sent.
void mining_loop(const WorkerContext& ctx, const Hasher& engine, const Arenas& arenas,
                 ThreadStats& stats) {
    JobBoard& board = ctx.board;
    Job copy;
    uint64_t k = 0;
    WalkPlaces places;
    const uint8_t* headers[MAX_INTENSITY];
    uint64_t nonces[MAX_INTENSITY];
    uint8_t outs[MAX_INTENSITY][HASH_BYTES];
    for (const uint8_t*& header : headers) header = copy.header_base;
    while (ctx.control.wait_until_hashing_allowed()) {
        const WorkKey walking = copy.work;
        if (board.refresh_job_copy(copy) && copy.work != walking) {
            k = places.switch_work(walking, k, copy.work);
        }
        // The group: the next steps up to one per arena, cut short where the range ends.
        uint64_t n = 0;
        if (copy.valid && board.connected()) {
            for (; n < static_cast<uint64_t>(arenas.count); ++n) {
                std::optional<uint64_t> nonce = nonce_for_step(copy.nonce_start, copy.nonce_end,
                                                               ctx.index, k + n, ctx.thread_count);
                if (!nonce) break;
                nonces[n] = *nonce;
            }
        }
        if (n == 0) {
            // No job, no connection or the range is used up: rest until something changes.
            ctx.control.sleep_unless_stopped(ctx.idle_sleep);
            continue;
        }
        k += n;
        engine.hash(arenas.slot, headers, nonces, outs, static_cast<int32_t>(n));
        ctx.total_hashes.fetch_add(n, std::memory_order_relaxed);
        stats.count_hashes(n);
        for (uint64_t i = 0; i < n; ++i) {
            if (!meets_target(outs[i], copy.target)) continue;
            // A job of an earlier connection: the pool would not know its id any more.
            if (board.conn_gen() != copy.conn_gen) {
                stats.count_stale();
                continue;
            }
            // Found before (work walked again after the thread forgot its place): the pool has it.
            if (!board.first_submission(copy, nonces[i])) continue;
            ctx.submit(copy.job_id, nonces[i], outs[i]);
            if (meets_target(outs[i], copy.network_target)) {
                if (ctx.blocks_found != nullptr) ctx.blocks_found->fetch_add(1);
                ctx.report({LineColour::green, "block",
                            "candidate found at height " + std::to_string(copy.height)});
            }
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
    Arenas arenas;
    const int32_t wanted = std::clamp(ctx.intensity, 1, MAX_INTENSITY);
    // Every arena through the room check when there is one: a limit lowered since start-up stops
    // the thread's next arena, never the kernel's kill.
    const auto map_one = [&](Arena& arena) {
        return ctx.arena_gate != nullptr ? ctx.arena_gate->map_if_it_fits(arena, ctx.map)
                                         : ctx.map(arena);
    };
    const RunControl& control = ctx.control;
    while (arenas.count < wanted && !control.stop_requested() &&
           map_one(arenas.slot[arenas.count])) {
        ++arenas.count;
    }
    // Stopped during start-up: neither short of memory nor checked.
    if (control.stop_requested()) {
        arenas.release_from(0);
        return;
    }
    if (arenas.count == 0) {
        ctx.arenas.failed_count.fetch_add(1);
        return;
    }
    const Hasher& engine = ctx.engine;
    // Only a thread with all the candidate's arenas times it; the others still wait for the
    // choice and hash with what they have.
    const bool timed = ctx.trial != nullptr && arenas.count == wanted && wanted > 1;
    IntensityTiming timing;
    if (!passes_self_check(engine, arenas.slot, arenas.count, *ctx.known_answer,
                           timed ? &timing : nullptr, ctx.now, &control)) {
        if (!where.pinned) where.cpu = sched_getcpu();
        report_self_check_failure(ctx.index, where, ctx.report);
        ctx.arenas.check_failed_count.fetch_add(1);
        arenas.release_from(0);
        return;
    }
    if (control.stop_requested()) {
        arenas.release_from(0);
        return;
    }
    if (timed) ctx.trial->add(timing);
    ctx.arenas.checked_count.fetch_add(1);
    if (ctx.trial != nullptr) {
        const int32_t chosen = ctx.trial->wait_for_choice(control);
        if (chosen == 0) {
            arenas.release_from(0);
            return;
        }
        arenas.release_from(chosen);
    }
    int32_t huge = 0;
    for (int32_t i = 0; i < arenas.count; ++i) huge += arenas.slot[i].huge ? 1 : 0;
    stats.huge.store(huge == arenas.count, std::memory_order_relaxed);
    ctx.arenas.huge_count.fetch_add(huge);
    ctx.arenas.arena_count.fetch_add(arenas.count);
    ctx.arenas.ready_count.fetch_add(1);

    if (ctx.bench_seconds > 0) {
        bench_loop(ctx, engine, arenas, stats);
    } else {
        mining_loop(ctx, engine, arenas, stats);
    }
    arenas.release_from(0);
}

}  // namespace orvo::qel
