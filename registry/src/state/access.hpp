#pragma once
// Read access to a registry's pool table, for tests and benchmarks that check
// what the public operations leave behind (watchers, caches, fences). Not part
// of the library's interface.

#include <functional>
#include <shared_mutex>

#include "murlo/registry/state.hpp"

namespace murlo::registry {

struct RegistryAccess {
    // Runs `f` on the pool table under the registry's read lock.
    static void inspect(const Registry& registry, const std::function<void(const Registry::PoolTable&)>& f) {
        std::shared_lock lock(registry.mutex_);
        f(registry.pools_);
    }
};

}  // namespace murlo::registry
