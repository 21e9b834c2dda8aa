// The first layer of every connection: a name lookup that a stop does not wait for, then a
// non-blocking TCP connect to each address in turn, each within the connect deadline. It
// connects to the pool, or to the proxy when there is one (and then says so when it fails:
// the pool itself was never tried).
#pragma once

#include <memory>
#include <optional>

#include "pool/pool_timing.h"
#include "pool/proxy.h"
#include "pool/resolver.h"
#include "pool/transport.h"

namespace orvo::qel {

class TcpLayer : public ConnectionLayer {
  public:
    TcpLayer(const PoolTiming& timing, ResolveFn resolve, std::optional<ProxyConfig> proxy = {});
    ConnectAttempt open(std::unique_ptr<Transport> below, const PoolEndpoint& pool,
                        const std::function<bool()>& keep_going) override;

  private:
    int connect_tcp(const std::string& host, uint16_t port,
                    const std::function<bool()>& keep_going);

    const PoolTiming timing_;
    const ResolveFn resolve_;
    const std::optional<ProxyConfig> proxy_;
};

// A plain TCP transport over a connected non-blocking socket, which it owns and closes.
std::unique_ptr<Transport> plain_transport(int fd);

}  // namespace orvo::qel
