#include "pool/proxy.h"

#include "base/hex.h"

namespace orvo::qel {
namespace {

// %XX escapes decoded; nothing when a '%' is not followed by two hex digits.
std::optional<std::string> percent_decode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        const int hi = i + 2 < text.size() ? hex_digit_value(text[i + 1]) : -1;
        const int lo = hi >= 0 ? hex_digit_value(text[i + 2]) : -1;
        if (lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

}  // namespace

std::string ProxyConfig::text() const {
    // The user as it would be written in the URL, so the text reads back as the same proxy.
    std::string shown;
    for (char c : user) {
        if (c == '%' || c == ':' || c == '@') {
            static constexpr char HEX[] = "0123456789ABCDEF";
            shown += '%';
            shown += HEX[static_cast<unsigned char>(c) >> 4];
            shown += HEX[static_cast<unsigned char>(c) & 15];
        } else {
            shown += c;
        }
    }
    return std::string(remote_dns ? "socks5h://" : "socks5://") +
           (user.empty() ? "" : shown + "@") + host_port_text(host, port);
}

std::optional<ProxyConfig> parse_proxy_url(const std::string& url, std::string* error) {
    auto fail = [&](const char* why) -> std::optional<ProxyConfig> {
        if (error != nullptr) *error = why;
        return std::nullopt;
    };
    ProxyConfig proxy;
    std::string rest;
    if (url.rfind("socks5://", 0) == 0) {
        rest = url.substr(9);
    } else if (url.rfind("socks5h://", 0) == 0) {
        proxy.remote_dns = true;
        rest = url.substr(10);
    } else {
        return fail("expected socks5://[user:password@]host:port or socks5h://...");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    // The last '@' ends the credentials: an '@' in the host part is no host name.
    if (const size_t at = rest.rfind('@'); at != std::string::npos) {
        const std::string userinfo = rest.substr(0, at);
        rest = rest.substr(at + 1);
        const size_t colon = userinfo.find(':');
        const auto user = percent_decode(userinfo.substr(0, colon));
        const auto password =
            percent_decode(colon == std::string::npos ? "" : userinfo.substr(colon + 1));
        if (!user || !password) return fail("a '%' in the user or password is not %XX");
        if (user->empty() || user->size() > 255 || password->size() > 255) {
            return fail("the user must have 1 to 255 bytes, the password at most 255");
        }
        proxy.user = *user;
        proxy.password = *password;
    }
    std::string port_text;
    const bool bracketed = !rest.empty() && rest.front() == '[';
    if (bracketed) {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return fail("an IPv6 address needs its closing ']'");
        proxy.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return fail("expected ':' and the port after ']'");
            port_text = rest.substr(close + 2);
            if (port_text.empty()) return fail("the port must be a number from 1 to 65535");
        }
    } else if (const size_t colon = rest.rfind(':'); colon != std::string::npos) {
        proxy.host = rest.substr(0, colon);
        port_text = rest.substr(colon + 1);
        if (port_text.empty()) return fail("the port must be a number from 1 to 65535");
    } else {
        proxy.host = rest;
    }
    if (proxy.host.empty() || proxy.host.find_first_of("/?#[]") != std::string::npos) {
        return fail("no proxy host");
    }
    if (!bracketed && proxy.host.find(':') != std::string::npos) {
        return fail("an IPv6 address goes in brackets: [::1]:1080");
    }
    if (!port_text.empty()) {
        uint32_t port = 0;
        for (char c : port_text) {
            if (c < '0' || c > '9' || (port = port * 10 + static_cast<uint32_t>(c - '0')) > 65535) {
                return fail("the port must be a number from 1 to 65535");
            }
        }
        if (port == 0) return fail("the port must be a number from 1 to 65535");
        proxy.port = static_cast<uint16_t>(port);
    }
    return proxy;
}

}  // namespace orvo::qel
