"""The Wine suite's run: a 64-bit and a 32-bit prefix of this run's own,
each with its own server, built once for the whole session and ended (every
Wine program, then the servers, then the run's folder) on every path."""

import time

import pytest

import harness


def pytest_addoption(parser):
    parser.addoption("--reuse", action="store_true",
                     help="keep prefixes from an earlier run (quicker while developing)")


@pytest.fixture(scope="session")
def prefixes(pytestconfig):
    """{'64': Prefix, '32': Prefix}, ready for the tests."""
    start = time.time()
    with harness.prefixes_of_run([("win64", "win64"), ("win32", "win32")],
                                 reuse=pytestconfig.getoption("--reuse")) as (p64, p32):
        # Past the capture, so that a slow host's minutes show where they went.
        with pytestconfig.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
            print("\nprefixes ready in %.0f s" % (time.time() - start), flush=True)
        yield {"64": p64, "32": p32}


@pytest.fixture
def p64(prefixes):
    return prefixes["64"]


@pytest.fixture
def p32(prefixes):
    return prefixes["32"]
