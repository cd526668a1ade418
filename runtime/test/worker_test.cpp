// Placement on workers: a task, and a connection placed like the registry's
// accept loop places it, stays on one worker thread whatever it awaits;
// next_worker walks a runtime's workers; shutdown copes with tasks that own
// objects of other workers.

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "murlo/runtime/asio.hpp"
#include "murlo/runtime/h2_client.hpp"
#include "murlo/runtime/http.hpp"
#include "murlo/runtime/notify.hpp"
#include "murlo/runtime/runtime.hpp"
#include "support/eventually.hpp"
#include "support/thread_name.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using murlo::runtime::Acceptor;
using murlo::runtime::H2Client;
using murlo::runtime::H2Response;
using murlo::runtime::HttpRequest;
using murlo::runtime::HttpResponse;
using murlo::runtime::next_worker;
using murlo::runtime::Notify;
using murlo::runtime::Runtime;
using murlo::runtime::RuntimeOptions;
using murlo::runtime::single_threaded;

namespace {

using murlo::runtime::testing::eventually;

using murlo::runtime::testing::this_thread_name;

// The threads each tagged piece of work ran on, and their names.
struct Seen {
    std::mutex mutex;
    std::map<std::string, std::set<std::thread::id>> threads;
    std::set<std::string> names;

