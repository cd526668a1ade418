#pragma once
// The beat loop: the client's runtime and the one task on it that keeps the
// lease and the cache current. Each pass composes, posts, applies the answer,
// rings the bell and waits; a held beat races the nudge, which cuts it short.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include "murlo/client/beat/shared.hpp"
#include "murlo/client/beat/transport.hpp"
#include "murlo/runtime/notify.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::client::beat {

// Builds the client's runtime (exactly 2 workers; every thread it starts is
// named "murlo") and starts the beat loop on it, detached. Throws
// std::system_error when the runtime cannot be built.
std::unique_ptr<runtime::Runtime> spawn(std::shared_ptr<Shared> shared);

// Waits out the rest of the coalescing window, min(interval, coalesce_ms,
// 30000) ms since `beat_start`; with `wake_on_nudge` a raise ends it early.
// With no time left it returns without waiting, so a stored raise stays stored.
boost::asio::awaitable<void> coalesce(Shared& shared, std::chrono::steady_clock::time_point beat_start,
                                      bool wake_on_nudge);

// How a paced wait ended.
enum class Paced { interval, nudge, closed };

// The wait after an answered beat of a member that watches nothing: the
// registry answers its held beats at once, so it waits out the rest of its
// interval (since `beat_start`, at most 30 s) to beat about four times a
// lease. A raise ends the wait early, and so does a connection of `closes`
// that the server ended (when given), but neither before the coalescing
// window has passed.
boost::asio::awaitable<Paced> lease_pace(Shared& shared, std::chrono::steady_clock::time_point beat_start,
                                         runtime::H2Client* closes = nullptr);

// Reply deadlines: h + h/2 + min(h/2, 200) for a held beat of hold h,
// 3*clamp(interval, 50, 30000)/4 for an unheld one.
std::uint64_t held_deadline_ms(std::uint64_t hold_ms);
std::uint64_t unheld_deadline_ms(std::uint64_t interval_ms);

// The end of an operation running beside its owner, which a race can poll
// without consuming anything.
struct Completion {
    bool done = false;
    std::shared_ptr<runtime::Notify> event = std::make_shared<runtime::Notify>();
    void complete() {
        done = true;
        event->notify_one();
    }
};

enum class Side { operation, signal };

// A seed from the system's random source for the draws of `race`.
std::uint64_t race_seed();

// Waits until `op` has completed or `signal` is raised. Every poll draws which
// side it looks at first (from `rng`), so sides ready together each win about
// half the time. A raise is consumed only when the signal side wins.
// Run it on a strand (it races two waits).
boost::asio::awaitable<Side> race(Completion& op, runtime::Notify& signal, std::uint64_t& rng);

// A post running as a task of its own, so it can be raced and cancelled later.
struct PostOperation {
    Completion completion;
    std::optional<PostResult> result;
    boost::asio::cancellation_signal cancel;

    // Abandons the post (resetting its stream) and waits until its task is gone.
    boost::asio::awaitable<void> abandon();
    // The result once `completion.done`; a task that ended by an exception reads as a failure.
    PostResult take();
};

// Starts `post` on `executor` (the caller's strand). `client` must outlive the task.
std::shared_ptr<PostOperation> start_post(const boost::asio::any_io_executor& executor, runtime::H2Client& client,
                                          std::string endpoint, proto::Beat beat, std::uint64_t reply_deadline_ms);

}  // namespace murlo::client::beat
