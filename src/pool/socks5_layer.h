// A SOCKS5 proxy's tunnel to the pool (RFC 1928), over the TCP connection to the proxy: the
// method negotiation, username/password authentication when configured (RFC 1929), and the
// CONNECT request, the whole exchange within the connect deadline. With socks5 the pool's name
// is resolved here and the proxy gets an address; with socks5h the proxy gets the name.
//
// The replies are read to their exact length and no further, so bytes the pool sends right
// behind the proxy's reply stay in the socket for the layers above.
#pragma once

#include <memory>

#include "pool/pool_timing.h"
#include "pool/proxy.h"
#include "pool/resolver.h"
#include "pool/transport.h"

namespace orvo::qel {

class Socks5Layer : public ConnectionLayer {
  public:
    Socks5Layer(ProxyConfig proxy, const PoolTiming& timing, ResolveFn resolve);
    // Every failure is one line naming the proxy, the pool and the cause.
    ConnectAttempt open(std::unique_ptr<Transport> below, const PoolEndpoint& pool,
                        const std::function<bool()>& keep_going) override;

  private:
    const ProxyConfig proxy_;
    const PoolTiming timing_;
    const ResolveFn resolve_;
};

// What a SOCKS5 reply code means (RFC 1928, 6), e.g. "connection refused (reply 5)".
std::string socks5_reply_text(unsigned char code);

}  // namespace orvo::qel
