#include "app/session_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/console.h"
#include "miner/self_check.h"
#include "pool/pool.h"

namespace orvo::qel::test_support {

using namespace std::chrono_literals;

RunConfig mining_config(const std::vector<std::string>& endpoints, int32_t threads) {
    RunConfig config;
    // The default list names the real pool: it is replaced, and only loopback is ever let in.
    config.pools.clear();
    for (const std::string& endpoint : endpoints) {
        std::optional<PoolEndpoint> parsed = split_pool_endpoint(endpoint);
        if (!parsed || parsed->host != "127.0.0.1") {
            std::fprintf(stderr, "test pools must be 127.0.0.1:PORT, not %s\n", endpoint.c_str());
            std::abort();
        }
        config.pools.push_back(*parsed);
    }
    config.address = "qel1testaddress";
    config.worker = "ci";
    config.threads = threads;
    config.color = false;
    return config;
}

InstalledEngine real_engine() {
    static const std::optional<InstalledEngine> engine = [] {
        RunConfig config;
        return select_engine(config);
    }();
    if (!engine) std::abort();  // every machine the tests run on has an engine
    return *engine;
}

namespace {

void stand_in_hash(const Arena&, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    const KnownAnswer& answer = SELF_CHECK_ANSWER;
    if (nonce == answer.nonce && std::memcmp(header, answer.header, HEADER_BYTES) == 0) {
        std::memcpy(out, answer.hash, HASH_BYTES);
        return;
    }
    std::this_thread::sleep_for(1ms);
    std::memset(out, 0xfe, HASH_BYTES);
}

}  // namespace

InstalledEngine stand_in_engine() {
    return InstalledEngine{EngineKind::avx2, stand_in_hash};
}

SessionSeams fast_seams() {
    SessionSeams seams;
    seams.tick = 20ms;
    seams.pool_timing.delay_unit = 20ms;
    return seams;
}

namespace {

// The threads the configuration asks for, none of them pinned: a test run must not depend on
// the machine's topology or limits.
ThreadPlan configured_plan(const RunConfig& config) {
    ThreadPlan plan;
    plan.threads = config.threads > 0 ? config.threads : 1;
    return plan;
}

}  // namespace

SessionRun::SessionRun(RunConfig config, InstalledEngine engine, SessionSeams seams)
    : SessionRun(config, engine, configured_plan(config), std::move(seams)) {}

SessionRun::SessionRun(RunConfig config, InstalledEngine engine, ThreadPlan plan,
                       SessionSeams seams)
    : config_(std::move(config)), engine_(engine), seams_(std::move(seams)) {
    for (const PoolEndpoint& pool : config_.pools) {
        if (pool.host != "127.0.0.1") {
            std::fprintf(stderr, "a test run may reach 127.0.0.1 only, not %s\n",
                         pool.text().c_str());
            std::abort();
        }
    }
    set_console_palette(false);
    std::packaged_task<int()> task(
        [this, plan] { return run_session(config_, engine_, plan, control_, seams_); });
    result_ = task.get_future();
    thread_ = std::thread(std::move(task));
}

SessionRun::~SessionRun() {
    if (!joined_) stop();
}

bool SessionRun::ended() const {
    return result_.wait_for(0s) == std::future_status::ready;
}

bool SessionRun::wait_for_output(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (output().find(needle) != std::string::npos) return true;
        if (ended()) {
            // The run's last lines may still be on their way through the console's writer.
            flush_console();
            return output().find(needle) != std::string::npos;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

int SessionRun::stop(std::chrono::milliseconds bound) {
    control_.request_stop();
    if (result_.wait_for(bound) != std::future_status::ready) {
        std::fprintf(stderr, "the run did not stop within %lld ms; its output:\n%s\n",
                     static_cast<long long>(bound.count()), output().c_str());
        std::_Exit(1);
    }
    thread_.join();
    joined_ = true;
    // Every line the run wrote is in output() from here on, the last ones included.
    flush_console();
    return result_.get();
}

}  // namespace orvo::qel::test_support
