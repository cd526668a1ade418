// The pool cache's queries: id lists, slots, choice, member JSON and field digests.
#include <gtest/gtest.h>

#include <array>

#include "murlo/client/beat/shared.hpp"
#include "murlo/client/beat/siphash.hpp"
#include "murlo/client/beat/wyrand.hpp"

using namespace murlo::client::beat;
using murlo::proto::BeatAck;
using murlo::proto::Member;
using murlo::proto::PoolDelta;

namespace {

constexpr std::uint64_t kStep = 0x2d358dccaa6c78a5ull;

Member mem(std::uint64_t id, std::uint64_t inc, bool ready = true, Value state = Value::object({}),
           std::optional<std::uint64_t> slot = {}, std::optional<std::string> url = {}) {
    Member m;
    m.id = id;
    m.incarnation = inc;
    m.ready = ready;
    m.state = std::move(state);
    m.slot = slot;
    m.url = std::move(url);
    return m;
}

Value obj(std::initializer_list<std::pair<const char*, Value>> entries) {
    murlo::proto::Object o;
    for (const auto& [k, v] : entries) o.emplace_back(k, v);
    return Value::object(std::move(o));
}

// A client state holding one cached pool "p", filled through the real writer.
struct Fixture {
    std::shared_ptr<Shared> s = std::make_shared<Shared>("http://r", "p", 1, 1, "spread", std::nullopt, std::nullopt,
                                                         std::nullopt, std::vector<std::string>{}, false, 50);
    std::uint64_t version = 0;

