// The Client type: one object per member, a handle on the member's shared
// state. Methods convert their arguments, call the state's methods (which take
// its locks; the object adds none) and build Python results only after every
// lock is released.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "convert.hpp"
#include "docs.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "murlo/client/beat/endpoint.hpp"
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
    // What never changes of the beat's written length (beat::fixed_beat_bytes).
    std::size_t fixed_beat_bytes;
};

beat::Client& client_of(PyObject* self) { return reinterpret_cast<ClientObject*>(self)->client; }
Shared& shared_of(PyObject* self) { return *client_of(self).shared; }

// --- the beat's length ---------------------------------------------------------
// A setter counts the beat as it would be with its value in place and refuses
// one the registry's body limit would turn away: such a beat is answered 413
// and sent again on every beat. The setters hold the interpreter lock, so none
// changes the other parts meanwhile; the loop only reads them.

std::size_t url_bytes_now(const Shared& s) {
    return s.published.with_lock([](const beat::Published& p) { return beat::url_beat_bytes(p.url); });
}

std::size_t state_bytes_now(const Shared& s) {
    return s.published.with_lock([](const beat::Published& p) { return beat::state_bytes(p.state); });
}

// The watch list as `Shared::watch(names)` would leave it: the names not
// listed yet appended in order, once each, up to the list's limit.
std::size_t watch_bytes_after(const Shared& s, std::span<const std::string> names) {
    return s.watched.with_lock([&](const std::vector<std::string>& listed) {
        std::vector<std::string> appended;
        for (const auto& name : names) {
            const auto listed_already = [&](const std::vector<std::string>& list) {
                return std::find(list.begin(), list.end(), name) != list.end();
            };
            if (listed_already(listed) || listed_already(appended)) continue;
            if (listed.size() + appended.size() >= proto::max_watch) break;
            appended.push_back(name);
        }
        return beat::watch_beat_bytes(listed, appended);
    });
}

// False with RuntimeError set when a beat of these parts could pass the body limit.
bool beat_fits(PyObject* self, std::size_t url, std::size_t state, std::size_t watch) {
    const std::size_t bytes = reinterpret_cast<ClientObject*>(self)->fixed_beat_bytes + url + state + watch;
    if (auto e = beat::beat_over_limit(bytes)) {
        raise_runtime(*e);
        return false;
    }
    return true;
}

// What the publishing calls check first, changing nothing: in a forked child
// still holding the parent's runtime, and after leave, nothing they stored
// would ever be sent.
void refuse_unsent(PyObject* self) {
    client_of(self).refuse_inherited();
    client_of(self).refuse_left();
}

// The bounded beats of start and leave run with the interpreter lock released.
void release_interpreter(const std::function<void()>& work) {
    Released released;
    work();
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
        // An endpoint no beat can reach, and what the registry would refuse for
        // good, are refused here, before anything is built.
        if (auto e = beat::endpoint_refusal(endpoint)) return raise_value(*e);
        static const std::vector<std::string> no_methods;
        const std::vector<std::string>& listed = methods ? *methods : no_methods;
        if (auto e = beat::member_over_limit(pool, incarnation, url, listed)) return raise_runtime(*e);
        const std::size_t fixed = beat::fixed_beat_bytes(pool, slot, id, incarnation, policy, size, exclusive, listed);
        // A new client publishes its URL and the empty state, and watches nothing.
        const std::size_t first =
            fixed + beat::url_beat_bytes(url) + beat::state_bytes(beat::Published{}.state) + beat::watch_beat_bytes({});
        if (auto e = beat::beat_over_limit(first)) return raise_runtime(*e);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        reinterpret_cast<ClientObject*>(self)->fixed_beat_bytes = fixed;
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
        return to_python_bool(beat::start(client_of(self), budget_ms, release_interpreter));
    });
}

PyObject* m_leave(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        beat::leave(client_of(self), release_interpreter);
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

// Decodes and checks the state, then publishes it (and readiness, when given).
PyObject* publish_state(PyObject* self, std::string_view text, std::optional<bool> ready) {
    auto state = decode(text);
    if (!state) return nullptr;
    const std::size_t bytes = beat::state_bytes(*state);
    if (auto e = beat::state_over_limit(*state, bytes)) return raise_runtime(*e);
    Shared& s = shared_of(self);
    if (!beat_fits(self, url_bytes_now(s), bytes, watch_bytes_after(s, {}))) return nullptr;
    return to_python_bool(s.publish_state(std::move(*state), ready));
}

PyObject* m_set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"set_state", {"state_json", "ready"}, 2};
        std::string_view state_json;
        bool ready = false;
        if (!parse(sig, args, nargs, kwnames, state_json, ready)) return nullptr;
        refuse_unsent(self);
        return publish_state(self, state_json, ready);
    });
}

