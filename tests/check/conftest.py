"""The kit suite's run: a 64-bit and a 32-bit prefix of this run's own (the
Wine suite or a second run in this checkout may be using others at the same
time), built once and ended and removed on every path."""

import os
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import harness  # noqa: E402


@pytest.fixture(scope="session")
def prefixes(pytestconfig):
    """{'64': Prefix, '32': Prefix}, ready for the checks."""
    start = time.time()
    with harness.prefixes_of_run([("check64", "win64"), ("check32", "win32")]) as (p64, p32):
        # `wineboot -i` on a new prefix leaves two service managers running,
        # each with a database of its own, and a service made through one is
        # unknown to the other; Windows has one. A new server starts one.
        for prefix in (p64, p32):
            prefix.kill_all()
        with pytestconfig.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
            print("\nprefixes ready in %.0f s" % (time.time() - start), flush=True)
        yield {"64": p64, "32": p32}
