// Wake-ups handed over after the work at hand: a change that wakes thousands
// of held beats must not make its own answer wait behind them, nor leave one
// worker to notify all of them. The handles are shared out among the
// runtime's workers, and each notifies its share a slice per turn.

#include <algorithm>
#include <deque>
#include <memory>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "murlo/runtime/notify.hpp"
#include "wake.hpp"

namespace murlo::runtime {

namespace asio = boost::asio;

namespace {

// Handles notified per turn of a worker: small enough that other work of
// the worker (answers, reads) gets in between, large enough that a turn is
// not all overhead.
constexpr std::size_t slice = 128;

struct Pending {
    asio::io_context* io = nullptr;        // the worker this thread runs, if any
    std::vector<asio::io_context*> peers;  // all the runtime's workers, this one included
    std::size_t self = 0;                  // this worker's place among them
    std::deque<std::weak_ptr<Notify>> handles;
    bool scheduled = false;
};

thread_local Pending pending;

void notify(const std::weak_ptr<Notify>& weak) {
    if (auto handle = weak.lock()) handle->notify_one();
}

void drain() {
    Pending& p = pending;
    const std::size_t n = std::min(slice, p.handles.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto weak = std::move(p.handles.front());
        p.handles.pop_front();
        notify(weak);
    }
    if (p.handles.empty()) {
        p.scheduled = false;
        return;
    }
    asio::post(*p.io, [] { drain(); });
}

// Queues handles on this thread's worker, to be notified from its next turn on.
template <class It>
void queue_here(It first, It last) {
    Pending& p = pending;
    if (!p.io) {
        // The worker has ended: nothing runs the drain any more.
        std::for_each(first, last, notify);
        return;
    }
    std::move(first, last, std::back_inserter(p.handles));
    if (!p.scheduled && !p.handles.empty()) {
        p.scheduled = true;
        asio::post(*p.io, [] { drain(); });
    }
}

}  // namespace

namespace detail {

WorkerScope::WorkerScope(asio::io_context& io, std::vector<asio::io_context*> peers) {
    pending.io = &io;
    pending.self = std::find(peers.begin(), peers.end(), &io) - peers.begin();
    pending.peers = std::move(peers);
}

WorkerScope::~WorkerScope() {
    // Whatever is still queued is notified now: a waiter elsewhere must not
    // be left waiting because this worker stopped first.
    Pending& p = pending;
    p.io = nullptr;
    auto handles = std::exchange(p.handles, {});
    std::for_each(handles.begin(), handles.end(), notify);
    p.peers.clear();
    p.scheduled = false;
}

}  // namespace detail

namespace {

// Shares `handles` out: the other workers' shares first, so that they start
// at once, then this worker's own.
void spread(std::vector<std::weak_ptr<Notify>>& handles) {
    Pending& p = pending;
    if (!p.io) {
        std::for_each(handles.begin(), handles.end(), notify);
        return;
    }
    const std::size_t workers = p.peers.size();
    const std::size_t shares = std::clamp<std::size_t>(handles.size() / slice, 1, workers);
    const std::size_t each = (handles.size() + shares - 1) / shares;
    for (std::size_t i = 1; i < shares; ++i) {
        const auto first = handles.begin() + static_cast<std::ptrdiff_t>(std::min(handles.size(), i * each));
        const auto last = handles.begin() + static_cast<std::ptrdiff_t>(std::min(handles.size(), (i + 1) * each));
        if (first == last) continue;
        std::vector<std::weak_ptr<Notify>> share(std::make_move_iterator(first), std::make_move_iterator(last));
        asio::post(*p.peers[(p.self + i) % workers],
                   [share = std::move(share)]() mutable { queue_here(share.begin(), share.end()); });
    }
    const auto mine = handles.begin() + static_cast<std::ptrdiff_t>(std::min(handles.size(), each));
    queue_here(handles.begin(), mine);
}

}  // namespace

void notify_later(std::vector<std::weak_ptr<Notify>>& handles) {
    Pending& p = pending;
    if (!p.io) {
        std::for_each(handles.begin(), handles.end(), notify);
        handles.clear();
        return;
    }
    // Two turns aside: the first runs behind what is queued now, the second
    // behind what the work at hand queues next (the writes of its own
    // answer), so that answer is on its way before any other worker is busy
    // with the wake-ups.
    asio::post(*p.io, [io = p.io, batch = std::exchange(handles, {})]() mutable {
        asio::post(*io, [batch = std::move(batch)]() mutable { spread(batch); });
    });
}

}  // namespace murlo::runtime