PyObject* m_set_state_only(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"set_state_only", {"state_json"}, 1};
        std::string_view state_json;
        if (!parse(sig, args, nargs, kwnames, state_json)) return nullptr;
        refuse_unsent(self);
        return publish_state(self, state_json, std::nullopt);
    });
}

PyObject* m_set_url(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"set_url", {"url"}, 0};
        std::optional<std::string_view> url;
        if (!parse(sig, args, nargs, kwnames, url)) return nullptr;
        refuse_unsent(self);
        if (url)
            if (auto e = beat::url_over_limit(*url)) return raise_runtime(*e);
        Shared& s = shared_of(self);
        if (!beat_fits(self, beat::url_beat_bytes(url), state_bytes_now(s), watch_bytes_after(s, {}))) return nullptr;
        s.publish_url(url);
        Py_RETURN_NONE;
    });
}

PyObject* m_is_ready(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return to_python_bool(shared_of(self).is_ready()); });
}

PyObject* m_publish_versions(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto [published, acked] = shared_of(self).publish_versions();
        return tuple_of({to_python(published), to_python(acked)});
    });
}

PyObject* m_watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"watch", {"pools"}, 1};
        std::vector<std::string> pools;
        if (!parse(sig, args, nargs, kwnames, pools)) return nullptr;
        refuse_unsent(self);
        // Checked before anything is appended: such a call changes nothing.
        if (auto e = beat::watch_over_limit(pools)) return raise_runtime(*e);
        Shared& s = shared_of(self);
        if (!beat_fits(self, url_bytes_now(s), state_bytes_now(s), watch_bytes_after(s, pools))) return nullptr;
        if (auto refusal = s.watch(pools)) return raise_runtime(*refusal);
        Py_RETURN_NONE;
    });
}

// --- the bell and waiting ------------------------------------------------------

bool is_eventfd(int fd) {
    char link[64];
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(path.c_str(), link, sizeof link);
    return n > 0 && std::string_view(link, static_cast<std::size_t>(n)) == "anon_inode:[eventfd]";
}

PyObject* m_add_wake_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"add_wake_fd", {"fd"}, 1};
        std::int32_t fd = 0;
        if (!parse(sig, args, nargs, kwnames, fd)) return nullptr;
        // A number not open now would have the bell write into whatever file
        // is later opened under it; a negative one is no descriptor at all;
        // one open only for reading (a pipe's read end) never takes the byte,
        // so whoever waits on it is never woken.
        const std::string named = "wake descriptor " + std::to_string(fd);
        if (fd < 0) return raise_runtime(named + " is negative");
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags == -1) return raise_runtime(named + " is not open");
        if ((flags & O_ACCMODE) == O_RDONLY) return raise_runtime(named + " is not open for writing");
        // An eventfd takes 8-byte writes only: the bell's one byte never lands.
        if (is_eventfd(fd)) return raise_runtime(named + " is an eventfd, which takes no 1-byte write");
        shared_of(self).add_wake_fd(fd);
        Py_RETURN_NONE;
    });
}

PyObject* m_drop_wake_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"drop_wake_fd", {"fd"}, 1};
        std::int32_t fd = 0;
        if (!parse(sig, args, nargs, kwnames, fd)) return nullptr;
        shared_of(self).drop_wake_fd(fd);
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
    return guarded([&]() -> PyObject* { return to_python(shared_of(self).cache_revision()); });
}

PyObject* m_wait_revision(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"wait_revision", {"since", "timeout_ms"}, 2};
        std::uint64_t since = 0, timeout_ms = 0;
        if (!parse(sig, args, nargs, kwnames, since, timeout_ms)) return nullptr;
        const std::shared_ptr<Shared> shared = client_of(self).shared;
        std::uint64_t revision = 0;
        {
            // The revision's lock is gone before the interpreter lock comes back.
            Released released;
            revision = shared->wait_revision(since, timeout_ms);
        }
        return to_python(revision);
    });
}

// --- status --------------------------------------------------------------------

PyObject* m_refused(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::string text = shared_of(self).refused.with_lock([](const std::string& t) { return t; });
        return to_python(std::string_view(text));
    });
}

PyObject* m_last_error(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::string text = shared_of(self).last_error.with_lock([](const std::string& t) { return t; });
        return to_python(std::string_view(text));
    });
}

PyObject* m_registry(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared& s = shared_of(self);
        const std::uint64_t protocol = s.registry_protocol.load();
        const std::string version = s.registry_version.with_lock([](const std::string& t) { return t; });
        return tuple_of({to_python(protocol), to_python(std::string_view(version))});
    });
}

PyObject* m_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const beat::Stats st = shared_of(self).stats();
        const std::pair<const char*, std::uint64_t> values[] = {
            {"beats_ok", st.beats_ok},
            {"beats_failed", st.beats_failed},
            {"interval_ms", st.interval_ms},
            {"coalesce_ms", st.coalesce_ms},
            {"effective_coalesce_ms", st.effective_coalesce_ms},
            {"silence_ms", st.silence_ms},
            {"short_polls", st.short_polls},
            {"watch_wakeups", st.watch_wakeups},
            {"state_bytes", st.state_bytes},
            {"pool_revision", st.pool_revision},
            {"watched_pools", st.watched_pools},
        };
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
    return guarded([&]() -> PyObject* { return to_python(shared_of(self).silence_ms()); });
}

