// The h2c client against the runtime's own server on loopback: reuse and
// multiplexing of one connection, an abandoned request resetting only its
// stream, flow control both ways, the idle timeout, and a connection whose
// server went away leaving the pool.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "murlo/runtime/asio.hpp"
#include "murlo/runtime/h2_client.hpp"
#include "murlo/runtime/http.hpp"
#include "murlo/runtime/runtime.hpp"
#include "support/test_service.hpp"
#include "support/eventually.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
using murlo::runtime::Acceptor;
using murlo::runtime::Deadline;
using murlo::runtime::H2Client;
using murlo::runtime::H2ClientOptions;
using murlo::runtime::H2Response;
using murlo::runtime::Runtime;
using murlo::runtime::RuntimeOptions;

namespace {

using murlo::runtime::testing::eventually;

Deadline in(std::chrono::milliseconds d) { return std::chrono::steady_clock::now() + d; }

struct Reply {
    unsigned status = 0;
    std::string body;
    std::string error;  // what failed, if anything
};

// One request, head and body, as a coroutine on the client's executor.
asio::awaitable<Reply> fetch(H2Client& client, std::string target, std::string body, Deadline deadline) {
    Reply r;
    auto head = co_await client.request("POST", target, "text/plain", std::move(body), deadline);
    if (auto* e = std::get_if<murlo::runtime::ClientError>(&head)) {
        r.error = e->text();
        co_return r;
    }
    if (std::holds_alternative<murlo::runtime::TimedOut>(head)) {
        r.error = "timed out";
        co_return r;
    }
    auto& response = std::get<H2Response>(head);
    r.status = response.status();
    auto got = co_await response.body(deadline);
    if (auto* text = std::get_if<std::string>(&got))
        r.body = std::move(*text);
    else if (auto* e = std::get_if<murlo::runtime::ReplyBodyError>(&got))
        r.error = e->text;
    else
        r.error = "body timed out";
    co_return r;
}

class H2ClientTest : public ::testing::Test {
protected:
    murlo::runtime::testing::TestService test;
    std::unique_ptr<Runtime> server = std::make_unique<Runtime>(RuntimeOptions{2, "h2-server"});
    Runtime rt{RuntimeOptions{2, "h2-client"}};
    std::string url;
    std::atomic<int> accepted{0};

    void SetUp() override {
        Acceptor acceptor(server->executor(), tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        url = "http://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port());
        server->spawn(accept_loop(std::move(acceptor)));
    }
    void TearDown() override { rt.shutdown(); }

    asio::awaitable<void> accept_loop(Acceptor acceptor) {
        auto service = test.service();
        for (;;) {
            auto [ec, socket] = co_await acceptor.async_accept();
            if (ec) continue;
            ++accepted;
            server->spawn(murlo::runtime::serve_connection(std::move(socket), service));
        }
    }
};

TEST_F(H2ClientTest, RequestsShareOneConnectionAndAnAbandonedOneResetsOnlyItsStream) {
    auto scenario = [&]() -> asio::awaitable<std::string> {
        H2Client client(co_await asio::this_coro::executor);
        auto first = co_await fetch(client, url + "/echo?a", "one", in(5s));
        if (first.body != "POST /echo?a\none") co_return "first: " + first.body + first.error;
        // A request given up on: its stream is reset, the connection stays.
        auto waited = co_await fetch(client, url + "/wait", "", in(200ms));
        if (waited.error != "timed out") co_return "wait: " + waited.error;
        // Two at once on the same connection.
        auto [a, b] =
            co_await (fetch(client, url + "/echo?b", "", in(5s)) && fetch(client, url + "/echo?c", "", in(5s)));
        if (a.body != "POST /echo?b\n" || b.body != "POST /echo?c\n") co_return "pair: " + a.error + b.error;
        co_return "connections " + std::to_string(client.connections());
    };
    EXPECT_EQ(rt.block_on(scenario()), "connections 1");
    EXPECT_EQ(accepted.load(), 1);
    EXPECT_TRUE(eventually([&] { return test.cancelled.load() == 1 && test.waiting.load() == 0; }));
}

TEST_F(H2ClientTest, BodiesLargerThanTheWindowFlowBothWays) {
    const std::string big(1024 * 1024 - 64, 'x');  // the echo reads up to 1 MiB
    auto scenario = [&]() -> asio::awaitable<Reply> {
        H2Client client(co_await asio::this_coro::executor);
        co_return co_await fetch(client, url + "/echo", big, in(10s));
    };
    Reply r = rt.block_on(scenario());
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.body, "POST /echo\n" + big);
}

TEST_F(H2ClientTest, AnIdleConnectionClosesAfterTheTimeout) {
    auto scenario = [&]() -> asio::awaitable<std::string> {
        H2Client client(co_await asio::this_coro::executor, H2ClientOptions{.connector = {}, .idle_timeout = 100ms});
        auto r = co_await fetch(client, url + "/echo", "", in(5s));
        const auto before = client.connections();
        asio::steady_timer timer(co_await asio::this_coro::executor, 400ms);
        co_await timer.async_wait(asio::use_awaitable);
        co_return std::to_string(before) + " " + std::to_string(client.connections()) + " " + r.error;
    };
    EXPECT_EQ(rt.block_on(scenario()), "1 0 ");
}

asio::awaitable<std::size_t> connections_of(std::shared_ptr<H2Client> client) { co_return client->connections(); }
asio::awaitable<void> drop(std::shared_ptr<H2Client> client) { co_return; }

TEST_F(H2ClientTest, AConnectionWhoseServerWentAwayLeavesThePool) {
    // The client lives across several block_on calls, always used on one strand.
    auto strand = rt.make_strand();
    auto client = std::make_shared<H2Client>(strand);
    auto run = [&](std::string target) {
        return rt.block_on(asio::co_spawn(strand, fetch(*client, url + target, "", in(2s)), asio::use_awaitable));
    };
    EXPECT_EQ(run("/echo").status, 200u);
    EXPECT_EQ(rt.block_on(asio::co_spawn(strand, connections_of(client), asio::use_awaitable)), 1u);
    server.reset();  // every connection of the server closes
    std::this_thread::sleep_for(100ms);
    // The ended connection is not reused: a new one is tried, and refused.
    EXPECT_EQ(run("/echo").error, "client error (Connect)");
    EXPECT_EQ(rt.block_on(asio::co_spawn(strand, connections_of(client), asio::use_awaitable)), 0u);
    rt.block_on(asio::co_spawn(strand, drop(std::move(client)), asio::use_awaitable));
}

}  // namespace
