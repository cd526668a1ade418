#pragma once
// State that must never be released: what a forked child inherits from
// threads it does not have (an abandoned runtime, a signal's old waiters).
// Destroying it would join or wake what does not exist, so it is listed here
// for the life of the process instead of dropped: it stays reachable, which a
// leak checker takes for a deliberate hold. The push is lock-free, since a
// lock could be held by a thread lost in the fork.

#include <atomic>
#include <memory>
#include <utility>

namespace murlo::runtime::detail {

template <class T>
void keep_forever(std::shared_ptr<T> state) {
    struct Node {
        std::shared_ptr<T> state;
        Node* next = nullptr;
    };
    static std::atomic<Node*> kept{nullptr};
    Node* node = std::make_unique<Node>(Node{std::move(state), kept.load()}).release();
    while (!kept.compare_exchange_weak(node->next, node)) {
    }
}

}  // namespace murlo::runtime::detail