    explicit Fixture(std::vector<Member> members) { send(std::move(members), {}, true); }
    void send(std::vector<Member> changed, std::vector<std::uint64_t> removed = {}, bool full = false) {
        BeatAck a;
        a.epoch = 1;
        a.accepted = true;
        PoolDelta d;
        d.version = ++version;
        d.full = full;
        d.changed = std::move(changed);
        d.removed = std::move(removed);
        a.pools.emplace("p", std::move(d));
        s->apply(a);
    }
    const CachedPool& pool() {
        return *s->with_pool("p", [](const CachedPool& p) { return &p; }).value();
    }
};

std::vector<std::uint64_t> vec(std::span<const std::uint64_t> s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(PoolCache, EmptyPool) {
    Fixture f({});
    auto& pool = f.pool();
    EXPECT_TRUE(pool.ids(false).empty());
    EXPECT_TRUE(pool.ids(true).empty());
    EXPECT_EQ(pool.slot(0, false), nullptr);
    std::uint64_t rng = 99;
    EXPECT_EQ(pool.choose(obj({}), false, rng), nullptr);
    EXPECT_EQ(pool.choose(obj({{"a", Value(std::uint64_t{1})}}), false, rng), nullptr);
    EXPECT_EQ(rng, 99u);  // nothing drawn
    auto snap = pool.serialized(false);
    EXPECT_EQ(snap.json, "[]");
    EXPECT_EQ(snap.fingerprint, 0u);
    EXPECT_TRUE(pool.snapshots.lock()->at(0).has_value());
    for (const auto& fields : {std::vector<std::string>{}, std::vector<std::string>{"url", "ready", "a"}})
        EXPECT_EQ(pool.field_digest(fields), siphash13("")) << fields.size();
}

TEST(PoolCache, IdListsAscendAndFollowReadiness) {
    Fixture f({mem(9, 1, true), mem(2, 1, false), mem(5, 1, true), mem(7, 1, false)});
    EXPECT_EQ(vec(f.pool().ids(false)), (std::vector<std::uint64_t>{2, 5, 7, 9}));
    EXPECT_EQ(vec(f.pool().ids(true)), (std::vector<std::uint64_t>{5, 9}));
    f.send({mem(2, 1, true)});
    EXPECT_EQ(vec(f.pool().ids(true)), (std::vector<std::uint64_t>{2, 5, 9}));
    f.send({mem(3, 1, false)}, {9});
    EXPECT_EQ(vec(f.pool().ids(false)), (std::vector<std::uint64_t>{2, 3, 5, 7}));
    EXPECT_EQ(vec(f.pool().ids(true)), (std::vector<std::uint64_t>{2, 5}));
}

TEST(PoolCache, SlotGivesTheLowestQualifyingHolder) {
    Fixture f({mem(9, 1, true, Value::object({}), 1), mem(5, 1, false, Value::object({}), 1),
               mem(3, 1, false, Value::object({}), 2), mem(4, 1, true)});
    struct Case {
        std::uint64_t slot;
        bool require_ready;
        std::optional<std::uint64_t> want;
    } cases[] = {
        {1, false, 5}, {1, true, 9}, {2, false, 3}, {2, true, std::nullopt}, {0, false, std::nullopt},
    };
    for (const auto& c : cases) {
        const Member* m = f.pool().slot(c.slot, c.require_ready);
        EXPECT_EQ(m ? std::optional(m->id) : std::nullopt, c.want) << c.slot << " " << c.require_ready;
    }
}

TEST(PoolCache, ChooseWithoutAFilterIsOneDrawOverTheIdList) {
    // Seven ready members among ten; from state 12345 a draw below 7 gives 4.
    std::vector<Member> members;
    for (std::uint64_t id = 1; id <= 10; ++id) members.push_back(mem(id * 10, 1, id <= 7));
    Fixture f(members);
    const Value not_a_filter[] = {obj({}), Value(std::uint64_t{5}), Value("x"), Value(murlo::proto::Array{}), Value()};
    for (const auto& filter : not_a_filter) {
        std::uint64_t rng = 12345;
        const Member* m = f.pool().choose(filter, true, rng);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->id, 50u);
        EXPECT_EQ(rng, 12345 + kStep);
    }
    // Over all ten members: a draw below 10 from state 0 gives 6, then 0.
    std::uint64_t rng = 0;
    EXPECT_EQ(f.pool().choose(obj({}), false, rng)->id, 70u);
    EXPECT_EQ(f.pool().choose(obj({}), false, rng)->id, 10u);
}

TEST(PoolCache, ChooseWithAFilterDrawsOncePerMatch) {
    const Value a = obj({{"zone", Value("a")}});
    const Value b = obj({{"zone", Value("b")}});
    Fixture f(
        {mem(1, 1, true, a), mem(2, 1, true, b), mem(3, 1, false, a), mem(4, 1, true, Value()), mem(5, 1, true, a)});
    const Value want_b = obj({{"zone", Value("b")}});
    std::uint64_t rng = 777;
    const Member* m = f.pool().choose(want_b, true, rng);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->id, 2u);
    EXPECT_EQ(rng, 777 + kStep);  // one match, one step

    rng = 777;
    EXPECT_EQ(f.pool().choose(obj({{"zone", Value("c")}}), false, rng), nullptr);
    EXPECT_EQ(rng, 777u);  // no match, no draw

    // Three ready matches (1, 3, 5 with 3 not ready -> 1, 5); each is taken about equally often.
    std::array<int, 6> hits{};
    rng = 42;
    constexpr int kRounds = 20000;
    for (int i = 0; i < kRounds; ++i) {
        std::uint64_t before = rng;
        const Member* pick = f.pool().choose(obj({{"zone", Value("a")}}), true, rng);
        ASSERT_NE(pick, nullptr);
        ++hits[pick->id];
        ASSERT_EQ(rng - before, 2 * kStep) << "one draw per match";
    }
    EXPECT_EQ(hits[3], 0);
    EXPECT_NEAR(hits[1], kRounds / 2, kRounds / 20);
    EXPECT_NEAR(hits[5], kRounds / 2, kRounds / 20);
    // Without the readiness rule, the not-ready match takes part too.
    std::array<int, 6> all{};
    for (int i = 0; i < kRounds; ++i) ++all[f.pool().choose(a, false, rng)->id];
    for (int id : {1, 3, 5}) EXPECT_NEAR(all[id], kRounds / 3, kRounds / 20) << id;
}