    void note(const std::string& tag) {
        std::lock_guard lock(mutex);
        threads[tag].insert(std::this_thread::get_id());
        names.insert(this_thread_name());
    }
};

// Rings `bell` from a thread outside every runtime until stopped, so waits on
// it resume through a post from another thread.
std::jthread ringer(std::shared_ptr<Notify> bell) {
    return std::jthread([bell](std::stop_token stop) {
        while (!stop.stop_requested()) {
            bell->notify_one();
            std::this_thread::sleep_for(1ms);
        }
    });
}

// Notes its thread after each kind of wait: a timer, a post, a wake-up from another thread.
asio::awaitable<void> hop(std::string tag, std::shared_ptr<Seen> seen, std::shared_ptr<Notify> bell) {
    auto ex = co_await asio::this_coro::executor;
    seen->note(tag);
    asio::steady_timer timer(ex, 1ms);
    co_await timer.async_wait(asio::use_awaitable);
    seen->note(tag);
    co_await asio::post(ex, asio::use_awaitable);
    seen->note(tag);
    co_await bell->wait();
    seen->note(tag);
}

// Serves "/<tag>/...": hops, then answers the tag.
asio::awaitable<HttpResponse> answer(HttpRequest request, std::shared_ptr<Seen> seen, std::shared_ptr<Notify> bell) {
    std::string target(request.target);
    std::string tag = target.substr(1, target.find('/', 1) - 1);
    co_await hop(tag, seen, bell);
    co_return HttpResponse{200, "text/plain", tag};
}

// Places each connection on a worker for its whole life, as the registry does.
asio::awaitable<void> accept_loop(Acceptor acceptor, murlo::runtime::HttpService service) {
    const auto here = co_await asio::this_coro::executor;
    for (;;) {
        const auto worker = next_worker(here);
        auto [ec, socket] = co_await acceptor.async_accept(worker);
        if (ec) continue;
        asio::co_spawn(worker, murlo::runtime::serve_connection(std::move(socket), service), asio::detached);
    }
}

// One client, so one connection: a first request opens it, then `concurrent`
// requests are in flight together, then `after` more go one at a time. Counts
// the 200 answers carrying the tag; -1 when the client used more than one
// connection.
asio::awaitable<int> fetch_over_one_connection(std::string base, std::string tag, int concurrent, int after) {
    auto ex = co_await asio::this_coro::executor;
    H2Client client(ex);
    int ok = 0;
    auto one = [&](int n) -> asio::awaitable<void> {
        auto deadline = murlo::runtime::deadline_after(10'000);
        auto head = co_await client.request("GET", base + "/" + tag + "/" + std::to_string(n), "", "", deadline);
        auto* response = std::get_if<H2Response>(&head);
        if (!response || response->status() != 200) co_return;
        auto body = co_await response->body(deadline);
        if (auto* text = std::get_if<std::string>(&body); text && *text == tag) ++ok;
    };
    co_await one(0);
    int pending = concurrent;
    Notify all_done;
    for (int n = 1; n <= concurrent; ++n)
        asio::co_spawn(
            ex,
            [&, n]() -> asio::awaitable<void> {
                co_await one(n);
                if (--pending == 0) all_done.notify_one();
            },
            asio::detached);
    co_await all_done.wait();
    for (int n = concurrent + 1; n <= concurrent + after; ++n) co_await one(n);
    co_return client.connections() == 1 ? ok : -1;
}

}  // namespace

TEST(Workers, AConnectionStaysOnOneThreadAndConnectionsSpreadOverTheWorkers) {
    constexpr std::size_t workers = 4;
    constexpr int connections = 2 * workers;
    constexpr int concurrent = 5, after = 3;
    auto seen = std::make_shared<Seen>();
    auto bell = std::make_shared<Notify>();
    auto ring = ringer(bell);

    Runtime server(RuntimeOptions{workers, "wk-server"});
    Acceptor acceptor(server.executor(), tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const std::string base = "http://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port());
    murlo::runtime::HttpService service = [seen, bell](HttpRequest request) {
        return answer(std::move(request), seen, bell);
    };
    server.spawn(accept_loop(std::move(acceptor), service));

    Runtime client(RuntimeOptions{2, "wk-client"});
    std::vector<std::future<int>> fetched;
    for (int c = 0; c < connections; ++c)
        fetched.push_back(std::async(std::launch::async, [&, c] {
            return client.block_on(fetch_over_one_connection(base, "c" + std::to_string(c), concurrent, after));
        }));
    for (int c = 0; c < connections; ++c) EXPECT_EQ(fetched[c].get(), 1 + concurrent + after) << "connection c" << c;

    std::lock_guard lock(seen->mutex);
    ASSERT_EQ(seen->threads.size(), std::size_t{connections});
    std::set<std::thread::id> used;
    for (auto& [tag, ids] : seen->threads) {
        EXPECT_EQ(ids.size(), 1u) << tag << " ran on several threads";
        used.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(used.size(), workers);
    EXPECT_EQ(seen->names, std::set<std::string>{"wk-server"});
}

TEST(Workers, SpawnedTasksStayOnTheWorkerTheyStartedOn) {
    constexpr std::size_t workers = 3;
    auto seen = std::make_shared<Seen>();
    auto bell = std::make_shared<Notify>();
    auto ring = ringer(bell);
    Runtime rt(RuntimeOptions{workers, "wk-spawn"});

    constexpr int tasks = 2 * workers;
    std::atomic<int> finished{0};
    for (int i = 0; i < tasks; ++i)
        rt.spawn([&, i]() -> asio::awaitable<void> {
            co_await hop("spawn" + std::to_string(i), seen, bell);
            ++finished;
        });
    rt.block_on(hop("block_on", seen, bell));
    ASSERT_TRUE(eventually([&] { return finished == tasks; }));

    std::lock_guard lock(seen->mutex);
    std::set<std::thread::id> used;
    for (auto& [tag, ids] : seen->threads) {
        EXPECT_EQ(ids.size(), 1u) << tag << " ran on several threads";
        used.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(used.size(), workers);
    EXPECT_EQ(seen->names, std::set<std::string>{"wk-spawn"});
}

TEST(NextWorker, WalksTheRuntimesWorkersInTurn) {
    constexpr int workers = 3;
    Runtime rt(RuntimeOptions{workers, "wk-next"});
    struct Placed {
        std::thread::id thread;
        std::string name;
        bool single = false;
    };
    // Temporaries kept out of co_await expressions: g++ 12 mishandles their lifetime.
    auto where = []() -> asio::awaitable<Placed> {
        const auto ex = co_await asio::this_coro::executor;
        co_return Placed{std::this_thread::get_id(), this_thread_name(), single_threaded(ex)};
    };
    // From a strand of a worker as well as from a worker's own executor.
    for (bool from_strand : {false, true}) {
        SCOPED_TRACE(from_strand ? "strand" : "executor");
        auto task = [&]() -> asio::awaitable<std::vector<Placed>> {
            asio::any_io_executor from = co_await asio::this_coro::executor;
            if (from_strand) from = asio::make_strand(from);
            std::vector<Placed> out;
            for (int i = 0; i < 2 * workers; ++i) {
                const auto worker = next_worker(from);
                auto placed = asio::co_spawn(worker, where(), asio::use_awaitable);
                out.push_back(co_await std::move(placed));
            }
            co_return out;
        };
        auto placed = rt.block_on(task());
        std::set<std::thread::id> threads;
        for (int i = 0; i < 2 * workers; ++i) {
            threads.insert(placed[i].thread);
            EXPECT_EQ(placed[i].name, "wk-next");
            EXPECT_TRUE(placed[i].single);
            if (i >= workers) {
                EXPECT_EQ(placed[i].thread, placed[i - workers].thread) << "not in turn at " << i;
            }
        }
        EXPECT_EQ(threads.size(), std::size_t{workers});
    }
}

TEST(NextWorker, OutsideARunningRuntimeGivesTheSameExecutor) {
    asio::io_context io;
    const asio::any_io_executor plain = io.get_executor();
    const asio::any_io_executor strand = asio::make_strand(io);
    EXPECT_TRUE(next_worker(plain) == plain);
    EXPECT_TRUE(next_worker(strand) == strand);
    EXPECT_FALSE(single_threaded(plain));
    EXPECT_FALSE(single_threaded(strand));

    // A runtime shut down from inside one of its tasks.
    Runtime rt(RuntimeOptions{2, "wk-stopped"});
    std::promise<bool> same;
    rt.spawn([&]() -> asio::awaitable<void> {
        const asio::any_io_executor here = co_await asio::this_coro::executor;
        rt.shutdown();
        same.set_value(next_worker(here) == here);
    });
    auto answer = same.get_future();
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(answer.get());
}

TEST(Workers, ShutdownReleasesTasksThatOwnAnotherWorkersObjects) {
    // Each task's frame owns a socket and a timer of the other worker; every
    // worker's pending work must go before any worker's context does.
    auto held = std::make_shared<int>(0);
    auto parked = std::make_shared<std::atomic<int>>(0);
    auto never = std::make_shared<Notify>();
    Runtime rt(RuntimeOptions{2, "wk-cross"});
    for (int i = 0; i < 2; ++i)
        rt.spawn([held, parked, never]() -> asio::awaitable<void> {
            const auto here = co_await asio::this_coro::executor;
            auto there = next_worker(here);
            while (&asio::query(there, asio::execution::context) == &asio::query(here, asio::execution::context))
                there = next_worker(here);
            tcp::socket socket(there, tcp::v4());
            asio::steady_timer timer(there, 1h);
            timer.async_wait([](boost::system::error_code) {});
            ++*parked;
            co_await never->wait();
        });
    ASSERT_TRUE(eventually([&] { return *parked == 2; }));
    EXPECT_EQ(held.use_count(), 3);
    rt.shutdown();
    EXPECT_EQ(held.use_count(), 1);
}
