// The miner's way to a pool, built as a chain of layers over this machine's sockets: TCP (to the
// pool, or to the proxy), then the SOCKS5 proxy's tunnel when one is configured, then TLS for a
// TLS endpoint. The chain is put together here and nowhere else.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pool/pool_timing.h"
#include "pool/proxy.h"
#include "pool/resolver.h"
#include "pool/transport.h"

namespace orvo::qel {

class SocketConnector : public Connector {
  public:
    // `ca_bundle`: the CA certificates that TLS chains are verified against; empty: the
    // system's, found when the first unpinned TLS pool needs them (find_ca_bundle). `proxy`:
    // the SOCKS5 proxy that every pool is reached through.
    explicit SocketConnector(const PoolTiming& timing, ResolveFn resolve = system_resolve,
                             std::string ca_bundle = {}, std::optional<ProxyConfig> proxy = {});
    ConnectAttempt connect(const PoolEndpoint& endpoint,
                           const std::function<bool()>& keep_going) override;

  private:
    std::vector<std::unique_ptr<ConnectionLayer>> layers_;  // the bottom first
};

}  // namespace orvo::qel