PyObject* get_accepted(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return to_python_bool(shared_of(self).accepted.load()); });
}

// --- cache queries -------------------------------------------------------------
// Each converts, decodes its filter, then reads through `with_pool` under the
// cache's read lock, building every text and number there; Python objects come
// after the unlock.

PyObject* m_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"lookup", {"pool", "filter_json", "require_ready"}, 1};
        std::string_view pool, filter_json = "{}";
        bool require_ready = false;
        if (!parse(sig, args, nargs, kwnames, pool, filter_json, require_ready)) return nullptr;
        const auto filter = decode(filter_json);
        if (!filter) return nullptr;
        const std::string json =
            shared_of(self)
                .with_pool(pool,
                           [&](const beat::CachedPool& cached) {
                               if (!beat::restricts(*filter)) return std::move(cached.serialized(require_ready).json);
                               const auto kept = beat::matching_members(cached, cached.ids(require_ready), *filter);
                               std::string out;
                               out.reserve(128);
                               proto::write_members(out, kept);
                               return out;
                           })
                .value_or("[]");
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
        // The member is written while the read lock still holds it.
        const auto json = client.shared->with_pool(pool, [&](const beat::CachedPool& cached) {
            const proto::Member* chosen = client.choose(cached, *filter, require_ready);
            return chosen ? std::optional<std::string>(proto::write_member(*chosen)) : std::nullopt;
        });
        static const std::optional<std::string> none;
        return to_python(json ? *json : none);  // no copy of the text
    });
}

PyObject* m_lookup_slot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"lookup_slot", {"pool", "slot", "require_ready"}, 2};
        std::string_view pool;
        std::uint64_t slot = 0;
        bool require_ready = false;
        if (!parse(sig, args, nargs, kwnames, pool, slot, require_ready)) return nullptr;
        const auto json = shared_of(self).with_pool(pool, [&](const beat::CachedPool& cached) {
            const proto::Member* holder = cached.slot(slot, require_ready);
            return holder ? std::optional<std::string>(proto::write_member(*holder)) : std::nullopt;
        });
        static const std::optional<std::string> none;
        return to_python(json ? *json : none);  // no copy of the text
    });
}

PyObject* m_frozen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"frozen", {"pool", "require_ready"}, 1};
        std::string_view pool;
        bool require_ready = true;
        if (!parse(sig, args, nargs, kwnames, pool, require_ready)) return nullptr;
        struct Frozen {
            beat::SerializedMembers members;
            std::uint64_t roster, version;
        };
        // All four under one read lock, so they come from one applied state.
        const auto frozen = shared_of(self).with_pool(pool, [&](const beat::CachedPool& cached) {
            return Frozen{cached.serialized(require_ready), cached.roster, cached.version};
        });
        if (!frozen) Py_RETURN_NONE;
        return tuple_of({to_python(std::string_view(frozen->members.json)), to_python(frozen->members.fingerprint),
                         to_python(frozen->roster), to_python(frozen->version)});
    });
}

PyObject* m_field_digest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"field_digest", {"pool", "fields"}, 2};
        std::string_view pool;
        std::vector<std::string> fields;
        if (!parse(sig, args, nargs, kwnames, pool, fields)) return nullptr;
        const auto digest = shared_of(self).with_pool(
            pool, [&](const beat::CachedPool& cached) { return cached.field_digest(fields); });
        return to_python(digest);
    });
}

PyObject* m_pool_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"pool_info", {"pool"}, 1};
        std::string_view pool;
        if (!parse(sig, args, nargs, kwnames, pool)) return nullptr;
        struct Info {
            std::uint64_t version, roster;
            std::optional<std::uint64_t> size;
            std::vector<std::string> methods;
        };
        const auto info = shared_of(self).with_pool(pool, [](const beat::CachedPool& cached) {
            return Info{cached.version, cached.roster, cached.size, cached.methods};
        });
        if (!info) Py_RETURN_NONE;
        return tuple_of(
            {to_python(info->version), to_python(info->roster), to_python(info->size), to_python(info->methods)});
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

// "_murlo.Client": the type's __module__ is "_murlo", its name and qualname
// "Client", so help() and pydoc find it. No BASETYPE (not subclassable), no GC
// (holds no Python references), no dict or weak reference slots.
PyType_Spec client_spec = {
    "_murlo.Client", static_cast<int>(sizeof(ClientObject)), 0, Py_TPFLAGS_DEFAULT, client_slots,
};

}  // namespace

PyObject* make_client_type() { return PyType_FromSpec(&client_spec); }

}  // namespace murlo::client::module
