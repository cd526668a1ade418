// The murlo-json inspection tool, run as a real process.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

// Runs the tool with `args` (already shell-safe), stderr discarded.
ToolRun run_tool(const std::string& args) {
    ToolRun r;
    const std::string command = std::string(MURLO_JSON_TOOL) + " " + args + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        out.push_back(digits[static_cast<unsigned char>(c) >> 4]);
        out.push_back(digits[static_cast<unsigned char>(c) & 15]);
    }
    return out;
}

struct Case {
    std::string_view kind;
    std::string_view input;
    std::string_view expected;
};

class JsonTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string_view(MURLO_JSON_TOOL).empty()) GTEST_SKIP() << "murlo-json is not built";
    }
    void TearDown() override {
        for (const std::string& path : files_) std::remove(path.c_str());
    }

    std::string write_file(const std::string& name, const std::string& content) {
        // The pid keeps concurrent runs of the suite apart.
        std::string path = ::testing::TempDir() + "murlo_json_tool_" + std::to_string(getpid()) + "_" + name;
        std::ofstream(path, std::ios::binary) << content;
        files_.push_back(path);
        return path;
    }

private:
    std::vector<std::string> files_;
};

TEST_F(JsonTool, OneLinePerDocumentInOrder) {
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"value", R"({"b":1,"a":[true,null]})", R"(ok {"a":[true,null],"b":1})"},
        {"value", "", "error EOF while parsing a value at line 1 column 0"},
        {"value", "1e2 ", "ok 100.0"},
        // A document spanning lines: the position counts them.
        {"value", "[1,\n2,\n]", "error trailing comma at line 3 column 1"},
        // A NUL byte inside a string, and bytes that are not UTF-8.
        {"value", "\"a\0b\""sv,
         R"(error control character (\u0000-\u001F) found while parsing a string at line 1 column 3)"},
        {"value", "\"\xff\"", "error invalid unicode code point at line 1 column 3"},
        {"beat", "{}", "error missing field `pool` at line 1 column 2"},
        {"beat", R"(["p",null,7,3,null,"x"])",
         R"(ok {"pool":"p","slot":null,"id":7,"incarnation":3,"policy":"x","size":null,"url":null,"state":null,"ready":false,"leaving":false,"exclusive":false,"methods":[],"watch":[],"seen":{},"hold_ms":0})"},
        {"beat", R"({"pool":"a\nb"})", R"(error missing field `id` at line 1 column 15)"},
        {"beat", R"({"id":"x\ty"})", R"(error invalid type: string "x\ty", expected u64 at line 1 column 12)"},
        {"member", R"({"ready":false,"incarnation":3,"id":7,"zz":[1]})",
         R"(ok {"id":7,"incarnation":3,"state":null,"ready":false})"},
        {"member", "[7]", "error invalid length 2, expected struct Member with 6 elements at line 1 column 3"},
        {"ack", R"({"ttl_ms":1000,"accepted":true})",
         R"(ok {"epoch":0,"protocol":0,"ttl_ms":1000,"accepted":true,"pools":{}})"},
        {"ack",
         R"({"epoch":1765238400000000001,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":true,"pools":{"p":{"version":3,"roster":5696088171538031335,"policy":"x","methods":[],"size":null,"changed":[{"id":7,"slot":0,"incarnation":3,"state":{},"ready":true}],"removed":[],"full":true}}})",
         R"(ok {"epoch":1765238400000000001,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":true,"pools":{"p":{"version":3,"roster":5696088171538031335,"policy":"x","methods":[],"size":null,"changed":[{"id":7,"slot":0,"incarnation":3,"state":{},"ready":true}],"removed":[],"full":true}}})"},
        {"ack", R"({"protocol":4294967296})",
         "error invalid value: integer `4294967296`, expected u32 at line 1 column 22"},
    };
    // One file per kind, its documents in order; upper-case hex and CRLF line ends are accepted too.
    for (const std::string_view kind : {"value"sv, "beat"sv, "member"sv, "ack"sv}) {
        std::string file;
        std::string expected;
        for (const Case& c : cases) {
            if (c.kind != kind) continue;
            file += hex(c.input) + "\n";
            expected += std::string(c.expected) + "\n";
        }
        const ToolRun r = run_tool(std::string(kind) + " --lines " + write_file(std::string(kind), file));
        EXPECT_EQ(r.status, 0) << kind;
        EXPECT_EQ(r.out, expected) << kind;
    }
    const ToolRun upper = run_tool("--lines " + write_file("upper", "5B315D\r\n5b325d") + " value");
    EXPECT_EQ(upper.status, 0);
    EXPECT_EQ(upper.out, "ok [1]\nok [2]\n");
}

TEST_F(JsonTool, ReadsStandardInputWithoutLines) {
    const ToolRun r = run_tool("member < " + write_file("stdin", "[7,null,3,null,null,true]"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ok {\"id\":7,\"incarnation\":3,\"state\":null,\"ready\":true}\n");
}

TEST_F(JsonTool, BadUsageExitsWithTwoAndPrintsNothing) {
    const std::string good = write_file("good", "5b5d\n");
    const std::string args[] = {
        "",
        "nonsense --lines " + good,
        "value --lines",
        "value --lines " + ::testing::TempDir() + "murlo_json_tool_does_not_exist",
        "value --lines " + write_file("odd", "5b5\n"),
        "value --lines " + write_file("nothex", "5b5d\nzz\n"),
    };
    for (const std::string& a : args) {
        const ToolRun r = run_tool(a + " < /dev/null");
        EXPECT_EQ(r.status, 2) << a;
        EXPECT_EQ(r.out, "") << a;
    }
}

}  // namespace
