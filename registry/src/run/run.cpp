// The run loop: registry, sweep task, bind, announcement, accept loop.

#include <algorithm>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "listener.hpp"
#include "murlo/registry/run.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::registry {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// First tick at once; a late task fires the overdue ticks back to back. A
// tick that comes well past its period means the registry itself did not run
// (its process stopped, a paused machine, starved workers): the beats of that
// time are still queued, so the leases that ran out meanwhile are not held
// against their members.
asio::awaitable<void> sweep_task(std::shared_ptr<Registry> registry, std::chrono::milliseconds period) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto late = stall_after(period);
    auto next = Clock::now();
    auto last = next;
    for (;;) {
        timer.expires_at(next);
        co_await timer.async_wait(asio::use_awaitable);
        const Instant now = Clock::now();
        if (now - last > late) {
            registry->sweep_after_stall(last, now);
        } else {
            registry->sweep(now);
        }
        last = now;
        next += period;
    }
}

}  // namespace

std::chrono::milliseconds sweep_period(std::uint64_t ttl_ms) {
    return std::chrono::milliseconds(std::clamp<std::uint64_t>(ttl_ms / 4, 50, 1000));
}

std::chrono::milliseconds stall_after(std::chrono::milliseconds period) { return period * 9 / 4; }

asio::awaitable<StartError> run(std::string listen, std::uint64_t ttl_ms, Announce announce) {
    auto executor = co_await asio::this_coro::executor;
    auto registry = std::make_shared<Registry>(ttl_ms);
    // Before the bind: the sweep runs even when the bind then fails. A worker
    // of its own when there are several, away from the accept loop.
    asio::co_spawn(runtime::next_worker(executor), sweep_task(registry, sweep_period(ttl_ms)), asio::detached);

    auto resolved = co_await listener::resolve(std::move(listen));
    if (auto* error = std::get_if<StartError>(&resolved)) co_return std::move(*error);
    auto bound = listener::bind(executor, std::get<std::vector<tcp::endpoint>>(resolved));
    if (auto* error = std::get_if<StartError>(&bound)) co_return std::move(*error);
    tcp::acceptor& acceptor = std::get<tcp::acceptor>(bound);

    boost::system::error_code ec;
    const tcp::endpoint local = acceptor.local_endpoint(ec);
    if (ec) co_return listener::os_error(ec.value());
    announce(listener::address_text(local));
    co_await server::serve(std::move(acceptor), std::move(registry));
    co_return StartError{};  // not reached: serving never ends
}

}  // namespace murlo::registry
