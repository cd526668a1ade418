// Equality by meaning, member filters and the roster hash. All pure: no allocation,
// no locks, and integers are never turned into doubles, so results stay exact above 2^53.

#include <cmath>
#include <cstdint>
#include <variant>

#include "murlo/proto/records.hpp"
#include "murlo/proto/value.hpp"

namespace murlo::proto {

namespace {

// An integer of either kind as sign and magnitude.
struct Int {
    bool negative;
    std::uint64_t magnitude;
};

bool as_int(const Value& v, Int& out) {
    if (const auto* u = std::get_if<std::uint64_t>(&v.v)) {
        out = {false, *u};
        return true;
    }
    if (const auto* i = std::get_if<std::int64_t>(&v.v)) {
        out = {*i < 0, *i < 0 ? ~static_cast<std::uint64_t>(*i) + 1 : static_cast<std::uint64_t>(*i)};
        return true;
    }
    return false;
}

bool same_int(const Int& a, const Int& b) { return a.negative == b.negative && a.magnitude == b.magnitude; }

// An integral double is converted to a 64-bit integer (exact) only inside the range
// that integer type holds; outside it no integer equals it.
bool double_equals_int(double x, const Int& n) {
    if (x != std::trunc(x)) return false;  // a fraction
    constexpr double two_63 = 9223372036854775808.0;
    constexpr double two_64 = 18446744073709551616.0;
    if (x < 0) {
        if (x < -two_63 || !n.negative) return false;
        const auto k = static_cast<std::int64_t>(x);
        return ~static_cast<std::uint64_t>(k) + 1 == n.magnitude;
    }
    if (x >= two_64) return false;
    if (n.negative) return false;
    return static_cast<std::uint64_t>(x) == n.magnitude;
}

}  // namespace

bool same_value(const Value& a, const Value& b) {
    const auto* da = std::get_if<double>(&a.v);
    const auto* db = std::get_if<double>(&b.v);
    if (da != nullptr && db != nullptr) return *da == *db;  // 0.0 == -0.0
    Int ia{};
    Int ib{};
    const bool a_int = as_int(a, ia);
    const bool b_int = as_int(b, ib);
    if (a_int && b_int) return same_int(ia, ib);
    if (da != nullptr && b_int) return double_equals_int(*da, ib);
    if (db != nullptr && a_int) return double_equals_int(*db, ia);

    if (a.v.index() != b.v.index()) return false;
    switch (a.v.index()) {
        case 0:
            return true;
        case 1:
            return std::get<bool>(a.v) == std::get<bool>(b.v);
        case 5:
            return std::get<std::string>(a.v) == std::get<std::string>(b.v);
        case 6: {
            const Array& x = std::get<Array>(a.v);
            const Array& y = std::get<Array>(b.v);
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!same_value(x[i], y[i])) return false;
            }
            return true;
        }
        case 7: {
            const Object& x = std::get<Object>(a.v);
            const Object& y = std::get<Object>(b.v);
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                // Both sorted and unique: equal key sets line up; look the key up otherwise.
                const Value* other = y[i].first == x[i].first ? &y[i].second : b.find(x[i].first);
                if (other == nullptr || !same_value(x[i].second, *other)) return false;
            }
            return true;
        }
        default:
            return false;  // number kinds are all handled above
    }
}

bool Member::matches(const Value& filter) const {
    const Object* wanted = filter.as_object();
    if (wanted == nullptr) return true;  // only an object restricts
    for (const auto& [key, value] : *wanted) {
        const Value* have = state.find(key);  // null when the state is not an object
        if (have == nullptr || !same_value(*have, value)) return false;
    }
    return true;
}

std::uint64_t Member::roster_hash(std::uint64_t id, std::uint64_t incarnation) {
    // FNV-1a's step and prime, from the protocol's own start value (not FNV's offset basis).
    constexpr std::uint64_t start = 0x14650FB0739D0383ull;
    constexpr std::uint64_t prime = 0x100000001B3ull;
    std::uint64_t h = start;
    for (const std::uint64_t word : {id, incarnation}) {
        for (int shift = 0; shift < 64; shift += 8) {
            h ^= (word >> shift) & 0xFF;
            h *= prime;
        }
    }
    return h;
}

}  // namespace murlo::proto
