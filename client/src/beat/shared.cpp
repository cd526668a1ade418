#include "murlo/client/beat/shared.hpp"

#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "murlo/client/beat/limits.hpp"
#include "murlo/client/beat/siphash.hpp"
#include "murlo/proto/json.hpp"
#include "murlo/proto/limits.hpp"
#include "murlo/runtime/notify.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::client::beat {

namespace {

// Makes two clients of one process hash different seeds even when their
// identities and clock readings are equal.
std::atomic<std::uint64_t> NONCE{0};

void leave_slot(CachedPool& pool, std::uint64_t slot, std::uint64_t id) {
    auto it = pool.slots.find(slot);
    if (it == pool.slots.end()) return;
    it->second.erase(id);
    if (it->second.empty()) pool.slots.erase(it);
}

// One delta into one cache entry, under the cache's write lock.
void apply_delta(CachedPool& entry, const proto::PoolDelta& delta) {
    bool membership = false;
    bool readiness = false;
    if (delta.full || !delta.changed.empty() || !delta.removed.empty()) {
        entry.drop_derived();
        if (delta.full) {
            entry.members.clear();
            entry.slots.clear();
        }
        for (const auto& m : delta.changed) {
            auto [it, inserted] = entry.members.try_emplace(m.id);
            std::optional<std::uint64_t> old_slot;
            if (inserted) {
                membership = true;
                readiness = true;
            } else {
                old_slot = it->second.slot;
                if (it->second.ready != m.ready) readiness = true;
            }
            it->second = m.clone();
            if (old_slot && old_slot == m.slot) continue;
            if (old_slot) leave_slot(entry, *old_slot, m.id);
            if (m.slot) entry.slots[*m.slot].insert(m.id);
        }
        for (std::uint64_t id : delta.removed) {
            auto it = entry.members.find(id);
            if (it == entry.members.end()) continue;
            if (it->second.slot) leave_slot(entry, *it->second.slot, id);
            entry.members.erase(it);
            membership = true;
        }
    }
    if (delta.full || membership)
        entry.reset_ids(true, true);
    else if (readiness)
        entry.reset_ids(false, true);
    entry.version = delta.version;
    entry.roster = delta.roster;
    entry.methods = delta.methods;
    entry.size = delta.size;
}

}  // namespace

// Every live Shared of the process, for the fork handlers. Its lock nests with
// nothing: a state is built and destroyed holding no other lock, so the
// prepare handler, which takes it first and then every state's, waits for
// nobody who waits for it.
struct LiveStates {
    Guarded<std::vector<Shared*>> states;
    std::vector<Shared*>* forking = nullptr;  // the list, from prepare to parent or child

    LiveStates() {
        if (int rc = ::pthread_atfork(prepare, parent, child); rc != 0)
            throw std::system_error(rc, std::generic_category(), "pthread_atfork");
    }

    static void prepare();
    static void parent();
    static void child();
};

namespace {

// Built when the module loads, so the handlers are in place before any state
// is; never destroyed, as a runtime's detached thread may drop the last
// reference to a state while the process exits.
LiveStates& live = *new LiveStates;

}  // namespace

void LiveStates::prepare() {
    live.forking = &live.states.lock_for_fork();
    for (Shared* s : *live.forking) s->lock_for_fork();
}

void LiveStates::parent() {
    for (auto it = live.forking->rbegin(); it != live.forking->rend(); ++it) (*it)->unlock_after_fork();
    live.forking = nullptr;
    live.states.unlock_after_fork();
}

void LiveStates::child() {
    for (Shared* s : *live.forking) s->renew_after_fork();
    live.forking = nullptr;
    live.states.renew_after_fork();
}

Shared::Shared(std::string endpoint_, std::string pool_, std::uint64_t id_, std::uint64_t incarnation_,
               std::string policy_, std::optional<std::uint64_t> slot_, std::optional<std::uint64_t> size_,
               std::optional<std::string> url, std::vector<std::string> methods_, bool exclusive_,
               std::uint64_t coalesce_ms_)
    : slot(slot_),
      size(size_),
      endpoint(std::move(endpoint_)),
      pool(std::move(pool_)),
      policy(std::move(policy_)),
      methods(std::move(methods_)),
      created_at(std::chrono::steady_clock::now()),
      id(id_),
      incarnation(incarnation_),
      coalesce_ms(coalesce_ms_),
      nudge(std::make_shared<runtime::Notify>()),
      acked(std::make_shared<runtime::Notify>()),
      exclusive(exclusive_) {
    published.lock()->url = std::move(url);
    live.states.lock()->push_back(this);
}

Shared::~Shared() { std::erase(*live.states.lock(), this); }

