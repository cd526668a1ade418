#pragma once
// The steps of run: the listen text turned into addresses, the bind, and the
// texts of the bound address and of failures.

#include <string>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "murlo/registry/run.hpp"

namespace murlo::registry {

namespace listener {

// The addresses to try for `text`: a literal socket address as is, otherwise
// host and port split at the last ":" and the host looked up off the workers.
boost::asio::awaitable<std::variant<std::vector<boost::asio::ip::tcp::endpoint>, StartError>> resolve(std::string text);

// The first address that binds and listens (address reuse, backlog 128), or the last failure.
std::variant<boost::asio::ip::tcp::acceptor, StartError> bind(
    const boost::asio::any_io_executor& executor, const std::vector<boost::asio::ip::tcp::endpoint>& addresses);

// 127.0.0.1:8080, [::1]:8080, [fe80::1%2]:8080
std::string address_text(const boost::asio::ip::tcp::endpoint& endpoint);

// "{description} (os error {errno})"
StartError os_error(int errno_value);

}  // namespace listener

}  // namespace murlo::registry
