// Fuzzes the readers: any input is read as a Beat, a BeatAck, a Member and a Value.
// Nothing may crash; every error names a position that exists in the input; whatever
// reads must write back to text that reads again to the same thing and the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "murlo/proto/json.hpp"
#include "murlo/proto/records.hpp"

namespace {

using namespace murlo::proto;

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "murlo-fuzz-readers: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// Digits at `s[i]` as a number; false when there are none or they overflow.
bool parse_number(std::string_view s, std::size_t& i, std::uint64_t& out) {
    const std::size_t start = i;
    out = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (out > (UINT64_MAX - 9) / 10) return false;
        out = out * 10 + static_cast<std::uint64_t>(s[i] - '0');
        ++i;
    }
    // No leading zeros but for 0 itself.
    return i > start && !(i - start > 1 && s[start] == '0');
}

// The text must end with " at line L column C", agree with the error's fields, and name
// a place in the input: L - 1 line feeds before it, C bytes into that line.
void check_error(std::string_view input, const ReadError& error) {
    const std::string text = error.text();
    static constexpr std::string_view at_line = " at line ";
    static constexpr std::string_view column = " column ";
    const std::size_t pos = text.rfind(at_line);
    if (pos == std::string::npos || pos == 0) fail("error text without position", text);
    std::size_t i = pos + at_line.size();
    std::uint64_t line = 0;
    std::uint64_t col = 0;
    if (!parse_number(text, i, line)) fail("bad line in error text", text);
    if (text.compare(i, column.size(), column) != 0) fail("no column in error text", text);
    i += column.size();
    if (!parse_number(text, i, col) || i != text.size()) fail("bad column in error text", text);
    if (text.substr(0, pos) != error.message) fail("error text is not its message", text);
    if (line != error.line || col != error.column) fail("error text disagrees with its fields", text);
    if (line == 0) fail("line 0", text);

    std::size_t start = 0;
    for (std::uint64_t l = 1; l < line; ++l) {
        const std::size_t lf = input.find('\n', start);
        if (lf == std::string_view::npos) fail("line beyond the input", text);
        start = lf + 1;
    }
    if (col > input.size() - start) fail("column beyond the input", text);
    if (input.substr(start, col).find('\n') != std::string_view::npos) fail("column beyond its line", text);
}

// The quoted form is one line of valid UTF-8 whatever the bytes.
void check_quoted(std::string_view input) {
    const std::string q = quoted(input);
    if (q.size() < 2 || q.front() != '"' || q.back() != '"') fail("quoted form without quotes", q);
    for (const char c : q) {
        if (static_cast<unsigned char>(c) < 0x20) fail("control byte in quoted form", q);
    }
    // Valid UTF-8: it reads back as a JSON string once wrapped as one.
    Buffer json;
    write_string(json, q);
    if (!read_value(json).ok()) fail("quoted form is not UTF-8", q);
}

// Reads, writes, reads the written text again and writes it once more: both must read
// and the two writings must be the same bytes.
template <class Read, class Write>
void check_record(std::string_view input, const char* kind, Read read, Write write) {
    auto first = read(input);
    if (!first.ok()) {
        check_error(input, first.error());
        return;
    }
    Buffer once;
    write(once, first.value());
    auto second = read(once);
    if (!second.ok()) fail(kind, "written text does not read: " + second.error().text() + " in " + once);
    Buffer twice;
    write(twice, second.value());
    if (once != twice) fail(kind, "written twice differently: " + once + " then " + twice);
}

void write_ack(Buffer& out, const BeatAck& a) {
    std::vector<std::pair<std::string, std::shared_ptr<const PoolDelta>>> pools;
    for (const auto& [name, delta] : a.pools) pools.emplace_back(name, std::make_shared<const PoolDelta>(delta));
    write_shared_ack(out, a.epoch, a.protocol, a.version, a.ttl_ms, a.accepted, a.refused, pools);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    check_record(input, "beat", read_beat, [](Buffer& out, const Beat& b) { b.serialize(out); });
    check_record(input, "ack", read_beat_ack, write_ack);
    check_record(input, "member", read_member, [](Buffer& out, const Member& m) { m.serialize(out); });

    auto value = read_value(input);
    if (!value.ok()) {
        check_error(input, value.error());
    } else {
        Buffer once;
        write_value(once, value.value());
        auto again = read_value(once);
        if (!again.ok()) fail("value", "written text does not read: " + again.error().text() + " in " + once);
        if (!exact_equal(value.value(), again.value())) fail("value", "does not read back equal: " + once);
        if (!same_value(value.value(), again.value())) fail("value", "not the same value as itself: " + once);
        Buffer twice;
        write_value(twice, again.value());
        if (once != twice) fail("value", "written twice differently: " + once + " then " + twice);
    }

    if (size <= 256) check_quoted(input);
    return 0;
}
