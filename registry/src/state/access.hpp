#pragma once
// Read access to a registry's pool table, for tests and benchmarks that check
// what the public operations leave behind (watchers, caches, fences). Not part
// of the library's interface.

#include <functional>
#include <shared_mutex>

#include "murlo/registry/state.hpp"
#include "pool.hpp"

namespace murlo::registry {

struct RegistryAccess {
    // Runs `f` on the pool table under the registry's read lock.
    static void inspect(const Registry& registry, const std::function<void(const PoolTable&)>& f) {
        std::shared_lock lock(registry.tables_->mutex);
        f(registry.tables_->pools);
    }
};

}  // namespace murlo::registry
