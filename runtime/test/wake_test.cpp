// notify_later: on a worker, the wake-ups go out after the work already
// queued there, all of them, in several turns; elsewhere at once.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "murlo/runtime/notify.hpp"
#include "murlo/runtime/runtime.hpp"
#include "support/eventually.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using murlo::runtime::Notify;
using murlo::runtime::Runtime;
using murlo::runtime::RuntimeOptions;
using murlo::runtime::testing::eventually;

namespace {

TEST(NotifyLater, OnAWorkerTheQueuedWorkGoesFirstAndEveryWaiterWakes) {
    Runtime rt(RuntimeOptions{1, "wake-test"});
    constexpr int waiters = 1000;
    std::vector<std::shared_ptr<Notify>> handles;
    for (int i = 0; i < waiters; ++i) handles.push_back(std::make_shared<Notify>());
    std::mutex mutex;
    std::vector<int> order;  // -1: the work queued before; i: waiter i woke
    std::atomic<int> parked{0};
    for (int i = 0; i < waiters; ++i) {
        rt.spawn([&, i, h = handles[i]]() -> asio::awaitable<void> {
            ++parked;
            co_await h->wait();
            std::lock_guard lock(mutex);
            order.push_back(i);
        });
    }
    // Each waiter counts itself in the same turn that parks it, before
    // anything posted afterwards runs on the one worker.
    ASSERT_TRUE(eventually([&] { return parked == waiters; }));

    std::vector<std::weak_ptr<Notify>> weak(handles.begin(), handles.end());
    weak.push_back(std::weak_ptr<Notify>());  // a handle already gone is skipped
    asio::post(rt.executor(), [&] {
        murlo::runtime::notify_later(weak);
        EXPECT_TRUE(weak.empty());
        // Queued after the wake-ups were handed over, run before any of them.
        asio::post(rt.executor(), [&] {
            std::lock_guard lock(mutex);
            order.push_back(-1);
        });
    });
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return order.size() == waiters + 1;
    }));
    EXPECT_EQ(order.front(), -1);
    rt.shutdown();
}

TEST(NotifyLater, SharedOutAmongWorkersEveryWaiterWakesOnce) {
    Runtime rt(RuntimeOptions{4, "wake-test"});
    constexpr int waiters = 5000;
    std::vector<std::shared_ptr<Notify>> handles;
    for (int i = 0; i < waiters; ++i) handles.push_back(std::make_shared<Notify>());
    std::atomic<int> parked{0}, woke{0};
    for (int i = 0; i < waiters; ++i) {
        rt.spawn([&, h = handles[i]]() -> asio::awaitable<void> {
            ++parked;
            co_await h->wait();
            ++woke;
        });
    }
    ASSERT_TRUE(eventually([&] { return parked == waiters; }));
    // Parked counts before the wait registers; a notification that comes
    // first leaves a permit, which the wait takes just the same.
    std::vector<std::weak_ptr<Notify>> weak(handles.begin(), handles.end());
    asio::post(rt.executor(), [&] { murlo::runtime::notify_later(weak); });
    ASSERT_TRUE(eventually([&] { return woke == waiters; })) << woke << " of " << waiters;
    for (auto& h : handles) EXPECT_FALSE(h->try_take()) << "a handle was notified twice";
    rt.shutdown();
}

TEST(NotifyLater, OffTheRuntimeItNotifiesAtOnce) {
    auto h = std::make_shared<Notify>();
    std::vector<std::weak_ptr<Notify>> weak{h};
    murlo::runtime::notify_later(weak);
    EXPECT_TRUE(weak.empty());
    EXPECT_TRUE(h->try_take());
}

}  // namespace
