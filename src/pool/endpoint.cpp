#include "pool/endpoint.h"

#include "base/hex.h"

namespace orvo::qel {

std::string host_port_text(const std::string& host, uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string PoolEndpoint::text() const {
    return host_port_text(host, port);
}

std::optional<Fingerprint> parse_fingerprint(const std::string& text) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        // A colon only between two pairs: "ab:cd", never "a:bcd", ":ab" or "ab::cd".
        if (text[i] == ':' && i % 3 == 2 && i + 1 < text.size()) continue;
        digits.push_back(text[i]);
    }
    const bool colons = text.find(':') != std::string::npos;
    if (colons && text.size() != 3 * 32 - 1) return std::nullopt;
    Fingerprint fp{};
    if (!decode_hex_exact(digits, fp.data(), fp.size())) return std::nullopt;
    return fp;
}

std::string fingerprint_hex(const Fingerprint& fingerprint) {
    return to_hex(fingerprint.data(), fingerprint.size());
}

}  // namespace orvo::qel
