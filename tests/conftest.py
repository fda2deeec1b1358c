"""What every Python suite shares: the facts and the oracle the tests expect
by (tests/oracle), the plain closing line that CI and scripts/test.sh read,
and signals that end a run the way Ctrl-C does."""

import os
import signal
import sys

import pytest

# facts and oracle, for every suite's modules: loaded before any of them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "oracle"))

# One outcome per case (node id): "passed", "failed" or "skipped".
_outcomes = {}
_cut_short = []


_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def _interrupt(signum, frame):
    # A second signal must not cut the clean-up short: the fixtures' clean-up
    # ends the run's Wine servers and programs and removes its folders.
    for s in _SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    _cut_short.append("interrupted (%s)" % signal.Signals(signum).name)
    raise KeyboardInterrupt(signal.Signals(signum).name)


def pytest_configure(config):
    # `timeout` and a closed terminal end a run like Ctrl-C, so that the
    # fixtures' clean-up still runs and the closing line is printed.
    for s in _SIGNALS:
        signal.signal(s, _interrupt)


def pytest_collectreport(report):
    # A module that does not even load is a failed case, not a missing one.
    if report.failed:
        _outcomes[report.nodeid or "collection"] = "failed"


def pytest_runtest_logreport(report):
    # A failure in any phase (set-up, call, clean-up) fails the case; a skip
    # in set-up skips it.
    if report.failed:
        _outcomes[report.nodeid] = "failed"
    elif report.skipped and _outcomes.get(report.nodeid) != "failed":
        _outcomes[report.nodeid] = "skipped"
    elif report.when == "call" and report.passed:
        _outcomes.setdefault(report.nodeid, "passed")


def pytest_sessionfinish(session, exitstatus):
    # Ctrl-C, a signal, pytest.exit() or an internal error: the run did not
    # get to the end of what it was asked to run.
    if exitstatus not in (pytest.ExitCode.OK, pytest.ExitCode.TESTS_FAILED, pytest.ExitCode.NO_TESTS_COLLECTED) \
            and not _cut_short:
        _cut_short.append(getattr(exitstatus, "name", str(exitstatus)).lower().replace("_", " "))


def pytest_unconfigure(config):
    """Prints the suite's last line; a run cut short counts as one more failure."""
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    for outcome in _outcomes.values():
        counts[outcome] += 1
    if _cut_short:
        print("the run was %s; it counts as one more failure" % _cut_short[0])
        counts["failed"] += 1
    line = "%(passed)d passed, %(failed)d failed" % counts
    if counts["skipped"]:
        line += ", %(skipped)d skipped" % counts
    print(line, flush=True)
