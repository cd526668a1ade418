// The one place where the runtime's HTTP server meets the routes.

#include <utility>

#include "connection.hpp"
#include "murlo/registry/server.hpp"
#include "murlo/runtime/http.hpp"

namespace murlo::registry::server {

namespace asio = boost::asio;

asio::awaitable<void> connection(asio::ip::tcp::socket stream, std::shared_ptr<Registry> registry) {
    // Named, not a temporary of the co_await: g++ 12 mishandles the lifetime of
    // non-trivial temporaries there.
    runtime::HttpService routes = [registry = std::move(registry)](runtime::HttpRequest request) {
        return handle(std::move(request), registry);
    };
    co_await runtime::serve_connection(std::move(stream), std::move(routes));
}

}  // namespace murlo::registry::server
