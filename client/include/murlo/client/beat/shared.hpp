#pragma once
// The state one client's Python methods, beat loop and bounded beats share: what
// the member publishes, what it watches, its pool cache, counters and the bell,
// with the operations between the wire records and that state. Every field a
// lock guards is reached only through its Guarded; what touches several fields
// is a method here. Lock ranks, when locks nest: published 1, cache 2, then
// watched, rng or one of a cached pool's own locks (3, never two of them);
// every other lock nests with nothing. Debug builds check the order.
//
// fork() copies only the calling thread: a lock that a loop thread held then
// would stay locked in the child for good. So every fork takes every lock of
// every live state first, and the child starts them afresh (shared.cpp).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "murlo/client/beat/pool_cache.hpp"
#include "murlo/proto/records.hpp"
#include "murlo/runtime/guarded.hpp"

namespace murlo::runtime {
class Notify;
class Runtime;
}  // namespace murlo::runtime

namespace murlo::client::beat {

inline constexpr runtime::LockRank published_rank = runtime::lock_rank(1);
inline constexpr runtime::LockRank watched_rank = pool_part_rank;
inline constexpr runtime::LockRank rng_rank = pool_part_rank;

struct Published {
    std::optional<std::string> url;
    Value state = Value::object({});
    std::uint64_t version = 0;  // +1 per effective publication; the beat's `publication`
    bool ready = false;
};

// Pool name to cached pool.
using Pools = std::map<std::string, CachedPool, std::less<>>;

// A beat to send, the publication number it carries, and the registry epoch
// its `seen` versions belong to (0 before any answer).
struct Composed {
    proto::Beat beat;
    std::uint64_t publication = 0;
    std::uint64_t epoch = 0;
};

// What `stats` reports, in its order.
struct Stats {
    std::uint64_t beats_ok, beats_failed, interval_ms, coalesce_ms, effective_coalesce_ms, silence_ms, short_polls,
        watch_wakeups, state_bytes, pool_revision, watched_pools;
};

struct Shared {
    Shared(std::string endpoint, std::string pool, std::uint64_t id, std::uint64_t incarnation, std::string policy,
           std::optional<std::uint64_t> slot, std::optional<std::uint64_t> size, std::optional<std::string> url,
           std::vector<std::string> methods, bool exclusive, std::uint64_t coalesce_ms);
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared();

    const std::optional<std::uint64_t> slot;
    const std::optional<std::uint64_t> size;
    const std::string endpoint;
    const std::string pool;
    const std::string policy;
    const std::vector<std::string> methods;
    const std::chrono::steady_clock::time_point created_at;
    const std::uint64_t id;
    const std::uint64_t incarnation;
    Guarded<Published> published{published_rank};
    Guarded<std::vector<std::string>> watched{watched_rank};  // insertion order, at most 64, no duplicates
    Guarded<Pools, std::shared_mutex> cache{cache_rank};
    std::atomic<std::uint64_t> beats_ok{0};
    std::atomic<std::uint64_t> beats_failed{0};
    Guarded<std::string> last_error;
    Guarded<std::string> refused;
    std::atomic<std::uint64_t> acked_publish_version{0};
    std::atomic<std::uint64_t> interval_ms{1000};
    const std::uint64_t coalesce_ms;
    std::atomic<std::uint64_t> beat_hold_ms{0};
    std::atomic<std::uint64_t> last_ack_ms{0};
    std::atomic<std::uint64_t> registry_epoch{0};
    std::atomic<std::uint64_t> registry_protocol{0};
    Guarded<std::string> registry_version;
    const std::shared_ptr<runtime::Notify> nudge;
    const std::shared_ptr<runtime::Notify> acked;
    Guarded<std::uint64_t> revision;  // waited on through wait_revision
    std::atomic<std::uint64_t> watch_wakeups{0};
    std::atomic<std::uint64_t> short_polls{0};
    Guarded<std::vector<int>> wake_fds;  // registration order, duplicates kept
    const bool exclusive;
    std::atomic<bool> leaving{false};
    std::atomic<bool> accepted{true};

