// Registry state: epoch, version steps and history, parking and waking,
// sweeping leases and tombstones, the listing, and saturating deadlines.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "murlo/registry/state.hpp"
#include "state/access.hpp"
#include "test_beats.hpp"

namespace murlo::registry {
namespace {

using proto::Beat;
using proto::Value;
using namespace std::chrono_literals;
using Wall = std::chrono::system_clock::time_point;

using testing::t0;

Beat beat(std::uint64_t id, std::string pool = "p", std::uint64_t incarnation = 1) {
    return testing::minimal_beat(std::move(pool), id, incarnation);
}

std::shared_ptr<runtime::Notify> handle() { return std::make_shared<runtime::Notify>(); }

std::vector<std::string> names(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

std::size_t watchers(const Registry& registry, const std::string& pool) {
    std::size_t n = 0;
    RegistryAccess::inspect(registry, [&](const PoolTable& pools) { n = pools.at(pool).watchers.size(); });
    return n;
}

TEST(Epoch, OddFromTheWallClockAndOneBefore1970) {
    struct Case {
        Wall wall;
        std::uint64_t epoch;
    };
    const std::vector<Case> cases = {
        {Wall{} - 1s, 1},
        {Wall{} - 1ns, 1},
        {Wall{}, 1},
        {Wall{} + 1ns, 1},
        {Wall{} + 2ns, 3},
        {Wall{} + 1765238400s, 1765238400000000001ULL},
        {Wall{} + 1765238400s + 7ns, 1765238400000000007ULL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Registry::epoch_at(c.wall), c.epoch) << c.wall.time_since_epoch().count();
        EXPECT_EQ(Registry(1000, c.wall).epoch(), c.epoch);
    }
    EXPECT_EQ(Registry(1000).epoch() & 1, 1u);
}

TEST(Deadline, SaturatesAtTheClockMaximum) {
    const Instant max = Instant::max();
    struct Case {
        Instant now;
        std::uint64_t ms;
        Instant expect;
    };
    const std::vector<Case> cases = {
        {t0, 0, t0},
        {t0, 1'500, t0 + 1500ms},
        {t0, std::numeric_limits<std::uint64_t>::max(), max},
        {t0, 9'223'372'036'854ULL, max},  // about 292 years: past the clock
        {max - 1ms, 1, max - 1ms + 1ms},
        {max - 1ms, 2, max},
        {max, 0, max},
        {Instant::min(), std::numeric_limits<std::uint64_t>::max(), max},
        {Instant{} - 1h, 3'600'000, Instant{}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(deadline_after(c.now, Lease(c.ms)), c.expect) << c.ms;
    }
}

TEST(History, KeepsExactly4096StepsAfter5000) {
    Pool pool;
    Deferred deferred;
    for (std::uint64_t i = 0; i < 5'000; ++i) pool.bump(i % 7, deferred);
    EXPECT_EQ(pool.version, 5'000u);
    ASSERT_EQ(pool.history.size(), 4'096u);
    EXPECT_EQ(pool.history.front().first, 905u);
    EXPECT_EQ(pool.history.back().first, 5'000u);
    for (std::size_t i = 0; i < pool.history.size(); ++i) {
        ASSERT_EQ(pool.history[i].first, 905 + i);
        ASSERT_EQ(pool.history[i].second, (904 + i) % 7);
    }
}

TEST(Bump, TakesTheWatchersOnceAndWakesOnlyInFinish) {
    Pool pool;
    auto live = handle();
    auto dead = handle();
    pool.watchers = {live, dead, live};
    dead.reset();
    Deferred deferred;
    pool.bump(1, deferred);
    pool.bump(2, deferred);  // nothing left to take
    ASSERT_EQ(deferred.wake.size(), 1u);
    EXPECT_EQ(deferred.wake[0].size(), 3u);
    EXPECT_TRUE(pool.watchers.empty());
    EXPECT_FALSE(live->try_take());  // not before finish
    deferred.finish();
    EXPECT_TRUE(live->try_take());
    EXPECT_TRUE(deferred.wake.empty());
    EXPECT_TRUE(deferred.drops.empty());
}

TEST(Finish, WakesThenReleasesDeltas) {
    Deferred deferred;
    auto h = handle();
    auto delta = std::make_shared<const proto::PoolDelta>();
    std::weak_ptr<const proto::PoolDelta> watch = delta;
    deferred.wake.push_back({h});
    deferred.drops.push_back(std::move(delta));
    EXPECT_FALSE(watch.expired());
    deferred.finish();
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(h->try_take());
}

TEST(Finish, RunsWhenTheDeferredLeavesItsScope) {
    auto h = handle();
    auto delta = std::make_shared<const proto::PoolDelta>();
    std::weak_ptr<const proto::PoolDelta> watch = delta;
    {
        Deferred deferred;
        deferred.wake.push_back({h});
        deferred.drops.push_back(std::move(delta));
        EXPECT_FALSE(h->try_take());
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(h->try_take());
}

TEST(Park, CreatesAnUnshapedPoolAndRegistersEachName) {
    Registry registry(10'000);
    auto h = handle();
    registry.park(names({"w", "w", "x"}), h);
    const auto snap = registry.snapshot();
    ASSERT_EQ(snap.size(), 2u);
    EXPECT_EQ(snap.at("w").version, 0u);
    EXPECT_EQ(snap.at("w").roster, 0u);
    EXPECT_EQ(snap.at("w").members, 0u);
    EXPECT_EQ(watchers(registry, "w"), 2u);
    RegistryAccess::inspect(registry, [](const PoolTable& pools) {
        const Pool& p = pools.at("x");
        EXPECT_EQ(p.policy, "");
        EXPECT_FALSE(p.size);
        EXPECT_TRUE(p.methods.empty());
        EXPECT_TRUE(p.history.empty());
    });
    EXPECT_FALSE(h->try_take());  // parking wakes nobody
}

TEST(Park, ChangeWakesAfterTheBeatAndRefreshDoesNot) {
    Registry registry(10'000);
    registry.beat_shared(beat(1), t0);
    auto h = handle();
    registry.park(names({"p"}), h);
    registry.beat_shared(beat(1), t0 + 1s);  // lease refresh: no step
    EXPECT_FALSE(h->try_take());
    EXPECT_EQ(watchers(registry, "p"), 1u);
    registry.beat_shared(beat(2), t0);
    EXPECT_TRUE(h->try_take());
    EXPECT_EQ(watchers(registry, "p"), 0u);
}

TEST(Park, HandleOnThreePoolsKeepsUselessRegistrationsUntilStepOrSweep) {
    Registry registry(10'000);
    auto h = handle();
    registry.park(names({"a", "b", "c"}), h);
    registry.beat_shared(beat(1, "a"), t0);
    EXPECT_TRUE(h->try_take());
    EXPECT_FALSE(h->try_take());
    EXPECT_EQ(watchers(registry, "a"), 0u);
    EXPECT_EQ(watchers(registry, "b"), 1u);
    EXPECT_EQ(watchers(registry, "c"), 1u);
    registry.sweep(t0);  // handle still alive: kept
    EXPECT_EQ(watchers(registry, "b"), 1u);
    h.reset();
    registry.beat_shared(beat(1, "b"), t0);  // b's own step takes its dead registration
    EXPECT_EQ(watchers(registry, "b"), 0u);
    EXPECT_EQ(watchers(registry, "c"), 1u);
    registry.sweep(t0);
    EXPECT_EQ(watchers(registry, "c"), 0u);
}

TEST(DeltasSharedFor, PerWatchedPoolAndCreatesNothing) {
    Registry registry(10'000);
    registry.beat_shared(beat(1, "a"), t0);
    registry.beat_shared(beat(2, "a"), t0);
    registry.beat_shared(beat(1, "b"), t0);
    Beat b;
    EXPECT_TRUE(registry.deltas_shared_for(b).empty());
    b.watch = names({"nope", "also"});
    EXPECT_TRUE(registry.deltas_shared_for(b).empty());
    EXPECT_EQ(registry.snapshot().size(), 2u);
    b.watch = names({"a", "b", "a", "nope"});
    b.seen = {{"a", 1}, {"b", 1}};
    const SharedDeltas got = registry.deltas_shared_for(b);
    ASSERT_EQ(got.size(), 1u);  // b is up to date
    EXPECT_FALSE(got.at("a")->full);
    EXPECT_EQ(got.at("a")->changed.size(), 1u);
    EXPECT_EQ(got.at("a")->changed[0].id, 2u);
}

TEST(Sweep, ExpiresAtTheDeadlineWithOneStepEachAndNoTombstone) {
    Registry registry(10'000);
    Beat a = beat(1);
    a.slot = 0;
    a.incarnation = 3;
    registry.beat_shared(a, t0);
    registry.beat_shared(beat(2), t0);
    registry.beat_shared(beat(3), t0 + 5s);
    auto h = handle();
    registry.park(names({"p"}), h);
    EXPECT_EQ(registry.sweep(t0 + 10s - 1ns), 0u);
    EXPECT_EQ(registry.snapshot().at("p").version, 3u);
    EXPECT_FALSE(h->try_take());
    EXPECT_EQ(registry.sweep(t0 + 10s), 2u);
    const auto snap = registry.snapshot().at("p");
    EXPECT_EQ(snap.version, 5u);
    EXPECT_EQ(snap.members, 1u);
    EXPECT_EQ(snap.roster, proto::Member::roster_hash(3, 1));
    EXPECT_TRUE(h->try_take());
    EXPECT_FALSE(h->try_take());
    RegistryAccess::inspect(registry, [](const PoolTable& pools) {
        const Pool& p = pools.at("p");
        EXPECT_TRUE(p.departed.empty());
        EXPECT_EQ(p.fences.at(1), 3u);
        ASSERT_EQ(p.history.size(), 5u);
        std::vector<std::uint64_t> last = {p.history[3].second, p.history[4].second};
        std::sort(last.begin(), last.end());
        EXPECT_EQ(last, (std::vector<std::uint64_t>{1, 2}));
    });
    // The fenced id stays stale below its fence after expiry.
    Beat low = beat(1);
    low.incarnation = 2;
    EXPECT_FALSE(registry.beat_shared(low, t0 + 11s).accepted);
}

TEST(Sweep, WithoutExpiryStillDropsTombstonesAndDeadWaiters) {
    Registry registry(10'000);
    Beat l = beat(5);
    l.leaving = true;
    registry.beat_shared(l, t0);
    registry.beat_shared(beat(6), t0 + 9s);
    auto h = handle();
    registry.park(names({"p", "empty"}), h);
    h.reset();
    EXPECT_EQ(registry.sweep(t0 + 10s), 0u);
    EXPECT_EQ(registry.snapshot().at("p").version, 1u);
    RegistryAccess::inspect(registry, [](const PoolTable& pools) {
        EXPECT_TRUE(pools.at("p").departed.empty());
        EXPECT_TRUE(pools.at("p").watchers.empty());
        EXPECT_TRUE(pools.at("empty").watchers.empty());
    });
    EXPECT_EQ(registry.snapshot().count("empty"), 1u);  // pools are never removed
}

TEST(Sweep, AfterAStallWhatRanOutInItGetsOneMoreLease) {
    // The registry last ran at t0 + 5s and resumes at t0 + 20s; the lease is 10 s.
    Registry registry(10'000);
    const Instant stalled = t0 + 5s, resumed = t0 + 20s;
    registry.beat_shared(beat(1), t0 - 6s);   // ran out at t0 + 4s, before the stall
    registry.beat_shared(beat(2), t0);        // ran out at t0 + 10s, within it
    registry.beat_shared(beat(3), t0 + 12s);  // runs out at t0 + 22s, after the resume
    Beat left_before = beat(4), left_within = beat(5);
    left_before.leaving = left_within.leaving = true;
    registry.beat_shared(left_before, t0 - 6s);
    registry.beat_shared(left_within, t0);
    auto h = handle();
    registry.park(names({"p"}), h);

    EXPECT_EQ(registry.sweep_after_stall(stalled, resumed), 1u);  // only id 1
    EXPECT_EQ(registry.snapshot().at("p").version, 4u);
    EXPECT_EQ(registry.snapshot().at("p").members, 2u);
    EXPECT_TRUE(h->try_take());
    RegistryAccess::inspect(registry, [&](const PoolTable& pools) {
        const Pool& p = pools.at("p");
        EXPECT_EQ(p.records.at(2).expires, resumed + 10s);
        EXPECT_EQ(p.records.at(3).expires, t0 + 22s);
        EXPECT_EQ(p.departed.count(4), 0u);
        EXPECT_EQ(p.departed.at(5).until, resumed + 10s);
    });
    // The forgiven tombstone still makes its incarnation stale.
    EXPECT_FALSE(registry.beat_shared(beat(5), resumed + 1s).accepted);

    // No version step for the grace itself: a watcher parked now stays asleep.
    registry.park(names({"p"}), h);
    EXPECT_EQ(registry.sweep(resumed + 1s), 0u);
    EXPECT_FALSE(h->try_take());
    // Silent after the resume, id 2 expires at the end of its new lease.
    EXPECT_EQ(registry.sweep(resumed + 10s - 1ns), 1u);  // id 3, as usual
    EXPECT_EQ(registry.sweep(resumed + 10s), 1u);
    EXPECT_EQ(registry.snapshot().at("p").members, 0u);
    EXPECT_EQ(registry.sweep(resumed + 10s), 0u);
    RegistryAccess::inspect(registry, [](const PoolTable& pools) { EXPECT_TRUE(pools.at("p").departed.empty()); });
}

TEST(Sweep, AStallGracesOneSilenceOnceAndABeatEndsTheSilence) {
    // Lease 10 s; stalls from t0 + 5s to t0 + 12s and from t0 + 15s to t0 + 25s.
    Registry registry(10'000);
    for (std::uint64_t id : {1, 2, 3}) registry.beat_shared(beat(id), t0);
    Beat left = beat(4);
    left.leaving = true;
    registry.beat_shared(left, t0);

    EXPECT_EQ(registry.sweep_after_stall(t0 + 5s, t0 + 12s), 0u);
    EXPECT_EQ(registry.snapshot().at("p").members, 3u);
    // Between the stalls: id 2 refreshes its lease as it was (read-locked),
    // id 3 beats with a change (write-locked); id 1 stays silent.
    registry.beat_shared(beat(2), t0 + 13s);
    Beat changed = beat(3);
    changed.ready = true;
    registry.beat_shared(changed, t0 + 13s);
    const std::uint64_t version = registry.snapshot().at("p").version;

    // Id 1 had its grace: its lease runs out within the second stall and it
    // goes. Ids 2 and 3 beat since theirs: a new silence, a new grace.
    EXPECT_EQ(registry.sweep_after_stall(t0 + 15s, t0 + 25s), 1u);
    EXPECT_EQ(registry.snapshot().at("p").version, version + 1);
    RegistryAccess::inspect(registry, [&](const PoolTable& pools) {
        const Pool& p = pools.at("p");
        EXPECT_EQ(p.records.count(1), 0u);
        EXPECT_EQ(p.records.at(2).expires, t0 + 35s);
        EXPECT_EQ(p.records.at(3).expires, t0 + 35s);
        EXPECT_EQ(p.departed.count(4), 0u);  // a tombstone is graced once at all
    });
    EXPECT_TRUE(registry.beat_shared(beat(4), t0 + 26s).accepted);
    // Silent since, ids 2 and 3 go at the next stall past their grace.
    EXPECT_EQ(registry.sweep_after_stall(t0 + 30s, t0 + 40s), 2u);
    EXPECT_EQ(registry.snapshot().at("p").members, 1u);
}

TEST(Snapshot, ListsEveryPoolWithVersionRosterAndCount) {
    Registry registry(10'000);
    registry.beat_shared(beat(7, "p", 3), t0);
    registry.beat_shared(beat(8, "p", 1), t0);
    registry.park(names({"q"}), handle());
    const auto snap = registry.snapshot();
    ASSERT_EQ(snap.size(), 2u);
    EXPECT_EQ(snap.at("p").version, 2u);
    EXPECT_EQ(snap.at("p").roster, 12905236620755502797ULL);
    EXPECT_EQ(snap.at("p").members, 2u);
    EXPECT_EQ(snap.at("q").members, 0u);
}

}  // namespace
}  // namespace murlo::registry
