#pragma once
// Polls `done` for up to 10 s: for effects that happen on other threads.

#include <chrono>
#include <thread>

namespace murlo::runtime::testing {

template <class F>
bool eventually(F done) {
    using namespace std::chrono_literals;
    for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;) {
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

}  // namespace murlo::runtime::testing
