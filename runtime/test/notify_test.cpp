#include "murlo/runtime/notify.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/execution.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "support/fork_child.hpp"

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using murlo::runtime::Notify;
using namespace std::chrono_literals;

namespace {

// How one spawned wait ended.
enum class End { pending, woken, aborted, failed };

// A completion handler that records in `end` how a wait ended.
auto record_end(End& end) {
    return [&end](std::exception_ptr e) {
        if (!e) {
            end = End::woken;
            return;
        }
        try {
            std::rethrow_exception(e);
        } catch (boost::system::system_error const& err) {
            end = err.code() == asio::error::operation_aborted ? End::aborted : End::failed;
        } catch (...) {
            end = End::failed;
        }
    };
}

// Spawns n.wait() with a cancellation slot the test controls.
void spawn_wait(asio::io_context& io, Notify& n, asio::cancellation_signal& sig, End& end) {
    asio::co_spawn(io, n.wait(), asio::bind_cancellation_slot(sig.slot(), record_end(end)));
}

// An io_context executor that runs a hook, once, the next time it is asked to
// keep outstanding work: which a wait does while it parks its completion
// handler, so the hook runs in the middle of parking.
template <class Inner>
struct HookedExecutor {
    Inner inner;
    std::shared_ptr<std::function<void()>> hook;

    void fire() const {
        if (hook && *hook) std::exchange(*hook, nullptr)();
    }
    // Asked for directly, or through a type-erased executor's prefer_only.
    template <class P>
    static constexpr bool tracks =
        std::is_same_v<std::decay_t<P>, asio::execution::outstanding_work_t::tracked_t> ||
        std::is_same_v<std::decay_t<P>, asio::execution::prefer_only<asio::execution::outstanding_work_t::tracked_t>>;

    template <class P>
    auto query(const P& p) const noexcept(noexcept(asio::query(std::declval<const Inner&>(), p)))
        -> decltype(asio::query(std::declval<const Inner&>(), p)) {
        return asio::query(inner, p);
    }
    template <class P>
    auto require(const P& p) const
        -> HookedExecutor<std::decay_t<decltype(asio::require(std::declval<const Inner&>(), p))>> {
        if constexpr (tracks<P>) fire();
        return {asio::require(inner, p), hook};
    }
    template <class P>
    auto prefer(const P& p) const
        -> HookedExecutor<std::decay_t<decltype(asio::prefer(std::declval<const Inner&>(), p))>> {
        if constexpr (tracks<P>) fire();
        return {asio::prefer(inner, p), hook};
    }
    template <class F>
    void execute(F&& f) const {
        inner.execute(std::forward<F>(f));
    }
    friend bool operator==(const HookedExecutor& a, const HookedExecutor& b) noexcept {
        return a.inner == b.inner && a.hook == b.hook;
    }
    friend bool operator!=(const HookedExecutor& a, const HookedExecutor& b) noexcept { return !(a == b); }
};

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
    asio::steady_timer t(co_await asio::this_coro::executor, d);
    co_await t.async_wait(asio::use_awaitable);
}

}  // namespace

TEST(Notify, StoredPermitEndsNextWaitAtOnce) {
    asio::io_context io;
    Notify n;
    n.notify_one();
    asio::cancellation_signal sig;
    End end = End::pending;
    spawn_wait(io, n, sig, end);
    io.poll();
    EXPECT_EQ(end, End::woken);
    EXPECT_FALSE(n.try_take());
}

TEST(Notify, TwoRaisesWithoutWaiterStoreOnePermit) {
    Notify n;
    EXPECT_FALSE(n.try_take());
    n.notify_one();
    n.notify_one();
    EXPECT_TRUE(n.try_take());
    EXPECT_FALSE(n.try_take());

    // The same through waits: the first ends at once, the second has nothing.
    asio::io_context io;
    n.notify_one();
    n.notify_one();
    asio::cancellation_signal s1, s2;
    End e1 = End::pending, e2 = End::pending;
    spawn_wait(io, n, s1, e1);
    spawn_wait(io, n, s2, e2);
    io.poll();
    EXPECT_EQ(e1, End::woken);
    EXPECT_EQ(e2, End::pending);
    s2.emit(asio::cancellation_type::terminal);
    io.poll();
    EXPECT_EQ(e2, End::aborted);
}

