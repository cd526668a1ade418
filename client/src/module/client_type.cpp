// The Client type: one object per member, a handle on the member's shared
// state. Methods convert their arguments, do their work against the state's
// own locks (the object adds none) and build Python results only after every
// lock is released.

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "convert.hpp"
#include "docs.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "murlo/client/beat/lifecycle.hpp"
#include "murlo/client/beat/limits.hpp"
#include "murlo/client/beat/shared.hpp"
#include "murlo/proto/json.hpp"
#include "murlo/proto/limits.hpp"
#include "murlo/proto/records.hpp"
#include "murlo/runtime/notify.hpp"

namespace murlo::client::module {

namespace {

using beat::Shared;
using proto::Value;

struct ClientObject {
    PyObject_HEAD beat::Client client;  // constructed in place by client_new
};

beat::Client& client_of(PyObject* self) { return reinterpret_cast<ClientObject*>(self)->client; }
Shared& shared_of(PyObject* self) { return *client_of(self).shared; }

// The bounded beats of start and leave run with the interpreter lock released.
void release_interpreter(const std::function<void()>& work) {
    Released released;
    work();
}

// Only a non-empty object narrows a member list.
bool restricts(const Value& filter) {
    const auto* object = filter.as_object();
    return object != nullptr && !object->empty();
}

// A JSON argument decoded, or null with RuntimeError (the reading error's text) set.
std::optional<Value> decode(std::string_view text) {
    auto read = proto::read_value(text);
    if (!read) {
        raise_runtime(read.error().text());
        return std::nullopt;
    }
    return std::move(read).value();
}

std::uint64_t elapsed_ms(const Shared& s) {
    const auto since = std::chrono::steady_clock::now() - s.created_at;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

std::uint64_t silence_ms(const Shared& s) {
    const std::uint64_t now = elapsed_ms(s);
    const std::uint64_t last = s.last_ack_ms.load();
    return now > last ? now - last : 0;
}

// --- construction and end of life -----------------------------------------

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Client",
                                   {"endpoint", "pool", "id", "incarnation", "policy", "slot", "size", "url", "methods",
                                    "exclusive", "coalesce_ms"},
                                   5};
        std::string endpoint, pool, policy;
        std::uint64_t id = 0, incarnation = 0, coalesce_ms = 50;
        std::optional<std::uint64_t> slot, size;
        std::optional<std::string> url;
        std::optional<std::vector<std::string>> methods;
        bool exclusive = false;
        if (!parse(sig, args, kwargs, endpoint, pool, id, incarnation, policy, slot, size, url, methods, exclusive,
                   coalesce_ms))
            return nullptr;
        // What the registry would refuse for good is refused here, before anything is built.
        static const std::vector<std::string> no_methods;
        if (auto e = beat::member_over_limit(pool, incarnation, url, methods ? *methods : no_methods))
            return raise_runtime(*e);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        try {
            new (&reinterpret_cast<ClientObject*>(self)->client)
                beat::Client(std::move(endpoint), std::move(pool), id, incarnation, std::move(policy), slot, size,
                             std::move(url), std::move(methods), exclusive, coalesce_ms);
        } catch (...) {
            // Nothing was built: free the bare object, not through dealloc.
            type->tp_free(self);
            Py_DECREF(type);
            throw;
        }
        return self;
    });
}

void client_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // Shuts a runtime still held down and waits for its threads, which never
    // need the interpreter lock; in a forked child it lets go of it instead.
    client_of(self).~Client();
    type->tp_free(self);
    Py_DECREF(type);
}

// --- lifecycle ---------------------------------------------------------------

PyObject* m_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"start", {"budget_ms"}, 0};
        std::uint64_t budget_ms = 5000;
        if (!parse(sig, args, nargs, kwnames, budget_ms)) return nullptr;
        try {
            return to_python_bool(beat::start(client_of(self), budget_ms, release_interpreter));
        } catch (const beat::InheritedRuntime& e) {
            return raise_runtime(e.what());
        }
    });
}

PyObject* m_leave(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        try {
            beat::leave(client_of(self), release_interpreter);
        } catch (const beat::InheritedRuntime& e) {
            return raise_runtime(e.what());
        }
        Py_RETURN_NONE;
    });
}

