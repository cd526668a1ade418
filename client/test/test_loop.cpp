// The beat loop and the bounded beats against a real registry on loopback
// (its run loop on a runtime of its own), and the race they are built on.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "murlo/client/beat/lifecycle.hpp"
#include "murlo/client/beat/loop.hpp"
#include "murlo/registry/run.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::client::beat {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

asio::awaitable<void> serve(std::string listen, std::uint64_t ttl_ms,
                            std::shared_ptr<std::promise<std::string>> announced) {
    // Named, not a temporary of the awaited call: GCC 12 destroys such
    // temporaries twice when the frame is dropped while it waits.
    registry::Announce announce = [announced](std::string_view a) { announced->set_value(std::string(a)); };
    auto error = co_await registry::run(std::move(listen), ttl_ms, std::move(announce));
    announced->set_exception(std::make_exception_ptr(std::runtime_error(error.text)));
}

// A registry served in this process on 127.0.0.1; `stop` ends it like a killed process.
struct TestRegistry {
    std::unique_ptr<runtime::Runtime> rt;
    std::string address;  // host:port
    std::string url;

    explicit TestRegistry(std::uint64_t ttl_ms, std::string listen = "127.0.0.1:0") {
        rt = std::make_unique<runtime::Runtime>(runtime::RuntimeOptions{.workers = 2, .thread_name = "registry"});
        auto announced = std::make_shared<std::promise<std::string>>();
        auto got = announced->get_future();
        rt->spawn(serve(std::move(listen), ttl_ms, announced));
        address = got.get();
        url = "http://" + address;
    }
    void stop() { rt.reset(); }
    std::uint16_t port() const { return static_cast<std::uint16_t>(std::stoi(address.substr(address.rfind(':') + 1))); }
};

Client make_client(const std::string& endpoint, std::uint64_t id, std::string policy = "spread",
                   std::uint64_t coalesce_ms = 50) {
    return Client(endpoint, "p", id, 1, std::move(policy), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                  false, coalesce_ms);
}

// What the Python methods do: store, then nudge once.
void publish(Shared& s, int value) {
    {
        std::lock_guard lock(s.published.mutex);
        s.published.value.state = proto::Value::object({{"v", proto::Value(static_cast<std::uint64_t>(value))}});
        ++s.published.value.version;
    }
    s.nudge->notify_one();
}

void watch(Shared& s, std::string pool) {
    {
        std::lock_guard lock(s.watched.mutex);
        s.watched.value.push_back(std::move(pool));
    }
    s.nudge->notify_one();
}

// Waits until `pred` holds, polling; false after `limit`.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 5s) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

// The cached state value "v" of member `id` in pool "p", or -1.
long cached_v(Shared& s, std::uint64_t id) {
    std::shared_lock read(s.cache.lock);
    auto pool = s.cache.pools.find("p");
    if (pool == s.cache.pools.end()) return -1;
    auto m = pool->second.members.find(id);
    if (m == pool->second.members.end()) return -1;
    if (!m->second.state.is_object()) return 0;
    const proto::Value* v = m->second.state.find("v");
    const auto* n = v ? std::get_if<std::uint64_t>(&v->v) : nullptr;
    return n ? static_cast<long>(*n) : 0;
}

std::size_t cached_members(Shared& s) {
    std::shared_lock read(s.cache.lock);
    auto pool = s.cache.pools.find("p");
    return pool == s.cache.pools.end() ? 0 : pool->second.members.size();
}

std::string last_error(Shared& s) {
    std::lock_guard lock(s.last_error.mutex);
    return s.last_error.value;
}

TEST(Race, SidesReadyTogetherSplitAboutEvenly) {
    asio::io_context io;
    auto strand = asio::make_strand(io);
    std::uint64_t rng = 12345;
    int signal_wins = 0;
    const int rounds = 2000;
    for (int i = 0; i < rounds; ++i) {
        Completion op;
        op.done = true;
        runtime::Notify signal;
        signal.notify_one();
        auto f = asio::co_spawn(strand, race(op, signal, rng), asio::use_future);
        io.restart();
        io.run();
        const Side side = f.get();
        if (side == Side::signal) {
            ++signal_wins;
            EXPECT_FALSE(signal.try_take());  // the winner consumed the raise
        } else {
            EXPECT_TRUE(signal.try_take());  // the losing raise stays stored
        }
    }
    EXPECT_GT(signal_wins, rounds * 4 / 10);
    EXPECT_LT(signal_wins, rounds * 6 / 10);
}

