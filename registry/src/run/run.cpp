// The run loop: registry, sweep task, bind, announcement, accept loop.

#include <optional>

#include <time.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "listener.hpp"
#include "murlo/registry/run.hpp"
#include "murlo/runtime/runtime.hpp"
#include "sweep.hpp"

namespace murlo::registry {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The calling thread's CPU time: it stands still while the process is stopped
// or throttled, unlike the wall clock.
std::chrono::nanoseconds thread_cpu_time() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// First tick at once; a late task fires the overdue ticks back to back. A
// tick that comes well past its time means the registry itself did not run
// (its process stopped, a paused machine, starved workers): the beats of that
// time are still queued, so the leases that ran out meanwhile are not held
// against their members.
asio::awaitable<void> sweep_task(std::shared_ptr<Registry> registry, std::chrono::milliseconds period) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    SweepSchedule schedule(Clock::now(), period);
    for (;;) {
        timer.expires_at(schedule.due());
        co_await timer.async_wait(asio::use_awaitable);
        const Instant now = Clock::now();
        const std::chrono::nanoseconds cpu = thread_cpu_time();
        if (const std::optional<Instant> since = schedule.fire(now)) {
            registry->sweep_after_stall(*since, now);
        } else {
            registry->sweep(now);
        }
        // The sweep runs through without suspending, so its thread's CPU time
        // is the sweep's own.
        const std::chrono::nanoseconds ran = thread_cpu_time() - cpu;
        schedule.swept(Clock::now(), ran);
    }
}

}  // namespace

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
