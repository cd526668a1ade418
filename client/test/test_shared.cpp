// Beat composition, ack application and the bell on one client's shared state.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <thread>

#include <boost/asio/awaitable.hpp>

#include "murlo/client/beat/lifecycle.hpp"
#include "murlo/client/beat/shared.hpp"
#include "murlo/runtime/runtime.hpp"

using namespace murlo::client::beat;
using murlo::proto::BeatAck;
using murlo::proto::Member;
using murlo::proto::PoolDelta;

namespace {

Member mem(std::uint64_t id, std::uint64_t inc, std::optional<std::uint64_t> slot = {}, bool ready = true,
           Value state = Value::object({})) {
    Member m;
    m.id = id;
    m.incarnation = inc;
    m.slot = slot;
    m.ready = ready;
    m.state = std::move(state);
    return m;
}

PoolDelta delta(std::uint64_t version, bool full, std::vector<Member> changed = {},
                std::vector<std::uint64_t> removed = {}) {
    PoolDelta d;
    d.version = version;
    d.roster = version * 1000;
    d.policy = "spread";
    d.full = full;
    d.changed = std::move(changed);
    d.removed = std::move(removed);
    return d;
}

BeatAck ack(std::uint64_t epoch, std::map<std::string, PoolDelta> pools = {}) {
    BeatAck a;
    a.epoch = epoch;
    a.protocol = 2;
    a.version = "0.17.0";
    a.ttl_ms = 10000;
    a.accepted = true;
    a.pools = std::move(pools);
    return a;
}

BeatAck refusal(std::uint64_t epoch, std::optional<std::string> text) {
    BeatAck a = ack(epoch);
    a.accepted = false;
    a.refused = std::move(text);
    return a;
}

std::shared_ptr<Shared> make_shared_state() {
    return std::make_shared<Shared>("http://127.0.0.1:1", "p", 7, 3, "spread", std::nullopt, std::nullopt, std::nullopt,
                                    std::vector<std::string>{}, false, 50);
}

// Single-threaded tests: the pool stays valid until the next apply changes the cache.
const CachedPool* cached(Shared& s, const std::string& name) {
    return s.with_pool(name, [](const CachedPool& p) { return &p; }).value_or(nullptr);
}

std::vector<std::uint64_t> ids_of(Shared& s, const std::string& name, bool ready = false) {
    auto span = cached(s, name)->ids(ready);
    return {span.begin(), span.end()};
}

}  // namespace

TEST(Compose, FirstBeatOfANewClient) {
    Client c("http://r", "p", 7, 3, "spread", 2, 4, "http://m", std::vector<std::string>{"a", "b"}, true, 50);
    auto [beat, publication, epoch] = c.shared->compose();
    murlo::proto::Buffer out;
    beat.serialize(out);
    EXPECT_EQ(out, R"({"pool":"p","slot":2,"id":7,"incarnation":3,"publication":0,"policy":"spread","size":4,)"
                   R"("url":"http://m","state":{},"ready":false,"leaving":false,"exclusive":true,"methods":["a","b"],)"
                   R"("watch":[],"seen":{},"hold_ms":0})");
    EXPECT_EQ(publication, 0u);
}

TEST(Compose, CarriesPublicationLeavingHoldAndAbsentMethods) {
    Client c("http://r", "p", 7, 3, "spread", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false, 50);
    auto& s = *c.shared;
    s.published.with_lock([](Published& p) {
        p.version = 4;
        p.ready = true;
        p.state = Value::object({{"k", Value(std::uint64_t{1})}});
    });
    s.leaving = true;
    s.beat_hold_ms = 2500;
    auto [beat, publication, epoch] = s.compose();
    murlo::proto::Buffer out;
    beat.serialize(out);
    EXPECT_EQ(out, R"({"pool":"p","slot":null,"id":7,"incarnation":3,"publication":4,"policy":"spread","size":null,)"
                   R"("url":null,"state":{"k":1},"ready":true,"leaving":true,"exclusive":false,"methods":[],)"
                   R"("watch":[],"seen":{},"hold_ms":2500})");
    EXPECT_EQ(publication, 4u);
}

