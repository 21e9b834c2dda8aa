#include "pool/resolver.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace orvo::qel {
namespace {

// Shared by the waiting caller and the helper thread; whichever leaves last frees it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;       // guarded by mutex
    bool abandoned = false;  // guarded by mutex; the helper then frees the list itself
    addrinfo* list = nullptr;
};

}  // namespace

int system_resolve(const char* host, const char* service, const addrinfo* hints, addrinfo** out) {
    return getaddrinfo(host, service, hints, out);
}

AddressList resolve_abandonable(const ResolveFn& resolve, const std::string& host,
                                const std::string& service,
                                const std::function<bool()>& keep_waiting,
                                std::chrono::milliseconds slice) {
    auto lookup = std::make_shared<Lookup>();
    try {
        // The helper owns copies of everything it reads: the caller may be gone when it ends.
        std::thread([lookup, resolve, host, service] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* list = nullptr;
            if (resolve(host.c_str(), service.c_str(), &hints, &list) != 0) list = nullptr;
            std::lock_guard<std::mutex> lock(lookup->mutex);
            if (lookup->abandoned) {
                AddrinfoDeleter{}(list);
                return;
            }
            lookup->list = list;
            lookup->done = true;
            lookup->answered.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }

    std::unique_lock<std::mutex> lock(lookup->mutex);
    for (;;) {
        if (lookup->answered.wait_for(lock, slice, [&] { return lookup->done; })) {
            return AddressList(lookup->list);
        }
        if (!keep_waiting()) {
            lookup->abandoned = true;
            return nullptr;
        }
    }
}

}  // namespace orvo::qel
