#pragma once
// Marks the thread that runs a runtime worker, for notify_later.

#include <boost/asio/io_context.hpp>

namespace murlo::runtime::detail {

struct WorkerScope {
    explicit WorkerScope(boost::asio::io_context& io);
    ~WorkerScope();
    WorkerScope(const WorkerScope&) = delete;
    WorkerScope& operator=(const WorkerScope&) = delete;
};

}  // namespace murlo::runtime::detail
