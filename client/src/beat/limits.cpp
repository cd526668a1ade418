#include "murlo/client/beat/limits.hpp"

#include "murlo/proto/json.hpp"
#include "murlo/proto/limits.hpp"

namespace murlo::client::beat {

namespace {

// A decoded value nests no deeper than the reader allows, so this bound
// counts every state exactly.
constexpr std::size_t read_depth_limit = 128;

// Counts the bytes of compact JSON without writing them.
struct ByteCount {
    std::size_t bytes = 0;
    bool append(std::string_view chunk) {
        bytes += chunk.size();
        return true;
    }
};

// The longest number a beat can carry: 18446744073709551615.
constexpr std::size_t longest_u64 = 20;

std::optional<std::string> name_over_limit(std::string_view what, std::string_view name) {
    if (name.size() <= proto::max_name_bytes) return std::nullopt;
    return std::string(what) + " is " + std::to_string(name.size()) + " bytes, the limit is " +
           std::to_string(proto::max_name_bytes);
}

std::size_t string_bytes(std::string_view text) {
    ByteCount count;
    proto::detail::put_string(count, text);
    return count.bytes;
}

std::size_t u64_bytes(std::uint64_t n) {
    char digits[longest_u64];
    return proto::detail::format_u64(digits, n);
}

std::size_t opt_u64_bytes(std::optional<std::uint64_t> n) { return n ? u64_bytes(*n) : 4; }  // null

// "[" names "," ... "]"
std::size_t list_bytes(std::span<const std::string> names) {
    std::size_t n = 2 + (names.empty() ? 0 : names.size() - 1);
    for (const auto& name : names) n += string_bytes(name);
    return n;
}

}  // namespace

std::size_t state_bytes(const proto::Value& state) {
    ByteCount count;
    proto::write_value_to(count, state);
    return count.bytes;
}

std::optional<std::string> state_over_limit(const proto::Value& state, std::size_t n) {
    if (n > proto::max_state_bytes)
        return "state is " + std::to_string(n) + " bytes of JSON, the limit is " +
               std::to_string(proto::max_state_bytes);
    const std::size_t depth = proto::nesting_depth(state, read_depth_limit);
    if (depth > proto::max_state_depth)
        return "state nests " + std::to_string(depth) + " levels deep, the limit is " +
               std::to_string(proto::max_state_depth);
    return std::nullopt;
}

std::optional<std::string> url_over_limit(std::string_view url) { return name_over_limit("url", url); }

std::optional<std::string> watch_over_limit(const std::vector<std::string>& names) {
    for (const auto& name : names)
        if (name.size() > proto::max_name_bytes)
            return "cannot watch a pool name of " + std::to_string(name.size()) + " bytes, the limit is " +
                   std::to_string(proto::max_name_bytes);
    return std::nullopt;
}

std::optional<std::string> member_over_limit(std::string_view pool, std::uint64_t incarnation,
                                             const std::optional<std::string>& url,
                                             const std::vector<std::string>& methods) {
    if (auto e = name_over_limit("pool name", pool)) return e;
    if (incarnation > proto::max_incarnation)
        return "incarnation " + std::to_string(incarnation) + " is above the limit " +
               std::to_string(proto::max_incarnation);
    if (url)
        if (auto e = url_over_limit(*url)) return e;
    if (methods.size() > proto::max_methods)
        return "methods holds " + std::to_string(methods.size()) + " names, the limit is " +
               std::to_string(proto::max_methods);
    for (const auto& name : methods)
        if (auto e = name_over_limit("method name", name)) return e;
    return std::nullopt;
}

// Mirrors Beat::serialize key by key; the url, state, watch and seen values
// are left to the other two parts.
std::size_t fixed_beat_bytes(std::string_view pool, std::optional<std::uint64_t> slot, std::uint64_t id,
                             std::uint64_t incarnation, std::string_view policy, std::optional<std::uint64_t> size,
                             bool exclusive, std::span<const std::string> methods) {
    using namespace std::string_view_literals;
    std::size_t n = R"({"pool":)"sv.size() + string_bytes(pool);
    n += R"(,"slot":)"sv.size() + opt_u64_bytes(slot);
    n += R"(,"id":)"sv.size() + u64_bytes(id);
    n += R"(,"incarnation":)"sv.size() + u64_bytes(incarnation);
    n += R"(,"publication":)"sv.size() + longest_u64;
    n += R"(,"policy":)"sv.size() + string_bytes(policy);
    n += R"(,"size":)"sv.size() + opt_u64_bytes(size);
    n += R"(,"url":)"sv.size();
    n += R"(,"state":)"sv.size();
    n += R"(,"ready":false)"sv.size();
    n += R"(,"leaving":false)"sv.size();
    n += (exclusive ? R"(,"exclusive":true)"sv : R"(,"exclusive":false)"sv).size();
    n += R"(,"methods":)"sv.size() + list_bytes(methods);
    n += R"(,"watch":)"sv.size();
    n += R"(,"seen":{)"sv.size();
    n += R"(},"hold_ms":)"sv.size() + longest_u64;
    return n + "}"sv.size();
}

std::size_t url_beat_bytes(std::optional<std::string_view> url) { return url ? string_bytes(*url) : 4; }  // null

std::size_t watch_beat_bytes(std::span<const std::string> watched, std::span<const std::string> appended) {
    const std::size_t names = watched.size() + appended.size();
    // The list, then each name once more in `seen` as "name":version, both comma-separated.
    std::size_t n = 2 + (names == 0 ? 0 : 2 * (names - 1));
    for (auto part : {watched, appended})
        for (const auto& name : part) n += 2 * string_bytes(name) + 1 + longest_u64;
    return n;
}

std::optional<std::string> beat_over_limit(std::size_t bytes) {
    if (bytes <= max_body_bytes) return std::nullopt;
    return "the beat would be " + std::to_string(bytes) + " bytes of JSON, the limit is " +
           std::to_string(max_body_bytes);
}

}  // namespace murlo::client::beat
