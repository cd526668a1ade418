// Applying beats: limits, shape admission, staleness, the version steps and
// the lifecycle of a member id.

#include <gtest/gtest.h>

#include <functional>
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

using testing::t0;
constexpr std::uint64_t ttl_ms = 10'000;

Beat beat(std::uint64_t id, std::uint64_t incarnation, std::string pool = "p") {
    return testing::minimal_beat(std::move(pool), id, incarnation);
}

Beat leave(std::uint64_t id, std::uint64_t incarnation) {
    Beat b = beat(id, incarnation);
    b.leaving = true;
    return b;
}

// Reads one pool under the registry's read lock; fails the test when missing.
void with_pool(const Registry& registry, const std::string& name, const std::function<void(const Pool&)>& f) {
    bool seen = false;
    RegistryAccess::inspect(registry, [&](const PoolTable& pools) {
        const auto it = pools.find(name);
        if (it == pools.end()) return;
        seen = true;
        f(it->second);
    });
    ASSERT_TRUE(seen) << "no pool " << name;
}

std::uint64_t version_of(const Registry& registry, const std::string& name = "p") {
    const auto snap = registry.snapshot();
    const auto it = snap.find(name);
    return it == snap.end() ? 0 : it->second.version;
}

// A state `depth` levels deep, arrays and objects in turn around a number.
Value nested(std::size_t depth) {
    Value v(std::uint64_t{1});
    for (std::size_t i = 0; i < depth; ++i) {
        v = i % 2 ? Value::object({{"k", std::move(v)}}) : Value(proto::Array{std::move(v)});
    }
    return v;
}

