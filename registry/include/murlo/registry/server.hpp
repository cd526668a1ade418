#pragma once
// The registry's HTTP routes: the health document, the pool listing and the
// beat endpoint with its long-poll hold. HTTP/1.1 and HTTP/2 requests come
// here alike; the connection code only frames what these functions answer.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "murlo/proto/records.hpp"
#include "murlo/registry/delta.hpp"
#include "murlo/registry/state.hpp"
#include "murlo/runtime/http.hpp"

namespace murlo::registry::server {

// Most body bytes a beat may carry; a body of exactly this size is read.
inline constexpr std::size_t body_limit = 524'288;
// The one header every answer carries.
inline constexpr std::string_view content_type = "application/json";

runtime::HttpResponse respond(unsigned status, std::string body);

// Routes one request: exact, case-sensitive method and path, no normalisation;
// a query after the path is ignored and no header is read. Answers at once,
// or with a task that waits, when a beat's body is still to come or while
// the beat is held. Every request the client does not abandon gets an
// answer; an abandoned one is cancelled where it waits and nothing of an
// applied beat is undone.
runtime::HttpReply handle(runtime::HttpRequest request, const std::shared_ptr<Registry>& registry);

// Whether an applied beat waits for news: it watches pools, was accepted,
// has nothing new to learn yet and asks for a hold the lease allows.
bool held(const Registry& registry, const proto::Beat& beat, const SharedBeatAck& answer);

// Applies the beat and, while the member has nothing new to learn, waits for a
// watched pool to change or for the hold (plus this member's spread) to pass.
boost::asio::awaitable<SharedBeatAck> hold(Registry& registry, const proto::Beat& beat);
// The wait alone, for a beat already applied whose answer was `answer` and
// that held() holds: the news go into `answer`, which must outlive the wait.
boost::asio::awaitable<void> hold_on(Registry& registry, const proto::Beat& beat, SharedBeatAck& answer);

// {"status":"ok","version":V,"protocol":2}, V the project's version (murlo/proto/version.hpp).
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
