// Interim: closes the stream until the runtime's HTTP server connection lands.

#include "connection.hpp"

namespace murlo::registry::server {

boost::asio::awaitable<void> connection(boost::asio::ip::tcp::socket stream, std::shared_ptr<Registry> registry) {
    boost::system::error_code ec;
    stream.close(ec);
    co_return;
}

}  // namespace murlo::registry::server