TEST(PoolCache, SerializedWritesMembersInIdOrderWithTheirFingerprint) {
    Fixture f({mem(8, 1, false, Value()), mem(7, 3, true, obj({{"b", Value(std::uint64_t{1})}}), 0, "u")});
    auto all = f.pool().serialized(false);
    EXPECT_EQ(all.json, R"([{"id":7,"slot":0,"incarnation":3,"url":"u","state":{"b":1},"ready":true},)"
                        R"({"id":8,"incarnation":1,"state":null,"ready":false}])");
    EXPECT_EQ(all.fingerprint, 12905236620755502797ull);
    auto ready = f.pool().serialized(true);
    EXPECT_EQ(ready.json, R"([{"id":7,"slot":0,"incarnation":3,"url":"u","state":{"b":1},"ready":true}])");
    EXPECT_EQ(ready.fingerprint, 5696088171538031335ull);
    // Kept: a second call answers from the stored copy.
    f.pool().snapshots.lock()->at(1)->json = "kept";
    EXPECT_EQ(f.pool().serialized(true).json, "kept");
    // A change drops it and the next call rebuilds.
    f.send({mem(8, 1, true, Value())});
    EXPECT_EQ(f.pool().serialized(true).fingerprint, 12905236620755502797ull);
}

TEST(PoolCache, SerializedKeepsTextsUpToOneMebibyte) {
    const std::string base = R"([{"id":1,"incarnation":1,"state":"","ready":true}])";
    for (std::size_t total : {kSnapshotKeepBytes, kSnapshotKeepBytes + 1}) {
        Fixture f({mem(1, 1, true, Value(std::string(total - base.size(), 'x')))});
        for (int call = 0; call < 2; ++call) {
            auto snap = f.pool().serialized(false);
            EXPECT_EQ(snap.json.size(), total);
            EXPECT_EQ(snap.fingerprint, Member::roster_hash(1, 1));
        }
        EXPECT_EQ(f.pool().snapshots.lock()->at(0).has_value(), total == kSnapshotKeepBytes) << total;
    }
}

namespace {

void le64(std::string& out, std::uint64_t n) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(n >> (8 * i)));
}

}  // namespace

TEST(PoolCache, FieldDigestHashesIdentitiesAndTheNamedFields) {
    Fixture f(
        {mem(4, 2, false, obj({{"a", Value("x")}, {"n", obj({{"z", Value(true)}, {"y", Value()}})}}), {}, "http://m4"),
         mem(9, 1, true, Value())});
    const std::vector<std::string> fields{"url", "ready", "a", "n", "missing"};
    std::string msg;
    le64(msg, 4), le64(msg, 2);
    le64(msg, 1), msg += "http://m4\xff";
    msg += '\0';
    msg += "\"x\"\xff";
    msg += "{\"y\":null,\"z\":true}\xff";
    msg += "\xff";
    le64(msg, 9), le64(msg, 1);
    le64(msg, 0);  // no url
    msg += '\1';
    msg += "\xff\xff\xff";  // state null: every key missing
    EXPECT_EQ(f.pool().field_digest(fields), siphash13(msg));

    // The identities alone for no fields; "ready" inside state is not the member's readiness.
    std::string ids;
    le64(ids, 4), le64(ids, 2), le64(ids, 9), le64(ids, 1);
    EXPECT_EQ(f.pool().field_digest({}), siphash13(ids));
    EXPECT_TRUE(f.pool().digest_cache.lock()->has_value());  // the empty list is stored
}

