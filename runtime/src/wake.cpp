// Wake-ups handed over after the work at hand: a change that wakes thousands
// of held beats must not make its own answer wait behind them, nor keep one
// worker busy with all of them at once.

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

// Handles notified per turn of the worker: small enough that other work of
// the worker (answers, reads) gets in between, large enough that a turn is
// not all overhead.
constexpr std::size_t slice = 128;

struct Pending {
    asio::io_context* io = nullptr;  // the worker this thread runs, if any
    std::deque<std::weak_ptr<Notify>> handles;
    bool scheduled = false;
};

thread_local Pending pending;

void notify(const std::weak_ptr<Notify>& weak)
{
    if (auto handle = weak.lock())
        handle->notify_one();
}

void drain(bool first)
{
    Pending& p = pending;
    // The first turn only steps aside, behind what was queued meanwhile.
    if (!first) {
        const std::size_t n = std::min(slice, p.handles.size());
        for (std::size_t i = 0; i < n; ++i) {
            auto weak = std::move(p.handles.front());
            p.handles.pop_front();
            notify(weak);
        }
    }
    if (p.handles.empty()) {
        p.scheduled = false;
        return;
    }
    asio::post(*p.io, [] { drain(false); });
}

}  // namespace

namespace detail {

WorkerScope::WorkerScope(asio::io_context& io) { pending.io = &io; }

WorkerScope::~WorkerScope()
{
    pending.io = nullptr;
    pending.handles.clear();
    pending.scheduled = false;
}

}  // namespace detail

void notify_later(std::vector<std::weak_ptr<Notify>>& handles)
{
    Pending& p = pending;
    if (!p.io) {
        for (const auto& weak : handles)
            notify(weak);
        handles.clear();
        return;
    }
    std::move(handles.begin(), handles.end(), std::back_inserter(p.handles));
    handles.clear();
    if (!p.scheduled && !p.handles.empty()) {
        p.scheduled = true;
        asio::post(*p.io, [] { drain(true); });
    }
}

}  // namespace murlo::runtime
