#include "murlo/client/beat/endpoint.hpp"

#include <charconv>
#include <cstdint>

#include <boost/url/parse.hpp>

#include "murlo/proto/json.hpp"

namespace murlo::client::beat {

namespace {

// What the transport appends to the endpoint, and the registry's beat route.
constexpr std::string_view beat_path = "/v1/beat";

// A port as written: any number of digits, leading zeros included. The
// transport reads it as 16 bits, so 65536 and above would wrap onto another port.
bool port_reachable(std::string_view digits) {
    if (digits.empty()) return true;  // "host:" is port 80, like no port
    std::uint64_t port = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return ec == std::errc() && end == digits.data() + digits.size() && port >= 1 && port <= 65'535;
}

bool reachable(std::string_view endpoint) {
    std::string target(endpoint);
    target.append(beat_path);
    const auto parsed = boost::urls::parse_uri_reference(target);
    if (!parsed || !parsed->has_scheme() || parsed->scheme() != "http" || !parsed->has_authority()) return false;
    if (parsed->encoded_host().empty() || parsed->host_type() == boost::urls::host_type::ipvfuture) return false;
    if (parsed->has_port() && !port_reachable(parsed->port())) return false;
    // The registry routes on the exact path, without decoding or normalising it.
    return parsed->encoded_path() == beat_path;
}

}  // namespace

std::optional<std::string> endpoint_refusal(std::string_view endpoint) {
    if (reachable(endpoint)) return std::nullopt;
    return "endpoint must be http://host:port with a port from 1 to 65535 and nothing after it, got " +
           proto::quoted(endpoint);
}

}  // namespace murlo::client::beat
