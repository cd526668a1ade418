// Readers query one cached pool from several threads while answers are applied.
// Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "murlo/client/beat/shared.hpp"

using namespace murlo::client::beat;
using murlo::proto::BeatAck;
using murlo::proto::Member;
using murlo::proto::PoolDelta;

namespace {

Member mem(std::uint64_t id, std::uint64_t inc, bool ready, std::uint64_t generation) {
    Member m;
    m.id = id;
    m.incarnation = inc;
    m.ready = ready;
    m.slot = id % 4;
    m.state = Value::object({{"g", Value(generation % 3)}});
    return m;
}

BeatAck ack(PoolDelta d) {
    BeatAck a;
    a.epoch = 1;
    a.accepted = true;
    a.pools.emplace("p", std::move(d));
    return a;
}

std::shared_ptr<Shared> make() {
    return std::make_shared<Shared>("http://r", "p", 1, 1, "spread", std::nullopt, std::nullopt, std::nullopt,
                                    std::vector<std::string>{}, false, 50);
}

}  // namespace

TEST(CacheThreads, LazyListsAreBuiltOnceUnderConcurrentReaders) {
    auto s = make();
    PoolDelta d;
    d.version = 1;
    d.full = true;
    for (std::uint64_t id = 0; id < 500; ++id) d.changed.push_back(mem(id, 1, id % 3 != 0, 0));
    s->apply(ack(d));
    constexpr int kThreads = 8;
    for (int round = 0; round < 20; ++round) {
        // Each round changes membership, resetting both lists, then all readers ask at once.
        PoolDelta inc;
        inc.version = 2 + round;
        inc.changed.push_back(mem(1000 + round, 1, true, 0));
        s->apply(ack(inc));
        std::barrier start(kThreads);
        std::vector<std::thread> threads;
        std::vector<std::size_t> sizes(kThreads), ready_sizes(kThreads);
        std::vector<const std::uint64_t*> data(kThreads);
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                auto pools = s->cache.lock_shared();
                const CachedPool& pool = pools->at("p");
                start.arrive_and_wait();
                auto ready = pool.ids(true);
                auto all = pool.ids(false);
                sizes[t] = all.size();
                ready_sizes[t] = ready.size();
                data[t] = all.data();
            });
        }
        for (auto& th : threads) th.join();
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(sizes[t], 500u + round + 1);  // a second build would have appended again
            EXPECT_EQ(ready_sizes[t], 333u + round + 1);
            EXPECT_EQ(data[t], data[0]);
        }
    }
}

TEST(CacheThreads, QueriesStayConsistentWhileAnswersApply) {
    Client client("http://r", "p", 1, 1, "spread", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false, 50);
    auto s = client.shared;
    *s->watched.lock() = {"p"};
    constexpr std::uint64_t kMembers = 64;
    {
        PoolDelta d;
        d.version = 1;
        d.full = true;
        for (std::uint64_t id = 0; id < kMembers; ++id) d.changed.push_back(mem(id, 1, true, 0));
        s->apply(ack(d));
    }
    // A fixed amount of work on both sides: the reader-preferring lock may make
    // the writer wait, but never for longer than the readers' remaining queries.
    constexpr int kQueries = 2000;
    std::atomic<int> readers_left{4};
    std::barrier start(5);
    auto reader = [&](int which) {
        const std::vector<std::string> fields{"ready", "g"};
        const Value filter = Value::object({{"g", Value(std::uint64_t{1})}});
        start.arrive_and_wait();
        for (int q = 0; q < kQueries; ++q) {
            {
                auto pools = s->cache.lock_shared();
                const CachedPool& pool = pools->at("p");
                auto all = pool.ids(false);
                auto ready = pool.ids(true);
                auto snap = pool.serialized(which % 2 == 1);
                std::uint64_t fingerprint = 0;
                for (std::uint64_t id : which % 2 == 1 ? ready : all) fingerprint ^= pool.members.at(id).roster_hash();
                EXPECT_EQ(snap.fingerprint, fingerprint);
                EXPECT_LE(ready.size(), all.size());
                EXPECT_EQ(all.size(), pool.members.size());
                pool.field_digest(fields);
                if (const Member* m = client.choose(pool, filter, true)) {
                    EXPECT_TRUE(m->ready);
                }
                client.choose(pool, Value::object({}), false);
                for (std::uint64_t slot = 0; slot < 4; ++slot)
                    if (const Member* m = pool.slot(slot, false)) {
                        EXPECT_EQ(m->slot, slot);
                    }
            }
            (void)s->compose();
        }
        readers_left.fetch_sub(1);
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) readers.emplace_back(reader, i);

    // The writer flips readiness, replaces incarnations, removes and re-adds members.
    start.arrive_and_wait();
    std::uint64_t version = 1;
    std::uint64_t gen = 0;
    while (readers_left.load() > 0 || gen < 300) {
        ++gen;
        PoolDelta d;
        d.version = ++version;
        d.full = gen % 50 == 0;
        const std::uint64_t id = gen % kMembers;
        if (d.full) {
            for (std::uint64_t m = 0; m < kMembers; ++m) d.changed.push_back(mem(m, gen, m % 2 == 0, gen));
        } else if (gen % 7 == 0) {
            d.removed.push_back(id);
        } else {
            d.changed.push_back(mem(id, gen, gen % 3 != 0, gen));
        }
        s->apply(ack(d));
        s->ring();
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(s->cache_revision(), gen);
}
