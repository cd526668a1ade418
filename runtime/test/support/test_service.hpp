#pragma once
// A tiny service for exercising the server connection with real clients.
//   /echo...   any method: "METHOD TARGET\n" then the body (read up to 1 MiB)
//   /wait      waits until cancelled (counted in "waiting" and "cancelled")
//   /small     reads the body under a 16-byte limit: 200 with it, or 413
//              "too_large" / "broken" (counted in "reading" when it starts
//              to read, and in "broken" for a broken body)
//   /twice     reads the body twice under the 16-byte limit: each result on
//              a line, the body or its error's name
//   /big       1 MiB of "b" without reading the request
//   /long-type "typed" with the content type long_type
//   /stats     {"waiting":W,"cancelled":C,"broken":B,"reading":R}
//   /throw     the service fails
//   else       404 "{}"

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "murlo/runtime/http.hpp"
#include "murlo/runtime/notify.hpp"

namespace murlo::runtime::testing {

struct TestService {
    std::atomic<int> waiting{0};
    std::atomic<int> cancelled{0};
    std::atomic<int> broken{0};
    std::atomic<int> reading{0};
    std::shared_ptr<Notify> never = std::make_shared<Notify>();

    static constexpr std::size_t small_limit = 16;
    // A content type longer than any answer head kept in a frame.
    static constexpr std::string_view long_type =
        "text/plain; x-padding=0123456789012345678901234567890123456789012345678901234567890123456789"
        "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
        "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
        "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
        "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789";

    std::string stats() const;
    // The service function; `this` must outlive every connection using it.
    HttpService service();
};

}  // namespace murlo::runtime::testing
