#pragma once
// A value that can be reached only with its mutex held, and the check that
// keeps locks in their order.
//
// Every Guarded has a rank. A thread may take a ranked lock only while each
// lock it already holds ranks lower; a lock of rank `alone` nests with no other
// lock in either direction. Builds with MURLO_LOCK_RANKS=1 (every debug and
// test build) check this at every acquisition and throw std::logic_error on a
// violation; the release build of the module compiles the check out.
//
// A fork handler, which holds every lock of the process across fork() at once,
// goes around the check: it takes the mutexes directly, in rank order, with
// lock_for_fork, and lets go of them with unlock_after_fork in the parent and
// renew_after_fork in the child.

#include <cstddef>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>

#ifndef MURLO_LOCK_RANKS
#ifdef NDEBUG
#define MURLO_LOCK_RANKS 0
#else
#define MURLO_LOCK_RANKS 1
#endif
#endif

namespace murlo::runtime {

enum class LockRank : int { alone = 0 };

// The ranked lock ranks 1, 2, ...: a lock may be taken inside those of lower rank.
constexpr LockRank lock_rank(int rank) { return static_cast<LockRank>(rank); }

namespace detail {

#if MURLO_LOCK_RANKS
// The ranks this thread holds, in the order taken. Small: locks nest at most a
// few deep.
struct HeldLocks {
    static constexpr std::size_t capacity = 16;
    int ranks[capacity];
    std::size_t count = 0;
};
inline thread_local HeldLocks held_locks;
inline constexpr int alone_marker = 1 << 30;  // held `alone`: nothing may follow

inline void note_acquire(LockRank rank) {
    HeldLocks& held = held_locks;
    const int wanted = static_cast<int>(rank);
    if (held.count > 0) {
        const int top = held.ranks[held.count - 1];
        if (wanted == 0 || top >= wanted) {
            throw std::logic_error("lock order: a lock of rank " + std::to_string(wanted) + " taken while holding " +
                                   (top == alone_marker ? std::string("one that nests with nothing")
                                                        : "one of rank " + std::to_string(top)));
        }
    }
    if (held.count == HeldLocks::capacity) throw std::logic_error("lock order: too many locks held");
    held.ranks[held.count++] = wanted == 0 ? alone_marker : wanted;
}

inline void note_release(LockRank rank) {
    HeldLocks& held = held_locks;
    const int taken = static_cast<int>(rank) == 0 ? alone_marker : static_cast<int>(rank);
    for (std::size_t i = held.count; i-- > 0;) {
        if (held.ranks[i] == taken) {
            for (std::size_t j = i + 1; j < held.count; ++j) held.ranks[j - 1] = held.ranks[j];
            --held.count;
            return;
        }
    }
}
#else
inline void note_acquire(LockRank) {}
inline void note_release(LockRank) {}
#endif

// Records the rank for as long as the lock is held; declared before the lock so
// that it is noted before the wait and dropped after the release.
class RankToken {
public:
    explicit RankToken(LockRank rank) : rank_(rank) { note_acquire(rank); }
    RankToken(RankToken&& other) noexcept : rank_(other.rank_), owned_(std::exchange(other.owned_, false)) {}
    RankToken(const RankToken&) = delete;
    RankToken& operator=(const RankToken&) = delete;
    RankToken& operator=(RankToken&&) = delete;
    ~RankToken() {
        if (owned_) note_release(rank_);
    }

private:
    LockRank rank_;
    bool owned_ = true;
};

}  // namespace detail

// The value while its lock is held; the lock goes with the handle. `Lock` is
// std::unique_lock or std::shared_lock of the Guarded's mutex.
template <class T, class Lock>
class Locked {
public:
    Locked(LockRank rank, typename Lock::mutex_type& mutex, T& value) : token_(rank), lock_(mutex), value_(&value) {}

    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }
    // For condition variable waits on the same mutex.
    Lock& native() { return lock_; }

private:
    detail::RankToken token_;
    Lock lock_;
    T* value_;
};

template <class T, class Mutex = std::mutex>
class Guarded {
public:
    using Exclusive = Locked<T, std::unique_lock<Mutex>>;
    using ConstExclusive = Locked<const T, std::unique_lock<Mutex>>;
    using Shared = Locked<const T, std::shared_lock<Mutex>>;

    Guarded() = default;
    template <class... Args>
    explicit Guarded(LockRank rank, Args&&... args) : rank_(rank), value_(std::forward<Args>(args)...) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    Exclusive lock() { return Exclusive(rank_, mutex_, value_); }
    ConstExclusive lock() const { return ConstExclusive(rank_, mutex_, value_); }
    // Readers side by side; only for a shared mutex.
    Shared lock_shared() const { return Shared(rank_, mutex_, value_); }

    template <class F>
    decltype(auto) with_lock(F&& f) {
        auto locked = lock();
        return std::forward<F>(f)(*locked);
    }
    template <class F>
    decltype(auto) with_lock(F&& f) const {
        auto locked = lock();
        return std::forward<F>(f)(*locked);
    }
    template <class F>
    decltype(auto) with_shared_lock(F&& f) const {
        auto locked = lock_shared();
        return std::forward<F>(f)(*locked);
    }

    // For fork handlers only. The mutex, taken exclusively with nothing
    // recorded; the value stays reachable through the reference until the
    // mutex is let go of by one of the two below.
    T& lock_for_fork() {
        mutex_.lock();
        return value_;
    }
    // In the parent, after fork().
    void unlock_after_fork() { mutex_.unlock(); }
    // In the child, in place of the unlock: a fresh mutex. The old one's state
    // may count waiters that were the parent's threads, which do not exist
    // here; a reader-writer lock would hand them the read lock on its unlock,
    // and they would never give it back.
    void renew_after_fork() { ::new (static_cast<void*>(&mutex_)) Mutex(); }

private:
    LockRank rank_ = LockRank::alone;
    mutable Mutex mutex_;
    T value_{};
};

}  // namespace murlo::runtime
