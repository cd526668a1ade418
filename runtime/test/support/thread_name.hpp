#pragma once
// The name of the calling thread, as the runtime's workers set it.

#include <pthread.h>

#include <string>

namespace murlo::runtime::testing {

inline std::string this_thread_name() {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    return buf;
}

}  // namespace murlo::runtime::testing