TEST(Notify, RaiseWakesExactlyOneWaiterInArrivalOrder) {
    asio::io_context io;
    Notify n;
    asio::cancellation_signal s1, s2;
    End e1 = End::pending, e2 = End::pending;
    spawn_wait(io, n, s1, e1);
    spawn_wait(io, n, s2, e2);
    io.poll();
    n.notify_one();
    io.poll();
    EXPECT_EQ(e1, End::woken);
    EXPECT_EQ(e2, End::pending);
    EXPECT_FALSE(n.try_take());
    n.notify_one();
    io.poll();
    EXPECT_EQ(e2, End::woken);
}

TEST(Notify, CancelledWaiterDoesNotSwallowARaise) {
    struct Case {
        const char* name;
        bool raise_before_cancel;  // handed the permit, then cancelled before it resumed
        bool second_waiter;        // someone else waits to receive the passed-on raise
    };
    for (Case c : {Case{"cancelled while queued", false, false}, Case{"cancelled after handed", true, false},
                   Case{"handed then cancelled, another waits", true, true}}) {
        SCOPED_TRACE(c.name);
        asio::io_context io;
        Notify n;
        asio::cancellation_signal s1, s2;
        End e1 = End::pending, e2 = End::pending;
        spawn_wait(io, n, s1, e1);
        if (c.second_waiter) spawn_wait(io, n, s2, e2);
        io.poll();
        // From inside the run loop, as a race's winner cancels its loser.
        asio::post(io, [&] {
            if (c.raise_before_cancel) n.notify_one();  // the waiter's resumption is posted, not yet run
            s1.emit(asio::cancellation_type::terminal);
            if (!c.raise_before_cancel) n.notify_one();
        });
        io.poll();
        EXPECT_EQ(e1, End::aborted);
        if (c.second_waiter) {
            EXPECT_EQ(e2, End::woken);
            EXPECT_FALSE(n.try_take());
        } else {
            EXPECT_TRUE(n.try_take());
        }
    }
}

TEST(Notify, CancellationWhileTheWaiterIsBeingParked) {
    // The cancellation arrives while the wait is parking its handler, as one
    // from another thread can; the wait must survive it and stay cancellable.
    asio::io_context io;
    Notify n;
    asio::cancellation_signal sig;
    auto hook = std::make_shared<std::function<void()>>();
    End end = End::pending;
    asio::co_spawn(
        HookedExecutor<asio::io_context::executor_type>{io.get_executor(), hook},
        [&]() -> asio::awaitable<void> {
            *hook = [&] { sig.emit(asio::cancellation_type::terminal); };
            co_await n.wait();
        },
        asio::bind_cancellation_slot(sig.slot(), record_end(end)));
    io.poll();
    EXPECT_FALSE(*hook);  // the hook did run
    if (end == End::pending) {
        // That cancellation came before the wait could hear it; a later one is heard.
        sig.emit(asio::cancellation_type::terminal);
        io.poll();
    }
    EXPECT_EQ(end, End::aborted);
    // The cancelled waiter took no permit with it.
    n.notify_one();
    EXPECT_TRUE(n.try_take());
}

TEST(Notify, CancellationAfterTheWaiterResumedChangesNothing) {
    asio::io_context io;
    Notify n;
    asio::cancellation_signal sig;
    End end = End::pending;
    spawn_wait(io, n, sig, end);
    io.poll();
    n.notify_one();
    io.poll();
    ASSERT_EQ(end, End::woken);
    sig.emit(asio::cancellation_type::terminal);
    io.poll();
    EXPECT_FALSE(n.try_take());
}

