// Routing and the three routes. Nothing here reads a request header.

#include <random>
#include <unordered_map>
#include <utility>

#include "murlo/proto/json.hpp"
#include "murlo/registry/server.hpp"

namespace murlo::registry::server {

namespace {

// The path of a request target: origin form up to the query; absolute form
// (scheme "://" authority path, which servers must accept) its path part,
// "/" when empty. Nothing is decoded or normalised.
std::string_view path_of(std::string_view target) {
    target = target.substr(0, target.find('?'));
    if (target.empty() || target.front() == '/') return target;
    const auto scheme_end = target.find("://");
    if (scheme_end == std::string_view::npos || scheme_end == 0) return target;
    for (std::size_t i = 0; i < scheme_end; ++i) {
        const char c = target[i];
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alpha && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) return target;
    }
    const auto slash = target.find('/', scheme_end + 3);
    return slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
}

// std::hash mixed with a key drawn for each listing, so that two listings of
// the same pools need not share an order.
struct KeyedHash {
    std::uint64_t key;
    std::size_t operator()(const std::string& name) const {
        std::uint64_t h = std::hash<std::string>{}(name) ^ key;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        return static_cast<std::size_t>(h);
    }
};

std::uint64_t listing_key() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return engine();
}

runtime::HttpResponse ack_answer(const SharedBeatAck& answer) {
    std::string out;
    out.reserve(256);
    answer.serialize(out);
    return respond(200, std::move(out));
}

boost::asio::awaitable<runtime::HttpResponse> held_beat(std::shared_ptr<Registry> registry, proto::Beat beat,
                                                        SharedBeatAck answer) {
    co_await hold_on(*registry, beat, answer);
    co_return ack_answer(answer);
}

// Decodes and applies a beat: the answer at once, or the task holding it.
runtime::HttpReply answer_beat(runtime::Body body, const std::shared_ptr<Registry>& registry) {
    std::optional<proto::Beat> beat;
    {
        auto* text = std::get_if<std::string>(&body);
        if (!text) return respond(413, "{}");
        proto::Result<proto::Beat> read = proto::read_beat(*text);
        if (!read) {
            std::string out = "{\"error\":";
            proto::write_string(out, read.error().text());
            out.push_back('}');
            return respond(400, std::move(out));
        }
        beat = std::move(read).value();
        // The text dies here: a held beat keeps only what it decoded.
        std::string().swap(*text);
    }
    SharedBeatAck answer = registry->beat_shared(*beat);
    if (!held(*registry, *beat, answer)) return ack_answer(answer);
    return held_beat(registry, std::move(*beat), std::move(answer));
}

// A beat whose body is still on its way.
boost::asio::awaitable<runtime::HttpResponse> beat_later(runtime::HttpRequest request,
                                                         std::shared_ptr<Registry> registry) {
    runtime::Body body = co_await request.read_body(body_limit);
    runtime::HttpReply reply = answer_beat(std::move(body), registry);
    if (auto* now = std::get_if<runtime::HttpResponse>(&reply)) co_return std::move(*now);
    co_return co_await std::get<1>(std::move(reply));
}

runtime::HttpReply beat_route(runtime::HttpRequest& request, const std::shared_ptr<Registry>& registry) {
    std::optional<runtime::Body> body = request.body_now(body_limit);
    if (!body) return beat_later(std::move(request), registry);
    return answer_beat(std::move(*body), registry);
}

}  // namespace

runtime::HttpResponse respond(unsigned status, std::string body) {
    return runtime::HttpResponse{status, content_type, std::move(body)};
}

const std::string& health_document() {
    static const std::string doc = "{\"status\":\"ok\",\"version\":\"" + std::string(version_text) +
                                   "\",\"protocol\":" + std::to_string(protocol_number) + "}";
    return doc;
}

std::string pool_listing(const Registry& registry) {
    const std::map<std::string, PoolInfo> pools = registry.snapshot();
    std::unordered_map<std::string, PoolInfo, KeyedHash> keyed(pools.size(), KeyedHash{listing_key()});
    for (const auto& [name, info] : pools) keyed.emplace(name, info);
    std::string out = "{";
    bool first = true;
    for (const auto& [name, info] : keyed) {
        if (!first) out.push_back(',');
        first = false;
        proto::write_string(out, name);
        out += ":{\"members\":";
        proto::write_u64(out, info.members);
        out += ",\"roster\":";
        proto::write_u64(out, info.roster);
        out += ",\"version\":";
        proto::write_u64(out, info.version);
        out.push_back('}');
    }
    out.push_back('}');
    return out;
}

runtime::HttpReply handle(runtime::HttpRequest request, const std::shared_ptr<Registry>& registry) {
    const std::string_view method = request.method;
    const std::string_view path = path_of(request.target);
    if (method == "GET" && path == "/health") return respond(200, health_document());
    if (method == "GET" && path == "/v1/pools") return respond(200, pool_listing(*registry));
    if (method == "POST" && path == "/v1/beat") return beat_route(request, registry);
    return respond(404, "{}");
}

}  // namespace murlo::registry::server
