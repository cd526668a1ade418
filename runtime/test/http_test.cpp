// The server connection against real clients on loopback: curl (HTTP/1.1 and
// HTTP/2 with prior knowledge) and raw sockets for what curl will not send.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "murlo/runtime/asio.hpp"
#include "murlo/runtime/http.hpp"
#include "murlo/runtime/runtime.hpp"
#include "support/test_service.hpp"
#include "support/eventually.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using murlo::runtime::Acceptor;
using murlo::runtime::Runtime;
using murlo::runtime::RuntimeOptions;

namespace {

using murlo::runtime::testing::eventually;

struct Ran {
    int exit_code = -1;
    std::string out;
};

Ran run(const std::string& command) {
    Ran r;
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return r;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = ::pclose(p);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A response as `curl -i` prints it.
struct Printed {
    std::string status_line;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const {
        for (auto& [n, v] : headers)
            if (n == name) return v;
        return "<none>";
    }
};

Printed parse_printed(std::string text) {
    // Interim "100 Continue" answers come first.
    while (text.rfind("HTTP/1.1 100", 0) == 0 && text.find("\r\n\r\n") != std::string::npos)
        text.erase(0, text.find("\r\n\r\n") + 4);
    Printed p;
    auto end = text.find("\r\n\r\n");
    std::string head = text.substr(0, end);
    p.body = end == std::string::npos ? "" : text.substr(end + 4);
    std::size_t pos = 0;
    bool first = true;
    while (pos <= head.size()) {
        auto eol = head.find("\r\n", pos);
        std::string line = head.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        if (first) {
            p.status_line = line;
            first = false;
        } else if (auto colon = line.find(':'); colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            p.headers.emplace_back(name, value);
        }
        if (eol == std::string::npos) break;
        pos = eol + 2;
    }
    return p;
}

// A blocking client socket whose reads give up after a few seconds.
struct RawClient {
    int fd = -1;

    explicit RawClient(const tcp::endpoint& ep) {
        fd = ::socket(ep.address().is_v6() ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::connect(fd, static_cast<const sockaddr*>(ep.data()), ep.size()) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~RawClient() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // Reads until `enough` holds of what was read, the peer closes or reads time out.
    template <class F>
    std::string read_until(F enough, bool* closed = nullptr) {
        std::string got;
        char buf[16384];
        while (!enough(got)) {
            auto n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                if (closed) *closed = n == 0 || errno == ECONNRESET;
                break;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

    // True when the server closes the connection before reads time out.
    bool closed_by_peer() {
        bool closed = false;
        read_until([](const std::string&) { return false; }, &closed);
        return closed;
    }
};

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

class HttpServer : public ::testing::Test {
protected:
    murlo::runtime::testing::TestService test;
    std::atomic<int> accepted{0};
    std::vector<tcp::endpoint> endpoints;
    Runtime rt{RuntimeOptions{2, "murlo-http"}};

    void SetUp() override {
        for (const char* host : {"127.0.0.1", "::1"}) {
            Acceptor acceptor(rt.executor(), tcp::endpoint(asio::ip::make_address(host), 0));
            endpoints.push_back(acceptor.local_endpoint());
            rt.spawn(accept_loop(std::move(acceptor)));
        }
    }
    void TearDown() override { rt.shutdown(); }

    asio::awaitable<void> accept_loop(Acceptor acceptor) {
        auto service = test.service();
        for (;;) {
            auto [ec, socket] = co_await acceptor.async_accept();
            if (ec) continue;
            ++accepted;
            rt.spawn(murlo::runtime::serve_connection(std::move(socket), service));
        }
    }

    std::string base(std::size_t which = 0) const {
        const auto& ep = endpoints[which];
        std::string host = ep.address().is_v6() ? "[" + ep.address().to_string() + "]" : ep.address().to_string();
        return "http://" + host + ":" + std::to_string(ep.port());
    }
};

const char* const protocols[] = {"--http1.1", "--http2-prior-knowledge"};

}  // namespace

TEST_F(HttpServer, CurlIsAnsweredOverBothProtocolsAndAddressFamilies) {
    struct Case {
        const char* args;  // curl arguments before the URL
        const char* target;
        std::string status;
        std::string body;
        std::string content_type;
    };
    const Case cases[] = {
        {"", "/echo", "200", "GET /echo\n", "text/plain"},
        {"", "/echo/deeper?x=1&y=%20", "200", "GET /echo/deeper?x=1&y=%20\n", "text/plain"},
        {"-d hello", "/echo?q", "200", "POST /echo?q\nhello", "text/plain"},
        {"-X PUT -d abc", "/echo", "200", "PUT /echo\nabc", "text/plain"},
        {"", "/nothing-here", "404", "{}", "application/json"},
        {"-d x", "/nothing-here?a=b", "404", "{}", "application/json"},
    };
    for (const char* proto : protocols)
        for (std::size_t family = 0; family < endpoints.size(); ++family)
            for (const Case& c : cases) {
                std::string url = base(family) + c.target;
                SCOPED_TRACE(std::string(proto) + " " + c.args + " " + url);
                Ran r = run(std::string("curl -sS -i ") + proto + " " + c.args + " '" + url + "'");
                ASSERT_EQ(r.exit_code, 0);
                Printed p = parse_printed(r.out);
                EXPECT_NE(p.status_line.find(" " + c.status), std::string::npos) << p.status_line;
                EXPECT_EQ(p.body, c.body);
                EXPECT_EQ(p.header("content-type"), c.content_type);
                EXPECT_EQ(p.header("content-length"), std::to_string(c.body.size()));
                EXPECT_NE(p.header("date"), "<none>");
                EXPECT_NE(p.header("date").find(" GMT"), std::string::npos);
            }
}

TEST_F(HttpServer, HeadGetsTheHeadersWithoutTheBody) {
    for (const char* proto : protocols) {
        SCOPED_TRACE(proto);
        Ran r = run(std::string("curl -sS -I ") + proto + " '" + base() + "/echo'");
        ASSERT_EQ(r.exit_code, 0);
        Printed p = parse_printed(r.out);
        EXPECT_EQ(p.header("content-length"), std::to_string(std::string("HEAD /echo\n").size()));
        EXPECT_EQ(p.body, "");
    }
    // On a kept-alive HTTP/1.1 connection the next answer follows the head directly.
    RawClient c(endpoints[0]);
    ASSERT_TRUE(c.send("HEAD /echo HTTP/1.1\r\nHost: x\r\n\r\nGET /echo?after HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string got =
        c.read_until([](const std::string& s) { return s.find("GET /echo?after\n") != std::string::npos; });
    EXPECT_EQ(count(got, "HTTP/1.1 200 OK\r\n"), 2) << got;
    EXPECT_NE(got.find("Content-Length: 11\r\n\r\nHTTP/1.1 200 OK"), std::string::npos) << got;
}

TEST_F(HttpServer, Http11AnswerHeadsFollowVersionAndConnection) {
    using murlo::runtime::testing::TestService;
    struct Case {
        const char* name;
        std::string request;
        std::string status_line;
        const char* connection;  // the Connection line expected, or none
        bool closes;
    } cases[] = {
        {"1.1 kept alive", "GET /echo HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n", nullptr, false},
        {"1.1 close", "GET /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK\r\n",
         "Connection: close\r\n", true},
        {"1.0", "GET /echo HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n", nullptr, true},
        {"1.0 keep-alive", "GET /echo HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "HTTP/1.0 200 OK\r\n",
         "Connection: keep-alive\r\n", false},
        {"not found", "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", nullptr, false},
        {"long content type", "GET /long-type HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(endpoints[0]);
        ASSERT_TRUE(client.send(c.request));
        bool closed = false;
        std::string got = client.read_until(
            [](const std::string& s) {
                const auto end = s.find("\r\n\r\n");
                if (end == std::string::npos) return false;
                const auto at = s.find("Content-Length: ");
                return at != std::string::npos &&
                       s.size() >= end + 4 + std::stoul(s.substr(at + 16, s.find("\r\n", at) - at - 16));
            },
            &closed);
        EXPECT_EQ(got.rfind(c.status_line, 0), 0u) << got;
        const auto head = got.substr(0, got.find("\r\n\r\n") + 2);
        if (c.connection)
            EXPECT_NE(head.find(c.connection), std::string::npos) << got;
        else
            EXPECT_EQ(head.find("Connection:"), std::string::npos) << got;
        EXPECT_NE(head.find("\r\nDate: "), std::string::npos) << got;
        if (std::string(c.name) == "long content type") {
            EXPECT_NE(head.find("\r\nContent-Type: " + std::string(TestService::long_type) + "\r\n"),
                      std::string::npos);
        }
        // The connection ends after the answer, or serves the next request.
        if (c.closes) {
            if (!closed) client.read_until([](const std::string&) { return false; }, &closed);
            EXPECT_TRUE(closed);
        } else {
            ASSERT_FALSE(closed);
            ASSERT_TRUE(client.send("GET /echo?again HTTP/1.1\r\nHost: x\r\n\r\n"));
            std::string next = client.read_until(
                [](const std::string& s) { return s.find("GET /echo?again\n") != std::string::npos; });
            EXPECT_NE(next.find("GET /echo?again\n"), std::string::npos) << next;
        }
    }
}

TEST_F(HttpServer, KeepAliveServesSeveralRequestsOnOneConnection) {
    // curl 7.88 cannot reuse a prior-knowledge HTTP/2 connection; nghttp can.
    const std::string clients[] = {"curl -sS --http1.1 -d x", "nghttp"};
    const std::string expected[] = {"POST /echo?1\nxPOST /echo?2\nx", "GET /echo?1\nGET /echo?2\n"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(clients[i]);
        int before = accepted.load();
        Ran r = run(clients[i] + " '" + base() + "/echo?1' '" + base() + "/echo?2'");
        ASSERT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, expected[i]);
        EXPECT_EQ(accepted.load() - before, 1);
    }
}

TEST_F(HttpServer, PipelinedRequestsAreAnsweredInOrder) {
    RawClient c(endpoints[0]);
    // The first body is never read by its route: the connection skips it.
    ASSERT_TRUE(
        c.send("POST /unknown HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nskip!"
               "POST /echo?first HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"
               "GET /echo?second HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string got =
        c.read_until([](const std::string& s) { return s.find("GET /echo?second\n") != std::string::npos; });
    auto first = got.find("POST /echo?first\nabc");
    auto second = got.find("GET /echo?second\n");
    ASSERT_NE(first, std::string::npos) << got;
    ASSERT_NE(second, std::string::npos) << got;
    EXPECT_LT(first, second);
    EXPECT_EQ(got.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << got;
    EXPECT_EQ(count(got, "HTTP/1.1 200 OK\r\n"), 2);
}

TEST_F(HttpServer, AnUpgradeRequestIsAnsweredAsHttp11) {
    RawClient c(endpoints[0]);
    ASSERT_TRUE(
        c.send("GET /echo?up HTTP/1.1\r\nHost: x\r\nConnection: Upgrade, HTTP2-Settings\r\n"
               "Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAARAAAAAAAIAAAAA\r\n\r\n"
               "GET /echo?again HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string got =
        c.read_until([](const std::string& s) { return s.find("GET /echo?again\n") != std::string::npos; });
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
    EXPECT_EQ(got.find("101"), std::string::npos);
    EXPECT_NE(got.find("GET /echo?up\n"), std::string::npos);

    // curl's own h2c upgrade attempt falls back to HTTP/1.1 as well.
    Ran r = run("curl -sS -i --http2 '" + base() + "/echo'");
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(parse_printed(r.out).status_line.rfind("HTTP/1.1 200", 0), 0u) << r.out;
}

TEST_F(HttpServer, BodiesAreCountedAgainstTheServicesLimit) {
    const std::string dir = ::testing::TempDir();
    auto file_of = [&](std::size_t size) {
        std::string path = dir + "/murlo-body-" + std::to_string(size);
        std::ofstream(path, std::ios::binary) << std::string(size, 'b');
        return path;
    };
    struct Case {
        const char* name;
        std::size_t size;
        const char* extra;  // more curl arguments
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {"exactly the limit", 16, "", "200", std::string(16, 'b')},
        {"one byte over", 17, "", "413", "too_large"},
        {"far over, maybe with expect-continue", 2 * 1024 * 1024, "", "413", "too_large"},
        {"empty", 0, "", "200", ""},
    };
    for (const char* proto : protocols)
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(proto) + " " + c.name);
            Ran r = run(std::string("curl -sS -i ") + proto + " " + c.extra + " --data-binary @" + file_of(c.size) +
                        " '" + base() + "/small'");
            ASSERT_EQ(r.exit_code, 0);
            Printed p = parse_printed(r.out);
            EXPECT_NE(p.status_line.find(" " + c.status), std::string::npos) << p.status_line;
            EXPECT_EQ(p.body, c.body);
        }

    // A chunked HTTP/1.1 body is counted the same way.
    RawClient c(endpoints[0]);
    ASSERT_TRUE(
        c.send("POST /small HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
               "a\r\n0123456789\r\n7\r\nabcdefg\r\n0\r\n\r\n"));
    std::string got = c.read_until([](const std::string& s) { return s.find("too_large") != std::string::npos; });
    EXPECT_NE(got.find("413"), std::string::npos) << got;

    // Large bodies both ways, through flow control windows and write batches.
    const std::size_t big = 300 * 1024;
    for (const char* proto : protocols) {
        SCOPED_TRACE(proto);
        Ran r = run(std::string("curl -sS ") + proto + " --data-binary @" + file_of(big) + " '" + base() + "/echo'");
        ASSERT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "POST /echo\n" + std::string(big, 'b'));
    }
}

TEST_F(HttpServer, TheBodyIsHandedOverOnce) {
    // A second read gets the first one's error again, or "taken" after the body.
    struct Case {
        const char* name;
        std::string body;
        std::string answer;
    };
    const Case cases[] = {
        {"a body", "abc", "abc\ntaken\n"},
        {"an empty body", "", "\ntaken\n"},
        {"over the limit", std::string(17, 'x'), "too_large\ntoo_large\n"},
    };
    const std::string dir = ::testing::TempDir();
    for (const char* proto : protocols)
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(proto) + " " + c.name);
            std::string path = dir + "/murlo-twice";
            std::ofstream(path, std::ios::binary | std::ios::trunc) << c.body;
            Ran r = run(std::string("curl -sS ") + proto + " --data-binary @" + path + " '" + base() + "/twice'");
            ASSERT_EQ(r.exit_code, 0);
            EXPECT_EQ(r.out, c.answer);
        }
}

TEST_F(HttpServer, ClosingAnHttp11ConnectionCancelsItsWaitingRequest) {
    int cancelled = test.cancelled.load();
    RawClient c(endpoints[1]);
    ASSERT_TRUE(c.send("GET /wait HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(eventually([&] { return test.waiting.load() == 1; }));
    // Other connections are served meanwhile.
    EXPECT_EQ(run("curl -sS --http1.1 '" + base() + "/echo'").out, "GET /echo\n");
    c.close();
    EXPECT_TRUE(eventually([&] { return test.waiting.load() == 0 && test.cancelled.load() == cancelled + 1; }));
}

TEST_F(HttpServer, AFailingServiceEndsOnlyItsRequest) {
    // HTTP/1.1: the connection closes without an answer (curl: empty reply).
    EXPECT_EQ(run("curl -sS --http1.1 '" + base() + "/throw'").exit_code, 52);
    // HTTP/2: only the stream is reset; the next request on the connection is answered.
    int before = accepted.load();
    Ran r = run("nghttp '" + base() + "/throw' '" + base() + "/echo?next'");
    EXPECT_EQ(r.out, "GET /echo?next\n");
    EXPECT_EQ(accepted.load() - before, 1);
    EXPECT_EQ(run("curl -sS --http2-prior-knowledge '" + base() + "/throw'").exit_code, 92);
}

TEST_F(HttpServer, BadInputEndsOnlyItsOwnConnection) {
    std::mt19937 gen(7);
    std::string noise(4096, '\0');
    for (auto& ch : noise) ch = static_cast<char>(gen());
    noise[0] = 'X';  // not a preface prefix

    std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    // A SETTINGS frame whose length is not a multiple of 6.
    std::string bad_frame = preface + std::string("\x00\x00\x05\x04\x00\x00\x00\x00\x00", 9) + "12345";

    struct Case {
        const char* name;
        std::string bytes;
        bool server_closes;  // else the client closes after sending
    };
    const Case cases[] = {
        {"random bytes", noise, true},
        {"not HTTP at all", "GARBAGE\r\n\r\n", true},
        {"a request line with a bad version", "GET / HTTP/9.x\r\n\r\n", true},
        {"a truncated preface", preface.substr(0, 10), false},
        {"a malformed HTTP/2 frame", bad_frame, true},
        {"a half-sent request head", "GET /echo HTTP/1.1\r\nHo", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient raw(endpoints[0]);
        ASSERT_TRUE(raw.send(c.bytes));
        if (c.server_closes) {
            EXPECT_TRUE(raw.closed_by_peer());
        } else {
            // Still waiting for the rest: others are served meanwhile.
            EXPECT_EQ(run("curl -sS --http2-prior-knowledge '" + base() + "/echo'").out, "GET /echo\n");
        }
        raw.close();
        EXPECT_EQ(run("curl -sS --http1.1 '" + base() + "/echo'").out, "GET /echo\n");
    }
}

TEST_F(HttpServer, AMalformedFrameIsAnsweredWithGoaway) {
    RawClient raw(endpoints[0]);
    std::string bytes = std::string("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") +
                        std::string("\x00\x00\x05\x04\x00\x00\x00\x00\x00", 9) + "12345";
    ASSERT_TRUE(raw.send(bytes));
    bool closed = false;
    std::string got = raw.read_until([](const std::string&) { return false; }, &closed);
    EXPECT_TRUE(closed);
    // Walk the frames: the server's SETTINGS (with 200 streams) and a GOAWAY.
    bool goaway = false, streams_200 = false;
    for (std::size_t pos = 0; pos + 9 <= got.size();) {
        auto byte = [&](std::size_t i) { return static_cast<unsigned char>(got[i]); };
        std::size_t len = (byte(pos) << 16) | (byte(pos + 1) << 8) | byte(pos + 2);
        unsigned type = byte(pos + 3);
        if (type == 0x7) goaway = true;
        if (type == 0x4)
            for (std::size_t i = pos + 9; i + 6 <= pos + 9 + len && i + 6 <= got.size(); i += 6) {
                unsigned id = (byte(i) << 8) | byte(i + 1);
                unsigned long value = (static_cast<unsigned long>(byte(i + 2)) << 24) | (byte(i + 3) << 16) |
                                      (byte(i + 4) << 8) | byte(i + 5);
                if (id == 0x3 && value == 200) streams_200 = true;
            }
        pos += 9 + len;
    }
    EXPECT_TRUE(goaway);
    EXPECT_TRUE(streams_200);
}
