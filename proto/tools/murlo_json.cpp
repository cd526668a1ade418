// murlo-json KIND [--lines FILE]: reads a document as a beat, ack, member or value and
// prints "ok <written back>" or "error <reading error>". With --lines, FILE holds one
// hex-encoded document per line (so any bytes can be given) and one line is printed for each.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "murlo/proto/json.hpp"
#include "murlo/proto/records.hpp"

namespace {

using namespace murlo::proto;

enum class Kind { beat, ack, member, value };

std::optional<Kind> kind_of(std::string_view name) {
    if (name == "beat") return Kind::beat;
    if (name == "ack") return Kind::ack;
    if (name == "member") return Kind::member;
    if (name == "value") return Kind::value;
    return std::nullopt;
}

template <class T, class Write>
std::string outcome(const Result<T>& result, Write write) {
    if (!result.ok()) return "error " + result.error().text();
    Buffer out = "ok ";
    write(out, result.value());
    return out;
}

std::string inspect(Kind kind, std::string_view input) {
    switch (kind) {
        case Kind::beat:
            return outcome(read_beat(input), [](Buffer& out, const Beat& b) { b.serialize(out); });
        case Kind::member:
            return outcome(read_member(input), [](Buffer& out, const Member& m) { m.serialize(out); });
        case Kind::value:
            return outcome(read_value(input), [](Buffer& out, const Value& v) { write_value(out, v); });
        case Kind::ack:
            break;
    }
    return outcome(read_beat_ack(input), [](Buffer& out, const BeatAck& a) {
        // Written the way the registry writes: through shared, read-only deltas.
        std::vector<std::pair<std::string, std::shared_ptr<const PoolDelta>>> pools;
        pools.reserve(a.pools.size());
        for (const auto& [name, delta] : a.pools) pools.emplace_back(name, std::make_shared<const PoolDelta>(delta));
        write_shared_ack(out, a.epoch, a.protocol, a.version, a.ttl_ms, a.accepted, a.refused, pools);
    });
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unhex(std::string_view text, std::string& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(text[i]);
        const int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

int usage(const std::string& why) {
    std::cerr << "murlo-json: " << why << "\nusage: murlo-json beat|ack|member|value [--lines FILE]\n";
    return 2;
}

int run_lines(Kind kind, const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return usage("cannot read " + path);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return usage("cannot read " + path);
    // Decode every line first, so bad hex prints nothing but the message.
    std::vector<std::string> docs;
    std::size_t start = 0;
    std::size_t number = 1;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string doc;
        if (!unhex(line, doc)) return usage(path + ": line " + std::to_string(number) + " is not hex");
        docs.push_back(std::move(doc));
        start = end + 1;
        ++number;
    }
    std::string out;
    for (const std::string& doc : docs) {
        out += inspect(kind, doc);
        out.push_back('\n');
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Kind> kind;
    std::optional<std::string> lines;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--lines") {
            if (i + 1 >= argc) return usage("--lines needs a file");
            if (lines) return usage("--lines given twice");
            lines = argv[++i];
        } else if (auto k = kind_of(arg); k && !kind) {
            kind = k;
        } else {
            return usage("unknown argument " + std::string(arg));
        }
    }
    if (!kind) return usage("no kind given");
    if (lines) return run_lines(*kind, *lines);

    std::ostringstream input;
    input << std::cin.rdbuf();
    if (std::cin.bad()) return usage("cannot read standard input");
    const std::string line = inspect(*kind, input.str()) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return 0;
}
