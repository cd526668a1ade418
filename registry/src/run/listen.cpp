// Turning the listen text into a bound listener, and the bound address into text.

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

#include "listener.hpp"
#include "lookup.hpp"

namespace murlo::registry::listener {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

StartError invalid_input(std::string text) { return StartError{StartError::Kind::invalid_input, 0, std::move(text)}; }

// Decimal digits only, at most T's maximum.
template <class T>
std::optional<T> decimal(std::string_view text) {
    constexpr std::uint64_t max = std::numeric_limits<T>::max();
    if (text.empty()) return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
        if (n > max) return std::nullopt;
    }
    return static_cast<T>(n);
}

// "a.b.c.d:port" or "[v6]:port" / "[v6%scope]:port" with a numeric scope.
std::optional<tcp::endpoint> literal(std::string_view text) {
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        std::string_view inside = text.substr(1, close - 1);
        std::uint32_t scope = 0;
        if (const auto pct = inside.find('%'); pct != std::string_view::npos) {
            const auto s = decimal<std::uint32_t>(inside.substr(pct + 1));
            if (!s) return std::nullopt;
            scope = *s;
            inside = inside.substr(0, pct);
        }
        const auto port = decimal<std::uint16_t>(text.substr(close + 2));
        if (!port) return std::nullopt;
        in6_addr raw{};
        if (inet_pton(AF_INET6, std::string(inside).c_str(), &raw) != 1) return std::nullopt;
        asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), &raw, bytes.size());
        return tcp::endpoint(asio::ip::address_v6(bytes, scope), *port);
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto port = decimal<std::uint16_t>(text.substr(colon + 1));
    if (!port) return std::nullopt;
    in_addr raw{};
    if (inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &raw) != 1) return std::nullopt;
    return tcp::endpoint(asio::ip::address_v4(ntohl(raw.s_addr)), *port);
}

void put_hex(std::string& out, unsigned v) {
    char buf[8];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
    out.append(buf, r.ptr);
}

// RFC 5952 text: lower-case hex, the first longest run of two or more zero
// groups as "::", and IPv4-mapped addresses with a dotted tail.
std::string v6_text(const asio::ip::address_v6& address) {
    const auto bytes = address.to_bytes();
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = (unsigned(bytes[2 * i]) << 8) | bytes[2 * i + 1];
    std::string out;
    if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 && groups[5] == 0xffff) {
        out = "::ffff:";
        for (int i = 12; i < 16; ++i) {
            if (i > 12) out.push_back('.');
            out += std::to_string(bytes[i]);
        }
        return out;
    }
    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > best_len) best = i, best_len = j - i;
        i = j;
    }
    if (best_len < 2) best = -1;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            out += "::";
            i += best_len - 1;
            continue;
        }
        if (i > 0 && i != best + best_len) out.push_back(':');
        put_hex(out, groups[i]);
    }
    return out;
}

}  // namespace

StartError os_error(int errno_value) {
    char buf[256];
    const char* text = strerror_r(errno_value, buf, sizeof buf);
    return StartError{StartError::Kind::os, errno_value,
                      std::string(text) + " (os error " + std::to_string(errno_value) + ")"};
}

std::string address_text(const tcp::endpoint& endpoint) {
    const asio::ip::address address = endpoint.address();
    std::string out;
    if (address.is_v4()) {
        out = address.to_v4().to_string();
    } else {
        const auto v6 = address.to_v6();
        out = "[" + v6_text(v6);
        if (v6.scope_id() != 0) out += "%" + std::to_string(v6.scope_id());
        out += "]";
    }
    out += ":" + std::to_string(endpoint.port());
    return out;
}

asio::awaitable<std::variant<std::vector<tcp::endpoint>, StartError>> resolve(std::string text) {
    if (auto endpoint = literal(text)) co_return std::vector<tcp::endpoint>{*endpoint};
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) co_return invalid_input("invalid socket address");
    const auto port = decimal<std::uint16_t>(std::string_view(text).substr(colon + 1));
    if (!port) co_return invalid_input("invalid port value");
    auto found = co_await lookup(text.substr(0, colon), *port);
    if (auto* error = std::get_if<StartError>(&found)) co_return std::move(*error);
    auto& addresses = std::get<std::vector<tcp::endpoint>>(found);
    if (addresses.empty()) co_return invalid_input("could not resolve to any address");
    co_return std::move(addresses);
}

std::variant<tcp::acceptor, StartError> bind(const asio::any_io_executor& executor,
                                             const std::vector<tcp::endpoint>& addresses) {
    StartError last = invalid_input("could not resolve to any address");
    for (const tcp::endpoint& endpoint : addresses) {
        const int fd = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            last = os_error(errno);
            continue;
        }
        const int on = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0 || ::listen(fd, 128) != 0) {
            last = os_error(errno);
            ::close(fd);
            continue;
        }
        tcp::acceptor acceptor(executor);
        boost::system::error_code ec;
        acceptor.assign(endpoint.protocol(), fd, ec);
        if (ec) {
            ::close(fd);
            last = os_error(ec.value());
            continue;
        }
        return acceptor;
    }
    return last;
}

}  // namespace murlo::registry::listener
