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
#include <vector>

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

// What the Python method does: store, then nudge once.
void publish(Shared& s, std::uint64_t value) {
    s.publish_state(proto::Value::object({{"v", proto::Value(value)}}), {});
}

void watch(Shared& s, std::string pool) { s.watch(std::vector<std::string>{std::move(pool)}); }

// Waits on the bell of `s` until `pred` holds; false after `limit`. Everything
// the loop records is followed by a ring; the short slices only bound a wait
// for what is not (another client's cache, a task letting go of the state).
template <class Pred>
bool until(Shared& s, Pred pred, std::chrono::milliseconds limit = 20s) {
    const auto end = Clock::now() + limit;
    for (;;) {
        const std::uint64_t seen = s.cache_revision();
        if (pred()) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left <= 0ms) return false;
        s.wait_revision(seen, static_cast<std::uint64_t>(std::min(left, 100ms).count()));
    }
}

// The cached state value "v" of member `id` in pool "p", or -1.
long cached_v(Shared& s, std::uint64_t id) {
    return s
        .with_pool("p",
                   [&](const CachedPool& pool) -> long {
                       auto m = pool.members.find(id);
                       if (m == pool.members.end()) return -1;
                       if (!m->second.state.is_object()) return 0;
                       const proto::Value* v = m->second.state.find("v");
                       const auto* n = v ? std::get_if<std::uint64_t>(&v->v) : nullptr;
                       return n ? static_cast<long>(*n) : 0;
                   })
        .value_or(-1);
}

std::size_t cached_members(Shared& s) {
    return s.with_pool("p", [](const CachedPool& pool) { return pool.members.size(); }).value_or(0);
}

std::string last_error(Shared& s) {
    return s.last_error.with_lock([](const std::string& text) { return text; });
}

bool holds_runtime(Client& c) {
    return c.runtime.with_lock([](const std::unique_ptr<runtime::Runtime>& rt) { return rt != nullptr; });
}

// Polls `pred` until it holds; false after `limit`.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 20s) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

