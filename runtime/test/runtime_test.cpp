#include "murlo/runtime/runtime.hpp"

#include <pthread.h>
#include <netdb.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "murlo/runtime/notify.hpp"
#include "support/eventually.hpp"
#include "support/thread_name.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using murlo::runtime::Lookup;
using murlo::runtime::LookupError;
using murlo::runtime::Notify;
using murlo::runtime::Runtime;
using murlo::runtime::RuntimeOptions;

// One allocation fails, on the thread whose id is stored here (0: none): the
// id is cleared as it fails, so only the first allocation there is refused.
static std::atomic<pid_t> fail_next_new_on{0};

void* operator new(std::size_t size) {
    if (pid_t target = fail_next_new_on.load(std::memory_order_relaxed); target != 0 && target == ::gettid()) {
        if (fail_next_new_on.compare_exchange_strong(target, 0)) throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using murlo::runtime::testing::eventually;

using murlo::runtime::testing::this_thread_name;

// Threads of this process carrying `name`.
int threads_named(const std::string& name) {
    int n = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++n;
    }
    return n;
}

// Ids of this process's threads carrying `name`.
std::set<std::string> thread_ids(const std::string& name) {
    std::set<std::string> out;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && (name.empty() || line == name)) out.insert(entry.path().filename());
    }
    return out;
}

// Whether the thread keeps SIGPIPE blocked, from its SigBlk mask.
bool blocks_sigpipe(const std::string& tid) {
    std::ifstream status("/proc/self/task/" + tid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1));
    ADD_FAILURE() << "no SigBlk for thread " << tid;
    return false;
}

asio::awaitable<std::string> name_after_timer() {
    asio::steady_timer t(co_await asio::this_coro::executor, 5ms);
    co_await t.async_wait(asio::use_awaitable);
    co_return this_thread_name();
}

asio::awaitable<int> fails() {
    throw std::runtime_error("broken invariant");
    co_return 0;
}

// Parks until cancelled or its runtime goes, holding `held` meanwhile.
asio::awaitable<void> park_forever(std::shared_ptr<int> held, std::shared_ptr<Notify> never) { co_await never->wait(); }

}  // namespace

TEST(Runtime, WorkersCarryTheNameAndDriveTimers) {
    Runtime rt(RuntimeOptions{3, "rt-named"});
    EXPECT_EQ(rt.workers(), 3u);
    EXPECT_EQ(rt.block_on(name_after_timer()), "rt-named");
    // Workers the scheduler has not run yet still carry this thread's name.
    EXPECT_TRUE(eventually([] { return threads_named("rt-named") == 3; }));
    rt.shutdown();
    EXPECT_EQ(threads_named("rt-named"), 0);
}

TEST(Runtime, NameIsCutToWhatTheKernelKeeps) {
    Runtime rt(RuntimeOptions{1, "a-very-long-thread-name"});
    EXPECT_EQ(rt.block_on(name_after_timer()), "a-very-long-thr");
}

TEST(Runtime, BlockOnReturnsTheResultAndRethrows) {
    Runtime rt(RuntimeOptions{2, "rt-block"});
    EXPECT_EQ(rt.block_on([]() -> asio::awaitable<int> { co_return 42; }()), 42);
    try {
        rt.block_on(fails());
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "broken invariant");
    }
    // The runtime stays usable after a task failed.
    rt.block_on([]() -> asio::awaitable<void> { co_return; }());
}

TEST(Runtime, SpawnedTasksRunDetached) {
    Runtime rt(RuntimeOptions{4, "rt-spawn"});
    constexpr int tasks = 100;
    std::atomic<int> ran{0};
    std::promise<void> all;
    for (int i = 0; i < tasks; ++i)
        rt.spawn([&]() -> asio::awaitable<void> {
            asio::steady_timer t(co_await asio::this_coro::executor, 1ms);
            co_await t.async_wait(asio::use_awaitable);
            if (++ran == tasks) all.set_value();
        });
    // A task that throws ends alone.
    rt.spawn(fails);
    EXPECT_EQ(all.get_future().wait_for(10s), std::future_status::ready);
}

