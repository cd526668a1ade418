#pragma once
// What the benchmarks that start a registry-driver process share: finding the
// driver, reading its announced line, and reading a process's CPU and RSS.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>

namespace murlo::bench {

// One line from `fd` (blocking), without its line feed; empty at end of file.
inline std::string read_line(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1) {
        if (c == '\n') return line;
        line += c;
    }
    return line;
}

// utime + stime in clock ticks, and VmRSS in KiB.
inline std::pair<std::uint64_t, std::uint64_t> usage(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    std::uint64_t ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15) ticks += std::stoull(f);
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    std::uint64_t rss = 0;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) rss = std::stoull(line.substr(6));
    return {ticks, rss};
}

// The registry driver of $MURLO_BUILD, or of the build this binary belongs to (build/bench/..).
inline std::string driver_path() {
    std::string build;
    if (const char* b = std::getenv("MURLO_BUILD")) {
        build = b;
    } else {
        char path[4096];
        const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
        build = std::string(path, n > 0 ? static_cast<std::size_t>(n) : 0);
        build = build.substr(0, build.rfind('/'));
        build = build.substr(0, build.rfind('/'));
    }
    return build + "/registry/test/registry-driver";
}

// A registry-driver child on 127.0.0.1:0 with lease `ttl_ms`; `out` reads its
// standard output, whose first line is the bound address. Exits on failure.
struct Started {
    pid_t pid = -1;
    int out = -1;
};

inline Started start_registry(const std::string& driver, std::uint64_t ttl_ms) {
    int p[2];
    if (::pipe(p) != 0) std::exit(1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], 1);
        ::close(p[0]);
        const std::string ttl = std::to_string(ttl_ms);
        ::execl(driver.c_str(), driver.c_str(), "127.0.0.1:0", ttl.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(p[1]);
    return {pid, p[0]};
}

}  // namespace murlo::bench