// Runs one of the loop's waits on a context of its own; how long it took.
template <class T>
Clock::duration timed(asio::awaitable<T> wait) {
    asio::io_context io;
    const auto t0 = Clock::now();
    auto done = asio::co_spawn(io, std::move(wait), asio::use_future);
    io.run();
    done.get();
    return Clock::now() - t0;
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

TEST(Waits, TheWindowIsWaitedOutAndANudgeEndsOnlyTheWaitsThatHeedIt) {
    // The interval (30 s) is far beyond every bound below, so only the window
    // and the nudge decide when a wait ends.
    struct Case {
        const char* what;
        std::uint64_t coalesce_ms;  // the window, the interval being longer
        bool lease_pace;            // the wait of a member that watches nothing, else coalesce
        bool wake_on_nudge;         // coalesce only
        Clock::duration started;    // how long before the wait the beat began
        bool raise_stays;           // the raise is still stored afterwards
    };
    const Case cases[] = {
        {"coalesce, nudges not heeded: the whole window", 300, false, false, 0s, true},
        {"coalesce, a nudge ends it", 60'000, false, true, 0s, false},
        {"coalesce with no time left begins no wait", 300, false, true, 1s, true},
        {"lease pace: the window first, then the nudge ends the interval", 300, true, false, 0s, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Shared s("http://127.0.0.1:1", "p", 1, 1, "spread", std::nullopt, std::nullopt, std::nullopt, {}, false,
                 c.coalesce_ms);
        s.interval_ms = 30'000;
        s.nudge->notify_one();
        const auto beat_start = Clock::now() - c.started;
        const auto took =
            c.lease_pace ? timed(lease_pace(s, beat_start)) : timed(coalesce(s, beat_start, c.wake_on_nudge));
        // Timers never end early, so the lower bound is exact; the upper one
        // only tells a wait the nudge ended from one of 30 s.
        if (c.coalesce_ms == 300 && c.started == 0s) {
            EXPECT_GE(Clock::now() - beat_start, 300ms);
        }
        EXPECT_LT(took, 10s);
        EXPECT_EQ(s.nudge->try_take(), c.raise_stays);
    }
}

TEST(Loop, JoinsHoldsAndCarriesAChangeToAnotherCacheBeforeTheHoldEnds) {
    TestRegistry registry(120'000);  // hold 30 s: a change that waited for it would miss every deadline below
    Client a = make_client(registry.url, 1);
    Client b = make_client(registry.url, 2);
    watch(*a.shared, "p");
    watch(*b.shared, "p");
    ASSERT_TRUE(start(a, 5000));
    ASSERT_TRUE(start(b, 5000));
    ASSERT_TRUE(until(*b.shared, [&] { return cached_members(*a.shared) == 2 && cached_members(*b.shared) == 2; }));
    EXPECT_EQ(a.shared->beat_hold_ms, 30'000u);
    EXPECT_EQ(a.shared->interval_ms, 30'000u);
    EXPECT_TRUE(a.shared->accepted);
    // Each change cuts a's held beat (or rides the next one) and reaches b's cache.
    for (std::uint64_t v = 1; v <= 5; ++v) {
        publish(*a.shared, v);
        ASSERT_TRUE(until(
            *b.shared, [&] { return cached_v(*b.shared, 1) == static_cast<long>(v); }, 10s))
            << v;
    }
    EXPECT_TRUE(until(
        *a.shared, [&] { return a.shared->acked_publish_version.load() == 5; }, 10s))
        << a.shared->acked_publish_version.load();
    EXPECT_EQ(last_error(*a.shared), "");
}

TEST(Loop, ANudgedHeldBeatIsCutWithoutAnswerOrBell) {
    TestRegistry registry(120'000);  // hold 30 s
    Client a = make_client(registry.url, 1, "spread", 0);
    auto& s = *a.shared;
    *s.watched.lock() = {"q"};  // nobody changes q, so a held beat lasts the hold; no nudge stored
    // The loop alone, without a bounded beat beside it. Once q is cached and
    // a first change has gone out, every beat the registry gets is held.
    auto rt = spawn(a.shared);
    ASSERT_TRUE(until(s, [&] { return s.with_pool("q", [](const CachedPool&) { return true; }).has_value(); }));
    publish(s, 1);
    ASSERT_TRUE(until(s, [&] { return s.acked_publish_version.load() == 1; }));
    // The loop rings after every answer it counted, before its next pass.
    ASSERT_TRUE(until(s, [&] { return s.watch_wakeups.load() == s.beats_ok.load(); }));
    const std::uint64_t ok = s.beats_ok.load(), rings = s.watch_wakeups.load();
    EXPECT_EQ(s.beat_hold_ms.load(), 30'000u);
    for (std::uint64_t v = 2; v <= 4; ++v) {
        // The held beat is cut: no answer, no ring. The unheld beat after it
        // carries the change and is answered: one answer, one ring, and the
        // next beat is held again.
        publish(s, v);
        ASSERT_TRUE(until(
            s, [&] { return s.watch_wakeups.load() == rings + v - 1; }, 10s))
            << v;
        EXPECT_EQ(s.acked_publish_version.load(), v);
        EXPECT_EQ(s.beats_ok.load(), ok + v - 1);
    }
    EXPECT_EQ(s.beats_failed.load(), 0u);
}

TEST(Loop, LeaveRemovesTheMemberForWatchersAtOnce) {
    TestRegistry registry(120'000);  // a lease of 120 s, far beyond the deadline below
    Client a = make_client(registry.url, 1);
    Client b = make_client(registry.url, 2);
    watch(*b.shared, "p");
    ASSERT_TRUE(start(a, 5000));
    ASSERT_TRUE(start(b, 5000));
    ASSERT_TRUE(until(*b.shared, [&] { return cached_members(*b.shared) == 2; }));
    leave(a);
    EXPECT_TRUE(a.shared->leaving);
    EXPECT_FALSE(holds_runtime(a));
    EXPECT_TRUE(until(
        *b.shared, [&] { return cached_members(*b.shared) == 1; }, 10s));
    leave(a);  // a second leave finds no runtime
}

TEST(Loop, ARefusalEndsTheLoop) {
    TestRegistry registry(2000);
    Client a = make_client(registry.url, 1, "spread");
    ASSERT_TRUE(start(a, 5000));
    Client c = make_client(registry.url, 3, "other");
    EXPECT_TRUE(start(c, 5000));  // answered, though refused
    auto& s = *c.shared;
    EXPECT_FALSE(s.accepted.load());
    EXPECT_NE(s.refused.with_lock([](const std::string& text) { return text; }), "");
    // The loop ends after its own refusing answer and lets go of the state:
    // nothing of this client beats any more.
    ASSERT_TRUE(until(
        s, [&] { return c.shared.use_count() == 1; }, 10s));
    EXPECT_GE(s.beats_ok.load(), 1u);  // the loop's, and the bounded beat's unless the loop's came first
    EXPECT_LE(s.beats_ok.load(), 2u);
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
    ASSERT_TRUE(until(*b.shared, [&] { return cached_members(*b.shared) == 2; }));
    publish(*a.shared, 3);
    ASSERT_TRUE(until(*b.shared, [&] { return cached_v(*b.shared, 1) == 3; }));
    const auto epoch = b.shared->registry_epoch.load();
    registry.reset();
    ASSERT_TRUE(until(*b.shared, [&] { return b.shared->beats_failed.load() > 0; }));
    registry = std::make_unique<TestRegistry>(1000, listen);
    ASSERT_TRUE(until(*b.shared, [&] {
        return b.shared->registry_epoch.load() != epoch && cached_members(*b.shared) == 2 &&
               cached_v(*b.shared, 1) == 3;
    }));
    // The cache holds exactly what the new registry holds.
    EXPECT_EQ(b.shared->with_pool("p", [](const CachedPool& pool) { return pool.roster; }),
              proto::Member::roster_hash(1, 1) ^ proto::Member::roster_hash(2, 1));
}

TEST(Loop, ChangesAtAnyRateAreSpacedOneWindowApart) {
    // A member that watches its own pool gets each held beat answered at once
    // (its own change is news to it); another that does not has its held
    // beats cut. Either way no beat starts sooner than one window (50 ms)
    // after the one before, whatever the call rate, and the last change
    // reaches a watcher.
    for (const bool own : {true, false}) {
        SCOPED_TRACE(own ? "watching its own pool" : "watching another pool");
        TestRegistry registry(120'000);
        Client a = make_client(registry.url, 1);
        Client b = make_client(registry.url, 2);
        watch(*a.shared, own ? "p" : "q");
        watch(*b.shared, "p");
        ASSERT_TRUE(start(a, 5000));
        ASSERT_TRUE(start(b, 5000));
        ASSERT_TRUE(until(*b.shared, [&] { return cached_members(*b.shared) == 2; }));
        const auto version = [&] {
            return b.shared->with_pool("p", [](const CachedPool& pool) { return pool.version; }).value_or(0);
        };
        ASSERT_TRUE(until(*b.shared, [&] { return version() == 2; }));
        const auto t0 = Clock::now();
        std::uint64_t v = 0;
        while (Clock::now() - t0 < 1s) {
            publish(*a.shared, ++v);
            std::this_thread::sleep_for(500us);
        }
        const auto spent = Clock::now() - t0;
        ASSERT_TRUE(until(
            *b.shared, [&] { return cached_v(*b.shared, 1) == static_cast<long>(v); }, 10s));
        // And the last change is acked long before the 30 s hold ends: a beat
        // carrying a change is not left held.
        ASSERT_TRUE(until(
            *a.shared, [&] { return a.shared->acked_publish_version.load() == v; }, 10s));
        // Each beat that carried a change moved the version once; at most
        // one per window, plus the one already in flight.
        const auto windows = std::chrono::duration_cast<std::chrono::milliseconds>(spent).count() / 50;
        EXPECT_LE(version() - 2, static_cast<std::uint64_t>(windows) + 2) << v << " changes";
        EXPECT_GT(v, 200u);
    }
}

TEST(Loop, BeforeAnyAnswerFailuresAreFollowedByTheShortPoll) {
    // A port that refuses: bind one, then close it.
    std::string url;
    {
        TestRegistry gone(1000);
        url = gone.url;
    }
    Client a = make_client(url, 1);
    auto& s = *a.shared;
    const auto t0 = Clock::now();
    EXPECT_FALSE(start(a, 60'000));  // as soon as its one attempt fails, not after the budget
    EXPECT_LT(Clock::now() - t0, 20s);
    EXPECT_EQ(last_error(s), "cannot reach it: client error (Connect)");
    // The bounded beat fails once; each of the loop's attempts is followed by
    // a 1000 ms short poll, so a fourth failure comes no sooner than 2000 ms
    // after the first attempt began.
    ASSERT_TRUE(until(s, [&] { return s.beats_failed.load() >= 4; }));
    EXPECT_GE(Clock::now() - t0, 2000ms);
    const auto short_polls = s.short_polls.load();
    EXPECT_GE(short_polls, 2u);
    EXPECT_LE(short_polls, s.beats_failed.load() - 1);
}

TEST(Loop, AfterAHoldIsKnownFailuresAreRetriedAtTheWindowWithoutBackOff) {
    // A watcher and a member that watches nothing alike retry once per
    // coalescing window (50 ms), however long their interval: a registry that
    // is not listening yet is tried again soon. The failures after the first
    // each began no sooner than one window after the one before.
    for (const bool watching : {true, false}) {
        SCOPED_TRACE(watching ? "watching" : "watching nothing");
        auto registry = std::make_unique<TestRegistry>(120'000);
        Client a = make_client(registry->url, 1, "spread", 50);
        auto& s = *a.shared;
        if (watching) *s.watched.lock() = {"q"};  // no nudge stored that could shorten a wait
        ASSERT_TRUE(start(a, 5000));
        ASSERT_TRUE(until(s, [&] { return s.beat_hold_ms.load() == 30'000; }));
        ASSERT_EQ(s.beats_failed.load(), 0u);
        const auto t0 = Clock::now();
        registry.reset();
        // Within 20 s: the 30 s interval plays no part.
        ASSERT_TRUE(until(s, [&] { return s.beats_failed.load() >= 12; }));
        EXPECT_GE(Clock::now() - t0, 500ms);
        EXPECT_EQ(s.short_polls.load(), 0u);
    }
}

TEST(Loop, AnEmptyWatchListBeatsAtMostOnceAnIntervalWhateverTheWindow) {
    // Its held beats are answered at once; it waits out its interval instead
    // of the coalescing window, so even a window of 0 does not spin: the
    // loop's fifth answer (the sixth with the bounded beat's) comes no sooner
    // than four intervals after its first beat began.
    for (std::uint64_t coalesce_ms : {50, 0}) {
        SCOPED_TRACE(coalesce_ms);
        TestRegistry registry(2000);  // interval 500
        Client a = make_client(registry.url, 1, "spread", coalesce_ms);
        auto& s = *a.shared;
        const auto t0 = Clock::now();
        ASSERT_TRUE(start(a, 5000));
        ASSERT_TRUE(until(s, [&] { return s.beats_ok.load() >= 6; }));
        EXPECT_GE(Clock::now() - t0, 2000ms);
        EXPECT_EQ(s.beats_failed.load(), 0u);
    }
}

TEST(Loop, AChangeOfAMemberThatWatchesNothingGoesOutBeforeTheInterval) {
    TestRegistry registry(120'000);                          // interval 30 s
    Client a = make_client(registry.url, 1, "spread", 300);  // window 300 ms
    Client b = make_client(registry.url, 2);
    watch(*b.shared, "p");
    ASSERT_TRUE(start(a, 5000));
    ASSERT_TRUE(start(b, 5000));
    auto& s = *a.shared;
    ASSERT_TRUE(until(*b.shared, [&] { return s.beat_hold_ms.load() == 30'000 && cached_members(*b.shared) == 2; }));
    // The nudge ends a's wait once the window has passed (Waits above), long
    // before the interval would.
    for (std::uint64_t v = 1; v <= 3; ++v) {
        publish(s, v);
        ASSERT_TRUE(until(
            s, [&] { return s.acked_publish_version.load() == v; }, 10s))
            << v;
        EXPECT_TRUE(until(
            *b.shared, [&] { return cached_v(*b.shared, 1) == static_cast<long>(v); }, 10s))
            << v;
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

TEST(Lifecycle, ASecondStartReplacesTheRuntime) {
    TestRegistry registry(2000);
    Client a = make_client(registry.url, 1);
    ASSERT_TRUE(start(a, 5000));
    auto runtime_of = [&] { return a.runtime.with_lock([](const auto& rt) { return rt.get(); }); };
    runtime::Runtime* first = runtime_of();
    const auto failed = a.shared->beats_failed.load();
    EXPECT_TRUE(start(a, 5000));
    EXPECT_NE(runtime_of(), first);
    EXPECT_EQ(a.shared->beats_failed.load(), failed);
}

TEST(Lifecycle, ABoundedBeatAfterAnAnswerReturnsAtOnceWithoutABeat) {
    // Nothing answers here: a beat of its own would wait out the whole budget.
    asio::io_context io;
    asio::ip::tcp::acceptor silent(io, {asio::ip::make_address("127.0.0.1"), 0});
    Client a = make_client("http://127.0.0.1:" + std::to_string(silent.local_endpoint().port()), 1);
    a.shared->beats_ok = 1;
    runtime::Runtime rt(runtime::RuntimeOptions{.workers = 1, .thread_name = "murlo"});
    auto result = std::async(std::launch::async, [&] { return rt.block_on(beat_once(a.shared, 60'000, true)); });
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(result.get());
    EXPECT_EQ(a.shared->beats_failed.load(), 0u);
    EXPECT_EQ(a.shared->watch_wakeups.load(), 0u);  // no bell either
}

TEST(Lifecycle, LeaveWithoutAnyAnswerSendsNothingAndAbandonForgets) {
    Client never = make_client("http://127.0.0.1:1", 1);
    leave(never);  // never started: only `leaving`
    EXPECT_TRUE(never.shared->leaving);

    TestRegistry registry(2000);
    Client a = make_client(registry.url, 1);
    ASSERT_TRUE(start(a, 5000));
    abandon(a);
    EXPECT_FALSE(holds_runtime(a));
    // The abandoned runtime lives on here (in a forked child it would not), so
    // its loop keeps beating until it sees `leaving`; leave itself finds no
    // runtime and sends no final beat of its own.
    leave(a);
    EXPECT_TRUE(a.shared->leaving);
    EXPECT_FALSE(holds_runtime(a));
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
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_FALSE(result.get());
    EXPECT_EQ(last_error(*b.shared),
              "client error (SendRequest); the connection came up but the exchange did not -- this client speaks "
              "h2c only, so whatever answered has to too");
}

}  // namespace
}  // namespace murlo::client::beat
