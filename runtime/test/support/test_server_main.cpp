// Serves the test service on 127.0.0.1 and [::1] (ports chosen by the system),
// prints one "address:port" line per listener, and exits when its standard
// input closes.

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>

#include "murlo/runtime/asio.hpp"
#include "murlo/runtime/http.hpp"
#include "murlo/runtime/runtime.hpp"
#include "test_service.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;
using murlo::runtime::Acceptor;

namespace {

asio::awaitable<void> accept_loop(murlo::runtime::Runtime& rt, Acceptor acceptor, murlo::runtime::HttpService service) {
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept();
        if (ec) continue;
        rt.spawn(murlo::runtime::serve_connection(std::move(socket), service));
    }
}

}  // namespace

int main() {
    murlo::runtime::testing::TestService test;
    murlo::runtime::Runtime rt(murlo::runtime::RuntimeOptions{2, "murlo-test"});
    for (const char* host : {"127.0.0.1", "::1"}) {
        Acceptor acceptor(rt.executor(), tcp::endpoint(asio::ip::make_address(host), 0));
        auto ep = acceptor.local_endpoint();
        if (ep.address().is_v6())
            std::printf("[%s]:%u\n", ep.address().to_string().c_str(), ep.port());
        else
            std::printf("%s:%u\n", ep.address().to_string().c_str(), ep.port());
        rt.spawn(accept_loop(rt, std::move(acceptor), test.service()));
    }
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    rt.shutdown();
    return 0;
}
