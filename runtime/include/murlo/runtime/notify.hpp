#pragma once
// Wake-one notification: notify_one() wakes exactly one waiter or, when none
// waits, stores a single permit that ends the next wait at once. Further
// notifications while a permit is stored add nothing; none is lost.
// Shared by std::shared_ptr; the registry holds it by std::weak_ptr.

#include <memory>

#include <boost/asio/awaitable.hpp>

namespace murlo::runtime {

class Notify {
public:
    Notify();
    ~Notify();
    Notify(const Notify&) = delete;
    Notify& operator=(const Notify&) = delete;

    // Safe from any thread, inside or outside the runtime.
    void notify_one();
    // Takes a stored permit without waiting; true when there was one.
    bool try_take();
    // Completes once a permit is handed to this waiter. Cancellable through the
    // coroutine's cancellation slot (so it can be raced against a timer); a waiter
    // cancelled after it was handed a permit passes the permit on.
    boost::asio::awaitable<void> wait();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace murlo::runtime
