#include "murlo/client/beat/lifecycle.hpp"

#include <algorithm>
#include <string>

#include <boost/asio/this_coro.hpp>

#include "murlo/client/beat/loop.hpp"

namespace murlo::client::beat {

namespace asio = boost::asio;

void run_directly(const std::function<void()>& work) { work(); }

asio::awaitable<bool> beat_once(std::shared_ptr<Shared> s, std::uint64_t budget_ms, bool wait_for_loop) {
    if (wait_for_loop && s->beats_ok.load() != 0) co_return true;
    auto executor = co_await asio::this_coro::executor;
    runtime::H2Client client(executor, beat_client_options(bounded_idle_timeout));
    Composed composed = s->compose();
    composed.beat.hold_ms = 0;
    PostResult result;
    if (wait_for_loop) {
        std::uint64_t coin = race_seed();
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
        s->record_answer(*ack, composed);
        s->ring();
        co_return true;
    }
    s->record_failure(std::move(std::get<std::string>(result)));
    s->ring();
    co_return wait_for_loop && s->beats_ok.load() != 0;
}

namespace {

// Leave's end, on a runtime taken from the client or never stored: the final
// beat when an answer was ever counted, then a shutdown without waiting.
void end_runtime(Client& client, std::unique_ptr<runtime::Runtime> rt, const Unlocked& unlocked) {
    try {
        if (client.shared->beats_ok.load() != 0)
            unlocked([&] { rt->block_on(beat_once(client.shared, 5'000, false)); });
    } catch (...) {
        rt->shutdown_background();
        throw;
    }
    rt->shutdown_background();
}

}  // namespace

bool start(Client& client, std::uint64_t budget_ms, const Unlocked& unlocked) {
    client.refuse_left();
    client.claim_runtime();
    std::unique_ptr<runtime::Runtime> fresh = spawn(client.shared);
    const std::uint64_t budget = std::max<std::uint64_t>(budget_ms, 1);
    bool answered = false;
    try {
        unlocked([&] { answered = fresh->block_on(beat_once(client.shared, budget, true)); });
    } catch (...) {
        fresh->shutdown();
        throw;
    }
    std::unique_ptr<runtime::Runtime> unstored = client.store_runtime(std::move(fresh));
    if (!unstored) return answered;
    // A leave on another thread came while this call beat and found no runtime
    // to end: the member it may just have registered leaves from here.
    end_runtime(client, std::move(unstored), unlocked);
    throw LeftPool();
}

void leave(Client& client, const Unlocked& unlocked) {
    if (std::unique_ptr<runtime::Runtime> rt = client.take_for_leave()) end_runtime(client, std::move(rt), unlocked);
}

void abandon(Client& client) {
    if (std::unique_ptr<runtime::Runtime> rt = client.take_runtime()) rt->abandon();
}

}  // namespace murlo::client::beat
