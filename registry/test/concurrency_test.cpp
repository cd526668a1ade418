// Many threads beating, parking, reading and sweeping one registry at once;
// afterwards, and at random moments during the run, the invariants hold.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "murlo/registry/state.hpp"
#include "state/access.hpp"

namespace murlo::registry {
namespace {

using proto::Beat;
using proto::Value;
using namespace std::chrono_literals;

const std::vector<std::string> pool_names = {"a", "b", "c"};

// Checks every invariant of the pool table; returns the first broken one.
std::string broken(const PoolTable& pools) {
    for (const auto& [name, p] : pools) {
        std::uint64_t roster = 0;
        for (const auto& [id, r] : p.records) {
            if (id != r.member.id) return name + ": record key differs from its id";
            roster ^= r.member.roster_hash();
        }
        if (roster != p.roster) return name + ": roster is not the XOR of the records";
        if (p.history.size() != std::min<std::uint64_t>(p.version, history_limit)) return name + ": history length";
        for (std::size_t i = 0; i < p.history.size(); ++i) {
            if (p.history[i].first != p.version - p.history.size() + 1 + i) return name + ": history order";
        }
        // Readers fill caches under the shared lock: read it under its own mutex.
        std::lock_guard lock(p.deltas_mutex);
        std::size_t bytes = 0;
        for (const Cached& c : p.deltas.entries) {
            bytes += c.cost;
            if (c.delta->version != p.version) return name + ": cached delta of another version";
        }
        if (p.deltas.entries.size() > DeltaCache::max_entries || bytes != p.deltas.bytes ||
            bytes > DeltaCache::max_bytes) {
            return name + ": cache bounds";
        }
    }
    return {};
}

TEST(Concurrency, BeatsParksReadsAndSweepsKeepTheInvariants) {
    Registry registry(300);
    // The lease clock is driven by the sweeper, so expiry happens throughout the run.
    std::atomic<std::int64_t> clock_ms{3'600'000};
    auto now = [&] { return Instant{} + std::chrono::milliseconds(clock_ms.load()); };
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> failures{0};
    std::atomic<std::size_t> beats{0}, wakes{0}, expired{0};
    auto fail = [&](const std::string& what) {
        if (failures.fetch_add(1) == 0) ADD_FAILURE() << what;
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(t);
            std::map<std::string, std::uint64_t> highest;  // per pool, the newest version answered
            std::map<std::uint64_t, std::uint64_t> incarnation;
            Beat b;
            b.policy = "rr";
            b.watch = pool_names;
            while (!stop.load()) {
                // The ids in use drift with the lease clock, so those left behind expire.
                const std::uint64_t window = static_cast<std::uint64_t>(clock_ms.load() / 200);
                const std::uint64_t id = 100 * (t + 1) + (window * 4 + rng() % 12) % 48;
                b.pool = pool_names[id % 3];
                std::uint64_t& inc = incarnation[id];
                const unsigned op = rng() % 10;
                if (op == 0 || inc == 0) ++inc;  // replace (or first join)
                b.id = id;
                b.incarnation = inc;
                b.leaving = op == 1;
                b.slot = op == 2 ? std::optional<std::uint64_t>(id % 4) : std::nullopt;
                b.state = op < 6 ? Value(std::uint64_t(rng() % 3)) : Value();
                b.seen.clear();
                for (const auto& [name, v] : highest) {
                    if (rng() % 4) b.seen[name] = v - rng() % 3;  // sometimes behind, sometimes absent
                }
                const SharedBeatAck ack = registry.beat_shared(b, now());
                ++beats;
                for (const auto& [name, delta] : ack.pools) {
                    std::uint64_t& h = highest[name];
                    if (delta->version < h) fail("an answer went back in version for " + name);
                    h = delta->version;
                }
            }
        });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(100 + t);
            Beat watcher;
            watcher.watch = pool_names;
            while (!stop.load()) {
                const auto before = registry.snapshot();
                watcher.seen.clear();
                for (const auto& [name, info] : before) watcher.seen[name] = info.version;
                auto handle = std::make_shared<runtime::Notify>();
                registry.park(pool_names, handle);
                if (rng() % 4 == 0) continue;  // abandoned hold: leaves a dead registration
                registry.deltas_shared_for(watcher);
                const auto until = std::chrono::steady_clock::now() + 20ms;
                bool woken = false;
                while (!(woken = handle->try_take())) {
                    if (stop.load() || std::chrono::steady_clock::now() > until) break;
                    std::this_thread::yield();
                }
                if (woken) {
                    // Woken: the change that woke us is visible to a reader.
                    ++wakes;
                    if (registry.deltas_shared_for(watcher).empty()) fail("woken before the change was visible");
                }
            }
        });
    }
    threads.emplace_back([&] {  // held beats as the HTTP service holds them: a wait raced with a timer
        namespace asio = boost::asio;
        using namespace asio::experimental::awaitable_operators;
        asio::io_context io;
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                Beat watcher;
                watcher.watch = pool_names;
                asio::steady_timer timer(co_await asio::this_coro::executor);
                while (!stop.load()) {
                    watcher.seen.clear();
                    for (const auto& [name, info] : registry.snapshot()) watcher.seen[name] = info.version;
                    auto handle = std::make_shared<runtime::Notify>();
                    registry.park(pool_names, handle);
                    if (!registry.deltas_shared_for(watcher).empty()) continue;
                    timer.expires_after(20ms);
                    const auto won = co_await (handle->wait() || timer.async_wait(asio::use_awaitable));
                    if (won.index() == 0) {
                        ++wakes;
                        if (registry.deltas_shared_for(watcher).empty()) fail("held beat woken before the change");
                    }
                }
            },
            asio::detached);
        io.run();
    });
    threads.emplace_back([&] {  // sweeper
        while (!stop.load()) {
            clock_ms += 25;
            expired += registry.sweep(now());
            std::this_thread::sleep_for(1ms);
        }
    });
    threads.emplace_back([&] {  // observer: versions only grow, invariants hold at any moment
        std::map<std::string, std::uint64_t> last;
        while (!stop.load()) {
            for (const auto& [name, info] : registry.snapshot()) {
                std::uint64_t& v = last[name];
                if (info.version < v) fail("version of " + name + " went back");
                v = info.version;
            }
            RegistryAccess::inspect(registry, [&](const PoolTable& pools) {
                if (auto what = broken(pools); !what.empty()) fail(what);
            });
            std::this_thread::sleep_for(100us);
        }
    });

    std::this_thread::sleep_for(1s);
    stop = true;
    for (auto& thread : threads) thread.join();

    RegistryAccess::inspect(registry, [&](const PoolTable& pools) {
        EXPECT_EQ(broken(pools), "");
        EXPECT_EQ(pools.size(), pool_names.size());
    });
    EXPECT_EQ(failures.load(), 0u);
    EXPECT_GT(beats.load(), 0u);
    EXPECT_GT(expired.load(), 0u);
    // Dead registrations are all gone after a final sweep.
    registry.sweep(now());
    RegistryAccess::inspect(registry, [](const PoolTable& pools) {
        for (const auto& [name, p] : pools) EXPECT_TRUE(p.watchers.empty()) << name;
    });
    RecordProperty("beats", std::to_string(beats.load()));
    RecordProperty("wakes", std::to_string(wakes.load()));
}

