// The accept loop: accept, spawn a connection task, repeat, whatever happens.

#include <cerrno>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "connection.hpp"
#include "murlo/registry/run.hpp"
#include "murlo/runtime/asio.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::registry::server {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Errors that repeat until some other connection closes or memory frees up:
// retrying at once would only spin a core.
bool exhausted(const boost::system::error_code& ec) {
    if (ec.category() != boost::system::system_category()) return false;
    const int v = ec.value();
    return v == EMFILE || v == ENFILE || v == ENOBUFS || v == ENOMEM;
}

constexpr std::chrono::milliseconds exhausted_pause{20};

}  // namespace

asio::awaitable<void> serve(tcp::acceptor listener, std::shared_ptr<Registry> registry) {
    const auto executor = co_await asio::this_coro::executor;
    runtime::Acceptor acceptor(std::move(listener));
    runtime::Timer pause(executor);
    for (;;) {
        // Each connection lives on one worker, socket and task alike, so its
        // work never hops threads; only wake-ups from other connections cross.
        const auto worker = runtime::next_worker(executor);
        auto [ec, stream] = co_await acceptor.async_accept(worker);
        if (ec) {
            if (exhausted(ec)) {
                pause.expires_after(exhausted_pause);
                co_await pause.async_wait();
            }
            continue;
        }
        asio::co_spawn(worker, connection(std::move(stream), registry), asio::detached);
    }
}

}  // namespace murlo::registry::server
