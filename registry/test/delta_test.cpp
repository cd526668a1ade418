// Pool deltas: incremental or full, their contents and cost, the per-pool
// cache, the bounded JSON length, and the shared answer's JSON.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "murlo/proto/records.hpp"
#include "murlo/registry/delta.hpp"
#include "murlo/registry/state.hpp"
#include "delta/length.hpp"
#include "state/access.hpp"
#include "test_beats.hpp"

namespace murlo::registry {
namespace {

using proto::Beat;
using proto::Value;
using namespace std::chrono_literals;

using testing::t0;

Beat beat(std::uint64_t id, std::uint64_t incarnation = 1) { return testing::minimal_beat("p", id, incarnation); }

// Pool::delta on pool `p` under the read lock, with the drops it left behind.
struct Asked {
    SharedDelta delta;
    Drops drops;
};
Asked ask(const Registry& registry, std::optional<std::uint64_t> since, const std::string& name = "p") {
    Asked out;
    RegistryAccess::inspect(registry, [&](const PoolTable& pools) {
        Deferred deferred;
        out.delta = pools.at(name).delta(since, deferred);
        out.drops = std::move(deferred.drops);
    });
    return out;
}

std::size_t cached_entries(const Registry& registry) {
    std::size_t n = 0;
    RegistryAccess::inspect(registry, [&](const PoolTable& pools) { n = pools.at("p").deltas.entries.size(); });
    return n;
}

std::vector<std::uint64_t> ids_of(const proto::PoolDelta& d) {
    std::vector<std::uint64_t> ids;
    for (const auto& m : d.changed) ids.push_back(m.id);
    return ids;
}

TEST(SerializedLen, CountsCompactJsonExactlyAndStopsPastTheLimit) {
    struct Case {
        const char* name;
        Value value;
        std::size_t limit;
        std::optional<std::size_t> len;
    };
    const std::vector<Case> cases = {
        {"null", Value(), 100, 4},
        {"null at limit", Value(), 4, 4},
        {"null over", Value(), 3, std::nullopt},
        {"zero limit", Value(false), 0, std::nullopt},
        {"object", Value::object({{"b", Value(std::uint64_t{1})}, {"a", Value(proto::Array{Value(true), Value()})}}),
         100, 23},                                 // {"a":[true,null],"b":1}
        {"escapes", Value("a\"\n\x01"), 100, 13},  // "a\"\n\u0001"
        {"double", Value(1.0), 100, 3},
        {"negative", Value(std::int64_t{-12}), 100, 3},
        {"string at limit", Value(std::string(98, 'x')), 100, 100},
        {"string over", Value(std::string(99, 'x')), 100, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(delta::serialized_len(c.value, c.limit), c.len) << c.name;
}

TEST(PoolDelta, UpToDateNoneOtherwiseFullOrIncremental) {
    Registry registry(10'000);
    for (std::uint64_t id = 1; id <= 3; ++id) registry.beat_shared(beat(id), t0);
    struct Case {
        std::optional<std::uint64_t> since;
        bool none;
        bool full;
    };
    const std::vector<Case> cases = {
        {3, true, false},  {std::nullopt, false, true}, {4, false, true},
        {99, false, true}, {2, false, false},           {0, false, false},
    };
    for (const Case& c : cases) {
        const Asked a = ask(registry, c.since);
        const std::string label = c.since ? std::to_string(*c.since) : "absent";
        ASSERT_EQ(a.delta == nullptr, c.none) << label;
        if (c.none) continue;
        EXPECT_EQ(a.delta->full, c.full) << label;
        EXPECT_EQ(a.delta->version, 3u) << label;
        EXPECT_EQ(a.delta->roster, registry.snapshot().at("p").roster) << label;
        if (c.full) {
            EXPECT_EQ(a.delta->changed.size(), 3u) << label;
        }
    }
}

TEST(PoolDelta, PoolAtVersionZero) {
    Registry registry(10'000);
    const std::vector<std::string> names = {"p"};
    registry.park(names, std::make_shared<runtime::Notify>());
    EXPECT_EQ(ask(registry, 0).delta, nullptr);
    for (const std::optional<std::uint64_t> since : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(5)}) {
        const Asked a = ask(registry, since);
        ASSERT_NE(a.delta, nullptr);
        EXPECT_TRUE(a.delta->full);
        EXPECT_TRUE(a.delta->changed.empty());
        EXPECT_EQ(a.delta->version, 0u);
        EXPECT_EQ(a.delta->policy, "");
    }
}

TEST(PoolDelta, WindowEndsAtVersionMinus4096) {
    Registry registry(10'000);
    for (std::uint64_t id = 1; id <= 5'000; ++id) registry.beat_shared(beat(id), t0);
    const std::uint64_t v = 5'000;
    const Asked inside = ask(registry, v - 4'096);
    ASSERT_NE(inside.delta, nullptr);
    EXPECT_FALSE(inside.delta->full);
    ASSERT_EQ(inside.delta->changed.size(), 4'096u);
    EXPECT_EQ(inside.delta->changed.front().id, 905u);
    EXPECT_EQ(inside.delta->changed.back().id, 5'000u);
    const Asked outside = ask(registry, v - 4'097);
    ASSERT_NE(outside.delta, nullptr);
    EXPECT_TRUE(outside.delta->full);
    EXPECT_EQ(outside.delta->changed.size(), 5'000u);
    EXPECT_TRUE(outside.delta->removed.empty());
}

TEST(PoolDelta, IncrementalListsEachIdOnceAscendingWithItsCurrentRecord) {
    Registry registry(10'000);
    registry.beat_shared(beat(50), t0);  // version 1: what the member holds
    Beat changing = beat(30);
    for (std::uint64_t i = 0; i < 3; ++i) {  // joins, then changes twice
        changing.state = Value(i);
        registry.beat_shared(changing, t0);
    }
    registry.beat_shared(beat(40), t0);
    Beat gone = beat(40);
    gone.leaving = true;
    registry.beat_shared(gone, t0);  // joined and left after since
    registry.beat_shared(beat(10), t0);
    Beat left = beat(50);
    left.leaving = true;
    registry.beat_shared(left, t0);
    Beat replaced = beat(20, 1);
    registry.beat_shared(replaced, t0);
    registry.beat_shared(beat(20, 2), t0);

    const Asked a = ask(registry, 1);
    ASSERT_NE(a.delta, nullptr);
    EXPECT_FALSE(a.delta->full);
    EXPECT_EQ(ids_of(*a.delta), (std::vector<std::uint64_t>{10, 20, 30}));
    EXPECT_EQ(a.delta->changed[1].incarnation, 2u);
    EXPECT_EQ(a.delta->changed[2].state, Value(std::uint64_t{2}));
    EXPECT_EQ(a.delta->removed, (std::vector<std::uint64_t>{40, 50}));
}

TEST(PoolDelta, CostFollowsTheEstimate) {
    Registry registry(10'000);
    Beat b = beat(1);
    b.methods = {"a", "bc"};
    b.url = "u";
    b.state = Value::object({{"a", Value(std::uint64_t{1})}});
    registry.beat_shared(b, t0);
    registry.beat_shared(beat(2), t0);
    Beat l = beat(2);
    l.leaving = true;
    registry.beat_shared(l, t0);
    RegistryAccess::inspect(registry, [](const PoolTable& pools) {
        const Pool& p = pools.at("p");
        const std::size_t base = 256 + 6 * 2 + (6 * 1 + 3) + (6 * 2 + 3);
        const std::size_t member = 256 + 7 + 6 * 1;
        EXPECT_EQ(p.build_delta(0).second, base + member + 21);
        EXPECT_EQ(p.build_delta(std::nullopt).second, base + member);
        EXPECT_EQ(p.build_delta(2).second, base + 21);
        EXPECT_TRUE(p.build_delta(3).first.changed.empty());
    });
}

TEST(DeltaCacheTest, SameRequestSharesOneBuildAndFullDeltasShareOneEntry) {
    Registry registry(10'000);
    for (std::uint64_t id = 1; id <= 3; ++id) registry.beat_shared(beat(id), t0);
    EXPECT_EQ(ask(registry, 1).delta, ask(registry, 1).delta);
    const SharedDelta full = ask(registry, std::nullopt).delta;
    EXPECT_EQ(ask(registry, 99).delta, full);
    EXPECT_EQ(cached_entries(registry), 2u);
    // Answers share the cached values too.
    Beat w = beat(9);
    w.watch = {"p"};
    w.seen = {{"p", 1}};
    const SharedBeatAck ack = registry.beat_shared(w, t0);  // joins: version moves, cache emptied
    EXPECT_EQ(cached_entries(registry), 1u);
    EXPECT_EQ(ack.pools.at("p"), ask(registry, 1).delta);
    EXPECT_EQ(ack.pools.at("p")->version, 4u);
}

TEST(DeltaCacheTest, NinthSinceEvictsTheOldestIntoDrops) {
    Registry registry(10'000);
    for (std::uint64_t id = 1; id <= 10; ++id) registry.beat_shared(beat(id), t0);
    std::weak_ptr<const proto::PoolDelta> first;
    for (std::uint64_t since = 0; since < 8; ++since) {
        Asked a = ask(registry, since);
        EXPECT_TRUE(a.drops.empty());
        if (since == 0) first = a.delta;
    }
    EXPECT_EQ(cached_entries(registry), 8u);
    Asked ninth = ask(registry, 8);
    ASSERT_EQ(ninth.drops.size(), 1u);
    EXPECT_EQ(ninth.drops[0], first.lock());
    EXPECT_EQ(cached_entries(registry), 8u);
    // The evicted delta lives until the drops are released.
    EXPECT_FALSE(first.expired());
    ninth.drops.clear();
    EXPECT_TRUE(first.expired());
    // since 1 is still cached, since 0 is built anew.
    RegistryAccess::inspect(registry,
                            [](const PoolTable& pools) { EXPECT_EQ(pools.at("p").deltas.entries.front().since, 1u); });
}

TEST(DeltaCacheTest, ByteBudgetEvictsOldestFirstAndRefusesOversized) {
    const auto make = [] { return std::make_shared<const proto::PoolDelta>(); };
    DeltaCache cache;
    Drops drops;
    cache.insert(1, make(), 1'000'000, drops);
    cache.insert(2, make(), 1'000'000, drops);
    EXPECT_EQ(cache.bytes, 2'000'000u);
    cache.insert(3, make(), 97'152, drops);  // exactly at the budget
    EXPECT_EQ(cache.entries.size(), 3u);
    EXPECT_TRUE(drops.empty());
    cache.insert(4, make(), 1, drops);  // one byte over: the oldest goes
    EXPECT_EQ(drops.size(), 1u);
    EXPECT_EQ(cache.entries.front().since, 2u);
    EXPECT_EQ(cache.bytes, 1'097'153u);
    cache.insert(5, make(), DeltaCache::max_bytes + 1, drops);  // never cached, evicts nothing
    EXPECT_EQ(cache.entries.size(), 3u);
    EXPECT_EQ(drops.size(), 1u);
    EXPECT_EQ(cache.find(5), nullptr);
    cache.insert(std::nullopt, make(), DeltaCache::max_bytes, drops);  // fits alone: evicts all
    EXPECT_EQ(cache.entries.size(), 1u);
    EXPECT_EQ(drops.size(), 4u);
    EXPECT_NE(cache.find(std::nullopt), nullptr);
    cache.clear(drops);
    EXPECT_TRUE(cache.entries.empty());
    EXPECT_EQ(cache.bytes, 0u);
    EXPECT_EQ(drops.size(), 5u);
}

TEST(DeltaCacheTest, FullDeltaOf9000MembersIsNeverCached) {
    Registry registry(10'000);
    for (std::uint64_t id = 1; id <= 9'000; ++id) registry.beat_shared(beat(id), t0);
    const Asked a = ask(registry, std::nullopt);
    const Asked b = ask(registry, std::nullopt);
    ASSERT_NE(a.delta, nullptr);
    EXPECT_EQ(a.delta->changed.size(), 9'000u);
    EXPECT_NE(a.delta, b.delta);
    EXPECT_EQ(cached_entries(registry), 0u);
}

TEST(DeltaCacheTest, VersionStepsAndShapeChangesEmptyTheCache) {
    Registry registry(10'000);
    registry.beat_shared(beat(1), t0);
    ask(registry, 0);
    ASSERT_EQ(cached_entries(registry), 1u);
    Beat m = beat(1);
    m.methods = {"a"};
    registry.beat_shared(m, t0);  // methods adopted, no version step
    EXPECT_EQ(cached_entries(registry), 0u);
    const Asked a = ask(registry, 0);
    EXPECT_EQ(a.delta->methods, (std::vector<std::string>{"a"}));
    registry.sweep(t0 + 10s);  // expiry is a version step
    EXPECT_EQ(cached_entries(registry), 0u);
}

TEST(SharedAck, WritesTheBeatAckForm) {
    proto::PoolDelta d;
    d.version = 3;
    d.roster = proto::Member::roster_hash(7, 3);
    d.policy = "x";
    proto::Member m;
    m.id = 7;
    m.slot = 0;
    m.incarnation = 3;
    m.state = Value::object({});
    m.ready = true;
    d.changed.push_back(m);
    d.full = true;

    SharedBeatAck ack;
    ack.epoch = 1765238400000000001ULL;
    ack.protocol = 2;
    ack.version = "0.17.0";
    ack.ttl_ms = 10'000;
    ack.accepted = true;
    ack.pools["p"] = std::make_shared<const proto::PoolDelta>(d);
    proto::Buffer out;
    ack.serialize(out);
    EXPECT_EQ(out,
              R"({"epoch":1765238400000000001,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":true,)"
              R"("pools":{"p":{"version":3,"roster":5696088171538031335,"policy":"x","methods":[],"size":null,)"
              R"("changed":[{"id":7,"slot":0,"incarnation":3,"state":{},"ready":true}],"removed":[],"full":true}}})");

    SharedBeatAck refusal;
    refusal.epoch = 1765238400000000001ULL;
    refusal.protocol = 2;
    refusal.version = "0.17.0";
    refusal.ttl_ms = 10'000;
    out.clear();
    refusal.serialize(out);
    EXPECT_EQ(
        out,
        R"({"epoch":1765238400000000001,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":false,"pools":{}})");

    SharedBeatAck bare;
    bare.refused = "";
    out.clear();
    bare.serialize(out);
    EXPECT_EQ(out, R"({"epoch":0,"protocol":0,"ttl_ms":0,"accepted":false,"refused":"","pools":{}})");
}

TEST(SharedAck, RegistryAnswersReadBackAsBeatAcks) {
    Registry registry(10'000);
    Beat a = beat(1);
    a.state = Value::object({{"k", Value(-1.5)}});
    a.url = "http://h:1";
    a.slot = 4;
    a.methods = {"m"};
    registry.beat_shared(a, t0);
    Beat b = beat(2);
    b.watch = {"p"};
    b.seen = {{"p", 0}};
    const SharedBeatAck ack = registry.beat_shared(b, t0);
    proto::Buffer out;
    ack.serialize(out);
    const auto read = proto::read_beat_ack(out);
    ASSERT_TRUE(read.ok()) << read.error().text();
    const proto::BeatAck& back = read.value();
    EXPECT_EQ(back.epoch, registry.epoch());
    EXPECT_TRUE(back.accepted);
    const proto::PoolDelta& d = back.pools.at("p");
    EXPECT_EQ(d.version, 2u);
    EXPECT_EQ(d.methods, (std::vector<std::string>{"m"}));
    ASSERT_EQ(d.changed.size(), 2u);
    EXPECT_EQ(d.changed[0].url, "http://h:1");
    EXPECT_EQ(d.changed[0].slot, 4u);
    EXPECT_EQ(d.changed[0].state, a.state);
    EXPECT_EQ(d.roster, registry.snapshot().at("p").roster);
}

}  // namespace
}  // namespace murlo::registry