PyObject* m_abandon(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        beat::abandon(client_of(self));
        Py_RETURN_NONE;
    });
}

// --- publishing ----------------------------------------------------------------

// Stores a new state (and readiness, when given) unless both equal what is
// published; true when something changed. Nudges after unlocking.
PyObject* publish_state(Shared& s, std::string_view text, std::optional<bool> ready) {
    auto state = decode(text);
    if (!state) return nullptr;
    if (auto e = beat::state_over_limit(*state)) return raise_runtime(*e);
    bool changed = false;
    {
        std::lock_guard lock(s.published.mutex);
        auto& published = s.published.value;
        if ((ready && *ready != published.ready) || !proto::exact_equal(*state, published.state)) {
            // The old state is destroyed after the unlock, with `state`.
            std::swap(published.state, *state);
            if (ready) published.ready = *ready;
            ++published.version;
            changed = true;
        }
    }
    if (changed) s.nudge->notify_one();
    return to_python_bool(changed);
}

PyObject* m_set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"set_state", {"state_json", "ready"}, 2};
        std::string_view state_json;
        bool ready = false;
        if (!parse(sig, args, nargs, kwnames, state_json, ready)) return nullptr;
        return publish_state(shared_of(self), state_json, ready);
    });
}

PyObject* m_set_state_only(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"set_state_only", {"state_json"}, 1};
        std::string_view state_json;
        if (!parse(sig, args, nargs, kwnames, state_json)) return nullptr;
        return publish_state(shared_of(self), state_json, std::nullopt);
    });
}

PyObject* m_set_url(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"set_url", {"url"}, 0};
        std::optional<std::string_view> url;
        if (!parse(sig, args, nargs, kwnames, url)) return nullptr;
        if (url)
            if (auto e = beat::url_over_limit(*url)) return raise_runtime(*e);
        Shared& s = shared_of(self);
        bool changed = false;
        {
            std::lock_guard lock(s.published.mutex);
            auto& published = s.published.value;
            const bool same = url ? published.url && *published.url == *url : !published.url;
            if (!same) {
                published.url = url ? std::optional<std::string>(*url) : std::nullopt;
                ++published.version;
                changed = true;
            }
        }
        if (changed) s.nudge->notify_one();
        Py_RETURN_NONE;
    });
}

PyObject* m_is_ready(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared& s = shared_of(self);
        std::lock_guard lock(s.published.mutex);
        return to_python_bool(s.published.value.ready);
    });
}

PyObject* m_publish_versions(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared& s = shared_of(self);
        std::uint64_t published = 0, acked = 0;
        {
            std::lock_guard lock(s.published.mutex);
            published = s.published.value.version;
            acked = s.acked_publish_version.load();
        }
        return tuple_of({to_python(published), to_python(acked)});
    });
}

PyObject* m_watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"watch", {"pools"}, 1};
        std::vector<std::string> pools;
        if (!parse(sig, args, nargs, kwnames, pools)) return nullptr;
        // Checked before anything is appended: such a call changes nothing.
        if (auto e = beat::watch_over_limit(pools)) return raise_runtime(*e);
        Shared& s = shared_of(self);
        bool appended = false;
        const std::string* refused = nullptr;
        std::size_t held = 0;
        {
            std::lock_guard lock(s.watched.mutex);
            auto& list = s.watched.value;
            for (const auto& name : pools) {
                if (std::find(list.begin(), list.end(), name) != list.end()) continue;
                if (list.size() >= proto::max_watch) {
                    refused = &name;
                    held = list.size();
                    break;
                }
                list.push_back(name);
                appended = true;
            }
        }
        if (refused != nullptr) {
            // What this call appended stays, unannounced until the next change.
            return raise_runtime("cannot watch " + proto::quoted(*refused) + ": already subscribed to " +
                                 std::to_string(held) + " pools, the limit is " + std::to_string(proto::max_watch) +
                                 " including your own. Look up fewer pool names, or split the work across "
                                 "processes.");
        }
        if (appended) s.nudge->notify_one();
        Py_RETURN_NONE;
    });
}

// --- the bell and waiting ------------------------------------------------------

