#pragma once
// The registry's HTTP routes: the health document, the pool listing and the
// beat endpoint with its long-poll hold. HTTP/1.1 and HTTP/2 requests come
// here alike; the connection code only frames what these functions answer.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "murlo/proto/records.hpp"
#include "murlo/registry/delta.hpp"
#include "murlo/registry/state.hpp"

namespace murlo::registry::server {

// Most body bytes a beat may carry; a body of exactly this size is read.
inline constexpr std::size_t body_limit = 524'288;
// The one header every answer carries.
inline constexpr std::string_view content_type = "application/json";

struct Response {
    unsigned status = 200;
    std::string body;  // the whole body; "content-type" is always content_type
};

// Reads the whole request body and hands it over, counting data bytes as they
// arrive and stopping at the first chunk that takes the total past `limit`.
// None when the body is over the limit or breaks off (reset, closed, bad
// framing), and on a second call.
using ReadBody = std::function<boost::asio::awaitable<std::optional<std::string>>(std::size_t limit)>;

// What the routes look at: the method, the request target (a query after the
// path is ignored) and, for a beat only, the body. No header is read.
struct Request {
    std::string_view method;
    std::string_view target;
    ReadBody read_body;
};

Response respond(unsigned status, std::string body);

// Routes one request: exact, case-sensitive method and path, no normalisation.
// Suspends while reading a beat's body and while holding it. Every request the
// client does not abandon gets an answer; an abandoned one is cancelled where
// it waits and nothing of an applied beat is undone.
boost::asio::awaitable<Response> handle(Request request, std::shared_ptr<Registry> registry);

// Applies the beat and, while the member has nothing new to learn, waits for a
// watched pool to change or for the hold (plus this member's spread) to pass.
boost::asio::awaitable<SharedBeatAck> hold(Registry& registry, const proto::Beat& beat);

// {"status":"ok","version":"0.17.0","protocol":2}
const std::string& health_document();
// Per pool {"members":M,"roster":R,"version":V}, pools in a randomly keyed order.
std::string pool_listing(const Registry& registry);

// min(ttl_ms / 2, hold_ms)
constexpr std::uint64_t hold_for(std::uint64_t ttl_ms, std::uint64_t hold_ms) {
    return ttl_ms / 2 < hold_ms ? ttl_ms / 2 : hold_ms;
}
// id mod (hold / 8 + 1): scatters members that began holding together.
constexpr std::uint64_t spread_for(std::uint64_t id, std::uint64_t hold) { return id % (hold / 8 + 1); }

}  // namespace murlo::registry::server