TEST(Compose, SeenHoldsOnlyWatchedPoolsThatAreCached) {
    auto s = make_shared_state();
    s->apply(ack(1, {{"q", delta(7, true)}, {"z", delta(3, true)}}));
    *s->watched.lock() = {"r", "q", "p"};
    auto [beat, publication, epoch] = s->compose();
    EXPECT_EQ(beat.watch, (std::vector<std::string>{"r", "q", "p"}));
    EXPECT_EQ(beat.seen, (std::map<std::string, std::uint64_t>{{"q", 7}}));
}

TEST(Client, SeedsDifferForEqualArguments) {
    Client a("http://r", "p", 7, 3, "spread", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false, 50);
    Client b("http://r", "p", 7, 3, "spread", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false, 50);
    const std::uint64_t seed_a = *a.rng.lock();  // one at a time: the two never nest
    EXPECT_NE(seed_a, *b.rng.lock());
    // Only the counter differs between these two messages.
    EXPECT_NE(selection_seed(1, 7, 3, 5, 6, 0), selection_seed(1, 7, 3, 5, 6, 1));
    EXPECT_EQ(*a.runtime.lock(), nullptr);
    EXPECT_TRUE(a.shared->accepted);
    EXPECT_EQ(a.shared->interval_ms, 1000u);
}

#if MURLO_LOCK_RANKS
TEST(Client, LocksNestOnlyInTheirOrder) {
    Client c("http://r", "p", 7, 3, "spread", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false, 50);
    auto& s = *c.shared;
    s.apply(ack(1, {{"p", delta(1, true, {mem(1, 1)})}}));
    const CachedPool& pool = *cached(s, "p");
    // published, then the cache, then one of watched, rng or a pool's parts.
    {
        auto published = s.published.lock();
        auto pools = s.cache.lock_shared();
        EXPECT_NO_THROW(s.watched.lock());
        EXPECT_NO_THROW(c.rng.lock());
        EXPECT_NO_THROW(pool.snapshots.lock());
        EXPECT_THROW(s.revision.lock(), std::logic_error);  // nests with nothing
    }
    {
        auto pools = s.cache.lock_shared();
        EXPECT_THROW(s.published.lock(), std::logic_error);
    }
    {
        auto rng = c.rng.lock();
        EXPECT_THROW(pool.digest_cache.lock(), std::logic_error);  // two of rank 3
        EXPECT_THROW(s.watched.lock(), std::logic_error);
    }
    {
        auto runtime = c.runtime.lock();
        EXPECT_THROW(s.last_error.lock(), std::logic_error);
    }
}
#endif

TEST(NoteRegistry, RecordsProtocolAndKeepsAnUnchangedText) {
    auto s = make_shared_state();
    BeatAck a = ack(1);
    a.version = std::string(40, 'v');  // beyond the small-string buffer, so the heap text is visible
    s->note_registry(a);
    EXPECT_EQ(s->registry_protocol, 2u);
    EXPECT_EQ(*s->registry_version.lock(), a.version);
    const char* before = s->registry_version.lock()->data();
    s->note_registry(a);
    EXPECT_EQ(s->registry_version.lock()->data(), before);
    a.version.clear();
    a.protocol = 3;
    s->note_registry(a);
    EXPECT_EQ(*s->registry_version.lock(), "");
    EXPECT_EQ(s->registry_protocol, 3u);
}

TEST(Apply, EpochChangesDropTheCacheEvenWhenRefusing) {
    auto s = make_shared_state();
    EXPECT_TRUE(s->apply(ack(5, {{"p", delta(1, true, {mem(1, 1)})}})));
    EXPECT_NE(cached(*s, "p"), nullptr);  // the first answer drops nothing
    EXPECT_EQ(s->registry_epoch, 5u);
    EXPECT_TRUE(s->apply(ack(5)));
    EXPECT_NE(cached(*s, "p"), nullptr);  // same epoch keeps it
    EXPECT_FALSE(s->apply(refusal(6, "go away")));
    EXPECT_TRUE(s->cache.lock_shared()->empty());
    EXPECT_EQ(s->registry_epoch, 6u);
    EXPECT_FALSE(s->accepted);
}

