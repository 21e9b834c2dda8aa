// The stand-in pool: a loopback pool speaking the miner's protocol, for tests and demos.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "judge.h"
#include "miner/engine.h"
#include "options.h"
#include "server.h"
#include "tls_server.h"

namespace {

std::atomic<bool> stop_flag{false};

void on_signal(int) {
    stop_flag = true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orvo::qel;
    standin::Options options;
    bool help = false;
    std::string error;
    if (!standin::parse_options(argc, argv, options, help, error)) {
        std::fprintf(stderr, "standin_pool: %s\n%s", error.c_str(), standin::usage_text());
        return 2;
    }
    if (help) {
        std::fputs(standin::usage_text(), stdout);
        return 0;
    }

    const EngineChoice choice = choose_engine(detect_cpu_features(), engine_named(options.engine));
    if (!choice.engine) {
        std::fprintf(stderr, "standin_pool: %s\n", choice.error.c_str());
        return 1;
    }
    const PowHashFn hash = install_engine(*choice.engine, StoreMode::ordinary);
    void* arena_memory = std::aligned_alloc(4096, ARENA_BYTES);
    if (hash == nullptr || arena_memory == nullptr) {
        std::fprintf(stderr, "standin_pool: cannot set up the hash\n");
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<standin::TlsServer> tls;
    if (!options.tls_cert.empty()) {
        tls = standin::TlsServer::load(options.tls_cert, options.tls_key, error);
        if (!tls) {
            std::fprintf(stderr, "standin_pool: %s\n", error.c_str());
            return 1;
        }
    }

    int status = 0;
    standin::ShareJudge judge(hash, Arena{arena_memory, false});
    {
        standin::Server server(options, judge, tls.get());
        if (server.listen_loopback()) {
            server.run(stop_flag);
        } else {
            status = 1;
        }
    }
    std::printf("valid %llu invalid %llu duplicate %llu\n",
                static_cast<unsigned long long>(judge.valid()),
                static_cast<unsigned long long>(judge.invalid()),
                static_cast<unsigned long long>(judge.duplicates()));
    std::fflush(stdout);
    std::free(arena_memory);
    return status;
}
