#include <algorithm>

#include "murlo/proto/value.hpp"

namespace murlo::proto {

Value Value::object(Object entries) {
    // Stable sort keeps repeated keys in input order, so the last of each run is the one to keep.
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Object out;
    out.reserve(entries.size());
    for (auto& entry : entries) {
        if (!out.empty() && out.back().first == entry.first) {
            out.back().second = std::move(entry.second);
        } else {
            out.push_back(std::move(entry));
        }
    }
    Value v;
    v.v = std::move(out);
    return v;
}

const Value* Value::find(std::string_view key) const {
    const Object* obj = as_object();
    if (obj == nullptr) return nullptr;
    auto it = std::lower_bound(obj->begin(), obj->end(), key,
                               [](const auto& entry, std::string_view k) { return entry.first < k; });
    if (it == obj->end() || it->first != key) return nullptr;
    return &it->second;
}

std::size_t nesting_depth(const Value& value, std::size_t limit) {
    std::size_t inner = 0;
    if (const Array* a = value.as_array()) {
        if (limit == 0) return 1;
        for (const Value& x : *a) inner = std::max(inner, nesting_depth(x, limit - 1));
    } else if (const Object* o = value.as_object()) {
        if (limit == 0) return 1;
        for (const auto& entry : *o) inner = std::max(inner, nesting_depth(entry.second, limit - 1));
    } else {
        return 0;
    }
    return 1 + inner;
}

bool exact_equal(const Value& a, const Value& b) {
    if (a.v.index() != b.v.index()) return false;
    switch (a.v.index()) {
        case 0:
            return true;
        case 1:
            return std::get<bool>(a.v) == std::get<bool>(b.v);
        case 2:
            return std::get<std::uint64_t>(a.v) == std::get<std::uint64_t>(b.v);
        case 3:
            return std::get<std::int64_t>(a.v) == std::get<std::int64_t>(b.v);
        case 4:
            return std::get<double>(a.v) == std::get<double>(b.v);
        case 5:
            return std::get<std::string>(a.v) == std::get<std::string>(b.v);
        case 6: {
            const auto& x = std::get<Array>(a.v);
            const auto& y = std::get<Array>(b.v);
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!exact_equal(x[i], y[i])) return false;
            }
            return true;
        }
        default: {
            // Both sorted and unique, so equal objects line up entry by entry.
            const auto& x = std::get<Object>(a.v);
            const auto& y = std::get<Object>(b.v);
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (x[i].first != y[i].first || !exact_equal(x[i].second, y[i].second)) return false;
            }
            return true;
        }
    }
}

}  // namespace murlo::proto
