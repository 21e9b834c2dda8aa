// Name resolution that a stop does not have to wait for. getaddrinfo cannot be interrupted and,
// with a name server that never answers, blocks for its whole retry schedule (tens of seconds
// with several servers). The lookup therefore runs on a helper thread of its own; the caller
// waits in short slices and may walk away, and an answer that comes after that is freed by the
// helper.
#pragma once

#include <netdb.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace orvo::qel {

// getaddrinfo's contract: 0 and a list to release with freeaddrinfo, or an EAI_ code.
using ResolveFn = std::function<int(const char* host, const char* service, const addrinfo* hints,
                                    addrinfo** out)>;

// The system resolver.
int system_resolve(const char* host, const char* service, const addrinfo* hints, addrinfo** out);

struct AddrinfoDeleter {
    void operator()(addrinfo* list) const {
        if (list != nullptr) freeaddrinfo(list);
    }
};
using AddressList = std::unique_ptr<addrinfo, AddrinfoDeleter>;

// Resolves host and service (any family, stream sockets). Returns the addresses, or null when
// the name does not resolve, the helper thread cannot be created, or `keep_waiting` returned
// false before the answer came (it is asked once per `slice`).
AddressList resolve_abandonable(const ResolveFn& resolve, const std::string& host,
                                const std::string& service,
                                const std::function<bool()>& keep_waiting,
                                std::chrono::milliseconds slice);

}  // namespace orvo::qel
