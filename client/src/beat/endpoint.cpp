#include "murlo/client/beat/endpoint.hpp"

#include <charconv>
#include <cstdint>

#include <boost/url/parse.hpp>

#include "murlo/proto/json.hpp"

namespace murlo::client::beat {

namespace {

// A port as written: any number of digits, leading zeros included. The
// transport reads it as 16 bits, so 65536 and above would wrap onto another port.
bool port_reachable(std::string_view digits) {
    if (digits.empty()) return true;  // "host:" is port 80, like no port
    std::uint64_t port = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return ec == std::errc() && end == digits.data() + digits.size() && port >= 1 && port <= 65'535;
}

bool reachable(std::string_view endpoint) {
    // The transport appends "/v1/beat" to the text as it is, so the endpoint
    // itself must be the whole base: a query or a fragment would swallow the
    // route, and a trailing slash would double the one in front of it.
    const auto parsed = boost::urls::parse_uri(endpoint);
    if (!parsed || parsed->scheme() != "http" || !parsed->has_authority()) return false;
    if (parsed->encoded_host().empty() || parsed->host_type() == boost::urls::host_type::ipvfuture) return false;
    if (parsed->has_port() && !port_reachable(parsed->port())) return false;
    if (parsed->has_query() || parsed->has_fragment()) return false;
    // After an authority a path is empty or starts with "/" (this parser also
    // takes "host:8a" as port 8 and path "a"); a proxy in front of the
    // registry may route on it.
    const std::string_view path = parsed->encoded_path();
    if (path.empty()) return true;
    return path.starts_with('/') && !path.ends_with('/');
}

}  // namespace

std::optional<std::string> endpoint_refusal(std::string_view endpoint) {
    if (reachable(endpoint)) return std::nullopt;
    return "endpoint must be http://host[:port][/path] with a port from 1 to 65535, a path that does not end in "
           "\"/\", and no query or fragment, got " +
           proto::quoted(endpoint);
}

}  // namespace murlo::client::beat
