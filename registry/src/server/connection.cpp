// The one place where the runtime's HTTP server meets the routes.

#include <utility>

#include "connection.hpp"
#include "murlo/registry/server.hpp"
#include "murlo/runtime/http.hpp"

namespace murlo::registry::server {

namespace asio = boost::asio;

namespace {

asio::awaitable<runtime::HttpResponse> service(runtime::HttpRequest request, std::shared_ptr<Registry> registry) {
    auto read = std::move(request.read_body);
    Request routed{request.method, request.target,
                   [&read](std::size_t limit) -> asio::awaitable<std::optional<std::string>> {
                       runtime::Body body = co_await read(limit);
                       if (auto* bytes = std::get_if<std::string>(&body)) co_return std::move(*bytes);
                       co_return std::nullopt;
                   }};
    Response response = co_await handle(std::move(routed), std::move(registry));
    co_return runtime::HttpResponse{response.status, content_type, std::move(response.body)};
}

}  // namespace

asio::awaitable<void> connection(asio::ip::tcp::socket stream, std::shared_ptr<Registry> registry) {
    // Named, not a temporary of the co_await: g++ 12 mishandles the lifetime of
    // non-trivial temporaries there.
    runtime::HttpService routes = [registry = std::move(registry)](runtime::HttpRequest request) {
        // One registry reference per request, released when it ends.
        return service(std::move(request), registry);
    };
    co_await runtime::serve_connection(std::move(stream), std::move(routes));
}

}  // namespace murlo::registry::server
