"""h2spec, the public HTTP/2 conformance suite, against a real registry: every
case, the SHOULDs included (--strict), must pass."""

import os
import subprocess
import xml.etree.ElementTree as ET

import pytest

from conftest import ROOT, sanitizer

H2SPEC = os.path.join(os.path.dirname(ROOT), "shared", "tools", "h2spec", "h2spec")


def test_h2spec_strict_passes_every_case(registry, tmp_path):
    if not os.path.exists(H2SPEC):
        pytest.skip("h2spec is not there: " + H2SPEC)
    if sanitizer() == "thread":
        # A conformance check, not a race check: under ThreadSanitizer a loaded
        # machine makes connections wait past h2spec's per-case timeout.
        pytest.skip("h2spec runs against the builds without ThreadSanitizer")
    report = tmp_path / "h2spec.xml"
    # -o is the per-case timeout in seconds (-t would mean TLS and find no case).
    out = subprocess.run([H2SPEC, "-h", registry.host, "-p", str(registry.port), "-P", "/health", "-o", "5",
                          "--strict", "-j", str(report)], capture_output=True, text=True, timeout=600)
    summary = out.stdout.strip().splitlines()[-1] if out.stdout.strip() else ""
    failed = []
    for case in ET.parse(report).getroot().iter("testcase"):
        for fault in list(case.iter("failure")) + list(case.iter("error")):
            failed.append("%s: %s\n      %s" % (case.get("package"), case.get("classname"),
                                               (fault.text or "").strip().replace("\n", "\n      ")))
    assert not failed and out.returncode == 0, "h2spec: %s\n  %s" % (summary, "\n  ".join(failed))
    assert " 0 failed" in summary and " 0 skipped" in summary, summary
