#pragma once
// The state one client's Python methods, beat loop and bounded beats share: what
// the member publishes, what it watches, its pool cache, counters and the bell.
// The four operations between the wire records and that state live here too.
// Lock order, when locks nest: published, cache, watched; rng and a cached
// pool's own mutexes inside the cache's read lock, one at a time.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "murlo/client/beat/pool_cache.hpp"
#include "murlo/proto/records.hpp"

namespace murlo::runtime {
class Notify;
class Runtime;
}  // namespace murlo::runtime

namespace murlo::client::beat {

// A value and the mutex that guards it.
template <class T>
struct Guarded {
    mutable std::mutex mutex;
    T value{};
};

struct Published {
    std::optional<std::string> url;
    Value state = Value::object({});
    std::uint64_t version = 0;  // +1 per effective publication; the beat's `publication`
    bool ready = false;
};

struct Cache {
    mutable std::shared_mutex lock;
    std::map<std::string, CachedPool, std::less<>> pools;
};

// A beat to send, the publication number it carries, and the registry epoch
// its `seen` versions belong to (0 before any answer).
struct Composed {
    proto::Beat beat;
    std::uint64_t publication = 0;
    std::uint64_t epoch = 0;
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
    Guarded<Published> published;
    Guarded<std::vector<std::string>> watched;  // insertion order, at most 64, no duplicates
    Cache cache;
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
    std::shared_ptr<runtime::Notify> nudge;  // replaced only by renew_signals
    std::shared_ptr<runtime::Notify> acked;
    Guarded<std::uint64_t> revision;
    std::atomic<std::uint64_t> watch_wakeups{0};
    std::atomic<std::uint64_t> short_polls{0};
    Guarded<std::vector<int>> wake_fds;        // registration order, duplicates kept
    std::condition_variable revision_changed;  // paired with revision.mutex
    const bool exclusive;
    std::atomic<bool> leaving{false};
    std::atomic<bool> accepted{true};

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
    // Moves the revision, wakes its waiters and writes one byte to every wake
    // descriptor that is writable right now: one that is full, invalid or
    // broken (a pipe whose reader is gone) is passed over for this ring, so
    // the bell never blocks and the descriptors after it still get their
    // byte. The list stays as registered; a failed write is ignored.
    void ring();
    // Fresh `nudge` and `acked` for a forked child: its copies may list waiters
    // of the parent's tasks, which exist nowhere here and would swallow the
    // next raises. A stored raise carries over. The old signals are kept, not
    // destroyed: what their waiters own belongs to the parent's runtime. Only
    // while no runtime of this process uses this state.
    void renew_signals();

private:
    std::vector<std::shared_ptr<runtime::Notify>> retired_signals_;
};

// The object behind the Python class.
struct Client {
    // Builds the shared state and seeds `rng`. No I/O, no threads, no failure.
    Client(std::string endpoint, std::string pool, std::uint64_t id, std::uint64_t incarnation, std::string policy,
           std::optional<std::uint64_t> slot, std::optional<std::uint64_t> size, std::optional<std::string> url,
           std::optional<std::vector<std::string>> methods, bool exclusive, std::uint64_t coalesce_ms);
    template <class... Args>
    static Client create(Args&&... args) {
        return Client(std::forward<Args>(args)...);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    // Shuts a runtime still held down and waits for its threads.
    ~Client();

    std::shared_ptr<Shared> shared;
    Guarded<std::uint64_t> rng;  // member-choice generator state
    // The beat loop's runtime: set by start, taken by leave and abandon.
    Guarded<std::unique_ptr<runtime::Runtime>> runtime;
    // The process that built the last runtime, 0 before the first start. A
    // forked child inherits the handle but none of its threads.
    std::atomic<int> runtime_pid{0};
};

// The generator seed: SipHash-1-3 (zero keys) over pid (4 bytes), id (8),
// incarnation (8), monotonic seconds (8), nanoseconds (4) and `nonce` (8), little-endian.
std::uint64_t selection_seed(std::uint32_t pid, std::uint64_t id, std::uint64_t incarnation, std::int64_t seconds,
                             std::uint32_t nanoseconds, std::uint64_t nonce);
// Reads pid, the monotonic clock and the process-wide counter (taking its
// previous value and adding 1), then hashes them with `selection_seed`.
std::uint64_t selection_rng(std::uint64_t id, std::uint64_t incarnation);

}  // namespace murlo::client::beat
