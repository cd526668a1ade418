#pragma once
// What the fork tests share: MURLO_TSAN (1 in a ThreadSanitizer build, which
// does not follow locks through fork(), 0 otherwise) and in_child.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#if defined(__SANITIZE_THREAD__)
#define MURLO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MURLO_TSAN 1
#endif
#endif
#ifndef MURLO_TSAN
#define MURLO_TSAN 0
#endif

namespace murlo::runtime::test {

// The exit code of `child` run in a forked child, -1 when it had not ended
// after 5 s (it is killed then), -2 when it did not exit normally.
inline int in_child(const std::function<int()>& child) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(child());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

}  // namespace murlo::runtime::test
