#pragma once
// Which endpoints the beat transport can reach a registry on, decided when
// the client is built rather than by every beat failing.

#include <optional>
#include <string>
#include <string_view>

namespace murlo::client::beat {

// Nothing when beats posted to `endpoint` + "/v1/beat" reach the registry's
// beat route: an http URI (the scheme in lower case, as the transport
// compares it) with a host, a port from 1 to 65535 or none (80), and nothing
// after the port that would move the beat off that route (a path, a slash;
// what the transport drops or the registry ignores, a fragment or a query
// after "/v1/beat", still passes). Otherwise the message that says what is
// expected, with the endpoint quoted.
std::optional<std::string> endpoint_refusal(std::string_view endpoint);

}  // namespace murlo::client::beat