void Shared::lock_for_fork() {
    published.lock_for_fork();
    cache.lock_for_fork();
    watched.lock_for_fork();
    revision.lock_for_fork();
    wake_fds.lock_for_fork();
    last_error.lock_for_fork();
    refused.lock_for_fork();
    registry_version.lock_for_fork();
    nudge->lock_for_fork();
    acked->lock_for_fork();
}

void Shared::unlock_after_fork() {
    acked->unlock_after_fork();
    nudge->unlock_after_fork();
    registry_version.unlock_after_fork();
    refused.unlock_after_fork();
    last_error.unlock_after_fork();
    wake_fds.unlock_after_fork();
    revision.unlock_after_fork();
    watched.unlock_after_fork();
    cache.unlock_after_fork();
    published.unlock_after_fork();
}

void Shared::renew_after_fork() {
    published.renew_after_fork();
    cache.renew_after_fork();
    watched.renew_after_fork();
    revision.renew_after_fork();
    wake_fds.renew_after_fork();
    last_error.renew_after_fork();
    refused.renew_after_fork();
    registry_version.renew_after_fork();
    // Built over the old one, which is not destroyed: that would wait for its
    // waiters, the parent's threads.
    ::new (static_cast<void*>(&revision_changed_)) std::condition_variable;
    nudge->renew_after_fork();
    acked->renew_after_fork();
}

Composed Shared::compose() const {
    Composed out;
    proto::Beat& beat = out.beat;
    {
        auto p = published.lock();
        beat.state = p->state;
        beat.ready = p->ready;
        beat.url = p->url;
        out.publication = p->version;
    }
    {
        auto pools = cache.lock_shared();
        // apply() moves the epoch under the write lock, so this is the epoch
        // the versions in `seen` were cached from.
        out.epoch = registry_epoch.load();
        beat.watch = *watched.lock();
        for (const auto& name : beat.watch) {
            auto it = pools->find(name);
            if (it != pools->end()) beat.seen.emplace(name, it->second.version);
        }
        beat.pool = pool;
        beat.slot = slot;
        beat.id = id;
        beat.incarnation = incarnation;
        beat.publication = out.publication;
        beat.policy = policy;
        beat.size = size;
        beat.leaving = leaving.load();
        beat.exclusive = exclusive;
        beat.methods = methods;
        beat.hold_ms = beat_hold_ms.load(std::memory_order_relaxed);
    }
    return out;
}

void Shared::note_registry(const proto::BeatAck& ack) {
    registry_protocol.store(ack.protocol, std::memory_order_relaxed);
    // An unchanged text stays in place rather than being copied again.
    registry_version.with_lock([&](std::string& version) {
        if (version != ack.version) version = ack.version;
    });
}

// Composed against the epoch in place when the answer arrives: its incremental
// deltas are stale only when that epoch is a registry that has gone. Before the
// first epoch there is nothing cached they could be relative to.
bool Shared::apply(const proto::BeatAck& ack) { return apply(ack, ack.epoch); }

bool Shared::apply(const proto::BeatAck& ack, std::uint64_t seen_epoch) {
    {
        // One write lock for the epoch test, the drop and the deltas: two callers
        // applying answers of a restarted registry cannot interleave between them.
        auto pools = cache.lock();
        const std::uint64_t previous = registry_epoch.exchange(ack.epoch);
        // A new epoch means the registry restarted: everything cached is from before.
        const bool restarted = previous != 0 && previous != ack.epoch;
        if (restarted) pools->clear();
        if (ack.accepted) {
            // An incremental delta answers the versions the beat named; those
            // came from another registry when the beat was composed against
            // another epoch, so only full deltas can be trusted then.
            const bool stale = restarted || seen_epoch != ack.epoch;
            for (const auto& [name, delta] : ack.pools) {
                if (stale && !delta.full) continue;
                auto it = pools->try_emplace(name).first;
                if (delta.version < it->second.version) continue;
                apply_delta(it->second, delta);
            }
            return true;
        }
    }
    accepted.store(false);
    if (ack.refused) *refused.lock() = *ack.refused;
    return false;
}

