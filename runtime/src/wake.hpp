#pragma once
// Marks the thread that runs a runtime worker, for notify_later.

#include <vector>

#include <boost/asio/io_context.hpp>

namespace murlo::runtime::detail {

struct WorkerScope {
    // `peers`: every worker of the runtime, `io` among them.
    WorkerScope(boost::asio::io_context& io, std::vector<boost::asio::io_context*> peers);
    ~WorkerScope();
    WorkerScope(const WorkerScope&) = delete;
    WorkerScope& operator=(const WorkerScope&) = delete;
};

}  // namespace murlo::runtime::detail
