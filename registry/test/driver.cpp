// Test-only driver: runs the registry service as serve_registry does (one
// worker per CPU) and prints the bound address on standard output.
// Usage: registry-driver LISTEN TTL_MS

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "murlo/registry/run.hpp"
#include "murlo/runtime/runtime.hpp"

namespace {

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        write_all(2, "usage: registry-driver LISTEN TTL_MS\n");
        return 2;
    }
    const std::string_view ttl_text = argv[2];
    std::uint64_t ttl_ms = 0;
    const auto parsed = std::from_chars(ttl_text.data(), ttl_text.data() + ttl_text.size(), ttl_ms);
    if (parsed.ec != std::errc() || parsed.ptr != ttl_text.data() + ttl_text.size()) {
        write_all(2, "TTL_MS must be an unsigned integer\n");
        return 2;
    }
    murlo::runtime::Runtime runtime;
    const murlo::registry::StartError error = runtime.block_on(murlo::registry::run(
        argv[1], ttl_ms, [](std::string_view address) { write_all(1, std::string(address) + "\n"); }));
    write_all(2, error.text + "\n");
    // The sweep task still runs: leave without waiting for the workers.
    std::_Exit(1);
}
