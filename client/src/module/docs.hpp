#pragma once
// The documentation of the Client methods and of serve_registry. Each method's
// text opens with its text signature and "--" so that the interpreter reports
// the signature (inspect.signature) and the text after it as the docstring.

namespace murlo::client::module::docs {

inline constexpr char doc_client[] =
    "Client(endpoint, pool, id, incarnation, policy, slot=None, size=None, url=None, methods=None, "
    "exclusive=False, coalesce_ms=50)\n"
    "--\n"
    "\n";
inline constexpr char doc_start[] =
    "start($self, budget_ms=5000)\n"
    "--\n"
    "\n"
    "Block for one beat, so that the caller is registered when this returns,\n"
    "then hand the beat loop over to the runtime's threads.";
inline constexpr char doc_watch[] =
    "watch($self, pools)\n"
    "--\n"
    "\n";
inline constexpr char doc_set_state[] =
    "set_state($self, state_json, ready)\n"
    "--\n"
    "\n"
    "Returns false when the pair was already exactly this, in which case\n"
    "nothing is nudged: republishing an unchanged state used to cancel the\n"
    "held beat and spend a request to tell the registry what it already had,\n"
    "and the registry would not even raise the pool's version for it.";
inline constexpr char doc_set_state_only[] =
    "set_state_only($self, state_json)\n"
    "--\n"
    "\n"
    "Publish `state` without touching readiness.\n"
    "\n"
    "`ready()` and `set_ready()` assert both at once, which is right for the\n"
    "component that owns readiness and wrong for every other one: a progress\n"
    "report had no way to avoid also declaring the member ready, so it would\n"
    "silently lift a pause somebody else had just applied.";
inline constexpr char doc_publish_versions[] =
    "publish_versions($self)\n"
    "--\n"
    "\n"
    "The version last published locally, and the newest one the registry has\n"
    "acked. flush() waits for the second to reach the first.\n"
    "\n"
    "A count of beats cannot do this. It has to assume the beat in flight\n"
    "was composed before the change and wait for the one after it, which\n"
    "costs a whole long-poll hold that the publish already interrupted:\n"
    "measured at a 2s lease, flush() took 645ms where the ack proving the\n"
    "registry had the state had arrived in one round trip.";
inline constexpr char doc_registry[] =
    "registry($self)\n"
    "--\n"
    "\n"
    "What the registry said it can do, and which version said it: the\n"
    "protocol number to branch on, the version string to put in a message.";
inline constexpr char doc_is_ready[] =
    "is_ready($self)\n"
    "--\n"
    "\n";
inline constexpr char doc_add_wake_fd[] =
    "add_wake_fd($self, fd)\n"
    "--\n"
    "\n"
    "Have the bell also write a byte to `fd`, so an event loop can wait on\n"
    "the fd rather than parking a thread.";
inline constexpr char doc_drop_wake_fd[] =
    "drop_wake_fd($self, fd)\n"
    "--\n"
    "\n"
    "Stop writing to `fd`. Must happen before Python closes it, or the bell\n"
    "would write into whatever the number is reused for.";
inline constexpr char doc_wake[] =
    "wake($self)\n"
    "--\n"
    "\n"
    "Ring the bell without anything having changed, so every waiter gets a\n"
    "chance to notice it has been asked to stop.";
inline constexpr char doc_set_url[] =
    "set_url($self, url=None)\n"
    "--\n"
    "\n";
inline constexpr char doc_lookup[] =
    "lookup($self, pool, filter_json=\"{}\", require_ready=False)\n"
    "--\n"
    "\n"
    "Members of `pool` matching `filter_json`, as a JSON list.";
inline constexpr char doc_choose[] =
    "choose($self, pool, filter_json=\"{}\", require_ready=True)\n"
    "--\n"
    "\n"
    "Only the selected member crosses the Python boundary.";
inline constexpr char doc_lookup_slot[] =
    "lookup_slot($self, pool, slot, require_ready=False)\n"
    "--\n"
    "\n";
inline constexpr char doc_frozen[] =
    "frozen($self, pool, require_ready=True)\n"
    "--\n"
    "\n"
    "The members of `pool` matching `require_ready`, the fingerprint they\n"
    "add up to, the fingerprint the registry holds for the whole pool, and\n"
    "the pool's version -- all read under one lock.\n"
    "\n"
    "epoch() has to compare the last two, and taking them through separate\n"
    "calls let the beat loop land in between, so the list could come from\n"
    "one set of occupants and the fingerprint from another. Computing the\n"
    "members' own fingerprint here rather than in Python also keeps one\n"
    "implementation of the hash: a second one would drift silently.";
inline constexpr char doc_field_digest[] =
    "field_digest($self, pool, fields)\n"
    "--\n"
    "\n"
    "A hash over only the named fields of every member, plus who is present.\n"
    "\n"
    "A watcher that cares about two keys should not pay for a whole snapshot\n"
    "every time somebody bumps a third. Comparing in Python cannot help: the\n"
    "predicate needs a `Snapshot` to look at, and by then the work is done --\n"
    "measured at 5,000 members, `snapshot()` is 8.78ms against 0.40ms here,\n"
    "so the comparison has to happen against the cache, before anything is\n"
    "serialised.\n"
    "\n"
    "`ready` and `url` name those parts of a member; anything else is looked\n"
    "up in its published state. Identity is always part of the hash: a seat\n"
    "changing hands matters even when the new tenure publishes exactly what\n"
    "the old one did.\n"
    "\n"
    "Every member is hashed, ready or not. There used to be a require_ready\n"
    "argument here, and both call sites always passed false -- readiness is\n"
    "asked for by name, as `fields=[\"ready\"]`, which is the same question\n"
    "without a second way to spell it.";
inline constexpr char doc_pool_info[] =
    "pool_info($self, pool)\n"
    "--\n"
    "\n"
    "Version and roster fingerprint of a cached pool, or None if unseen.";
inline constexpr char doc_cache_revision[] =
    "cache_revision($self)\n"
    "--\n"
    "\n"
    "The local cache's revision. It moves once per beat, after the ack has\n"
    "been applied.";
inline constexpr char doc_wait_revision[] =
    "wait_revision($self, since, timeout_ms)\n"
    "--\n"
    "\n"
    "Block until the cache has moved past `since`, or `timeout_ms` elapses,\n"
    "and return the revision now current.\n"
    "\n"
    "This is what every wait in the Python layer stands on. They were sleep\n"
    "loops over the local cache -- the tightest turning 500 times a second\n"
    "per pool -- which spent CPU to find out nothing had happened and still\n"
    "added up to half a tick of latency when something had.";
inline constexpr char doc_leave[] =
    "leave($self)\n"
    "--\n"
    "\n";
inline constexpr char doc_abandon[] =
    "abandon($self)\n"
    "--\n"
    "\n"
    "Let go of the runtime without shutting it down. Only a forked child\n"
    "should call this.\n"
    "\n"
    "fork() keeps just the calling thread, so the runtime's workers do not\n"
    "exist in the child -- but the inherited handle does, and dropping it at\n"
    "interpreter shutdown waits for threads that will never answer.\n"
    "Measured: the child hangs forever with no Python frame to show why, in\n"
    "native code, and the parent's waitpid hangs with it. Leaking the handle\n"
    "is the right trade here: it points into a copy-on-write image that is\n"
    "about to be discarded, and there is nothing left alive to shut down.";
inline constexpr char doc_refused[] =
    "refused($self)\n"
    "--\n"
    "\n"
    "Why the registry refused this member, if it was about the pool's shape.";
inline constexpr char doc_last_error[] =
    "last_error($self)\n"
    "--\n"
    "\n"
    "Why the last beat failed, or an empty string if none has.";
inline constexpr char doc_stats[] =
    "stats($self)\n"
    "--\n"
    "\n";
inline constexpr char doc_silence_ms[] =
    "Milliseconds since the last successful beat; the registry is\n"
    "unreachable when this exceeds the lease.";
inline constexpr char doc_serve_registry[] =
    "serve_registry(listen, ttl_ms)\n"
    "--\n"
    "\n"
    "Run the registry in this process. Shipping it inside the extension module\n"
    "means `pip install murlo` gives you the server too, with no second\n"
    "artifact to build, version or distribute.";

}  // namespace murlo::client::module::docs