TEST(Race, WaitsForWhicheverComesFirst) {
    asio::io_context io;
    auto strand = asio::make_strand(io);
    std::uint64_t rng = 1;
    Completion op;
    runtime::Notify signal;
    auto f = asio::co_spawn(strand, race(op, signal, rng), asio::use_future);
    io.run_for(20ms);
    EXPECT_NE(f.wait_for(0s), std::future_status::ready);
    op.complete();
    io.restart();
    io.run();
    EXPECT_EQ(f.get(), Side::operation);
}

TEST(Deadlines, HeldAndUnheld) {
    const std::pair<std::uint64_t, std::uint64_t> held[] = {{50, 100}, {250, 500}, {1000, 1700}, {30000, 45200}};
    for (auto [h, d] : held) EXPECT_EQ(held_deadline_ms(h), d) << h;
    const std::pair<std::uint64_t, std::uint64_t> unheld[] = {
        {1000, 750}, {0, 37}, {50, 37}, {30000, 22500}, {~0ULL, 22500}};
    for (auto [i, d] : unheld) EXPECT_EQ(unheld_deadline_ms(i), d) << i;
}

TEST(Loop, JoinsHoldsAndCarriesAChangeToAnotherCacheQuickly) {
    TestRegistry registry(4000);  // hold 1000 ms
    Client a = make_client(registry.url, 1);
    Client b = make_client(registry.url, 2);
    watch(*a.shared, "p");
    watch(*b.shared, "p");
    ASSERT_TRUE(start(a, 5000));
    ASSERT_TRUE(start(b, 5000));
    ASSERT_TRUE(eventually([&] { return cached_members(*a.shared) == 2 && cached_members(*b.shared) == 2; }));
    EXPECT_EQ(a.shared->beat_hold_ms, 1000u);
    EXPECT_EQ(a.shared->interval_ms, 1000u);
    EXPECT_TRUE(a.shared->accepted);
    // Let both settle into held beats, then publish: the held beat is cut,
    // so the change arrives long before the 1000 ms hold would end.
    std::this_thread::sleep_for(300ms);
    for (int v = 1; v <= 5; ++v) {
        const auto t0 = Clock::now();
        publish(*a.shared, v);
        ASSERT_TRUE(eventually([&] { return cached_v(*b.shared, 1) == v; }, 3s)) << v;
        EXPECT_LT(Clock::now() - t0, 750ms) << v;  // an uncut beat would wait out the 1000 ms hold
        std::this_thread::sleep_for(120ms);
    }
    std::uint64_t acked = a.shared->acked_publish_version;
    EXPECT_TRUE(eventually([&] { return a.shared->acked_publish_version.load() == 5; })) << acked;
    EXPECT_EQ(last_error(*a.shared), "");
}

