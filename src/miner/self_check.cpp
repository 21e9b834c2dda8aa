#include "miner/self_check.h"

#include <time.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace orvo::qel {

// The first record of the verify vectors, made with libsodium's Argon2id: a header with a
// realistic compact target, and a nonce whose eight bytes all differ so a byte-order fault in
// the nonce shows too.
const KnownAnswer SELF_CHECK_ANSWER = {
    .header = {0x80, 0xe4, 0x35, 0x52, 0x63, 0xf5, 0x7e, 0x04, 0x12, 0x8a, 0x3b, 0x37, 0x19, 0x3c,
               0xae, 0x44, 0xea, 0xcd, 0x44, 0x48, 0xe2, 0x33, 0xde, 0x16, 0x03, 0x38, 0xea, 0xc3,
               0x4f, 0x0b, 0x13, 0xdb, 0xa4, 0xf2, 0x36, 0x01, 0x68, 0x4c, 0x65, 0xa2, 0xee, 0xa8,
               0x89, 0x04, 0x6d, 0xa2, 0x1e, 0x1a, 0x84, 0x72, 0x48, 0x87, 0x0f, 0x08, 0x33, 0x62,
               0x54, 0x78, 0x9c, 0xea, 0x46, 0xe4, 0xd5, 0x10, 0x0c, 0xff, 0xd4, 0x7b, 0x04, 0xe1,
               0x1f, 0x6b, 0xf4, 0xf3, 0x71, 0x9c, 0xf2, 0xbb, 0xab, 0x63, 0x72, 0x60, 0x18, 0xfa,
               0xb4, 0x0f, 0x0b, 0xbe, 0x70, 0xf9, 0x05, 0xf4, 0x8b, 0xe0, 0xe6, 0x11, 0xb1, 0x54,
               0x80, 0xaa, 0xc9, 0x94, 0x44, 0xa7, 0xfe, 0x58, 0x41, 0xd4, 0xff, 0xff, 0x7f, 0x20},
    .nonce = 0xdfcd25e5f0130514,  // 16126587510189131028
    .hash = {0x24, 0x9d, 0xe8, 0x3e, 0x6a, 0x0d, 0xf2, 0xd6, 0x57, 0x9b, 0x6c,
             0x8e, 0x26, 0xc9, 0xd7, 0xd1, 0xb7, 0x1f, 0xf0, 0xfc, 0x13, 0x46,
             0x3f, 0xa7, 0x02, 0x3d, 0xb3, 0xeb, 0x9e, 0xc2, 0xb7, 0x63},
};

bool passes_self_check(PowHashFn hash, const Arena& arena, const KnownAnswer& answer) {
    uint8_t out[HASH_BYTES];
    hash(arena, answer.header, answer.nonce, out);
    return std::memcmp(out, answer.hash, HASH_BYTES) == 0;
}

int64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool passes_self_check(const Hasher& engine, const Arena* arenas, int32_t n,
                       const KnownAnswer& answer, IntensityTiming* timing, CpuClockNs now,
                       const RunControl* control) {
    if (n <= 1) return passes_self_check(engine.one, arenas[0], answer);
    const uint8_t* headers[MAX_INTENSITY];
    uint64_t nonces[MAX_INTENSITY];
    for (int32_t i = 0; i < n; ++i) {
        headers[i] = answer.header;
        nonces[i] = answer.nonce + static_cast<uint64_t>(n - 1 - i);
    }
    const size_t bytes = HASH_BYTES * static_cast<size_t>(n);
    uint8_t group[MAX_INTENSITY][HASH_BYTES];
    uint8_t alone[MAX_INTENSITY][HASH_BYTES];
    uint8_t again[MAX_INTENSITY][HASH_BYTES];
    engine.hash(arenas, headers, nonces, group, n);
    auto one_at_a_time = [&] {
        const int64_t start = now();
        for (int32_t i = 0; i < n; ++i) engine.one(arenas[i], headers[i], nonces[i], alone[i]);
        const int64_t took = now() - start;
        return std::memcmp(alone[n - 1], answer.hash, HASH_BYTES) == 0 &&
                       std::memcmp(group, alone, bytes) == 0
                   ? took
                   : -1;
    };
    auto side_by_side = [&] {
        const int64_t start = now();
        engine.hash(arenas, headers, nonces, again, n);
        const int64_t took = now() - start;
        return std::memcmp(again, group, bytes) == 0 ? took : -1;
    };
    if (timing == nullptr) return one_at_a_time() >= 0;
    // The two kinds take turns at going first, so that a scheduler whose time slices happen to
    // line up with the passes cannot favour one kind.
    int64_t best_alone = INT64_MAX;
    int64_t best_group = INT64_MAX;
    for (int32_t round = 0; round < INTENSITY_TIMING_ROUNDS; ++round) {
        if (control != nullptr && control->stop_requested()) return true;
        int64_t a = 0;
        int64_t g = 0;
        if (round % 2 == 0) {
            a = one_at_a_time();
            g = side_by_side();
        } else {
            g = side_by_side();
            a = one_at_a_time();
        }
        if (a < 0 || g < 0) return false;
        best_alone = std::min(best_alone, a);
        best_group = std::min(best_group, g);
    }
    if (timing != nullptr) *timing = {best_alone, best_group};
    return true;
}

std::string self_check_failure_text(int32_t index, CheckedCpu where) {
    std::string thread = "thread " + std::to_string(index);
    if (where.pinned) {
        thread += " on CPU " + std::to_string(where.cpu);
    } else if (where.cpu >= 0) {
        thread += " (unpinned, last on CPU " + std::to_string(where.cpu) + ")";
    } else {
        thread += " (unpinned)";
    }
    return thread + ": wrong hash for the known answer \u2014 thread stopped";
}

void report_self_check_failure(int32_t index, CheckedCpu where, const ReportSink& report) {
    report({LineColour::red, "check", self_check_failure_text(index, where)});
}

void report_self_check_outcome(int32_t passed, int32_t failed, const ReportSink& report) {
    if (passed <= 0) return;
    report({LineColour::gray, "check",
            "known answer matched on " + std::to_string(passed) + " of " +
                std::to_string(passed + failed) + " thread(s)"});
}

void report_no_thread_passed(const ReportSink& report) {
    report({LineColour::red, "check",
            "no thread passed the self-check \u2014 the hash is wrong on this machine"});
}

}  // namespace orvo::qel