TEST(Runtime, ShutdownJoinsAndDropsWaitingTasks) {
    auto held = std::make_shared<int>(0);
    auto never = std::make_shared<Notify>();
    Runtime rt(RuntimeOptions{2, "rt-drop"});
    rt.spawn(park_forever(held, never));
    ASSERT_TRUE(eventually([&] { return held.use_count() == 2; }));

    // A caller blocked on a task gets a broken promise once the runtime goes.
    std::future<bool> blocked = std::async(std::launch::async, [&] {
        try {
            rt.block_on(park_forever(nullptr, never));
            return false;
        } catch (const std::future_error& e) {
            return e.code() == std::future_errc::broken_promise;
        }
    });
    ASSERT_TRUE(eventually([&] { return threads_named("rt-drop") == 2; }));
    rt.shutdown();
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_EQ(threads_named("rt-drop"), 0);
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(blocked.get());
    // The dropped waiters left the notification: a raise is stored for the next one.
    never->notify_one();
    EXPECT_TRUE(never->try_take());
}

TEST(Runtime, ShutdownInTheBackgroundDoesNotWaitForBusyThreads) {
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    std::promise<void> release;
    std::promise<void> entered;
    {
        Runtime rt(RuntimeOptions{1, "rt-bg"});
        auto gate = release.get_future().share();
        rt.spawn([&entered, gate, held = std::move(held)]() -> asio::awaitable<void> {
            entered.set_value();
            gate.wait();  // the one worker is busy until the test lets go
            co_return;
        });
        entered.get_future().wait();
        // Would deadlock if it joined the busy worker.
        rt.shutdown_background();
    }
    // The worker still runs and still holds the runtime alive.
    EXPECT_FALSE(watch.expired());
    release.set_value();
    EXPECT_TRUE(eventually([&] { return watch.expired() && threads_named("rt-bg") == 0; }));
}

TEST(Runtime, ShutdownFromInsideATaskDoesNotDeadlock) {
    Runtime rt(RuntimeOptions{2, "rt-self"});
    std::promise<void> called;
    rt.spawn([&]() -> asio::awaitable<void> {
        rt.shutdown();
        called.set_value();
        co_return;
    });
    EXPECT_EQ(called.get_future().wait_for(10s), std::future_status::ready);
}

TEST(Runtime, LookupRunsOnNamedBlockingThreads) {
    Runtime rt(RuntimeOptions{1, "rt-lookup"});
    Lookup found = rt.block_on(murlo::runtime::lookup_host("localhost", 8080));
    ASSERT_TRUE(std::holds_alternative<std::vector<asio::ip::tcp::endpoint>>(found));
    bool loopback = false;
    for (auto& ep : std::get<0>(found)) {
        EXPECT_EQ(ep.port(), 8080);
        loopback |= ep.address().is_loopback();
    }
    EXPECT_TRUE(loopback);
    // One worker and the lookup thread.
    EXPECT_EQ(threads_named("rt-lookup"), 2);

    // A name the resolver refuses without asking the network.
    Lookup refused = rt.block_on(murlo::runtime::lookup_host("", 80));
    ASSERT_TRUE(std::holds_alternative<LookupError>(refused));
    EXPECT_EQ(std::get<LookupError>(refused).code, EAI_NONAME);
    EXPECT_EQ(std::get<LookupError>(refused).text, gai_strerror(EAI_NONAME));
}

TEST(Runtime, ThreadsBlockSigpipe) {
    // Nothing to inherit from here: this thread takes SIGPIPE.
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &pipe_only, nullptr), 0);

    Runtime rt(RuntimeOptions{2, "rt-sigpipe"});
    rt.block_on(murlo::runtime::lookup_host("localhost", 80));
    // Two workers and at least one lookup thread; a worker the scheduler has not
    // run yet still carries this thread's name, so wait until all have theirs.
    EXPECT_TRUE(eventually([] { return thread_ids("rt-sigpipe").size() >= 3; }));
    auto workers_and_lookup = thread_ids("rt-sigpipe");
    for (const auto& tid : workers_and_lookup) EXPECT_TRUE(blocks_sigpipe(tid)) << tid;

    // A lookup thread started from this thread, by a plain io_context it drives.
    auto before = thread_ids("");
    asio::io_context io;
    asio::co_spawn(io, murlo::runtime::lookup_host("localhost", 80), asio::detached);
    io.run();
    auto after = thread_ids("");
    int started = 0;
    for (const auto& tid : after)
        if (!before.count(tid)) {
            ++started;
            EXPECT_TRUE(blocks_sigpipe(tid)) << tid;
        }
    EXPECT_GE(started, 1);
}