bool Shared::record_answer(const proto::BeatAck& ack, const Composed& composed) {
    interval_ms.store(ack.ttl_ms / 4, std::memory_order_relaxed);
    beat_hold_ms.store(std::clamp<std::uint64_t>(ack.ttl_ms / 4, 50, 30'000), std::memory_order_relaxed);
    note_registry(ack);
    const bool was_accepted = apply(ack, composed.epoch);
    beats_ok.fetch_add(1);
    last_ack_ms.store(elapsed_ms(), std::memory_order_relaxed);
    if (was_accepted) {
        std::uint64_t seen = acked_publish_version.load();
        while (seen < composed.publication &&
               !acked_publish_version.compare_exchange_weak(seen, composed.publication)) {
        }
    }
    return was_accepted;
}

void Shared::record_failure(std::string message) {
    beats_failed.fetch_add(1);
    *last_error.lock() = std::move(message);
}

void Shared::ring() {
    ++*revision.lock();
    watch_wakeups.fetch_add(1);
    revision_changed_.notify_all();
    auto fds = wake_fds.lock();
    static const char byte = 0x01;
    for (int fd : *fds) {
        // A negative number can never be open: skip it rather than fail a syscall.
        if (fd < 0) continue;
        // A blocking descriptor that is full would stall the ring (and every
        // caller behind wake_fds) until its reader drains it: write only to
        // what takes a byte right now, and pass over invalid or failed ones.
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 0) != 1 || (p.revents & (POLLNVAL | POLLERR)) || !(p.revents & POLLOUT)) continue;
        [[maybe_unused]] auto written = ::write(fd, &byte, 1);
    }
}

bool Shared::publish_state(Value state, std::optional<bool> ready) {
    bool changed = false;
    {
        auto p = published.lock();
        if ((ready && *ready != p->ready) || !proto::exact_equal(state, p->state)) {
            // The old state is destroyed after the unlock, with `state`.
            std::swap(p->state, state);
            if (ready) p->ready = *ready;
            ++p->version;
            changed = true;
        }
    }
    if (changed) nudge->notify_one();
    return changed;
}

bool Shared::publish_url(std::optional<std::string_view> url) {
    bool changed = false;
    {
        auto p = published.lock();
        const bool same = url ? p->url && *p->url == *url : !p->url;
        if (!same) {
            p->url = url ? std::optional<std::string>(*url) : std::nullopt;
            ++p->version;
            changed = true;
        }
    }
    if (changed) nudge->notify_one();
    return changed;
}

std::pair<std::uint64_t, std::uint64_t> Shared::publish_versions() const {
    auto p = published.lock();
    return {p->version, acked_publish_version.load()};
}

bool Shared::is_ready() const { return published.lock()->ready; }

std::optional<std::string> Shared::watch(std::span<const std::string> names) {
    bool appended = false;
    std::optional<std::string> refusal;
    {
        auto list = watched.lock();
        for (const auto& name : names) {
            if (std::find(list->begin(), list->end(), name) != list->end()) continue;
            if (list->size() >= proto::max_watch) {
                refusal = "cannot watch " + proto::quoted(name) + ": already subscribed to " +
                          std::to_string(list->size()) + " pools, the limit is " + std::to_string(proto::max_watch) +
                          " including your own. Look up fewer pool names, or split the work across processes.";
                break;
            }
            list->push_back(name);
            appended = true;
        }
    }
    // What a refused call appended stays, unannounced until the next change.
    if (refusal) return refusal;
    if (appended) nudge->notify_one();
    return std::nullopt;
}

bool Shared::watches_nothing() const { return watched.lock()->empty(); }

void Shared::add_wake_fd(int fd) { wake_fds.lock()->push_back(fd); }

void Shared::drop_wake_fd(int fd) { std::erase(*wake_fds.lock(), fd); }

std::uint64_t Shared::cache_revision() const { return *revision.lock(); }

std::uint64_t Shared::wait_revision(std::uint64_t since, std::uint64_t timeout_ms) {
    auto locked = revision.lock();
    if (*locked != since) return *locked;
    // One wait: a timeout or a spurious wake-up returns `since`.
    const auto now = std::chrono::steady_clock::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::time_point::max() - now);
    if (timeout_ms >= static_cast<std::uint64_t>(room.count()))
        revision_changed_.wait(locked.native());  // beyond the clock's range: no limit
    else
        revision_changed_.wait_until(locked.native(),
                                     now + std::chrono::milliseconds(static_cast<std::int64_t>(timeout_ms)));
    return *locked;
}

