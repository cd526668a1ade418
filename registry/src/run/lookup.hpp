#pragma once
// Name lookup for the listen address, off the runtime's workers.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "murlo/registry/run.hpp"

namespace murlo::registry::listener {

// getaddrinfo(host) for stream sockets, each address with `port`, in the
// resolver's order; its failure as "failed to lookup address information: ...".
boost::asio::awaitable<std::variant<std::vector<boost::asio::ip::tcp::endpoint>, StartError>> lookup(
    std::string host, std::uint16_t port);

}  // namespace murlo::registry::listener
