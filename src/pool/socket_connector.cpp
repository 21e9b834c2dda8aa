#include "pool/socket_connector.h"

#include "pool/socks5_layer.h"
#include "pool/tcp_layer.h"
#include "pool/tls_client.h"

namespace orvo::qel {

SocketConnector::SocketConnector(const PoolTiming& timing, ResolveFn resolve, std::string ca_bundle,
                                 std::optional<ProxyConfig> proxy) {
    layers_.push_back(std::make_unique<TcpLayer>(timing, resolve, proxy));
    if (proxy) layers_.push_back(std::make_unique<Socks5Layer>(*proxy, timing, resolve));
    layers_.push_back(std::make_unique<TlsClient>(std::move(ca_bundle), timing));
}

ConnectAttempt SocketConnector::connect(const PoolEndpoint& endpoint,
                                        const std::function<bool()>& keep_going) {
    ConnectAttempt attempt;
    for (const auto& layer : layers_) {
        attempt = layer->open(std::move(attempt.transport), endpoint, keep_going);
        if (!attempt.transport) break;
    }
    return attempt;
}

}  // namespace orvo::qel
