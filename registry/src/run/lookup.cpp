// The runtime's resolver, its failure in the text the caller shows.

#include <cerrno>
#include <netdb.h>

#include "lookup.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::registry::listener {

namespace asio = boost::asio;
using asio::ip::tcp;

asio::awaitable<std::variant<std::vector<tcp::endpoint>, StartError>> lookup(std::string host, std::uint16_t port) {
    runtime::Lookup found = co_await runtime::lookup_host(std::move(host), port);
    if (auto* error = std::get_if<runtime::LookupError>(&found)) {
        co_return StartError{StartError::Kind::lookup, error->code,
                             "failed to lookup address information: " + error->text};
    }
    co_return std::move(std::get<std::vector<tcp::endpoint>>(found));
}

}  // namespace murlo::registry::listener
