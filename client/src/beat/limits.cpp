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

std::optional<std::string> name_over_limit(std::string_view what, std::string_view name) {
    if (name.size() <= proto::max_name_bytes) return std::nullopt;
    return std::string(what) + " is " + std::to_string(name.size()) + " bytes, the limit is " +
           std::to_string(proto::max_name_bytes);
}

}  // namespace

std::size_t state_bytes(const proto::Value& state) {
    ByteCount count;
    proto::write_value_to(count, state);
    return count.bytes;
}

std::optional<std::string> state_over_limit(const proto::Value& state) {
    const std::size_t n = state_bytes(state);
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

}  // namespace murlo::client::beat