PyObject* m_add_wake_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"add_wake_fd", {"fd"}, 1};
        std::int32_t fd = 0;
        if (!parse(sig, args, nargs, kwnames, fd)) return nullptr;
        Shared& s = shared_of(self);
        std::lock_guard lock(s.wake_fds.mutex);
        s.wake_fds.value.push_back(fd);
        Py_RETURN_NONE;
    });
}

PyObject* m_drop_wake_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"drop_wake_fd", {"fd"}, 1};
        std::int32_t fd = 0;
        if (!parse(sig, args, nargs, kwnames, fd)) return nullptr;
        Shared& s = shared_of(self);
        std::lock_guard lock(s.wake_fds.mutex);
        std::erase(s.wake_fds.value, fd);
        Py_RETURN_NONE;
    });
}

PyObject* m_wake(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        shared_of(self).ring();
        Py_RETURN_NONE;
    });
}

PyObject* m_cache_revision(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared& s = shared_of(self);
        std::lock_guard lock(s.revision.mutex);
        return to_python(s.revision.value);
    });
}

PyObject* m_wait_revision(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"wait_revision", {"since", "timeout_ms"}, 2};
        std::uint64_t since = 0, timeout_ms = 0;
        if (!parse(sig, args, nargs, kwnames, since, timeout_ms)) return nullptr;
        const std::shared_ptr<Shared> shared = client_of(self).shared;
        std::uint64_t revision = 0;
        {
            Released released;
            // Declared after `released`: the mutex goes before the interpreter lock comes back.
            std::unique_lock lock(shared->revision.mutex);
            revision = shared->revision.value;
            if (revision == since) {
                // One wait: a timeout or a spurious wake-up returns `since`.
                const auto now = std::chrono::steady_clock::now();
                const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::time_point::max() - now);
                if (timeout_ms >= static_cast<std::uint64_t>(room.count()))
                    shared->revision_changed.wait(lock);  // beyond the clock's range: no limit
                else
                    shared->revision_changed.wait_until(
                        lock, now + std::chrono::milliseconds(static_cast<std::int64_t>(timeout_ms)));
                revision = shared->revision.value;
            }
        }
        return to_python(revision);
    });
}

// --- status --------------------------------------------------------------------

PyObject* m_refused(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared& s = shared_of(self);
        std::string text;
        {
            std::lock_guard lock(s.refused.mutex);
            text = s.refused.value;
        }
        return to_python(std::string_view(text));
    });
}

PyObject* m_last_error(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared& s = shared_of(self);
        std::string text;
        {
            std::lock_guard lock(s.last_error.mutex);
            text = s.last_error.value;
        }
        return to_python(std::string_view(text));
    });
}

PyObject* m_registry(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared& s = shared_of(self);
        const std::uint64_t protocol = s.registry_protocol.load();
        std::string version;
        {
            std::lock_guard lock(s.registry_version.mutex);
            version = s.registry_version.value;
        }
        return tuple_of({to_python(protocol), to_python(std::string_view(version))});
    });
}

PyObject* m_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared& s = shared_of(self);
        const std::uint64_t interval_ms = s.interval_ms.load();
        std::pair<const char*, std::uint64_t> values[] = {
            {"beats_ok", s.beats_ok.load()},
            {"beats_failed", s.beats_failed.load()},
            {"interval_ms", interval_ms},
            {"coalesce_ms", s.coalesce_ms},
            {"effective_coalesce_ms", std::min({interval_ms, s.coalesce_ms, std::uint64_t{30000}})},
            {"silence_ms", silence_ms(s)},
            {"short_polls", s.short_polls.load()},
            {"watch_wakeups", s.watch_wakeups.load()},
            {"state_bytes", 0},
            {"pool_revision", 0},
            {"watched_pools", 0},
        };
        {
            // The nesting order of these three locks everywhere: published, cache, watched.
            std::lock_guard published(s.published.mutex);
            values[8].second = beat::state_bytes(s.published.value.state);
            std::shared_lock cache(s.cache.lock);
            auto it = s.cache.pools.find(s.pool);
            values[9].second = it != s.cache.pools.end() ? it->second.version : 0;
            std::lock_guard watched(s.watched.mutex);
            values[10].second = s.watched.value.size();
        }
        PyObject* dict = PyDict_New();
        if (dict == nullptr) return nullptr;
        for (const auto& [key, value] : values) {
            PyObject* number = to_python(value);
            const int rc = number != nullptr ? PyDict_SetItemString(dict, key, number) : -1;
            Py_XDECREF(number);
            if (rc < 0) {
                Py_DECREF(dict);
                return nullptr;
            }
        }
        return dict;
    });
}

