// Guarded values: reached only under their lock, shared readers side by side,
// locks taken out of their order refused (in debug builds), and a lock renewed
// in a forked child free of whoever waited on it in the parent.

#include "murlo/runtime/guarded.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <shared_mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/fork_child.hpp"

namespace murlo::runtime {
namespace {

TEST(Guarded, WritersExcludeEachOther) {
    Guarded<std::uint64_t> counter(LockRank::alone, 0u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                auto value = counter.lock();
                *value = *value + 1;  // read-modify-write: torn without the lock
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter.with_lock([](std::uint64_t v) { return v; }), 40000u);
}

TEST(Guarded, ReadersShareAMutex) {
    Guarded<int, std::shared_mutex> value(lock_rank(1), 7);
    auto first = value.lock_shared();
    std::atomic<bool> second_read{false};
    std::thread reader([&] {
        auto again = value.lock_shared();  // would block for good were the lock exclusive
        second_read = *again == 7;
    });
    reader.join();
    EXPECT_TRUE(second_read);
    EXPECT_EQ(*first, 7);
}

TEST(Guarded, HandleWaitsOnAConditionVariable) {
    Guarded<int> value(LockRank::alone, 0);
    std::condition_variable changed;
    std::thread writer([&] {
        value.with_lock([](int& v) { v = 1; });
        changed.notify_all();
    });
    auto locked = value.lock();
    changed.wait(locked.native(), [&] { return *locked == 1; });
    EXPECT_EQ(*locked, 1);
    writer.join();
}

#if MURLO_LOCK_RANKS
TEST(Guarded, LockOrderIsChecked) {
    Guarded<int> first(lock_rank(1)), second(lock_rank(2)), alone;
    struct Case {
        const char* what;
        Guarded<int>* outer;
        Guarded<int>* inner;
        bool allowed;
    };
    const Case cases[] = {
        {"in rank order", &first, &second, true},
        {"against rank order", &second, &first, false},
        {"the same lock twice", &first, &first, false},
        {"a ranked lock inside one that nests with nothing", &alone, &first, false},
        {"one that nests with nothing inside a ranked lock", &first, &alone, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto outer = c.outer->lock();
        if (c.allowed) {
            EXPECT_NO_THROW(c.inner->lock());
        } else {
            EXPECT_THROW(c.inner->lock(), std::logic_error);
        }
    }
    // A refused acquisition leaves nothing behind: all of them work alone.
    EXPECT_NO_THROW(alone.lock());
    EXPECT_NO_THROW(second.lock());
    { auto same = first.lock(); }
    EXPECT_NO_THROW(first.lock());
}
#endif

// Whether thread `tid` of this process is asleep in the kernel.
bool asleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto name_end = text.rfind(')');
    return name_end != std::string::npos && name_end + 2 < text.size() && text[name_end + 2] == 'S';
}

enum class Waits { reader, writer };

// Holds `value` for a fork while a thread of the parent waits on it, then
// forks: the child renews the lock and takes it as a writer and as a reader.
template <class Mutex>
int fork_while_waited_on(Waits how) {
    Guarded<int, Mutex> value(lock_rank(1), 0);
    int& held = value.lock_for_fork();
    held = 1;
    std::atomic<pid_t> tid{0};
    std::thread waiter([&] {
        tid = ::gettid();
        if constexpr (std::is_same_v<Mutex, std::shared_mutex>) {
            if (how == Waits::reader) {
                auto read = value.lock_shared();
                return;
            }
        }
        auto write = value.lock();
    });
    // Until the waiter sleeps on the lock (a generous bound; were it not
    // asleep yet, the case would only prove less).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((tid == 0 || !asleep(tid)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int code = test::in_child([&] {
        value.renew_after_fork();
        value.with_lock([](int& v) { ++v; });
        if constexpr (std::is_same_v<Mutex, std::shared_mutex>)
            return value.with_shared_lock([](int v) { return v == 2 ? 0 : 1; });
        return value.with_lock([](int v) { return v == 2 ? 0 : 1; });
    });
    value.unlock_after_fork();  // the parent's waiter gets in
    waiter.join();
    return code;
}

TEST(Guarded, AForkedChildRenewsALockTheParentsThreadsWaitedOn) {
    if (MURLO_TSAN) GTEST_SKIP() << "ThreadSanitizer does not follow locks through fork()";
    struct Case {
        const char* what;
        int (*run)(Waits);
        Waits how;
    };
    const Case cases[] = {
        {"a reader waits on a reader-writer lock", fork_while_waited_on<std::shared_mutex>, Waits::reader},
        {"a writer waits on a reader-writer lock", fork_while_waited_on<std::shared_mutex>, Waits::writer},
        {"a thread waits on a mutex", fork_while_waited_on<std::mutex>, Waits::writer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.run(c.how), 0);  // -1: the child hung on the lock
    }
}

}  // namespace
}  // namespace murlo::runtime
