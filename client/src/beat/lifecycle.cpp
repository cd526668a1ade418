#include "murlo/client/beat/lifecycle.hpp"

#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>

#include <boost/asio/this_coro.hpp>

#include "murlo/client/beat/loop.hpp"

namespace murlo::client::beat {

namespace asio = boost::asio;

void run_directly(const std::function<void()>& work) { work(); }

namespace {

// Under the runtime field's mutex: refuses a runtime inherited through fork.
void refuse_inherited(const Client& client, int here) {
    const int built = client.runtime_pid.load();
    if (!client.runtime.value || built == here) return;
    throw InheritedRuntime("this client's runtime was started by process " + std::to_string(built) +
                           " and this is process " + std::to_string(here) +
                           ", a fork of it, where that runtime's threads do not exist. Call abandon() first; "
                           "start() then builds a fresh runtime.");
}

}  // namespace

asio::awaitable<bool> beat_once(std::shared_ptr<Shared> s, std::uint64_t budget_ms, bool wait_for_loop) {
    if (wait_for_loop && s->beats_ok.load() != 0) co_return true;
    auto executor = co_await asio::this_coro::executor;
    runtime::H2Client client(executor, beat_client_options(bounded_idle_timeout));
    Composed composed = s->compose();
    composed.beat.hold_ms = 0;
    PostResult result;
    if (wait_for_loop) {
        std::random_device device;
        std::uint64_t coin = (static_cast<std::uint64_t>(device()) << 32) ^ device();
        auto op = start_post(executor, client, s->endpoint, std::move(composed.beat), budget_ms);
        if (co_await race(op->completion, *s->acked, coin) == Side::signal) {
            // The loop was answered first: that answer is recorded and rung already.
            co_await op->abandon();
            co_return true;
        }
        result = op->take();
    } else {
        result = co_await post(client, s->endpoint, composed.beat, budget_ms);
    }
    if (auto* ack = std::get_if<proto::BeatAck>(&result)) {
        record_answer(*s, *ack, composed);
        s->ring();
        co_return true;
    }
    record_failure(*s, std::move(std::get<std::string>(result)));
    s->ring();
    co_return wait_for_loop && s->beats_ok.load() != 0;
}

bool start(Client& client, std::uint64_t budget_ms, const Unlocked& unlocked) {
    {
        std::lock_guard lock(client.runtime.mutex);
        const int here = ::getpid();
        refuse_inherited(client, here);
        // The first runtime of a forked child: no task of this process waits
        // on the signals yet, but the parent's tasks are listed there.
        const int built = client.runtime_pid.exchange(here);
        if (built != 0 && built != here) client.shared->renew_signals();
    }
    std::unique_ptr<runtime::Runtime> fresh = spawn(client.shared);
    const std::uint64_t budget = std::max<std::uint64_t>(budget_ms, 1);
    bool answered = false;
    try {
        unlocked([&] { answered = fresh->block_on(beat_once(client.shared, budget, true)); });
    } catch (...) {
        fresh->shutdown();
        throw;
    }
    std::lock_guard lock(client.runtime.mutex);
    std::unique_ptr<runtime::Runtime> earlier = std::exchange(client.runtime.value, std::move(fresh));
    // Two loops beat with one identity until here; the earlier one stops now.
    if (earlier) earlier->shutdown();
    return answered;
}

void leave(Client& client, const Unlocked& unlocked) {
    std::unique_ptr<runtime::Runtime> rt;
    {
        std::lock_guard lock(client.runtime.mutex);
        refuse_inherited(client, ::getpid());
        client.shared->leaving.store(true);
        rt = std::move(client.runtime.value);
    }
    if (!rt) return;
    try {
        if (client.shared->beats_ok.load() != 0)
            unlocked([&] { rt->block_on(beat_once(client.shared, 5'000, false)); });
    } catch (...) {
        rt->shutdown_background();
        throw;
    }
    rt->shutdown_background();
}

void abandon(Client& client) {
    std::unique_ptr<runtime::Runtime> rt;
    {
        std::lock_guard lock(client.runtime.mutex);
        rt = std::move(client.runtime.value);
    }
    if (rt) rt->abandon();
}

}  // namespace murlo::client::beat
