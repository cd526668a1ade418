#pragma once
// Which endpoints the beat transport can reach a registry on, decided when
// the client is built rather than by every beat failing.

#include <optional>
#include <string>
#include <string_view>

namespace murlo::client::beat {

// Nothing when `endpoint` is a base URL that beats posted to `endpoint` +
// "/v1/beat" can reach: an http URI (the scheme in lower case, as the
// transport compares it) with a host, a port from 1 to 65535 or none (80), and
// a path, possibly empty, that does not end in "/" (a registry behind a proxy
// that routes on a path prefix); no query and no fragment, which would move
// the appended route out of the path. Otherwise the message that says what
// is expected, with the endpoint quoted.
std::optional<std::string> endpoint_refusal(std::string_view endpoint);

}  // namespace murlo::client::beat