TEST(Notify, WaitRacedWithTimer) {
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    Notify n;

    std::promise<std::size_t> timer_only, raised;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            // Nothing raised: the timer wins and the loser leaves no trace.
            auto r = co_await (n.wait() || sleep_for(20ms));
            timer_only.set_value(r.index());
            // Raised from another thread while waiting: the wait wins long before the timer.
            auto r2 = co_await (n.wait() || sleep_for(30s));
            raised.set_value(r2.index());
        },
        asio::detached);

    EXPECT_EQ(timer_only.get_future().get(), 1u);
    EXPECT_FALSE(n.try_take());
    auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(5ms);
    n.notify_one();
    auto f = raised.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(f.get(), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    // The timer that lost took no permit and nothing is stored.
    EXPECT_FALSE(n.try_take());
    n.notify_one();
    EXPECT_TRUE(n.try_take());

    work.reset();
    runner.join();
}

TEST(Notify, ManyThreadsRaiseWhileACoroutineWaitsInALoop) {
    constexpr int raisers = 4;
    constexpr int raises_each = 2000;
    constexpr int total = raisers * raises_each;

    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) workers.emplace_back([&] { io.run(); });

    Notify n;
    std::atomic<int> raised{0};
    std::atomic<int> wakeups{0};
    std::promise<bool> done;

    // Waits race a very short timer so cancellations churn alongside raises;
    // the loop ends only when a wait itself wins after the last raise, which
    // fails to happen if any raise were swallowed. The race runs on a strand,
    // as every race on a multi-threaded executor must.
    asio::co_spawn(
        asio::make_strand(io),
        [&]() -> asio::awaitable<void> {
            auto deadline = std::chrono::steady_clock::now() + 20s;
            while (std::chrono::steady_clock::now() < deadline) {
                auto r = co_await (n.wait() || sleep_for(50us));
                if (r.index() != 0) continue;
                ++wakeups;
                if (raised.load() == total) {
                    done.set_value(true);
                    co_return;
                }
            }
            done.set_value(false);
        },
        asio::detached);

    std::vector<std::thread> threads;
    for (int t = 0; t < raisers; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < raises_each; ++i) {
                ++raised;
                n.notify_one();
            }
        });
    for (auto& t : threads) t.join();

    EXPECT_TRUE(done.get_future().get());
    EXPECT_LE(wakeups.load(), total);
    EXPECT_GE(wakeups.load(), 1);

    work.reset();
    for (auto& w : workers) w.join();
}

TEST(Notify, AForkedChildRenewsTheSignalWithoutTheParentsWaiters) {
    if (MURLO_TSAN) GTEST_SKIP() << "ThreadSanitizer does not follow locks through fork()";
    enum class Before { a_task_waits, a_permit_is_stored, nothing };
    for (Before before : {Before::a_task_waits, Before::a_permit_is_stored, Before::nothing}) {
        SCOPED_TRACE(static_cast<int>(before));
        asio::io_context io;
        Notify n;
        asio::cancellation_signal sig;
        End end = End::pending;
        if (before == Before::a_task_waits) {
            spawn_wait(io, n, sig, end);
            io.poll();  // parked
        }
        if (before == Before::a_permit_is_stored) n.notify_one();
        n.lock_for_fork();
        const int code = murlo::runtime::test::in_child([&] {
            n.renew_after_fork();
            // The stored permit carries over, and only it.
            if (n.try_take() != (before == Before::a_permit_is_stored)) return 1;
            // A raise goes to nobody of the parent's: it is stored.
            n.notify_one();
            return n.try_take() ? 0 : 2;
        });
        EXPECT_EQ(code, 0);  // -1: the child hung
        n.unlock_after_fork();
        // The parent's signal is as it was.
        if (before == Before::a_task_waits) {
            n.notify_one();
            io.poll();
            EXPECT_EQ(end, End::woken);
        }
        EXPECT_EQ(n.try_take(), before == Before::a_permit_is_stored);
    }
}
