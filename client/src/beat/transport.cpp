#include "murlo/client/beat/transport.hpp"

#include <boost/url/parse.hpp>

namespace murlo::client::beat {

namespace asio = boost::asio;

runtime::Connector nodelay_connector() { return runtime::Connector{.nodelay = true}; }

runtime::H2ClientOptions beat_client_options(std::chrono::milliseconds idle_timeout) {
    return runtime::H2ClientOptions{.connector = nodelay_connector(), .idle_timeout = idle_timeout};
}

asio::awaitable<PostResult> post(runtime::H2Client& client, std::string_view endpoint, const proto::Beat& beat,
                                 std::uint64_t reply_deadline_ms) {
    // Our writer cannot fail, so there is no encoding error to report.
    proto::Buffer body;
    body.reserve(128);
    beat.serialize(body);

    std::string target;
    target.reserve(endpoint.size() + 8);
    target.append(endpoint).append("/v1/beat");
    if (auto parsed = boost::urls::parse_uri_reference(target); !parsed)
        co_return "cannot build the request: " + parsed.error().message();

    const runtime::Deadline deadline = runtime::deadline_after(reply_deadline_ms);
    auto head = co_await client.request("POST", target, "application/json", std::move(body), deadline);
    if (std::holds_alternative<runtime::TimedOut>(head))
        co_return "no reply within " + std::to_string(reply_deadline_ms) + "ms";
    if (auto* error = std::get_if<runtime::ClientError>(&head)) {
        if (error->is_connect()) co_return "cannot reach it: " + error->text();
        // The registry spoke HTTP/2 and ended the connection itself: not a protocol mismatch.
        if (error->kind == runtime::ClientError::Kind::goaway)
            co_return "the registry closed the connection (GOAWAY " + error->detail + ")";
        co_return error->text() +
            "; the connection came up but the exchange did not -- this client speaks h2c only, so whatever "
            "answered has to too";
    }
    auto& reply = std::get<runtime::H2Response>(head);
    // The status decides before anything of the body is read.
    if (reply.status() < 200 || reply.status() > 299)
        co_return "the registry answered HTTP " + std::to_string(reply.status());
    auto got = co_await reply.body(deadline);
    if (std::holds_alternative<runtime::TimedOut>(got))
        co_return "reply body stalled past " + std::to_string(reply_deadline_ms) + "ms";
    if (auto* error = std::get_if<runtime::ReplyBodyError>(&got)) co_return "reply body broke off: " + error->text;
    auto ack = proto::read_beat_ack(std::get<std::string>(got));
    if (!ack) co_return "the reply is not a BeatAck: " + ack.error().text();
    co_return std::move(ack).value();
}

}  // namespace murlo::client::beat
