// The miner's way to a pool: a name lookup that a stop does not wait for, a non-blocking TCP
// connect to each address in turn, each within the connect deadline, and for a TLS endpoint the
// handshake and the certificate check (tls_client.h).
#pragma once

#include <memory>
#include <string>

#include "pool/pool_timing.h"
#include "pool/resolver.h"
#include "pool/tls_client.h"
#include "pool/transport.h"

namespace orvo::qel {

class SocketConnector : public Connector {
  public:
    // `ca_bundle`: the CA certificates that TLS chains are verified against; empty: the
    // system's, found when the first unpinned TLS pool needs them (find_ca_bundle).
    explicit SocketConnector(const PoolTiming& timing, ResolveFn resolve = system_resolve,
                             std::string ca_bundle = {});
    ConnectAttempt connect(const PoolEndpoint& endpoint,
                           const std::function<bool()>& keep_going) override;

  private:
    int connect_tcp(const PoolEndpoint& endpoint, const std::function<bool()>& keep_going);

    const PoolTiming timing_;
    const ResolveFn resolve_;
    TlsClient tls_;
};

// A plain TCP transport over a connected non-blocking socket, which it owns and closes.
std::unique_ptr<Transport> plain_transport(int fd);

}  // namespace orvo::qel