PyObject* get_silence_ms(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return to_python(silence_ms(shared_of(self))); });
}

PyObject* get_accepted(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return to_python_bool(shared_of(self).accepted.load()); });
}

// --- cache queries -------------------------------------------------------------
// Each converts, decodes its filter, then reads under the cache's read lock,
// building every text and number there; Python objects come after the unlock.

PyObject* m_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"lookup", {"pool", "filter_json", "require_ready"}, 1};
        std::string_view pool, filter_json = "{}";
        bool require_ready = false;
        if (!parse(sig, args, nargs, kwnames, pool, filter_json, require_ready)) return nullptr;
        const auto filter = decode(filter_json);
        if (!filter) return nullptr;
        Shared& s = shared_of(self);
        std::string json;
        {
            std::shared_lock read(s.cache.lock);
            auto it = s.cache.pools.find(pool);
            if (it == s.cache.pools.end()) {
                json = "[]";
            } else if (restricts(*filter)) {
                auto& cached = it->second;
                const auto kept = beat::matching_members(cached, cached.ids(require_ready), *filter);
                json.reserve(128);
                proto::write_members(json, kept);
            } else {
                json = std::move(it->second.serialized(require_ready).json);
            }
        }
        return to_python(std::string_view(json));
    });
}

PyObject* m_choose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"choose", {"pool", "filter_json", "require_ready"}, 1};
        std::string_view pool, filter_json = "{}";
        bool require_ready = true;
        if (!parse(sig, args, nargs, kwnames, pool, filter_json, require_ready)) return nullptr;
        const auto filter = decode(filter_json);
        if (!filter) return nullptr;
        beat::Client& client = client_of(self);
        Shared& s = *client.shared;
        std::optional<std::string> json;
        {
            std::shared_lock read(s.cache.lock);
            auto it = s.cache.pools.find(pool);
            if (it != s.cache.pools.end()) {
                const proto::Member* chosen = nullptr;
                {
                    std::lock_guard rng(client.rng.mutex);
                    chosen = it->second.choose(*filter, require_ready, client.rng.value);
                }
                if (chosen != nullptr) json = proto::write_member(*chosen);
            }
        }
        return to_python(json);
    });
}

PyObject* m_lookup_slot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"lookup_slot", {"pool", "slot", "require_ready"}, 2};
        std::string_view pool;
        std::uint64_t slot = 0;
        bool require_ready = false;
        if (!parse(sig, args, nargs, kwnames, pool, slot, require_ready)) return nullptr;
        Shared& s = shared_of(self);
        std::optional<std::string> json;
        {
            std::shared_lock read(s.cache.lock);
            auto it = s.cache.pools.find(pool);
            if (it != s.cache.pools.end()) {
                if (const proto::Member* holder = it->second.slot(slot, require_ready))
                    json = proto::write_member(*holder);
            }
        }
        return to_python(json);
    });
}

PyObject* m_frozen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"frozen", {"pool", "require_ready"}, 1};
        std::string_view pool;
        bool require_ready = true;
        if (!parse(sig, args, nargs, kwnames, pool, require_ready)) return nullptr;
        Shared& s = shared_of(self);
        beat::SerializedMembers members;
        std::uint64_t roster = 0, version = 0;
        {
            std::shared_lock read(s.cache.lock);
            auto it = s.cache.pools.find(pool);
            if (it == s.cache.pools.end()) Py_RETURN_NONE;
            members = it->second.serialized(require_ready);
            roster = it->second.roster;
            version = it->second.version;
        }
        return tuple_of({to_python(std::string_view(members.json)), to_python(members.fingerprint), to_python(roster),
                         to_python(version)});
    });
}

PyObject* m_field_digest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"field_digest", {"pool", "fields"}, 2};
        std::string_view pool;
        std::vector<std::string> fields;
        if (!parse(sig, args, nargs, kwnames, pool, fields)) return nullptr;
        Shared& s = shared_of(self);
        std::optional<std::uint64_t> digest;
        {
            std::shared_lock read(s.cache.lock);
            auto it = s.cache.pools.find(pool);
            if (it != s.cache.pools.end()) digest = it->second.field_digest(fields);
        }
        return to_python(digest);
    });
}

