// The long-poll hold of a beat: park, check, wait on the wake-up handle or the
// deadline, and again after every wake-up, until a watched pool has news or
// the hold has run out.

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "murlo/registry/server.hpp"
#include "murlo/runtime/notify.hpp"

namespace murlo::registry::server {

namespace asio = boost::asio;

bool held(const Registry& registry, const proto::Beat& beat, const SharedBeatAck& answer) {
    return hold_for(registry.ttl_ms(), beat.hold_ms) != 0 && answer.accepted && answer.pools.empty() &&
           !beat.watch.empty();
}

asio::awaitable<SharedBeatAck> hold(Registry& registry, const proto::Beat& beat) {
    SharedBeatAck answer = registry.beat_shared(beat);
    if (held(registry, beat, answer)) co_await hold_on(registry, beat, answer);
    co_return answer;
}

asio::awaitable<void> hold_on(Registry& registry, const proto::Beat& beat, SharedBeatAck& answer) {
    const std::uint64_t lasts = hold_for(registry.ttl_ms(), beat.hold_ms);
    const Instant deadline = deadline_after(Clock::now(), Lease(lasts + spread_for(beat.id, lasts)));
    // Only this frame holds the handle: the pools keep weak references, which
    // die with it when the hold ends or the request is abandoned.
    const auto notify = std::make_shared<runtime::Notify>();
    // The deadline rings the same handle as a change does, so that one wait
    // serves both and no race of two waits is set up (and torn down) per hold.
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    timer.async_wait([weak = std::weak_ptr<runtime::Notify>(notify)](const boost::system::error_code& ec) {
        if (ec) return;
        if (auto handle = weak.lock()) handle->notify_one();
    });
    bool woken = false;
    for (;;) {
        // Woken, there is usually news: look without the write lock first.
        // Past the deadline that look is the last one: the hold is answered
        // as it stands and parks nowhere again.
        if (woken) {
            SharedDeltas deltas = registry.deltas_shared_for(beat);
            if (!deltas.empty()) {
                answer.pools = std::move(deltas);
                break;
            }
            if (Clock::now() >= deadline) break;
        }
        // Registering before the check: a change in between leaves a permit.
        SharedDeltas deltas = registry.park_and_check(beat, notify);
        if (!deltas.empty()) {
            answer.pools = std::move(deltas);
            break;
        }
        woken = true;
        // A pending notification counts even once the deadline has passed.
        if (notify->try_take()) continue;
        if (Clock::now() >= deadline) break;
        // A cancelled request throws out of the wait.
        co_await notify->wait();
    }
}

}  // namespace murlo::registry::server