TEST(Loop, ANudgedHeldBeatIsCutWithoutAnswerOrBell) {
    TestRegistry registry(8000);  // hold 2000 ms
    Client a = make_client(registry.url, 1);
    watch(*a.shared, "q");  // nobody changes q: beats are held for the whole hold
    ASSERT_TRUE(start(a, 5000));
    auto& s = *a.shared;
    ASSERT_TRUE(eventually([&] { return s.beat_hold_ms.load() == 2000 && s.beats_ok.load() >= 2; }));
    // Right after a ring a new held beat begins.
    std::uint64_t rev = s.watch_wakeups.load();
    ASSERT_TRUE(eventually([&] { return s.watch_wakeups.load() > rev; }, 4s));
    std::this_thread::sleep_for(100ms);
    const auto ok = s.beats_ok.load();
    const auto rings = s.watch_wakeups.load();
    publish(s, 7);
    // The cut beat is not answered and does not ring; the unheld beat after it is
    // answered (one answer, one ring), and the next beat is held again.
    ASSERT_TRUE(eventually([&] { return s.beats_ok.load() == ok + 1; }, 1s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(s.beats_ok.load(), ok + 1);
    EXPECT_EQ(s.watch_wakeups.load(), rings + 1);
    EXPECT_EQ(s.acked_publish_version.load(), 1u);
}

TEST(Loop, LeaveRemovesTheMemberForWatchersAtOnce) {
    TestRegistry registry(10000);
    Client a = make_client(registry.url, 1);
    Client b = make_client(registry.url, 2);
    watch(*b.shared, "p");
    ASSERT_TRUE(start(a, 5000));
    ASSERT_TRUE(start(b, 5000));
    ASSERT_TRUE(eventually([&] { return cached_members(*b.shared) == 2; }));
    std::this_thread::sleep_for(100ms);
    const auto t0 = Clock::now();
    leave(a);
    EXPECT_TRUE(a.shared->leaving);
    EXPECT_EQ(a.runtime.value, nullptr);
    ASSERT_TRUE(eventually([&] { return cached_members(*b.shared) == 1; }, 3s));
    EXPECT_LT(Clock::now() - t0, 1s);  // not the 10 s lease
    leave(a);                          // a second leave finds no runtime
}

TEST(Loop, ARefusalEndsTheLoop) {
    TestRegistry registry(2000);
    Client a = make_client(registry.url, 1, "spread");
    ASSERT_TRUE(start(a, 5000));
    Client c = make_client(registry.url, 3, "other");
    EXPECT_TRUE(start(c, 5000));  // answered, though refused
    auto& s = *c.shared;
    ASSERT_TRUE(eventually([&] { return !s.accepted.load(); }));
    {
        std::lock_guard lock(s.refused.mutex);
        EXPECT_NE(s.refused.value, "");
    }
    std::this_thread::sleep_for(200ms);
    const auto ok = s.beats_ok.load();
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(s.beats_ok.load(), ok);
    EXPECT_EQ(s.beats_failed.load(), 0u);
}

TEST(Loop, ARestartedRegistryRebuildsTheCacheFromFullDeltas) {
    auto registry = std::make_unique<TestRegistry>(1000);
    const std::string listen = registry->address;
    Client a = make_client(registry->url, 1, "spread", 20);
    Client b = make_client(registry->url, 2, "spread", 20);
    watch(*b.shared, "p");
    ASSERT_TRUE(start(a, 5000));
    ASSERT_TRUE(start(b, 5000));
    ASSERT_TRUE(eventually([&] { return cached_members(*b.shared) == 2; }));
    publish(*a.shared, 3);
    ASSERT_TRUE(eventually([&] { return cached_v(*b.shared, 1) == 3; }));
    const auto epoch = b.shared->registry_epoch.load();
    registry.reset();
    std::this_thread::sleep_for(300ms);
    registry = std::make_unique<TestRegistry>(1000, listen);
    ASSERT_TRUE(eventually([&] {
        return b.shared->registry_epoch.load() != epoch && cached_members(*b.shared) == 2 &&
               cached_v(*b.shared, 1) == 3;
    }));
    // The cache holds exactly what the new registry holds.
    std::shared_lock read(b.shared->cache.lock);
    const auto& pool = b.shared->cache.pools.at("p");
    EXPECT_EQ(pool.roster, proto::Member::roster_hash(1, 1) ^ proto::Member::roster_hash(2, 1));
    EXPECT_GT(b.shared->beats_failed.load(), 0u);
}

TEST(Loop, BeforeAnyAnswerFailuresAreFollowedByTheShortPoll) {
    // A port that refuses: bind one, then close it.
    std::string url;
    {
        TestRegistry gone(1000);
        url = gone.url;
    }
    Client a = make_client(url, 1);
    const auto t0 = Clock::now();
    EXPECT_FALSE(start(a, 5000));  // fails as soon as its one attempt fails
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_EQ(last_error(*a.shared), "cannot reach it: client error (Connect)");
    std::this_thread::sleep_for(2500ms);
    // The bounded beat and the loop's attempts about once a second.
    const auto failed = a.shared->beats_failed.load();
    EXPECT_GE(failed, 3u);
    EXPECT_LE(failed, 5u);
    EXPECT_GE(a.shared->short_polls.load(), 2u);
    EXPECT_LE(a.shared->short_polls.load(), 4u);
}

TEST(Loop, AfterAHoldIsKnownFailuresAreRetriedWithoutBackOff) {
    // A watcher retries once per coalescing window; a member that watches
    // nothing at its lease pace, as when its beats are answered.
    struct Case {
        bool watching;
        std::uint64_t min, max;
    };
    for (const Case c : {Case{true, 8, 25} /* about 20 at one per 50 ms */, Case{false, 1, 4} /* about 2 */}) {
        auto registry = std::make_unique<TestRegistry>(2000);  // interval 500
        Client a = make_client(registry->url, 1, "spread", 50);
        if (c.watching) watch(*a.shared, "q");
        ASSERT_TRUE(start(a, 5000));
        ASSERT_TRUE(eventually([&] { return a.shared->beat_hold_ms.load() == 500; }));
        registry.reset();
        ASSERT_TRUE(eventually([&] { return a.shared->beats_failed.load() >= 1; }, 3s));
        const auto before = a.shared->beats_failed.load();
        std::this_thread::sleep_for(1s);
        const auto attempts = a.shared->beats_failed.load() - before;
        EXPECT_GE(attempts, c.min) << c.watching;
        EXPECT_LE(attempts, c.max) << c.watching;
        EXPECT_EQ(a.shared->short_polls.load(), 0u);
    }
}

TEST(Loop, AnEmptyWatchListBeatsAboutFourTimesALeaseWhateverTheWindow) {
    // Its held beats are answered at once; it waits out its interval instead
    // of the coalescing window, so even a window of 0 does not spin.
    for (std::uint64_t coalesce_ms : {50, 0}) {
        TestRegistry registry(2000);  // interval 500
        Client a = make_client(registry.url, 1, "spread", coalesce_ms);
        ASSERT_TRUE(start(a, 5000));
        ASSERT_TRUE(eventually([&] { return a.shared->beat_hold_ms.load() == 500; }));
        const auto before = a.shared->beats_ok.load();
        std::this_thread::sleep_for(2s);
        const auto beats = a.shared->beats_ok.load() - before;
        EXPECT_GE(beats, 2u) << coalesce_ms;  // about 4
        EXPECT_LE(beats, 7u) << coalesce_ms;
        EXPECT_EQ(a.shared->beats_failed.load(), 0u);
    }
}

TEST(Loop, AChangeOfAMemberThatWatchesNothingGoesOutAfterTheWindowNotTheInterval) {
    TestRegistry registry(8000);                             // interval 2000
    Client a = make_client(registry.url, 1, "spread", 300);  // window 300
    Client b = make_client(registry.url, 2);
    watch(*b.shared, "p");
    ASSERT_TRUE(start(a, 5000));
    ASSERT_TRUE(start(b, 5000));
    auto& s = *a.shared;
    ASSERT_TRUE(eventually([&] { return s.beat_hold_ms.load() == 2000 && cached_members(*b.shared) == 2; }));
    for (int v = 1; v <= 3; ++v) {
        // Right after a beat's answer: the nudge must not end the wait before
        // the window has passed since that beat began, nor wait for the interval.
        const auto rings = s.watch_wakeups.load();
        ASSERT_TRUE(eventually([&] { return s.watch_wakeups.load() > rings; }, 4s));
        const auto t0 = Clock::now();
        publish(s, v);
        ASSERT_TRUE(eventually([&] { return s.acked_publish_version.load() == static_cast<std::uint64_t>(v); }, 4s));
        const auto took = Clock::now() - t0;
        EXPECT_GE(took, 200ms) << v;
        EXPECT_LT(took, 1500ms) << v;
        EXPECT_TRUE(eventually([&] { return cached_v(*b.shared, 1) == v; }, 3s)) << v;
    }
}

std::set<std::string> thread_ids() {
    std::set<std::string> out;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') out.insert(e->d_name);
        ::closedir(d);
    }
    return out;
}

TEST(Lifecycle, EveryThreadTheClientStartsIsNamedMurlo) {
    TestRegistry registry(2000);
    const auto before = thread_ids();
    // A name to look up, so the blocking lookup threads start too.
    Client a = make_client("http://localhost:" + std::to_string(registry.port()), 1);
    ASSERT_TRUE(start(a, 5000));
    // The names of the threads started since `before`; a thread the scheduler
    // has not run yet still carries the name it inherited, so poll a little.
    auto fresh_names = [&] {
        std::vector<std::string> names;
        for (const auto& tid : thread_ids()) {
            if (before.count(tid)) continue;
            std::ifstream comm("/proc/self/task/" + tid + "/comm");
            std::string name;
            std::getline(comm, name);
            if (!name.empty()) names.push_back(name);  // empty: ended meanwhile
        }
        return names;
    };
    eventually([&] {
        auto names = fresh_names();
        return std::all_of(names.begin(), names.end(), [](const std::string& n) { return n == "murlo"; });
    });
    const auto names = fresh_names();
    for (const auto& name : names) EXPECT_EQ(name, "murlo");
    const std::size_t fresh = names.size();
    EXPECT_GE(fresh, 3u);  // two workers and a lookup thread
}

TEST(Lifecycle, ASecondStartReturnsAtOnceAndReplacesTheRuntime) {
    TestRegistry registry(2000);
    Client a = make_client(registry.url, 1);
    ASSERT_TRUE(start(a, 5000));
    runtime::Runtime* first = a.runtime.value.get();
    const auto failed = a.shared->beats_failed.load();
    const auto t0 = Clock::now();
    EXPECT_TRUE(start(a, 5000));
    EXPECT_LT(Clock::now() - t0, 500ms);
    EXPECT_NE(a.runtime.value.get(), first);
    EXPECT_EQ(a.shared->beats_failed.load(), failed);
}

TEST(Lifecycle, LeaveWithoutAnyAnswerSendsNothingAndAbandonForgets) {
    Client never = make_client("http://127.0.0.1:1", 1);
    leave(never);  // never started: only `leaving`
    EXPECT_TRUE(never.shared->leaving);

    TestRegistry registry(2000);
    Client a = make_client(registry.url, 1);
    ASSERT_TRUE(start(a, 5000));
    abandon(a);
    EXPECT_EQ(a.runtime.value, nullptr);
    // The abandoned runtime lives on here (in a forked child it would not), so
    // its loop keeps beating until it sees `leaving`; leave itself finds no
    // runtime and sends no final beat of its own.
    leave(a);
    EXPECT_TRUE(a.shared->leaving);
    EXPECT_EQ(a.runtime.value, nullptr);
}

TEST(Lifecycle, BudgetZeroIsOneMillisecondAndTheLargestSetsNoLimit) {
    // Nothing answers on this socket: it accepts and stays silent.
    asio::io_context io;
    asio::ip::tcp::acceptor silent(io, {asio::ip::make_address("127.0.0.1"), 0});
    const std::string url = "http://127.0.0.1:" + std::to_string(silent.local_endpoint().port());
    Client a = make_client(url, 1);
    EXPECT_FALSE(start(a, 0));
    EXPECT_EQ(last_error(*a.shared), "no reply within 1ms");

    // The largest budget sets no practical limit: the beat waits until the
    // connection breaks, however long that takes.
    Client b = make_client(url, 2);
    auto result = std::async(std::launch::async, [&] { return start(b, ~0ULL); });
    EXPECT_EQ(result.wait_for(1500ms), std::future_status::timeout);
    silent.close();  // resets the connections it never accepted
    ASSERT_EQ(result.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(result.get());
    EXPECT_EQ(last_error(*b.shared),
              "client error (SendRequest); the connection came up but the exchange did not -- this client speaks "
              "h2c only, so whatever answered has to too");
}

}  // namespace
}  // namespace murlo::client::beat