PyObject* m_pool_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"pool_info", {"pool"}, 1};
        std::string_view pool;
        if (!parse(sig, args, nargs, kwnames, pool)) return nullptr;
        Shared& s = shared_of(self);
        std::uint64_t version = 0, roster = 0;
        std::optional<std::uint64_t> size;
        std::vector<std::string> methods;
        {
            std::shared_lock read(s.cache.lock);
            auto it = s.cache.pools.find(pool);
            if (it == s.cache.pools.end()) Py_RETURN_NONE;
            version = it->second.version;
            roster = it->second.roster;
            size = it->second.size;
            methods = it->second.methods;
        }
        return tuple_of({to_python(version), to_python(roster), to_python(size), to_python(methods)});
    });
}

// --- the type ------------------------------------------------------------------

constexpr int kWithArguments = METH_FASTCALL | METH_KEYWORDS;

template <auto F>
PyCFunction with_arguments() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef client_methods[] = {
    {"start", with_arguments<m_start>(), kWithArguments, docs::doc_start},
    {"watch", with_arguments<m_watch>(), kWithArguments, docs::doc_watch},
    {"set_state", with_arguments<m_set_state>(), kWithArguments, docs::doc_set_state},
    {"set_state_only", with_arguments<m_set_state_only>(), kWithArguments, docs::doc_set_state_only},
    {"publish_versions", m_publish_versions, METH_NOARGS, docs::doc_publish_versions},
    {"registry", m_registry, METH_NOARGS, docs::doc_registry},
    {"is_ready", m_is_ready, METH_NOARGS, docs::doc_is_ready},
    {"add_wake_fd", with_arguments<m_add_wake_fd>(), kWithArguments, docs::doc_add_wake_fd},
    {"drop_wake_fd", with_arguments<m_drop_wake_fd>(), kWithArguments, docs::doc_drop_wake_fd},
    {"wake", m_wake, METH_NOARGS, docs::doc_wake},
    {"set_url", with_arguments<m_set_url>(), kWithArguments, docs::doc_set_url},
    {"lookup", with_arguments<m_lookup>(), kWithArguments, docs::doc_lookup},
    {"choose", with_arguments<m_choose>(), kWithArguments, docs::doc_choose},
    {"lookup_slot", with_arguments<m_lookup_slot>(), kWithArguments, docs::doc_lookup_slot},
    {"frozen", with_arguments<m_frozen>(), kWithArguments, docs::doc_frozen},
    {"field_digest", with_arguments<m_field_digest>(), kWithArguments, docs::doc_field_digest},
    {"pool_info", with_arguments<m_pool_info>(), kWithArguments, docs::doc_pool_info},
    {"cache_revision", m_cache_revision, METH_NOARGS, docs::doc_cache_revision},
    {"wait_revision", with_arguments<m_wait_revision>(), kWithArguments, docs::doc_wait_revision},
    {"leave", m_leave, METH_NOARGS, docs::doc_leave},
    {"abandon", m_abandon, METH_NOARGS, docs::doc_abandon},
    {"refused", m_refused, METH_NOARGS, docs::doc_refused},
    {"last_error", m_last_error, METH_NOARGS, docs::doc_last_error},
    {"stats", m_stats, METH_NOARGS, docs::doc_stats},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef client_properties[] = {
    {"silence_ms", get_silence_ms, nullptr, docs::doc_silence_ms, nullptr},
    {"accepted", get_accepted, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_doc, const_cast<char*>(docs::doc_client)},
    {Py_tp_methods, client_methods},
    {Py_tp_getset, client_properties},
    {0, nullptr},
};

// No BASETYPE (not subclassable), no GC (holds no Python references), no
// dict or weak reference slots.
// "_murlo.Client": the type's __module__ is "_murlo", its name and qualname
// "Client", so help() and pydoc find it.
PyType_Spec client_spec = {
    "_murlo.Client", static_cast<int>(sizeof(ClientObject)), 0, Py_TPFLAGS_DEFAULT, client_slots,
};

}  // namespace

PyObject* make_client_type() { return PyType_FromSpec(&client_spec); }

}  // namespace murlo::client::module