TEST(Concurrency, SteadyRefreshNeedsNoWriteLock) {
    Registry registry(60'000);
    const Instant t0 = Instant{} + 1h;
    Beat b;
    b.pool = "p";
    b.policy = "rr";
    b.id = 1;
    b.incarnation = 1;
    b.publication = 3;
    ASSERT_TRUE(registry.beat_shared(b, t0).accepted);
    // A reader holds the lock; the refresh goes through beside it.
    std::promise<void> entered, release;
    std::thread reader([&] {
        RegistryAccess::inspect(registry, [&](const PoolTable&) {
            entered.set_value();
            release.get_future().wait();
        });
    });
    entered.get_future().wait();
    b.publication = 2;  // at or below the record's: only the lease moves
    auto refresh = std::async(std::launch::async, [&] { return registry.beat_shared(b, t0 + 30s).accepted; });
    const bool beside = refresh.wait_for(20s) == std::future_status::ready;
    release.set_value();
    reader.join();
    ASSERT_TRUE(beside) << "the lease refresh waited for the reader";
    EXPECT_TRUE(refresh.get());
    EXPECT_EQ(registry.sweep(t0 + 60s), 0u) << "the lease was renewed";
    EXPECT_EQ(registry.sweep(t0 + 90s), 1u);
}

TEST(Concurrency, SteadyRefreshesBesideChangesAndSweepsMoveNoVersion) {
    // Refreshers renew their leases under the shared lock while a changer
    // steps the same pool and a sweeper reads every deadline: the version
    // moves only by the changer's steps, and nobody expires.
    Registry registry(60'000);
    std::atomic<std::int64_t> clock_ms{3'600'000};
    auto now = [&] { return Instant{} + std::chrono::milliseconds(clock_ms.load()); };
    auto member = [](std::uint64_t id) {
        Beat b;
        b.pool = "p";
        b.policy = "rr";
        b.id = id;
        b.incarnation = 1;
        b.slot = id;
        b.state = Value(std::uint64_t{7});
        b.watch = {"p"};
        return b;
    };
    constexpr int refreshers = 4;
    for (int t = 0; t <= refreshers; ++t) ASSERT_TRUE(registry.beat_shared(member(t + 1), now()).accepted);
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> refused{0}, refreshes{0}, expired{0};
    std::atomic<std::uint64_t> steps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < refreshers; ++t) {
        threads.emplace_back([&, t] {
            Beat b = member(t + 1);
            while (!stop.load()) {
                b.seen["p"] = registry.snapshot().at("p").version;
                if (!registry.beat_shared(b, now()).accepted) ++refused;
                ++refreshes;
            }
        });
    }
    threads.emplace_back([&] {
        Beat b = member(refreshers + 1);
        for (std::uint64_t n = 0; !stop.load(); ++n) {
            b.state = Value(n);
            if (registry.beat_shared(b, now()).accepted) ++steps;
            std::this_thread::sleep_for(100us);
        }
    });
    threads.emplace_back([&] {
        while (!stop.load()) {
            clock_ms += 1;  // far less than the lease over the run
            expired += registry.sweep(now());
            std::this_thread::sleep_for(100us);
        }
    });
    std::this_thread::sleep_for(500ms);
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(refused.load(), 0u);
    EXPECT_EQ(expired.load(), 0u);
    EXPECT_GT(refreshes.load(), 0u);
    const auto info = registry.snapshot().at("p");
    EXPECT_EQ(info.members, refreshers + 1u);
    // The joins, then one step per changer beat (each brings a new state).
    EXPECT_EQ(info.version, refreshers + 1u + steps.load());
}

}  // namespace
}  // namespace murlo::registry
