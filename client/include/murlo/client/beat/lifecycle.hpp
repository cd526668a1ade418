#pragma once
// The client's runtime over its life: start builds it and runs one bounded
// beat on the calling thread, leave sends a final beat and shuts it down,
// abandon forgets it (a forked child). The bounded beat itself is beat_once.

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "murlo/client/beat/shared.hpp"

namespace murlo::client::beat {

// Runs `work` with the host's interpreter lock released and takes it back
// afterwards, also when `work` throws. The default runs it directly.
using Unlocked = std::function<void(const std::function<void()>& work)>;
void run_directly(const std::function<void()>& work);

// One unheld beat with a client of its own, bounded by `budget_ms` (saturating:
// the largest value sets no practical limit). With `wait_for_loop` it returns
// true at once when an answer was already counted, and gives up its own
// exchange as soon as the loop raises `acked`. Run it on the client's runtime.
boost::asio::awaitable<bool> beat_once(std::shared_ptr<Shared> shared, std::uint64_t budget_ms, bool wait_for_loop);

// Builds the runtime and its beat loop, runs one bounded beat of
// max(budget_ms, 1) ms with the interpreter lock released, then stores the
// runtime, shutting an earlier one down (waiting). True once any beat of this
// client has been answered. Throws (an internal failure) when the runtime
// cannot be built; nothing is stored then. In a forked child: InheritedRuntime
// while the parent's runtime is held; after abandon the runtime is built afresh.
// LeftPool after leave, before anything is built; and when a leave on another
// thread came during the bounded beat, after ending the new runtime as that
// leave would have (final beat, shutdown), so that the member has left once
// both calls have returned.
bool start(Client& client, std::uint64_t budget_ms, const Unlocked& unlocked = run_directly);
// Sets `leaving`; with a runtime held, sends a final 5 s beat (only when an
// answer was ever counted, lock released) and shuts the runtime down without
// waiting. It never waits for a start in progress, which ends its own runtime.
// InheritedRuntime in a forked child holding the parent's runtime.
void leave(Client& client, const Unlocked& unlocked = run_directly);
// Forgets the runtime without shutting it down or sending anything.
void abandon(Client& client);

}  // namespace murlo::client::beat