TEST(Apply, NoEpochYetDropsNothing) {
    // An answer without an epoch leaves 0 behind, so the next one is again a first answer.
    auto s = make_shared_state();
    s->apply(ack(0, {{"p", delta(1, true, {mem(1, 1)})}}));
    EXPECT_TRUE(s->apply(ack(8, {{"q", delta(1, false, {mem(2, 1)})}})));
    EXPECT_NE(cached(*s, "p"), nullptr);
    EXPECT_NE(cached(*s, "q"), nullptr);  // not a restart, so incremental deltas apply
}

TEST(Apply, OnlyFullDeltasRightAfterAnEpochChange) {
    auto s = make_shared_state();
    s->apply(ack(5, {{"p", delta(4, true, {mem(1, 1)})}, {"q", delta(2, true)}}));
    s->apply(ack(9, {{"p", delta(1, false, {mem(2, 1)})}, {"q", delta(1, true, {mem(3, 1)})}}));
    EXPECT_EQ(cached(*s, "p"), nullptr);  // incremental: skipped, no entry made
    ASSERT_NE(cached(*s, "q"), nullptr);
    EXPECT_EQ(cached(*s, "q")->version, 1u);  // lower than before the restart, but the old entry is gone
    EXPECT_EQ(ids_of(*s, "q"), (std::vector<std::uint64_t>{3}));
    // With the epoch settled, incremental deltas apply again and may create entries.
    s->apply(ack(9, {{"p", delta(2, false, {mem(2, 1)})}}));
    ASSERT_NE(cached(*s, "p"), nullptr);
    EXPECT_EQ(ids_of(*s, "p"), (std::vector<std::uint64_t>{2}));
}

// Members of a cached pool, in id order.
std::vector<std::uint64_t> member_ids(Shared& s, const std::string& name) {
    std::vector<std::uint64_t> out;
    for (const auto& [id, m] : cached(s, name)->members) out.push_back(id);
    return out;
}