std::uint64_t Shared::elapsed_ms() const {
    const auto since = std::chrono::steady_clock::now() - created_at;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

std::uint64_t Shared::silence_ms() const {
    const std::uint64_t now = elapsed_ms();
    const std::uint64_t last = last_ack_ms.load();
    return now > last ? now - last : 0;
}

std::uint64_t Shared::effective_coalesce_ms() const {
    return std::min({interval_ms.load(std::memory_order_relaxed), coalesce_ms, std::uint64_t{30'000}});
}

Stats Shared::stats() const {
    const std::uint64_t interval = interval_ms.load();
    Stats out{
        .beats_ok = beats_ok.load(),
        .beats_failed = beats_failed.load(),
        .interval_ms = interval,
        .coalesce_ms = coalesce_ms,
        .effective_coalesce_ms = std::min({interval, coalesce_ms, std::uint64_t{30'000}}),
        .silence_ms = silence_ms(),
        .short_polls = short_polls.load(),
        .watch_wakeups = watch_wakeups.load(),
        .state_bytes = 0,
        .pool_revision = 0,
        .watched_pools = 0,
    };
    auto p = published.lock();
    out.state_bytes = state_bytes(p->state);
    auto pools = cache.lock_shared();
    auto it = pools->find(pool);
    out.pool_revision = it != pools->end() ? it->second.version : 0;
    out.watched_pools = watched.lock()->size();
    return out;
}

Client::Client(std::string endpoint, std::string pool, std::uint64_t id, std::uint64_t incarnation, std::string policy,
               std::optional<std::uint64_t> slot, std::optional<std::uint64_t> size, std::optional<std::string> url,
               std::optional<std::vector<std::string>> methods, bool exclusive, std::uint64_t coalesce_ms)
    : shared(std::make_shared<Shared>(std::move(endpoint), std::move(pool), id, incarnation, std::move(policy), slot,
                                      size, std::move(url), methods ? std::move(*methods) : std::vector<std::string>{},
                                      exclusive, coalesce_ms)) {
    *rng.lock() = selection_rng(id, incarnation);
}

Client::~Client() {
    // In a forked child the runtime's threads do not exist: shutting it down
    // would wait for them forever.
    runtime.with_lock([&](std::unique_ptr<runtime::Runtime>& rt) {
        if (rt && runtime_pid_.load() != ::getpid()) rt->abandon();
    });
}

const Member* Client::choose(const CachedPool& pool, const Value& filter, bool require_ready) {
    auto state = rng.lock();
    return pool.choose(filter, require_ready, *state);
}

namespace {

// Under the runtime field's lock: refuses a runtime inherited through fork.
void refuse_held_elsewhere(const std::unique_ptr<runtime::Runtime>& held, int built, int here) {
    if (!held || built == here) return;
    throw InheritedRuntime("this client's runtime was started by process " + std::to_string(built) +
                           " and this is process " + std::to_string(here) +
                           ", a fork of it, where that runtime's threads do not exist. Call abandon() first; "
                           "start() then builds a fresh runtime.");
}

}  // namespace

void Client::claim_runtime() {
    auto held = runtime.lock();
    const int here = ::getpid();
    refuse_held_elsewhere(*held, runtime_pid_.load(), here);
    runtime_pid_.store(here);
}

void Client::refuse_inherited() const {
    auto held = runtime.lock();
    refuse_held_elsewhere(*held, runtime_pid_.load(), ::getpid());
}

std::unique_ptr<runtime::Runtime> Client::store_runtime(std::unique_ptr<runtime::Runtime> fresh) {
    auto held = runtime.lock();
    // take_for_leave sets `leaving` under this lock: either it takes what is
    // stored here, or it came first and this runtime must not outlive the call.
    if (shared->leaving.load()) return fresh;
    std::unique_ptr<runtime::Runtime> earlier = std::exchange(*held, std::move(fresh));
    // Two loops beat with one identity until here; the earlier one stops now.
    if (earlier) earlier->shutdown();
    return nullptr;
}

std::unique_ptr<runtime::Runtime> Client::take_for_leave() {
    auto held = runtime.lock();
    refuse_held_elsewhere(*held, runtime_pid_.load(), ::getpid());
    shared->leaving.store(true);
    return std::move(*held);
}

void Client::refuse_left() const {
    if (shared->leaving.load()) throw LeftPool();
}

LeftPool::LeftPool()
    : std::runtime_error("this client has left its pool. A new Client with a fresh incarnation joins again.") {}

std::unique_ptr<runtime::Runtime> Client::take_runtime() { return std::move(*runtime.lock()); }

std::uint64_t selection_seed(std::uint32_t pid, std::uint64_t id, std::uint64_t incarnation, std::int64_t seconds,
                             std::uint32_t nanoseconds, std::uint64_t nonce) {
    SipHasher13 h;
    h.write_u32(pid);
    h.write_u64(id);
    h.write_u64(incarnation);
    h.write_u64(static_cast<std::uint64_t>(seconds));
    h.write_u32(nanoseconds);
    h.write_u64(nonce);
    return h.finish();
}

std::uint64_t selection_rng(std::uint64_t id, std::uint64_t incarnation) {
    const auto pid = static_cast<std::uint32_t>(::getpid());
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nonce = NONCE.fetch_add(1);
    return selection_seed(pid, id, incarnation, static_cast<std::int64_t>(now.tv_sec),
                          static_cast<std::uint32_t>(now.tv_nsec), nonce);
}

}  // namespace murlo::client::beat
