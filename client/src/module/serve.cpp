// serve_registry: the registry service run inside the calling process, on a
// runtime of its own, with the interpreter lock released for the whole call.

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <optional>
#include <string>

#include "convert.hpp"
#include "docs.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "murlo/client/beat/limits.hpp"
#include "murlo/registry/run.hpp"
#include "murlo/registry/server.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::client::module {

// The client keeps its own copy of the registry's body limit; both sides meet here.
static_assert(beat::max_body_bytes == registry::server::body_limit);

namespace {

constexpr std::uint64_t kLeaseFloorMs = 200;

// The bound address and a line feed, straight to file descriptor 1: the
// process's standard output, whatever Python has done with sys.stdout.
void announce(std::string_view address) {
    std::string line(address);
    line.push_back('\n');
    std::string_view left = line;
    while (!left.empty()) {
        const ssize_t n = ::write(1, left.data(), left.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        left.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string floor_message(std::uint64_t ttl_ms) {
    return "--ttl-ms " + std::to_string(ttl_ms) + " is below the " + std::to_string(kLeaseFloorMs) +
           "ms floor: clients beat at ttl/4 and no faster than every 50ms, so members would expire between "
           "heartbeats and the roster would flap";
}

// How a call ended, decided without the interpreter lock and raised with it.
struct Failure {
    enum class Kind { runtime_error, panic } kind;
    std::string text;
};

std::optional<Failure> serve(std::string listen, std::uint64_t ttl_ms) {
    if (ttl_ms < kLeaseFloorMs) return Failure{Failure::Kind::runtime_error, floor_message(ttl_ms)};
    std::optional<runtime::Runtime> runtime;
    try {
        // One worker per CPU, threads left with the name they inherit.
        runtime.emplace(runtime::RuntimeOptions{.workers = 0, .thread_name = ""});
    } catch (const std::exception& e) {
        return Failure{Failure::Kind::runtime_error, e.what()};
    }
    std::optional<Failure> failure;
    try {
        // Returns only when the registry could not start.
        const registry::StartError error = runtime->block_on(registry::run(std::move(listen), ttl_ms, announce));
        failure = Failure{Failure::Kind::runtime_error, error.text};
    } catch (const std::exception& e) {
        failure = Failure{Failure::Kind::panic, e.what()};
    } catch (...) {
        failure = Failure{Failure::Kind::panic, "internal failure"};
    }
    // The sweep task still runs: stop it and wait for every thread.
    runtime->shutdown();
    return failure;
}

PyObject* serve_registry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"serve_registry", {"listen", "ttl_ms"}, 2};
        std::string listen;
        std::uint64_t ttl_ms = 0;
        if (!parse(sig, args, nargs, kwnames, listen, ttl_ms)) return nullptr;
        std::optional<Failure> failure;
        {
            Released released;
            failure = serve(std::move(listen), ttl_ms);
        }
        if (!failure) Py_RETURN_NONE;
        if (failure->kind == Failure::Kind::panic) return raise_panic(failure->text);
        return raise_runtime(failure->text);
    });
}

}  // namespace

PyMethodDef serve_registry_def = {
    "serve_registry",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(serve_registry)),
    METH_FASTCALL | METH_KEYWORDS,
    docs::doc_serve_registry,
};

}  // namespace murlo::client::module