TEST(Apply, IncrementalDeltasOnlyForBeatsComposedAgainstTheAnswersEpoch) {
    struct Case {
        const char* what;
        std::uint64_t cached_epoch;  // 0: nothing answered yet
        std::uint64_t answer_epoch;
        bool applied;
    };
    const Case cases[] = {
        {"first answer", 0, 5, false},  // composed against no registry at all
        {"same epoch", 5, 5, true},
        {"restarted", 5, 9, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto s = make_shared_state();
        *s->watched.lock() = {"w"};
        if (c.cached_epoch) s->apply(ack(c.cached_epoch, {{"w", delta(3, true, {mem(1, 1)})}}));
        const Composed composed = s->compose();
        EXPECT_EQ(composed.epoch, c.cached_epoch);
        s->apply(ack(c.answer_epoch, {{"w", delta(4, false, {mem(2, 1)})}, {"f", delta(1, true, {mem(7, 1)})}}),
                 composed.epoch);
        EXPECT_EQ(member_ids(*s, "f"), (std::vector<std::uint64_t>{7}));  // full deltas always apply
        if (c.applied) {
            EXPECT_EQ(member_ids(*s, "w"), (std::vector<std::uint64_t>{1, 2}));
            EXPECT_EQ(cached(*s, "w")->version, 4u);
        } else {
            EXPECT_EQ(cached(*s, "w"), nullptr);
        }
    }
}

TEST(Apply, TwoAnswersOfARestartedRegistryToBeatsOfTheOldOne) {
    // The beat loop and a bounded beat both composed against epoch 5; the
    // registry restarted as epoch 9 and answers both.
    auto s = make_shared_state();
    *s->watched.lock() = {"p", "q"};
    s->apply(ack(5, {{"p", delta(4, true, {mem(1, 1), mem(2, 1)})}, {"q", delta(6, true, {mem(3, 1)})}}));
    const Composed loop = s->compose();
    const Composed bounded = s->compose();
    ASSERT_EQ(loop.epoch, 5u);
    EXPECT_EQ(loop.beat.seen, (std::map<std::string, std::uint64_t>{{"p", 4}, {"q", 6}}));

    // The new registry's roster of p, sent whole since the answer's epoch is new to us.
    EXPECT_TRUE(s->apply(ack(9, {{"p", delta(2, true, {mem(7, 1), mem(8, 1)})}}), loop.epoch));
    // Relative to the old registry's versions: meaningless now.
    EXPECT_TRUE(s->apply(ack(9, {{"p", delta(3, false, {mem(9, 1)}, {7})}, {"q", delta(7, false, {mem(4, 1)})}}),
                         bounded.epoch));
    EXPECT_EQ(member_ids(*s, "p"), (std::vector<std::uint64_t>{7, 8}));
    EXPECT_EQ(cached(*s, "p")->version, 2u);
    EXPECT_EQ(cached(*s, "q"), nullptr);
    EXPECT_EQ(s->registry_epoch, 9u);

    // The next beat names the new registry's versions, and its incremental answer applies.
    const Composed next = s->compose();
    EXPECT_EQ(next.epoch, 9u);
    EXPECT_EQ(next.beat.seen, (std::map<std::string, std::uint64_t>{{"p", 2}}));
    s->apply(ack(9, {{"p", delta(3, false, {mem(9, 1)}, {7})}}), next.epoch);
    EXPECT_EQ(member_ids(*s, "p"), (std::vector<std::uint64_t>{8, 9}));
}

TEST(Apply, VersionsBelowTheCachedOneAreSkippedEqualOnesApplied) {
    auto s = make_shared_state();
    s->apply(ack(1, {{"p", delta(5, true, {mem(1, 1)})}}));
    s->apply(ack(1, {{"p", delta(4, true, {mem(9, 1)})}}));
    EXPECT_EQ(ids_of(*s, "p"), (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(cached(*s, "p")->version, 5u);
    s->apply(ack(1, {{"p", delta(5, false, {mem(2, 1)})}}));
    EXPECT_EQ(ids_of(*s, "p"), (std::vector<std::uint64_t>{1, 2}));
}

TEST(Apply, ShapeIsCopiedFromEveryAppliedDelta) {
    auto s = make_shared_state();
    PoolDelta d = delta(3, true);
    d.methods = {"infer"};
    d.size = 8;
    s->apply(ack(1, {{"p", d}}));
    auto* pool = cached(*s, "p");
    EXPECT_EQ(pool->methods, (std::vector<std::string>{"infer"}));
    EXPECT_EQ(pool->size, std::optional<std::uint64_t>(8));
    EXPECT_EQ(pool->roster, 3000u);
    PoolDelta e = delta(4, false);
    s->apply(ack(1, {{"p", e}}));
    EXPECT_TRUE(pool->methods.empty());
    EXPECT_EQ(pool->size, std::nullopt);
    EXPECT_EQ(pool->version, 4u);
    EXPECT_EQ(pool->roster, 4000u);
}

TEST(Apply, SlotIndexFollowsMembers) {
    auto s = make_shared_state();
    s->apply(ack(1, {{"p", delta(1, true, {mem(1, 1, 2), mem(2, 1, 2), mem(3, 1)})}}));
    auto* pool = cached(*s, "p");
    using Slots = std::map<std::uint64_t, std::set<std::uint64_t>>;
    EXPECT_EQ(pool->slots, (Slots{{2, {1, 2}}}));
    s->apply(ack(1, {{"p", delta(2, false, {mem(1, 1, 5)})}}));  // moves 2 -> 5
    EXPECT_EQ(pool->slots, (Slots{{2, {2}}, {5, {1}}}));
    s->apply(ack(1, {{"p", delta(3, false, {mem(2, 2, 5)})}}));  // slot 2 empties and goes
    EXPECT_EQ(pool->slots, (Slots{{5, {1, 2}}}));
    s->apply(ack(1, {{"p", delta(4, false, {mem(1, 1)})}}));  // re-sent without a slot
    EXPECT_EQ(pool->slots, (Slots{{5, {2}}}));
    s->apply(ack(1, {{"p", delta(5, false, {mem(3, 1, 7), mem(2, 2, 5)})}}));  // unchanged slot stays
    EXPECT_EQ(pool->slots, (Slots{{5, {2}}, {7, {3}}}));
    s->apply(ack(1, {{"p", delta(6, false, {}, {3})}}));
    EXPECT_EQ(pool->slots, (Slots{{5, {2}}}));
    s->apply(ack(1, {{"p", delta(7, true, {mem(4, 1, 1)})}}));  // full replaces the index
    EXPECT_EQ(pool->slots, (Slots{{1, {4}}}));
}

TEST(Apply, RemovalWinsOverChangeAndUnknownIdsAreIgnored) {
    auto s = make_shared_state();
    s->apply(ack(1, {{"p", delta(1, true, {mem(1, 1), mem(2, 1)})}}));
    s->apply(ack(1, {{"p", delta(2, false, {mem(3, 1, 4), mem(1, 2)}, {3, 99})}}));
    EXPECT_EQ(ids_of(*s, "p"), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_TRUE(cached(*s, "p")->slots.empty());
    EXPECT_EQ(cached(*s, "p")->members.at(1).incarnation, 2u);
}

// Which derived values survive which kind of delta. Every case starts from a pool
// {1 ready, 2 not ready} whose lists, snapshots and digest were all built.
TEST(Apply, DerivedValuesSurviveOnlyChangesThatDoNotTouchThem) {
    struct Case {
        const char* what;
        PoolDelta delta;
        bool keeps_snapshots, keeps_all_ids, keeps_ready_ids;
    };
    const Value a1 = Value::object({{"a", Value(std::uint64_t{1})}});
    const Case cases[] = {
        {"shape only", delta(2, false), true, true, true},
        {"readiness", delta(2, false, {mem(2, 1, {}, true)}), false, true, false},
        {"state, same readiness", delta(2, false, {mem(1, 1, {}, true, a1)}), false, true, true},
        {"unchanged member re-sent", delta(2, false, {mem(1, 1)}), false, true, true},
        {"new member", delta(2, false, {mem(3, 1, {}, false)}), false, false, false},
        {"removal", delta(2, false, {}, {2}), false, false, false},
        {"removal of an unknown id", delta(2, false, {}, {42}), false, true, true},
        {"full, same members", delta(2, true, {mem(1, 1), mem(2, 1, {}, false)}), false, false, false},
    };
    const std::vector<std::string> fields{"ready"};
    for (const auto& c : cases) {
        auto s = make_shared_state();
        s->apply(ack(1, {{"p", delta(1, true, {mem(1, 1), mem(2, 1, {}, false)})}}));
        auto* pool = cached(*s, "p");
        pool->ids(false);
        pool->ids(true);
        pool->serialized(false);
        pool->serialized(true);
        pool->field_digest(fields);
        s->apply(ack(1, {{"p", c.delta}}));
        EXPECT_EQ(pool->snapshots.lock()->at(0).has_value(), c.keeps_snapshots) << c.what;
        EXPECT_EQ(pool->snapshots.lock()->at(1).has_value(), c.keeps_snapshots) << c.what;
        EXPECT_EQ(pool->digest_cache.lock()->has_value(), c.keeps_snapshots) << c.what;
        EXPECT_EQ(pool->all_ids.built(), c.keeps_all_ids) << c.what;
        EXPECT_EQ(pool->ready_ids.built(), c.keeps_ready_ids) << c.what;
        EXPECT_EQ(pool->version, 2u) << c.what;
        // Whatever was kept or rebuilt describes the members now cached.
        std::vector<std::uint64_t> all, ready;
        for (const auto& [id, m] : pool->members) {
            all.push_back(id);
            if (m.ready) ready.push_back(id);
        }
        auto got_all = pool->ids(false);
        auto got_ready = pool->ids(true);
        EXPECT_EQ(std::vector<std::uint64_t>(got_all.begin(), got_all.end()), all) << c.what;
        EXPECT_EQ(std::vector<std::uint64_t>(got_ready.begin(), got_ready.end()), ready) << c.what;
    }
}

TEST(Apply, RefusalsKeepTheirTextAndAcceptanceNeverComesBack) {
    auto s = make_shared_state();
    s->apply(ack(1, {{"p", delta(1, true, {mem(1, 1)})}}));
    BeatAck refused = refusal(1, "policy \"x\" does not match");
    refused.pools = {{"p", delta(2, false, {mem(2, 1)})}};
    EXPECT_FALSE(s->apply(refused));
    EXPECT_EQ(ids_of(*s, "p"), (std::vector<std::uint64_t>{1}));  // deltas of a refusal are not applied
    EXPECT_EQ(*s->refused.lock(), "policy \"x\" does not match");
    EXPECT_FALSE(s->apply(refusal(1, std::nullopt)));
    EXPECT_EQ(*s->refused.lock(), "policy \"x\" does not match");
    EXPECT_FALSE(s->apply(refusal(1, "")));
    EXPECT_EQ(*s->refused.lock(), "");
    EXPECT_TRUE(s->apply(ack(1, {{"p", delta(3, false, {mem(2, 1)})}})));
    EXPECT_FALSE(s->accepted);
    EXPECT_EQ(ids_of(*s, "p"), (std::vector<std::uint64_t>{1, 2}));
}

namespace {

struct Pipe {
    int r = -1, w = -1;
    explicit Pipe(int flags = O_NONBLOCK) {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, flags | O_CLOEXEC), 0);
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        if (r >= 0) ::close(r);
        if (w >= 0) ::close(w);
    }
    std::string drain() const {
        std::string out;
        char buf[64];
        for (ssize_t n; (n = ::read(r, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
        return out;
    }
};

}  // namespace

TEST(Ring, MovesRevisionAndCountersWithoutDescriptors) {
    auto s = make_shared_state();
    for (int i = 1; i <= 3; ++i) {
        s->ring();
        EXPECT_EQ(s->cache_revision(), static_cast<std::uint64_t>(i));
        EXPECT_EQ(s->watch_wakeups, static_cast<std::uint64_t>(i));
    }
}

TEST(Ring, EveryRegistrationGetsItsByteAndFailuresStopNothing) {
    // The host interpreter ignores SIGPIPE; so must a process that rings into a pipe nobody reads.
    ::signal(SIGPIPE, SIG_IGN);
    auto s = make_shared_state();
    Pipe first, second, full, gone;
    ::close(gone.r);
    gone.r = -1;
    // Fill one pipe so its write fails with EAGAIN.
    const std::string block(1 << 16, 'x');
    while (::write(full.w, block.data(), block.size()) > 0) {
    }
    int closed;
    {
        Pipe tmp;
        closed = tmp.w;
    }
    *s->wake_fds.lock() = {-1, first.w, closed, full.w, gone.w, second.w, first.w, 1 << 20};
    s->ring();
    s->ring();
    EXPECT_EQ(first.drain(), std::string(4, '\x01'));
    EXPECT_EQ(second.drain(), std::string(2, '\x01'));
    EXPECT_EQ(s->wake_fds.lock()->size(), 8u);  // nothing is dropped on failure
    EXPECT_EQ(s->cache_revision(), 2u);
}

TEST(Ring, AFullBlockingPipeIsPassedOver) {
    auto s = make_shared_state();
    Pipe full(0);
    // Fill it without blocking, then make the write end blocking again.
    const int flags = ::fcntl(full.w, F_GETFL);
    ASSERT_EQ(::fcntl(full.w, F_SETFL, flags | O_NONBLOCK), 0);
    const std::string block(1 << 16, 'x');
    while (::write(full.w, block.data(), block.size()) > 0) {
    }
    while (::write(full.w, "x", 1) > 0) {
    }
    ASSERT_EQ(::fcntl(full.w, F_SETFL, flags), 0);
    Pipe after;
    *s->wake_fds.lock() = {full.w, after.w};

    std::atomic<bool> rang{false};
    std::thread ringer([&] {
        s->ring();
        rang = true;
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!rang && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool returned = rang;
    if (!returned) {
        // Free the stuck ring so the test can end.
        ::fcntl(full.r, F_SETFL, ::fcntl(full.r, F_GETFL) | O_NONBLOCK);
        while (!rang) {
            char buf[4096];
            while (::read(full.r, buf, sizeof buf) > 0) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ringer.join();
    EXPECT_TRUE(returned) << "ring blocked on a full pipe";
    EXPECT_EQ(after.drain(), "\x01");
    EXPECT_EQ(*s->wake_fds.lock(), (std::vector<int>{full.w, after.w}));
}

TEST(RingDeathTest, ARuntimeThreadRingingIntoASocketNobodyReadsSurvives) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::signal(SIGPIPE, SIG_DFL);
            int sv[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::_Exit(2);
            ::close(sv[1]);  // still writable as far as poll is concerned; a write fails with EPIPE
            auto s = make_shared_state();
            *s->wake_fds.lock() = {sv[0]};
            murlo::runtime::Runtime rt(murlo::runtime::RuntimeOptions{1, "bell"});
            rt.block_on([s]() -> boost::asio::awaitable<void> {
                s->ring();
                co_return;
            }());
            std::_Exit(s->cache_revision() == 1 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Ring, WakesEveryWaiter) {
    auto s = make_shared_state();
    constexpr int kWaiters = 4;
    std::atomic<int> waiting{0}, woke{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.emplace_back([&] {
            ++waiting;
            // Generous bound: only a lost wake-up would ever reach it; a
            // spurious wake-up returns 0 and waits again.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            std::uint64_t revision = 0;
            while (revision == 0 && std::chrono::steady_clock::now() < until) revision = s->wait_revision(0, 30'000);
            if (revision == 1) ++woke;
        });
    }
    // Ring once every waiter is about to wait; one that has not begun yet
    // finds the revision moved and returns at once.
    while (waiting.load() < kWaiters) std::this_thread::yield();
    s->ring();
    for (auto& t : threads) t.join();
    EXPECT_EQ(woke.load(), kWaiters);
}

// A leave while another thread's start waits for its first answer: leave finds
// no runtime and returns; start, once its beat ends, must not store its
// runtime (nothing would ever end it) but shut it down and report the leave.
TEST(Client, ALeaveWhileStartWaitsLeavesNoRuntimeBehind) {
    // Accepts the loop's connection and the bounded beat's, and answers neither.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    Client c("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), "p", 7, 3, "spread", std::nullopt,
             std::nullopt, std::nullopt, std::nullopt, false, 50);
    auto started = std::async(std::launch::async, [&] { return start(c, ~0ULL); });
    const int first = ::accept(listener, nullptr, nullptr);
    const int second = ::accept(listener, nullptr, nullptr);
    EXPECT_GE(first, 0);
    EXPECT_GE(second, 0);
    leave(c);  // start is in its bounded beat: there is nothing to take yet
    EXPECT_TRUE(c.shared->leaving);
    // The bounded beat fails, unanswered (no early return before this, or
    // start would wait for ever).
    for (int fd : {first, second, listener})
        if (fd >= 0) ::close(fd);
    EXPECT_THROW(started.get(), LeftPool);
    EXPECT_EQ(*c.runtime.lock(), nullptr);
    EXPECT_EQ(c.shared->beats_ok.load(), 0u);
}
