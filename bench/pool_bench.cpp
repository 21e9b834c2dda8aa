// The pool client's bookkeeping on the connection thread's wake-up path: finding the oldest
// unanswered submit, which a deaf pool makes the set of pending replies grow for.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "pool/pending_replies.h"

namespace orvo::qel {
namespace {

void BM_oldest_pending_reply(benchmark::State& state) {
    PendingReplies pending;
    const auto t0 = PendingReplies::Clock::now();
    pending.add(1, t0);  // the login, still unanswered
    const auto count = static_cast<uint64_t>(state.range(0));
    for (uint64_t id = 2; id < 2 + count; ++id) pending.add(id, t0 + std::chrono::microseconds(id));
    for (auto _ : state) benchmark::DoNotOptimize(pending.oldest_after(1));
}
BENCHMARK(BM_oldest_pending_reply)->Arg(10)->Arg(1000)->Arg(19000);

}  // namespace
}  // namespace orvo::qel