TEST(BeatLimits, EachLimitPassesAtItsValueAndRefusesOneAbove) {
    struct Case {
        const char* name;
        std::function<void(Beat&)> edit;
        bool accepted;
    };
    const std::string s512(512, 'a'), s513(513, 'a');
    const std::vector<Case> cases = {
        {"pool 512", [&](Beat& b) { b.pool = s512; }, true},
        {"pool 513", [&](Beat& b) { b.pool = s513; }, false},
        {"incarnation max", [](Beat& b) { b.incarnation = max_incarnation; }, true},
        {"incarnation max+1", [](Beat& b) { b.incarnation = max_incarnation + 1; }, false},
        {"watch 64", [](Beat& b) { b.watch.assign(64, "w"); }, true},
        {"watch 65", [](Beat& b) { b.watch.assign(65, "w"); }, false},
        {"watched name 512",
         [&](Beat& b) {
             b.watch = {"w", s512};
         },
         true},
        {"watched name 513",
         [&](Beat& b) {
             b.watch = {"w", s513};
         },
         false},
        {"url 512", [&](Beat& b) { b.url = s512; }, true},
        {"url 513", [&](Beat& b) { b.url = s513; }, false},
        {"methods 256", [](Beat& b) { b.methods.assign(256, "m"); }, true},
        {"methods 257", [](Beat& b) { b.methods.assign(257, "m"); }, false},
        {"method name 512",
         [&](Beat& b) {
             b.methods = {"m", s512};
         },
         true},
        {"method name 513",
         [&](Beat& b) {
             b.methods = {"m", s513};
         },
         false},
        // A string's compact JSON is its bytes plus two quotes.
        {"state 16384", [](Beat& b) { b.state = Value(std::string(16'382, 'x')); }, true},
        {"state 16385", [](Beat& b) { b.state = Value(std::string(16'383, 'x')); }, false},
        {"state 16384 nested",
         [](Beat& b) {
             b.state = Value::object({{"k", Value(proto::Array{Value(std::string(16'374, 'x'))})}});
         },
         true},
        {"state 16385 nested",
         [](Beat& b) {
             b.state = Value::object({{"k", Value(proto::Array{Value(std::string(16'375, 'x'))})}});
         },
         false},
        // Below the five levels of an answer, no reader takes a state deeper
        // than 122; a beat (one level above it) could carry 126.
        {"state depth 122", [](Beat& b) { b.state = nested(122); }, true},
        {"state depth 123", [](Beat& b) { b.state = nested(123); }, false},
        {"state depth 126", [](Beat& b) { b.state = nested(126); }, false},
        {"state depth 123 beside a shallow key",
         [](Beat& b) {
             b.state = Value::object({{"a", Value(std::uint64_t{1})}, {"z", nested(122)}});
         },
         false},
        // Nothing else is limited.
        {"long policy", [](Beat& b) { b.policy = std::string(100'000, 'p'); }, true},
        {"empty pool name", [](Beat& b) { b.pool = ""; }, true},
    };
    for (const Case& c : cases) {
        Registry registry(ttl_ms);
        Beat b = beat(1, 1, "lim");
        c.edit(b);
        const std::string pool = b.pool;
        const SharedBeatAck ack = registry.beat_shared(b, t0);
        EXPECT_EQ(ack.accepted, c.accepted) << c.name;
        EXPECT_FALSE(ack.refused) << c.name;
        EXPECT_TRUE(ack.pools.empty()) << c.name;
        // A refused beat creates nothing; an accepted one joins its pool.
        const auto snap = registry.snapshot();
        EXPECT_EQ(snap.count(pool), c.accepted ? 1u : 0u) << c.name;
        if (c.accepted && snap.count(pool)) {
            EXPECT_EQ(snap.at(pool).members, 1u) << c.name;
        }
    }
}

TEST(BeatLimits, TheDeepestStateTakenStillReadsBackInAWatchersAnswer) {
    Registry registry(ttl_ms);
    Beat deep = beat(1, 1);
    deep.state = nested(122);
    ASSERT_TRUE(registry.beat_shared(deep, t0).accepted);
    Beat watcher = beat(2, 1);
    watcher.watch = {"p"};
    const SharedBeatAck ack = registry.beat_shared(watcher, t0);
    proto::Buffer out;
    ack.serialize(out);
    const auto read = proto::read_beat_ack(out);
    ASSERT_TRUE(read.ok()) << read.error().text();
    const auto& changed = read.value().pools.at("p").changed;
    ASSERT_EQ(changed.size(), 2u);
    const std::size_t at = changed[0].id == 1 ? 0 : 1;
    EXPECT_EQ(changed[at].state, deep.state);

    // One level more and the same answer no longer reads.
    proto::PoolDelta delta = *ack.pools.at("p");
    delta.changed[at].state = nested(123);
    SharedBeatAck deeper = ack;
    deeper.pools["p"] = std::make_shared<const proto::PoolDelta>(std::move(delta));
    out.clear();
    deeper.serialize(out);
    const auto refused = proto::read_beat_ack(out);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().text().find("recursion limit exceeded"), std::string::npos) << refused.error().text();
}

TEST(BeatLimits, StateLengthIsStoredForTheRecord) {
    Registry registry(ttl_ms);
    Beat b = beat(1, 1);
    b.state = Value::object({{"a", Value(std::uint64_t{1})}});  // {"a":1}
    registry.beat_shared(b, t0);
    with_pool(registry, "p", [](const Pool& p) { EXPECT_EQ(p.records.at(1).state_len, 7u); });
}

TEST(BeatAnswer, CarriesTheConstants) {
    Registry registry(1'500);
    const SharedBeatAck ok = registry.beat_shared(beat(1, 1), t0);
    Beat over = beat(1, 1);
    over.watch.assign(65, "w");
    const SharedBeatAck refused = registry.beat_shared(over, t0);
    for (const SharedBeatAck* ack : {&ok, &refused}) {
        EXPECT_EQ(ack->epoch, registry.epoch());
        EXPECT_EQ(ack->protocol, 2u);
        EXPECT_EQ(ack->version, "0.17.0");
        EXPECT_EQ(ack->ttl_ms, 1'500u);
    }
    EXPECT_TRUE(ok.accepted);
    EXPECT_FALSE(refused.accepted);
}

TEST(BeatShape, RefusalTextsQuoteNamesAndSayNoSize) {
    struct Case {
        const char* name;
        Beat first;
        Beat second;
        std::string text;
    };
    auto with = [](Beat b, std::function<void(Beat&)> f) {
        f(b);
        return b;
    };
    const std::vector<Case> cases = {
        {"policy", beat(1, 1), with(beat(2, 1), [](Beat& b) { b.policy = "hash"; }),
         R"(pool "p" is running as "rr", this member says "hash")"},
        {"policy with escapes", with(beat(1, 1, "a\"b\\c"), [](Beat& b) { b.policy = "x\ty"; }),
         with(beat(2, 1, "a\"b\\c"), [](Beat& b) { b.policy = "it's\n"; }),
         R"(pool "a\"b\\c" is running as "x\ty", this member says "it's\n")"},
        {"size against no size", beat(1, 1), with(beat(2, 1), [](Beat& b) { b.size = 3; }),
         R"(pool "p" was opened with size no size, this member says 3)"},
        {"size against size", with(beat(1, 1), [](Beat& b) { b.size = 4; }),
         with(beat(2, 1), [](Beat& b) { b.size = 3; }), R"(pool "p" was opened with size 4, this member says 3)"},
        {"policy before size", with(beat(1, 1), [](Beat& b) { b.size = 4; }),
         with(beat(2, 1),
              [](Beat& b) {
                  b.size = 3;
                  b.policy = "hash";
              }),
         R"(pool "p" is running as "rr", this member says "hash")"},
    };
    for (const Case& c : cases) {
        Registry registry(ttl_ms);
        ASSERT_TRUE(registry.beat_shared(c.first, t0).accepted) << c.name;
        Beat second = c.second;
        second.watch = {c.first.pool};  // a refusal carries no deltas even when watching
        const auto before = registry.snapshot();
        const SharedBeatAck ack = registry.beat_shared(second, t0);
        EXPECT_FALSE(ack.accepted) << c.name;
        ASSERT_TRUE(ack.refused) << c.name;
        EXPECT_EQ(*ack.refused, c.text) << c.name;
        EXPECT_TRUE(ack.pools.empty()) << c.name;
        const auto after = registry.snapshot();
        EXPECT_EQ(after.at(c.first.pool).version, before.at(c.first.pool).version) << c.name;
        EXPECT_EQ(after.at(c.first.pool).members, 1u) << c.name;
    }
}

TEST(BeatShape, MembersFixPolicyAndSizeButNotMethodsUntilSet) {
    Registry registry(ttl_ms);
    Beat first = beat(1, 1);
    first.size = 4;
    ASSERT_TRUE(registry.beat_shared(first, t0).accepted);
    EXPECT_TRUE(registry.beat_shared(beat(2, 1), t0).accepted);  // no size joins a sized pool

    // A pool with members and no methods takes the first non-empty methods.
    Beat m = beat(3, 1);
    m.methods = {"a", "b"};
    ASSERT_TRUE(registry.beat_shared(m, t0).accepted);
    Beat other = beat(4, 1);
    other.methods = {"c"};
    ASSERT_TRUE(registry.beat_shared(other, t0).accepted);
    with_pool(registry, "p", [](const Pool& p) {
        EXPECT_EQ(p.methods, (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(p.size, 4u);
        EXPECT_EQ(p.version, 4u);  // four joins, no step for the methods
    });
}

TEST(BeatShape, EmptyPoolIsReshapedByTheNextBeatWithoutAVersionStep) {
    Registry registry(ttl_ms);
    Beat first = beat(1, 1);
    first.size = 2;
    first.methods = {"a"};
    registry.beat_shared(first, t0);
    registry.beat_shared(leave(1, 1), t0);
    ASSERT_EQ(version_of(registry), 2u);
    Beat next = beat(2, 1);
    next.policy = "hash";
    next.size = 7;
    ASSERT_TRUE(registry.beat_shared(next, t0).accepted);
    with_pool(registry, "p", [](const Pool& p) {
        EXPECT_EQ(p.version, 3u);
        EXPECT_EQ(p.policy, "hash");
        EXPECT_EQ(p.size, 7u);
        EXPECT_TRUE(p.methods.empty());  // taken whole, the absent methods included
    });
}

TEST(BeatShape, StaleAndLeavingBeatsStillShapeAnEmptyPool) {
    Registry registry(ttl_ms);
    Beat fenced = beat(1, 5);
    fenced.slot = 0;
    registry.beat_shared(fenced, t0);
    registry.beat_shared(leave(1, 5), t0);
    Beat stale = beat(1, 4);
    stale.policy = "hash";
    EXPECT_FALSE(registry.beat_shared(stale, t0).accepted);
    with_pool(registry, "p", [](const Pool& p) { EXPECT_EQ(p.policy, "hash"); });
    Beat leaving = leave(9, 1);
    leaving.policy = "third";
    EXPECT_TRUE(registry.beat_shared(leaving, t0).accepted);
    with_pool(registry, "p", [](const Pool& p) {
        EXPECT_EQ(p.policy, "third");
        EXPECT_EQ(p.version, 2u);
    });
}

// Every row of the table of version steps: the steps one beat makes after a setup.
TEST(BeatVersion, StepsPerKindOfBeat) {
    struct Case {
        const char* name;
        std::vector<Beat> setup;
        Beat beat;
        bool accepted;
        std::uint64_t steps;
    };
    auto with = [](Beat b, std::function<void(Beat&)> f) {
        f(b);
        return b;
    };
    auto pub = [&](std::uint64_t id, std::uint64_t n, Value state) {
        return with(beat(id, 1), [&](Beat& b) {
            b.publication = n;
            b.state = state;
        });
    };
    Beat over = beat(1, 1);
    over.methods.assign(257, "m");
    const std::vector<Case> cases = {
        {"join", {}, beat(1, 1), true, 1},
        {"replace by higher incarnation", {beat(1, 1)}, beat(1, 2), true, 1},
        {"same incarnation, state changed",
         {beat(1, 1)},
         with(beat(1, 1), [](Beat& b) { b.state = Value(true); }),
         true,
         1},
        {"same incarnation, url changed", {beat(1, 1)}, with(beat(1, 1), [](Beat& b) { b.url = "u"; }), true, 1},
        {"same incarnation, ready changed", {beat(1, 1)}, with(beat(1, 1), [](Beat& b) { b.ready = true; }), true, 1},
        {"state 1 to 1.0", {pub(1, 1, Value(std::uint64_t{1}))}, pub(1, 2, Value(1.0)), true, 1},
        {"leave with record", {beat(1, 1)}, leave(1, 1), true, 1},
        {"leave without record", {}, leave(1, 1), true, 0},
        {"publication at or below stored", {pub(1, 7, Value(1.5))}, pub(1, 7, Value("new")), true, 0},
        {"publication absent against stored", {pub(1, 7, Value(1.5))}, beat(1, 1), true, 0},
        {"publication newer, nothing changed", {pub(1, 7, Value(1.5))}, pub(1, 8, Value(1.5)), true, 0},
        {"publication newer, state changed", {pub(1, 7, Value(1.5))}, pub(1, 8, Value(2.5)), true, 1},
        {"no publication either side, unchanged", {beat(1, 1)}, beat(1, 1), true, 0},
        {"shape taken by empty pool",
         {},
         with(leave(1, 1),
              [](Beat& b) {
                  b.policy = "x";
                  b.size = 3;
              }),
         true,
         0},
        {"methods adopted", {beat(1, 1)}, with(beat(1, 1), [](Beat& b) { b.methods = {"a"}; }), true, 0},
        {"stale lower incarnation", {beat(1, 2)}, beat(1, 1), false, 0},
        {"shape refusal", {beat(1, 1)}, with(beat(2, 1), [](Beat& b) { b.policy = "x"; }), false, 0},
        {"validation refusal", {beat(1, 1)}, over, false, 0},
    };
    for (const Case& c : cases) {
        Registry registry(ttl_ms);
        for (const Beat& b : c.setup) ASSERT_TRUE(registry.beat_shared(b, t0).accepted) << c.name;
        const std::uint64_t before = version_of(registry);
        EXPECT_EQ(registry.beat_shared(c.beat, t0).accepted, c.accepted) << c.name;
        EXPECT_EQ(version_of(registry) - before, c.steps) << c.name;
        with_pool(registry, "p", [&](const Pool& p) { EXPECT_EQ(p.history.size(), p.version) << c.name; });
    }
}

TEST(BeatVersion, PublicationRuleStoresTheNumberAndKeepsTheLease) {
    Registry registry(ttl_ms);
    Beat b = beat(1, 1);
    b.publication = 7;
    b.state = Value("a");
    registry.beat_shared(b, t0);
    // Same publication with a new state: only the lease moves.
    b.state = Value("b");
    registry.beat_shared(b, t0 + 5s);
    with_pool(registry, "p", [&](const Pool& p) {
        const Record& r = p.records.at(1);
        EXPECT_EQ(r.member.state, Value("a"));
        EXPECT_EQ(r.publication, 7u);
        EXPECT_EQ(r.expires, t0 + 5s + 10s);
    });
    // Newer publication with what the record holds: number taken, no step.
    b.publication = 8;
    b.state = Value("a");
    registry.beat_shared(b, t0);
    with_pool(registry, "p", [&](const Pool& p) {
        EXPECT_EQ(p.records.at(1).publication, 8u);
        EXPECT_EQ(p.version, 1u);
    });
    // A beat without publication after the record dropped it: compared each time.
    Beat none = beat(2, 1);
    registry.beat_shared(none, t0);
    none.state = Value(std::uint64_t{1});
    registry.beat_shared(none, t0);
    none.state = Value(std::uint64_t{2});
    registry.beat_shared(none, t0);
    EXPECT_EQ(version_of(registry), 4u);
}

TEST(BeatVersion, UpdateKeepsTheSlotOfTheJoinAndSetsStateLength) {
    Registry registry(ttl_ms);
    Beat b = beat(1, 1);
    b.slot = 3;
    b.watch = {"p"};
    registry.beat_shared(b, t0);
    b.slot = 9;
    b.state = Value("abc");
    b.url = "http://x";
    const SharedBeatAck ack = registry.beat_shared(b, t0);
    ASSERT_EQ(ack.pools.count("p"), 1u);
    ASSERT_EQ(ack.pools.at("p")->changed.size(), 1u);
    EXPECT_EQ(ack.pools.at("p")->changed[0].slot, 3u);
    EXPECT_EQ(ack.pools.at("p")->changed[0].url, "http://x");
    with_pool(registry, "p", [](const Pool& p) { EXPECT_EQ(p.records.at(1).state_len, 5u); });
}

TEST(BeatVersion, ReplacementChangesTheRosterAndStepsOnce) {
    Registry registry(ttl_ms);
    registry.beat_shared(beat(7, 3), t0);
    const auto before = registry.snapshot().at("p");
    EXPECT_EQ(before.roster, proto::Member::roster_hash(7, 3));
    ASSERT_TRUE(registry.beat_shared(beat(7, 4), t0).accepted);
    const auto after = registry.snapshot().at("p");
    EXPECT_EQ(after.version, before.version + 1);
    EXPECT_EQ(after.roster, proto::Member::roster_hash(7, 4));
    EXPECT_EQ(after.members, 1u);
}

// What a beat does by the id's live record and its own incarnation.
TEST(BeatLifecycle, TableOfLiveRecordAgainstIncarnationAndLeaving) {
    enum Outcome { join, tombstone_only, refresh, remove, replace, stale };
    struct Case {
        const char* name;
        std::optional<std::uint64_t> live;  // incarnation of the live record
        std::uint64_t incarnation;
        bool exclusive;
        bool leaving;
        Outcome outcome;
    };
    const std::vector<Case> cases = {
        {"none", std::nullopt, 5, false, false, join},
        {"none, leaving", std::nullopt, 5, false, true, tombstone_only},
        {"E = I", 5, 5, false, false, refresh},
        {"E = I, leaving", 5, 5, false, true, remove},
        {"E = I, exclusive", 5, 5, true, false, refresh},
        {"E < I", 4, 5, false, false, replace},
        {"E < I, leaving", 4, 5, false, true, remove},
        {"E < I, exclusive", 4, 5, true, false, stale},
        {"E < I, exclusive, leaving", 4, 5, true, true, stale},
        {"E > I", 6, 5, false, false, stale},
        {"E > I, leaving", 6, 5, false, true, stale},
    };
    for (const Case& c : cases) {
        Registry registry(ttl_ms);
        if (c.live) registry.beat_shared(beat(1, *c.live), t0);
        const std::uint64_t before = version_of(registry);
        Beat b = beat(1, c.incarnation);
        b.exclusive = c.exclusive;
        b.leaving = c.leaving;
        b.state = Value("new");
        b.watch = {"p"};
        const SharedBeatAck ack = registry.beat_shared(b, t0 + 1s);
        EXPECT_EQ(ack.accepted, c.outcome != stale) << c.name;
        EXPECT_FALSE(ack.refused) << c.name;
        with_pool(registry, "p", [&](const Pool& p) {
            const auto rec = p.records.find(1);
            const bool tomb = p.departed.count(1) == 1;
            const std::uint64_t steps = p.version - before;
            switch (c.outcome) {
                case join:
                case replace:
                    ASSERT_NE(rec, p.records.end()) << c.name;
                    EXPECT_EQ(rec->second.member.incarnation, c.incarnation) << c.name;
                    EXPECT_EQ(rec->second.member.state, Value("new")) << c.name;
                    EXPECT_EQ(steps, 1u) << c.name;
                    EXPECT_FALSE(tomb) << c.name;
                    break;
                case refresh:
                    ASSERT_NE(rec, p.records.end()) << c.name;
                    EXPECT_EQ(rec->second.expires, t0 + 11s) << c.name;
                    EXPECT_EQ(steps, 1u) << c.name;  // the state changed
                    break;
                case remove:
                    EXPECT_EQ(rec, p.records.end()) << c.name;
                    EXPECT_EQ(steps, 1u) << c.name;
                    ASSERT_TRUE(tomb) << c.name;
                    EXPECT_EQ(p.departed.at(1).incarnation, c.incarnation) << c.name;
                    EXPECT_EQ(p.departed.at(1).until, t0 + 11s) << c.name;
                    EXPECT_EQ(p.roster, 0u) << c.name;
                    break;
                case tombstone_only:
                    EXPECT_EQ(steps, 0u) << c.name;
                    EXPECT_TRUE(tomb) << c.name;
                    break;
                case stale:
                    ASSERT_NE(rec, p.records.end()) << c.name;
                    EXPECT_EQ(rec->second.member.incarnation, *c.live) << c.name;
                    EXPECT_EQ(rec->second.expires, t0 + 10s) << c.name;  // lease not renewed
                    EXPECT_EQ(steps, 0u) << c.name;
                    EXPECT_FALSE(tomb) << c.name;
                    break;
            }
        });
        // Stale beats receive deltas like accepted ones.
        EXPECT_EQ(ack.pools.count("p"), 1u) << c.name;
    }
}

TEST(BeatTombstone, LeaveWithoutRecordMakesEqualOrLowerStaleUntilSwept) {
    Registry registry(ttl_ms);
    ASSERT_TRUE(registry.beat_shared(leave(1, 5), t0).accepted);
    EXPECT_EQ(version_of(registry), 0u);
    EXPECT_FALSE(registry.beat_shared(beat(1, 5), t0).accepted);
    EXPECT_FALSE(registry.beat_shared(beat(1, 4), t0).accepted);
    // Past its instant but not yet swept: still counts.
    EXPECT_FALSE(registry.beat_shared(beat(1, 5), t0 + 20s).accepted);
    // A sweep before the instant keeps it, one at or after drops it.
    registry.sweep(t0 + 9s);
    EXPECT_FALSE(registry.beat_shared(beat(1, 5), t0 + 20s).accepted);
    registry.sweep(t0 + 10s);
    EXPECT_TRUE(registry.beat_shared(beat(1, 4), t0 + 20s).accepted);
}

TEST(BeatTombstone, HigherIncarnationJoinsAndLeavingBeatsAreNotGone) {
    Registry registry(ttl_ms);
    registry.beat_shared(leave(1, 5), t0);
    EXPECT_TRUE(registry.beat_shared(beat(1, 6), t0).accepted);
    // A later leave replaces the tombstone, also with a lower incarnation.
    Registry other(ttl_ms);
    other.beat_shared(leave(2, 5), t0);
    EXPECT_TRUE(other.beat_shared(leave(2, 3), t0 + 1s).accepted);
    with_pool(other, "p", [](const Pool& p) {
        EXPECT_EQ(p.departed.at(2).incarnation, 3u);
        EXPECT_EQ(p.departed.at(2).until, t0 + 11s);
    });
    EXPECT_TRUE(other.beat_shared(beat(2, 4), t0).accepted);
}

TEST(BeatFence, SlotBeatsRaiseAFenceThatOutlivesTheRecord) {
    Registry registry(ttl_ms);
    Beat b = beat(1, 5);
    b.slot = 0;
    ASSERT_TRUE(registry.beat_shared(b, t0).accepted);
    EXPECT_EQ(registry.sweep(t0 + 10s), 1u);
    EXPECT_FALSE(registry.beat_shared(beat(1, 4), t0 + 11s).accepted);
    EXPECT_TRUE(registry.beat_shared(beat(1, 5), t0 + 11s).accepted);
    // Leaving beats below the fence are stale too.
    EXPECT_FALSE(registry.beat_shared(leave(1, 4), t0 + 11s).accepted);
    // Beats without a slot never raise it.
    EXPECT_TRUE(registry.beat_shared(beat(1, 9), t0 + 11s).accepted);
    with_pool(registry, "p", [](const Pool& p) { EXPECT_EQ(p.fences.at(1), 5u); });
    // A leaving beat with a slot raises it as well.
    Beat l = leave(1, 12);
    l.slot = 1;
    EXPECT_TRUE(registry.beat_shared(l, t0 + 11s).accepted);
    with_pool(registry, "p", [](const Pool& p) { EXPECT_EQ(p.fences.at(1), 12u); });
}

TEST(BeatExclusive, StaleUntilTheOldRecordExpires) {
    Registry registry(ttl_ms);
    registry.beat_shared(beat(1, 1), t0);
    Beat b = beat(1, 2);
    b.exclusive = true;
    EXPECT_FALSE(registry.beat_shared(b, t0 + 1s).accepted);
    registry.sweep(t0 + 10s);
    EXPECT_TRUE(registry.beat_shared(b, t0 + 11s).accepted);
}

TEST(BeatLease, HugeLeasesSaturateInsteadOfWrapping) {
    Registry registry(UINT64_MAX);
    EXPECT_EQ(registry.ttl_ms(), UINT64_MAX);
    registry.beat_shared(beat(1, 1), t0);
    registry.beat_shared(leave(2, 1), t0);
    with_pool(registry, "p", [](const Pool& p) {
        EXPECT_EQ(p.records.at(1).expires, Instant::max());
        EXPECT_EQ(p.departed.at(2).until, Instant::max());
    });
    EXPECT_EQ(registry.sweep(t0 + std::chrono::hours(24 * 365 * 200)), 0u);
    EXPECT_EQ(registry.beat_shared(beat(1, 1), t0).ttl_ms, UINT64_MAX);
    EXPECT_FALSE(registry.beat_shared(beat(2, 1), t0).accepted);
}

TEST(BeatDeltas, WatchedPoolsOnlyAndNoneCreated) {
    Registry registry(ttl_ms);
    registry.beat_shared(beat(1, 1, "other"), t0);
    Beat b = beat(2, 1);
    b.watch = {"missing", "other"};
    const SharedBeatAck ack = registry.beat_shared(b, t0);
    EXPECT_EQ(ack.pools.size(), 1u);
    EXPECT_EQ(ack.pools.count("other"), 1u);
    EXPECT_EQ(registry.snapshot().count("missing"), 0u);
    // The member's own pool only when watched; `seen` at the version gives nothing.
    b.watch = {"p", "other"};
    b.seen = {{"other", 1}};
    const SharedBeatAck again = registry.beat_shared(b, t0);
    EXPECT_EQ(again.pools.size(), 1u);
    EXPECT_TRUE(again.pools.at("p")->full);
    EXPECT_EQ(again.pools.at("p")->version, 1u);
}

TEST(BeatDeltas, AnswerShowsTheBeatsOwnChange) {
    Registry registry(ttl_ms);
    registry.beat_shared(beat(1, 1), t0);
    Beat b = beat(2, 1);
    b.watch = {"p"};
    b.seen = {{"p", 1}};
    const SharedBeatAck ack = registry.beat_shared(b, t0);
    ASSERT_EQ(ack.pools.count("p"), 1u);
    const proto::PoolDelta& d = *ack.pools.at("p");
    EXPECT_FALSE(d.full);
    EXPECT_EQ(d.version, 2u);
    ASSERT_EQ(d.changed.size(), 1u);
    EXPECT_EQ(d.changed[0].id, 2u);
}

}  // namespace
}  // namespace murlo::registry
