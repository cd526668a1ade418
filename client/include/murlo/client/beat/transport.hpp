#pragma once
// One beat to the registry and its answer back, over the beat client: h2c
// only, TCP_NODELAY, one deadline over connecting, the reply head and the body.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "murlo/proto/records.hpp"
#include "murlo/runtime/h2_client.hpp"

namespace murlo::client::beat {

// The decoded answer, or the one message that says why there is none.
using PostResult = std::variant<proto::BeatAck, std::string>;

// Plain TCP with TCP_NODELAY on every connection; no connect timeout of its own.
runtime::Connector nodelay_connector();

// The beat client's settings: the loop's keeps idle connections 60 s, a
// bounded beat's the default 90 s.
inline constexpr std::chrono::milliseconds loop_idle_timeout{60'000};
inline constexpr std::chrono::milliseconds bounded_idle_timeout{90'000};
runtime::H2ClientOptions beat_client_options(std::chrono::milliseconds idle_timeout);

// Posts `beat` to "{endpoint}/v1/beat" and decodes the answer. The deadline
// (`reply_deadline_ms`, saturating) is fixed once the request is built and
// covers connecting, the head and the body. Never throws for a failed beat;
// abandoning it (cancellation) resets only its stream.
boost::asio::awaitable<PostResult> post(runtime::H2Client& client, std::string_view endpoint, const proto::Beat& beat,
                                        std::uint64_t reply_deadline_ms);

}  // namespace murlo::client::beat
