#include "murlo/client/beat/loop.hpp"

#include <algorithm>
#include <exception>
#include <random>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>

#include "murlo/client/beat/wyrand.hpp"
#include "murlo/runtime/asio.hpp"

namespace murlo::client::beat {

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

namespace {

// Sleeps until `end`; with `wake_on_nudge` a raise (stored or new) ends it early.
asio::awaitable<void> sleep_until(Shared& shared, Clock::time_point end, bool wake_on_nudge) {
    runtime::Timer timer(co_await asio::this_coro::executor);
    timer.expires_at(end);
    if (wake_on_nudge)
        co_await (shared.nudge->wait() || timer.async_wait());
    else
        co_await timer.async_wait();
}

asio::awaitable<void> beat_loop(std::shared_ptr<Shared> s) {
    auto executor = co_await asio::this_coro::executor;
    runtime::H2Client client(executor, beat_client_options(loop_idle_timeout));
    std::uint64_t coin = race_seed();
    bool nudged = false;
    // The last paced wait ended because the connection closed: the next one
    // lets a closure pass, so a server that closes every connection at once
    // cannot make the member beat at every window.
    bool closure_heeded = false;
    for (;;) {
        if (s->leaving.load() && s->beats_ok.load() != 0) co_return;
        const auto beat_start = Clock::now();
        // A change made since the last beat was composed goes out in this
        // one, unheld, so that its answer (and the ack of the change) comes at
        // once; the raise it left has nothing more to announce. Nor has a
        // connection that closed before this beat picks its own.
        if (s->nudge->try_take()) nudged = true;
        client.peer_closed()->try_take();
        Composed composed = s->compose();
        const std::uint64_t hold = s->beat_hold_ms.load(std::memory_order_relaxed);
        PostResult result;
        if (nudged || hold == 0) {
            composed.beat.hold_ms = 0;
            const auto deadline = unheld_deadline_ms(s->interval_ms.load(std::memory_order_relaxed));
            result = co_await post(client, s->endpoint, composed.beat, deadline);
        } else {
            composed.beat.hold_ms = hold;
            auto op = start_post(executor, client, s->endpoint, std::move(composed.beat), held_deadline_ms(hold));
            if (co_await race(op->completion, *s->nudge, coin) == Side::signal) {
                // Cut short: the change goes out in an unheld beat once the
                // window has passed. Nudges meanwhile stay stored.
                nudged = true;
                co_await coalesce(*s, beat_start, false);
                co_await op->abandon();
                continue;
            }
            result = op->take();
        }
        nudged = false;
        auto* ack = std::get_if<proto::BeatAck>(&result);
        const bool answered = ack != nullptr;
        if (ack) {
            const bool accepted = s->record_answer(*ack, composed);
            s->acked->notify_one();
            if (!accepted) {
                s->ring();
                co_return;
            }
        } else {
            s->record_failure(std::move(std::get<std::string>(result)));
            closure_heeded = false;
        }
        s->ring();
        if (s->beat_hold_ms.load(std::memory_order_relaxed) != 0) {
            // No beat starts sooner than one window after this one began,
            // whatever is raised meanwhile: the next beat carries it.
            if (answered && s->watches_nothing()) {
                const Paced ended = co_await lease_pace(*s, beat_start, closure_heeded ? nullptr : &client);
                closure_heeded = ended == Paced::closed;
            } else {
                co_await coalesce(*s, beat_start, false);
            }
        } else {
            s->short_polls.fetch_add(1);
            const auto wait = std::clamp<std::uint64_t>(s->interval_ms.load(std::memory_order_relaxed), 50, 30'000);
            co_await sleep_until(*s, Clock::now() + std::chrono::milliseconds(wait), true);
        }
    }
}

}  // namespace

std::unique_ptr<runtime::Runtime> spawn(std::shared_ptr<Shared> shared) {
    auto rt = std::make_unique<runtime::Runtime>(runtime::RuntimeOptions{.workers = 2, .thread_name = "murlo"});
    rt->spawn(beat_loop(std::move(shared)));
    return rt;
}

asio::awaitable<void> coalesce(Shared& shared, Clock::time_point beat_start, bool wake_on_nudge) {
    const auto end = beat_start + std::chrono::milliseconds(shared.effective_coalesce_ms());
    if (Clock::now() >= end) co_return;
    co_await sleep_until(shared, end, wake_on_nudge);
}

asio::awaitable<Paced> lease_pace(Shared& shared, Clock::time_point beat_start, runtime::H2Client* closes) {
    // Nudges are not heeded within the window, as after a cut: they stay stored.
    co_await coalesce(shared, beat_start, false);
    // At most 30 s, the longest a watcher's held beat lasts: a member of a long
    // lease still rejoins a restarted registry as soon as a watcher would.
    const std::uint64_t interval = std::min<std::uint64_t>(shared.interval_ms.load(std::memory_order_relaxed), 30'000);
    const auto end = beat_start + std::chrono::milliseconds(interval);
    if (Clock::now() >= end) co_return Paced::interval;
    runtime::Timer timer(co_await asio::this_coro::executor);
    timer.expires_at(end);
    // A closed connection is most often a registry that restarted and knows
    // nothing of this member: beat again now rather than at the interval.
    runtime::Notify never;
    runtime::Notify& closed = closes ? *closes->peer_closed() : never;
    auto woke = co_await (shared.nudge->wait() || closed.wait() || timer.async_wait());
    co_return woke.index() == 0 ? Paced::nudge : woke.index() == 1 ? Paced::closed : Paced::interval;
}

std::uint64_t held_deadline_ms(std::uint64_t h) { return h + h / 2 + std::min<std::uint64_t>(h / 2, 200); }

std::uint64_t unheld_deadline_ms(std::uint64_t interval_ms) {
    return 3 * std::clamp<std::uint64_t>(interval_ms, 50, 30'000) / 4;
}

std::uint64_t race_seed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

asio::awaitable<Side> race(Completion& op, runtime::Notify& signal, std::uint64_t& rng) {
    for (;;) {
        if (wyrand(rng) & 1) {
            if (op.done) co_return Side::operation;
            if (signal.try_take()) co_return Side::signal;
        } else {
            if (signal.try_take()) co_return Side::signal;
            if (op.done) co_return Side::operation;
        }
        // Neither is ready: wait for either, then poll again. A raise the wait
        // took goes back into the permit so the next poll sees it.
        auto woke = co_await (signal.wait() || op.event->wait());
        if (woke.index() == 0) signal.notify_one();
    }
}

asio::awaitable<void> PostOperation::abandon() {
    if (!completion.done) cancel.emit(asio::cancellation_type::terminal);
    while (!completion.done) co_await completion.event->wait();
}

PostResult PostOperation::take() {
    if (result) return std::move(*result);
    return std::string("the beat ended without an answer");
}

namespace {

asio::awaitable<void> run_post(std::shared_ptr<PostOperation> op, runtime::H2Client& client, std::string endpoint,
                               proto::Beat beat, std::uint64_t reply_deadline_ms) {
    op->result = co_await post(client, endpoint, beat, reply_deadline_ms);
}

}  // namespace

std::shared_ptr<PostOperation> start_post(const asio::any_io_executor& executor, runtime::H2Client& client,
                                          std::string endpoint, proto::Beat beat, std::uint64_t reply_deadline_ms) {
    auto op = std::make_shared<PostOperation>();
    asio::co_spawn(
        executor, run_post(op, client, std::move(endpoint), std::move(beat), reply_deadline_ms),
        asio::bind_cancellation_slot(op->cancel.slot(), [op](std::exception_ptr) { op->completion.complete(); }));
    return op;
}

}  // namespace murlo::client::beat