    // --- between the wire records and the state ---

    // The next beat from the current state; `hold_ms` is `beat_hold_ms`.
    Composed compose() const;
    // Records the registry's protocol number and version text.
    void note_registry(const proto::BeatAck& ack);
    // Applies an answer to the cache (or records its refusal); returns its
    // `accepted`. `seen_epoch` is the epoch the answered beat was composed
    // against: an answer from another epoch answered versions of a registry
    // that is gone, so only its full deltas are applied. The restart check,
    // the cache drop and the application happen under one write lock.
    bool apply(const proto::BeatAck& ack, std::uint64_t seen_epoch);
    // The same, for an answer to a beat composed against the current epoch.
    bool apply(const proto::BeatAck& ack);
    // An answer as the loop and the bounded beats record it: pace, registry,
    // apply, beats_ok, last_ack_ms and, when accepted, the acked publication.
    // Returns whether it accepted the member. `acked` is not raised here.
    bool record_answer(const proto::BeatAck& ack, const Composed& composed);
    // A failed beat: beats_failed and last_error.
    void record_failure(std::string message);
    // Moves the revision, wakes its waiters and writes one byte to every wake
    // descriptor that is writable right now: one that is full, invalid or
    // broken (a pipe whose reader is gone) is passed over for this ring, so
    // the bell never blocks and the descriptors after it still get their
    // byte. The list stays as registered; a failed write is ignored.
    void ring();

    // --- what the Python methods do ---

    // Stores `state` (and readiness, when given) unless both equal what is
    // published by exact JSON equality; true when something changed, and then
    // the nudge is raised once, after the unlock.
    bool publish_state(Value state, std::optional<bool> ready);
    // The same for the URL (none removes it).
    bool publish_url(std::optional<std::string_view> url);
    // (published version, acked publish version), read under `published`.
    std::pair<std::uint64_t, std::uint64_t> publish_versions() const;
    bool is_ready() const;
    // Appends the names not yet watched, in order; nudges once if any was. A
    // name past the 64th is refused with the message returned, and the names
    // appended before it stay, unannounced.
    std::optional<std::string> watch(std::span<const std::string> names);
    bool watches_nothing() const;
    void add_wake_fd(int fd);
    // Removes every registration of `fd`.
    void drop_wake_fd(int fd);
    std::uint64_t cache_revision() const;
    // The revision once it differs from `since`, or after one wait of at most
    // `timeout_ms` (a spurious wake-up or the time running out returns `since`).
    std::uint64_t wait_revision(std::uint64_t since, std::uint64_t timeout_ms);
    // Whole milliseconds since `created_at`.
    std::uint64_t elapsed_ms() const;
    // Milliseconds since the last answer (since construction before any).
    std::uint64_t silence_ms() const;
    // The coalescing window: min(interval_ms, coalesce_ms, 30000).
    std::uint64_t effective_coalesce_ms() const;
    // The counters first, without locks, then state_bytes, pool_revision and
    // watched_pools under published, the cache's read lock and watched.
    Stats stats() const;

    // `f(const CachedPool&)` for the pool of that name under the cache's read
    // lock, or none when it is not cached.
    template <class F>
    auto with_pool(std::string_view name, F&& f) const -> std::optional<std::invoke_result_t<F, const CachedPool&>> {
        auto pools = cache.lock_shared();
        auto it = pools->find(name);
        if (it == pools->end()) return std::nullopt;
        return std::forward<F>(f)(it->second);
    }

private:
    // The fork handlers, over every live state (shared.cpp).
    friend struct LiveStates;
    // Every lock of this state, in rank order, so that fork() copies nothing
    // mid-change: `published`, the cache exclusively (which keeps out whoever
    // reads a cached pool's parts or a client's generator: they do so only
    // inside its read lock), `watched`, then those that nest with nothing and
    // the signals' own.
    void lock_for_fork();
    // In the parent, after fork().
    void unlock_after_fork();
    // In the child: every lock, the condition variable and the signals start
    // afresh, since whatever waited on them was the parent's.
    void renew_after_fork();

