#pragma once
// The registry service's entry point: create the registry, start the sweep,
// bind, announce the bound address, then accept connections for ever.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "murlo/registry/state.hpp"

namespace murlo::registry {

// A start-up failure: what kind, and the text the caller shows.
struct StartError {
    enum class Kind {
        invalid_input,  // "invalid socket address", "invalid port value", "could not resolve to any address"
        lookup,         // "failed to lookup address information: ..."
        os,             // "{description} (os error {errno})"
    };
    Kind kind = Kind::invalid_input;
    int code = 0;  // errno for os errors, the resolver's code for lookups, else 0
    std::string text;
};

// Called once with the bound address, after the bind and before the first accept.
using Announce = std::function<void(std::string_view address)>;

// Runs the registry service on the current executor's runtime. Never returns
// once it serves; returns only a start-up failure, before any announcement.
// Any lease is accepted here; floors are the caller's.
boost::asio::awaitable<StartError> run(std::string listen, std::uint64_t ttl_ms, Announce announce);

namespace server {

// The accept loop: one connection task per accepted socket, for ever. Accept
// errors are dropped; running out of descriptors or memory pauses briefly
// instead of spinning.
boost::asio::awaitable<void> serve(boost::asio::ip::tcp::acceptor listener, std::shared_ptr<Registry> registry);

}  // namespace server

}  // namespace murlo::registry