TEST(PoolCache, FieldDigestWritesStateValuesAsCompactJson) {
    murlo::proto::Object big;
    for (int i = 0; i < 20; ++i) big.emplace_back("k" + std::to_string(i), Value(std::uint64_t(i)));
    struct Case {
        const char* what;
        Value state;
        std::string key;
        std::string bytes;  // what the key contributes before 0xff
    } cases[] = {
        {"one-character text", obj({{"a", Value("x")}}), "a", "\"x\""},
        {"text with escapes", obj({{"a", Value("q\"\\\n\x01/\x7f\xc3\xa9")}}), "a",
         "\"q\\\"\\\\\\n\\u0001/\x7f\xc3\xa9\""},
        {"number forms", obj({{"a", Value(1.0)}, {"b", Value(std::int64_t{-2})}}), "a", "1.0"},
        {"negative integer", obj({{"a", Value(1.0)}, {"b", Value(std::int64_t{-2})}}), "b", "-2"},
        {"array", obj({{"a", Value(murlo::proto::Array{Value(true), Value()})}}), "a", "[true,null]"},
        {"key among many", Value::object(big), "k17", "17"},
        {"missing key among many", Value::object(big), "k20", ""},
        {"same-length other key", obj({{"b", Value("x")}}), "a", ""},
        {"state not an object", Value(murlo::proto::Array{Value("a")}), "a", ""},
    };
    for (const auto& c : cases) {
        Fixture f({mem(3, 1, true, c.state)});
        std::string msg;
        le64(msg, 3), le64(msg, 1);
        msg += c.bytes + "\xff";
        EXPECT_EQ(f.pool().field_digest(std::vector<std::string>{c.key}), siphash13(msg)) << c.what;
    }
}

TEST(PoolCache, FieldDigestRemembersOnlyTheLastSmallList) {
    Fixture f({mem(1, 1), mem(2, 1, false)});
    auto& pool = f.pool();
    const std::vector<std::string> two{"url", "ready"};
    const std::uint64_t d = pool.field_digest(two);
    ASSERT_TRUE(pool.digest_cache.lock()->has_value());
    (*pool.digest_cache.lock())->second = 12345;  // a second ask answers from the store
    EXPECT_EQ(pool.field_digest(two), 12345u);
    (*pool.digest_cache.lock())->second = d;

    struct Case {
        const char* what;
        std::vector<std::string> fields;
        bool stored;
    };
    const Case cases[] = {
        {"65 names", std::vector<std::string>(65, "k"), false},
        {"4097 bytes", {std::string(4000, 'a'), std::string(97, 'b')}, false},
        {"64 names of 64 bytes", std::vector<std::string>(64, std::string(64, 'c')), true},
    };
    for (const auto& c : cases) {
        pool.digest_cache.lock()->emplace(two, d);
        const std::uint64_t got = pool.field_digest(c.fields);
        // Correct either way: recompute with the store cleared.
        pool.digest_cache.lock()->reset();
        EXPECT_EQ(got, pool.field_digest(c.fields)) << c.what;
        pool.digest_cache.lock()->emplace(two, d);
        pool.field_digest(c.fields);
        ASSERT_TRUE(pool.digest_cache.lock()->has_value());
        EXPECT_EQ((*pool.digest_cache.lock())->first == c.fields, c.stored) << c.what;
        EXPECT_EQ((*pool.digest_cache.lock())->first == two, !c.stored) << c.what;
    }
}

TEST(PoolCache, AnotherIncarnationChangesEveryDigest) {
    const Value st = obj({{"a", Value(std::uint64_t{1})}});
    Fixture f({mem(1, 1, true, st, {}, "u"), mem(2, 1, true, st)});
    const std::vector<std::vector<std::string>> lists{{}, {"url"}, {"ready"}, {"a"}, {"url", "ready", "a"}};
    std::vector<std::uint64_t> before;
    for (const auto& l : lists) before.push_back(f.pool().field_digest(l));
    f.send({mem(2, 2, true, st)});
    for (std::size_t i = 0; i < lists.size(); ++i) EXPECT_NE(f.pool().field_digest(lists[i]), before[i]) << i;
}

TEST(PoolCache, MatchingMembersKeepsTheListOrder) {
    const Value a = obj({{"k", Value(std::uint64_t{1})}});
    Fixture f(
        {mem(1, 1, true, a), mem(2, 1, true, obj({{"k", Value(2.0)}})), mem(3, 1, false, obj({{"k", Value(1.0)}}))});
    const std::vector<std::uint64_t> order{3, 2, 1};
    std::vector<std::uint64_t> got;
    for (const Member* m : matching_members(f.pool(), order, a)) got.push_back(m->id);
    EXPECT_EQ(got, (std::vector<std::uint64_t>{3, 1}));
}