    std::condition_variable revision_changed_;  // paired with the lock of `revision`
};

// What start and leave throw, before changing anything, in a process forked
// from the one that started the client while the inherited runtime is still
// held: its threads exist only in the parent, so waiting on them would block
// forever. The message advises abandon().
struct InheritedRuntime : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What start and the publishing calls throw, changing nothing, once leave()
// has begun: every beat from then on says the member leaves, so nothing they
// stored would ever register or publish it. The message says to build a new
// Client with a fresh incarnation.
struct LeftPool : std::runtime_error {
    LeftPool();
};

// The object behind the Python class.
struct Client {
    // Builds the shared state and seeds `rng`. No I/O, no threads, no failure.
    Client(std::string endpoint, std::string pool, std::uint64_t id, std::uint64_t incarnation, std::string policy,
           std::optional<std::uint64_t> slot, std::optional<std::uint64_t> size, std::optional<std::string> url,
           std::optional<std::vector<std::string>> methods, bool exclusive, std::uint64_t coalesce_ms);
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    // Shuts a runtime still held down and waits for its threads; in a forked
    // child it lets go of it instead, as abandon does.
    ~Client();

    const std::shared_ptr<Shared> shared;
    Guarded<std::uint64_t> rng{rng_rank};  // member-choice generator state
    // The beat loop's runtime: set by start, taken by leave and abandon. Not
    // among the locks a fork takes: start shuts an earlier runtime down under
    // it, waiting for threads that may wait for one of those. Only callers
    // holding the interpreter lock take it, as os.fork() holds it.
    Guarded<std::unique_ptr<runtime::Runtime>> runtime;

    // A member of `pool` drawn with this client's generator; `pool` comes from
    // `Shared::with_pool`, so the generator's lock nests inside the cache's.
    const Member* choose(const CachedPool& pool, const Value& filter, bool require_ready);
    // Start's first step: refuses a runtime inherited through fork
    // (InheritedRuntime) and notes this process as the runtime's.
    void claim_runtime();
    // Stores `fresh` and returns nothing; an earlier runtime is shut down,
    // waiting for its threads, with the field's lock held. Once leave has
    // begun it stores nothing and hands `fresh` back: that leave found the
    // field without it, so the caller ends the runtime itself.
    [[nodiscard]] std::unique_ptr<runtime::Runtime> store_runtime(std::unique_ptr<runtime::Runtime> fresh);
    // Leave's first step: refuses an inherited runtime, then, under the same
    // lock as store_runtime's check, sets `leaving` and takes the runtime out.
    std::unique_ptr<runtime::Runtime> take_for_leave();
    // Throws LeftPool once leave has begun. Changes nothing.
    void refuse_left() const;
    // What the publishing calls check first: throws InheritedRuntime, as start
    // does, while this process holds a runtime inherited through fork (what
    // they store would never be sent). Changes nothing.
    void refuse_inherited() const;
    // The runtime taken out as it is, for abandon.
    std::unique_ptr<runtime::Runtime> take_runtime();

private:
    // The process that built the last runtime, 0 before the first start. A
    // forked child inherits the handle but none of its threads.
    std::atomic<int> runtime_pid_{0};
};

// The generator seed: SipHash-1-3 (zero keys) over pid (4 bytes), id (8),
// incarnation (8), monotonic seconds (8), nanoseconds (4) and `nonce` (8), little-endian.
std::uint64_t selection_seed(std::uint32_t pid, std::uint64_t id, std::uint64_t incarnation, std::int64_t seconds,
                             std::uint32_t nanoseconds, std::uint64_t nonce);
// Reads pid, the monotonic clock and the process-wide counter (taking its
// previous value and adding 1), then hashes them with `selection_seed`.
std::uint64_t selection_rng(std::uint64_t id, std::uint64_t incarnation);

}  // namespace murlo::client::beat
