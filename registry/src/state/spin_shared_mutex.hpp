#pragma once
// A reader-writer lock that spins a little before it sleeps. The registry's
// critical sections last well under a microsecond; when a change wakes
// thousands of held beats, every worker takes the lock at once, and sleeping
// at the first conflict (a futex wait, then a wake-up) costs far more than
// waiting the holder out. Past the spins it blocks like std::shared_mutex.

#include <shared_mutex>

namespace murlo::registry {

class SpinSharedMutex {
public:
    void lock() {
        for (int i = 0; i < spins; ++i) {
            if (mutex_.try_lock()) return;
            relax();
        }
        mutex_.lock();
    }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }

    void lock_shared() {
        for (int i = 0; i < spins; ++i) {
            if (mutex_.try_lock_shared()) return;
            relax();
        }
        mutex_.lock_shared();
    }
    bool try_lock_shared() { return mutex_.try_lock_shared(); }
    void unlock_shared() { mutex_.unlock_shared(); }

private:
    static constexpr int spins = 64;
    static void relax() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }
    std::shared_mutex mutex_;
};

}  // namespace murlo::registry
