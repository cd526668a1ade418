#include "test_service.hpp"

#include <stdexcept>
#include <string_view>

namespace murlo::runtime::testing {

namespace asio = boost::asio;

std::string TestService::stats() const {
    return "{\"waiting\":" + std::to_string(waiting.load()) + ",\"cancelled\":" + std::to_string(cancelled.load()) +
           ",\"broken\":" + std::to_string(broken.load()) + ",\"reading\":" + std::to_string(reading.load()) + "}";
}

namespace {

std::string_view path_of(std::string_view target) { return target.substr(0, target.find('?')); }

const char* error_text(BodyError e) {
    switch (e) {
        case BodyError::too_large:
            return "too_large";
        case BodyError::broken:
            return "broken";
        case BodyError::taken:
            return "taken";
    }
    return "?";
}

asio::awaitable<HttpResponse> answer(TestService& t, HttpRequest req) {
    auto path = path_of(req.target);
    if (path.starts_with("/echo")) {
        Body body = co_await req.read_body(1024 * 1024);
        std::string out = std::string(req.method) + " " + std::string(req.target) + "\n";
        if (auto* bytes = std::get_if<std::string>(&body))
            out += *bytes;
        else
            out += error_text(std::get<BodyError>(body));
        co_return HttpResponse{200, "text/plain", std::move(out)};
    }
    if (path == "/wait") {
        ++t.waiting;
        try {
            co_await t.never->wait();
        } catch (...) {
            --t.waiting;
            ++t.cancelled;
            throw;
        }
        --t.waiting;
        co_return HttpResponse{200, "text/plain", "woken"};
    }
    if (path == "/small") {
        ++t.reading;
        Body body = co_await req.read_body(TestService::small_limit);
        if (auto* bytes = std::get_if<std::string>(&body)) co_return HttpResponse{200, "text/plain", *bytes};
        if (std::get<BodyError>(body) == BodyError::broken) ++t.broken;
        co_return HttpResponse{413, "text/plain", error_text(std::get<BodyError>(body))};
    }
    if (path == "/twice") {
        std::string out;
        for (int i = 0; i < 2; ++i) {
            Body body = co_await req.read_body(TestService::small_limit);
            if (auto* bytes = std::get_if<std::string>(&body))
                out += *bytes;
            else
                out += error_text(std::get<BodyError>(body));
            out += "\n";
        }
        co_return HttpResponse{200, "text/plain", std::move(out)};
    }
    if (path == "/big") co_return HttpResponse{200, "text/plain", std::string(1024 * 1024, 'b')};
    if (path == "/long-type") co_return HttpResponse{200, TestService::long_type, "typed"};
    if (path == "/stats") co_return HttpResponse{200, "application/json", t.stats()};
    if (path == "/throw") throw std::runtime_error("the service failed");
    co_return HttpResponse{404, "application/json", "{}"};
}

}  // namespace

HttpService TestService::service() {
    return [this](HttpRequest req) { return answer(*this, std::move(req)); };
}

}  // namespace murlo::runtime::testing