TEST(RuntimeDeathTest, AWriteIntoAPipeNobodyReadsFailsInsteadOfKilling) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::signal(SIGPIPE, SIG_DFL);
            int fds[2];
            if (::pipe(fds) != 0) std::_Exit(2);
            ::close(fds[0]);
            Runtime rt(RuntimeOptions{1, "rt-epipe"});
            int err = rt.block_on([fd = fds[1]]() -> asio::awaitable<int> {
                const char byte = 1;
                co_return ::write(fd, &byte, 1) < 0 ? errno : 0;
            }());
            std::_Exit(err == EPIPE ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Runtime, ExecutorAndStrandsAreRefusedOnceShutDown) {
    struct Case {
        const char* how;
        void (*stop)(Runtime&);
    };
    const Case cases[] = {
        {"shutdown", [](Runtime& rt) { rt.shutdown(); }},
        {"shutdown_background", [](Runtime& rt) { rt.shutdown_background(); }},
        // Its thread lives on, deliberately leaked like in a forked child.
        {"abandon", [](Runtime& rt) { rt.abandon(); }},
    };
    auto refused = [](const char* what, auto call) {
        try {
            call();
            ADD_FAILURE() << what << ": no exception";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "the runtime has been shut down") << what;
        }
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        Runtime rt(RuntimeOptions{1, "rt-gone"});
        static_cast<void>(rt.executor());
        static_cast<void>(rt.make_strand());
        c.stop(rt);
        refused("executor", [&] { static_cast<void>(rt.executor()); });
        refused("make_strand", [&] { static_cast<void>(rt.make_strand()); });
        // spawn and block_on keep their own ways of refusing.
        auto ran = std::make_shared<std::atomic<bool>>(false);
        rt.spawn([ran]() -> asio::awaitable<void> {
            *ran = true;
            co_return;
        });
        EXPECT_THROW(rt.block_on([]() -> asio::awaitable<void> { co_return; }()), std::future_error);
        EXPECT_FALSE(*ran);
        EXPECT_EQ(rt.workers(), std::string(c.how) == "abandon" ? 0u : 1u);
    }
}

TEST(Runtime, ALookupThatRunsOutOfMemoryFailsLikeALookup) {
    Runtime rt(RuntimeOptions{1, "rt-oom"});
    const auto worker = rt.block_on([]() -> asio::awaitable<pid_t> { co_return ::gettid(); }());
    ASSERT_TRUE(std::holds_alternative<std::vector<asio::ip::tcp::endpoint>>(
        rt.block_on(murlo::runtime::lookup_host("localhost", 80))));
    auto named = thread_ids("rt-oom");
    named.erase(std::to_string(worker));
    ASSERT_EQ(named.size(), 1u);
    const pid_t lookup_thread = std::stoi(*named.begin());

    // The address list is the first thing the idle lookup thread allocates.
    fail_next_new_on = lookup_thread;
    Lookup failed = rt.block_on(murlo::runtime::lookup_host("localhost", 80));
    EXPECT_EQ(fail_next_new_on.load(), 0);  // the failure did happen
    ASSERT_TRUE(std::holds_alternative<LookupError>(failed));
    EXPECT_EQ(std::get<LookupError>(failed).code, EAI_MEMORY);
    EXPECT_EQ(std::get<LookupError>(failed).text, gai_strerror(EAI_MEMORY));

    // The thread lives on and the next lookup succeeds.
    EXPECT_TRUE(std::holds_alternative<std::vector<asio::ip::tcp::endpoint>>(
        rt.block_on(murlo::runtime::lookup_host("localhost", 80))));
}
