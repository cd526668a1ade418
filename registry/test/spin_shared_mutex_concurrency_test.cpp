// The registry's lock: writers exclude everyone, readers share, and a lock
// that spins out falls back to blocking without losing either property.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "state/spin_shared_mutex.hpp"

namespace murlo::registry {
namespace {

// What another thread can take while this one holds the lock.
struct Takes {
    bool shared;
    bool exclusive;
};

Takes elsewhere(SpinSharedMutex& m) {
    Takes t{};
    std::thread([&] {
        t.shared = m.try_lock_shared();
        if (t.shared) m.unlock_shared();
        t.exclusive = m.try_lock();
        if (t.exclusive) m.unlock();
    }).join();
    return t;
}

TEST(SpinSharedMutex, ReadersShareAndWritersExclude) {
    SpinSharedMutex m;
    {
        std::shared_lock reader(m);
        const Takes t = elsewhere(m);
        EXPECT_TRUE(t.shared);
        EXPECT_FALSE(t.exclusive);
    }
    {
        std::unique_lock writer(m);
        const Takes t = elsewhere(m);
        EXPECT_FALSE(t.shared);
        EXPECT_FALSE(t.exclusive);
    }
    const Takes t = elsewhere(m);
    EXPECT_TRUE(t.shared);
    EXPECT_TRUE(t.exclusive);
}

TEST(SpinSharedMutex, ContendedWritesAreNeverTornOrLost) {
    SpinSharedMutex m;
    // Written as a pair under the write lock; a reader must never see them differ.
    std::uint64_t a = 0, b = 0;
    std::atomic<bool> torn{false};
    constexpr int writers = 4, readers = 4, rounds = 20'000;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                std::unique_lock lock(m);
                ++a;
                ++b;
            }
        });
    for (int r = 0; r < readers; ++r)
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                std::shared_lock lock(m);
                if (a != b) torn = true;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(torn);
    EXPECT_EQ(a, std::uint64_t{writers} * rounds);
    EXPECT_EQ(b, a);
}

}  // namespace
}  // namespace murlo::registry
