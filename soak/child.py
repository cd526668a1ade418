"""What every soak child process does first: die with the soak (so a killed
soak leaves no strays), find the built module, and talk to the soak in JSON
lines on its standard input and output."""

import ctypes
import json
import os
import signal
import sys

PR_SET_PDEATHSIG = 1


def die_with_parent():
    # The soak spawns every child from its main thread, so the signal follows
    # the soak process itself. A parent that died before the call is caught by
    # the getppid check.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != int(os.environ.get("SOAK_PARENT", os.getppid())):
        os._exit(1)


def load_module():
    build = os.environ["MURLO_BUILD"]
    sys.path.insert(0, os.path.join(build, "client"))
    import _murlo

    return _murlo


def say(obj):
    sys.stdout.write(json.dumps(obj, separators=(",", ":")) + "\n")
    sys.stdout.flush()


def commands():
    """The soak's commands, one JSON object per line, until it closes our input."""
    for line in sys.stdin:
        line = line.strip()
        if line:
            yield json.loads(line)
