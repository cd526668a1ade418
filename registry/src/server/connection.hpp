#pragma once
// One accepted connection, served until it closes: HTTP/1.1 or HTTP/2, every
// request handed to handle() with its own reference of the registry.

#include <memory>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "murlo/registry/state.hpp"

namespace murlo::registry::server {

boost::asio::awaitable<void> connection(boost::asio::ip::tcp::socket stream, std::shared_ptr<Registry> registry);

}  // namespace murlo::registry::server
