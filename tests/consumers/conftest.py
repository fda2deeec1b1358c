"""The consumer suite's run: a 64-bit and a 32-bit prefix of this run's own,
each with every value's recorders planted and its services created, and the
consumers' record of each, taken once per prefix and shared by the cases."""

import os
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import harness  # noqa: E402

import consumers  # noqa: E402
from consumers import ICON_CASES, SERVICE_CASES, UNINSTALL_CASES  # noqa: E402


def shown(pytestconfig, text):
    """Past the capture, so that a slow host's minutes show where they went."""
    with pytestconfig.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
        print(text, flush=True)


@pytest.fixture(scope="session")
def rigs(pytestconfig):
    """{'64': Rig, '32': Rig}."""
    start = time.time()
    with harness.prefixes_of_run([("cons64", "win64"), ("cons32", "win32")]) as (p64, p32):
        shown(pytestconfig, "\nprefixes ready in %.0f s" % (time.time() - start))
        made = {"64": consumers.Rig(p64, SERVICE_CASES, UNINSTALL_CASES, ICON_CASES),
                "32": consumers.Rig(p32, SERVICE_CASES, UNINSTALL_CASES, ICON_CASES)}
        try:
            yield made
        finally:
            # Nothing more may start in a prefix that is being removed.
            for rig in made.values():
                rig.cancelled = True


@pytest.fixture(scope="session")
def observed(rigs, pytestconfig):
    """observed(arch): what the consumers did in that prefix, taken on first
    use; a failure there fails every case of the prefix with its reason."""
    done = {}

    def get(arch):
        if arch not in done:
            start = time.time()
            try:
                done[arch] = (rigs[arch].observe(), None)
            except Exception as e:
                done[arch] = (None, e)
            shown(pytestconfig, "\n%s-bit prefix: consumers observed in %.0f s (%s)" % (
                arch, time.time() - start,
                ", ".join("%s %.0f s" % kv for kv in rigs[arch].timings.items())))
        seen, error = done[arch]
        if error:
            raise RuntimeError("the %s-bit prefix's run failed: %r" % (arch, error)) from error
        return seen

    return get
