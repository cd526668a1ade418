// Guarded values: reached only under their lock, shared readers side by side,
// and (in debug builds) locks taken out of their order refused.

#include "murlo/runtime/guarded.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <shared_mutex>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace murlo::runtime
