"""The registry under test: serve_registry in a process of its own, so the
soak can kill it and start it again on the same port.

    registry.py LISTEN TTL_MS

Prints the bound address (the module's own announce line); when the registry
cannot start it prints {"error": TEXT} instead and exits 2."""

import sys

import child

child.die_with_parent()
murlo = child.load_module()
try:
    murlo.serve_registry(sys.argv[1], int(sys.argv[2]))
except RuntimeError as e:
    child.say({"error": str(e)})
    sys.exit(2)
