// Held beats on a multi-threaded runtime while other threads change the pools
// they watch: every hold ends, with the news when there was some, and nothing
// is lost between the registration and the wait.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "murlo/registry/server.hpp"
#include "test_beats.hpp"
#include "murlo/runtime/runtime.hpp"
#include "state/access.hpp"

namespace murlo::registry::server {
namespace {

using namespace std::chrono_literals;
using proto::Beat;

Beat member(std::uint64_t id, std::string pool) { return registry::testing::minimal_beat(std::move(pool), id, 1); }

template <class F>
bool eventually(F done, std::chrono::milliseconds limit = 20s) {
    for (auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;) {
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

TEST(HoldConcurrency, OneChangeWakesEveryHolder) {
    runtime::Runtime rt(runtime::RuntimeOptions{4, "hold-test"});
    Registry registry(60'000);
    registry.beat_shared(member(1, "w"));  // "w" at version 1
    constexpr int holders = 64;
    std::atomic<int> parked_done{0}, with_news{0};
    for (int i = 0; i < holders; ++i) {
        rt.spawn([&, i]() -> boost::asio::awaitable<void> {
            Beat b = member(100 + i, "home");
            b.watch = {"w"};
            b.seen = {{"w", 1}};
            b.hold_ms = 20'000;
            SharedBeatAck answer = co_await hold(registry, b);
            if (answer.pools.contains("w") && answer.pools.at("w")->version == 2) ++with_news;
            ++parked_done;
        });
    }
    // Change the pool while holders are at every step of their first pass.
    ASSERT_TRUE(eventually([&] {
        std::size_t n = 0;
        RegistryAccess::inspect(registry, [&](const PoolTable& p) { n = p.at("w").watchers.size(); });
        return n >= holders / 2;
    }));
    registry.beat_shared(member(2, "w"));
    ASSERT_TRUE(eventually([&] { return parked_done == holders; })) << parked_done << " of " << holders;
    EXPECT_EQ(with_news, holders);
    rt.shutdown();
}

TEST(HoldConcurrency, ShortHoldsUnderConstantChangeAllEnd) {
    runtime::Runtime rt(runtime::RuntimeOptions{4, "hold-test"});
    Registry registry(60'000);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (std::uint64_t n = 0; !stop; ++n) {
            Beat b = member(n % 7, "w" + std::to_string(n % 3));
            b.state = proto::Value(n);
            registry.beat_shared(b);
            if (n % 50 == 0) registry.sweep();
        }
    });
    constexpr int holders = 200;
    std::atomic<int> done{0};
    for (int i = 0; i < holders; ++i) {
        rt.spawn([&, i]() -> boost::asio::awaitable<void> {
            Beat b = member(1000 + i, "home");
            b.watch = {"w0", "w1", "w2", "w0"};
            for (const auto& [name, info] : registry.snapshot()) b.seen[name] = info.version;
            b.hold_ms = 1 + i % 20;
            co_await hold(registry, b);
            ++done;
        });
    }
    const bool all = eventually([&] { return done == holders; });
    stop = true;
    changer.join();
    EXPECT_TRUE(all) << done << " of " << holders;
    rt.shutdown();
}

}  // namespace
}  // namespace murlo::registry::server
