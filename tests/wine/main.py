"""Runs the Wine suite: builds fresh prefixes, runs every test_*.py, prints
"N passed, M failed" and exits non-zero on any failure.

  python3 tests/wine/main.py [-k PATTERN] [-v]

Each subtest counts as one case; a test without subtests counts as one.
"""

import argparse
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


class CountingResult(unittest.TextTestResult):
    current = None   # the run's result, read also when the run is cut short

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = self.failed = 0
        self.with_subtests = set()
        CountingResult.current = self

    def startTest(self, test):
        self.started = time.time()
        super().startTest(test)

    def stopTest(self, test):
        super().stopTest(test)
        if self.showAll:
            self.stream.writeln('    %.1f s' % (time.time() - self.started))

    def addSubTest(self, test, subtest, outcome):
        super().addSubTest(test, subtest, outcome)
        self.with_subtests.add(test.id())
        if outcome is None:
            self.passed += 1
        else:
            self.failed += 1

    def addSuccess(self, test):
        super().addSuccess(test)
        if test.id() not in self.with_subtests:
            self.passed += 1

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.failed += 1

    def addError(self, test, err):
        super().addError(test, err)
        self.failed += 1

    def addUnexpectedSuccess(self, test):
        super().addUnexpectedSuccess(test)
        self.failed += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('-k', dest='patterns', action='append', help='run only matching tests')
    parser.add_argument('-v', dest='verbosity', action='store_const', const=2, default=1)
    parser.add_argument('--reuse', action='store_true',
                        help='keep prefixes from an earlier run (quicker while developing)')
    args = parser.parse_args()

    for path in (harness.VELQUIST, harness.DRIVER):
        if not os.path.exists(path):
            print('missing %s: run `make exe` first' % path)
            print('0 passed, 1 failed')
            return 2

    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ['*%s*' % p for p in args.patterns]
    suite = loader.discover(os.path.dirname(os.path.abspath(__file__)), pattern='test_*.py')

    harness.interrupt_on_signals()

    start = time.time()
    if args.reuse:
        base, lock = os.path.join(harness.PREFIXES, 'reuse'), None
    else:
        # Prefixes of this run's own: a second run in this checkout must not
        # pull them away mid-run. Removed at the end.
        base, lock = harness.run_dir()
    prefixes = [harness.Prefix('win64', 'win64', base), harness.Prefix('win32', 'win32', base)]

    def body():
        harness.make_ready(prefixes, reuse=args.reuse)
        harness.P64, harness.P32 = prefixes
        print('prefixes ready in %.0f s' % (time.time() - start), flush=True)
        runner = unittest.TextTestRunner(verbosity=args.verbosity, resultclass=CountingResult,
                                         stream=sys.stdout)
        runner.run(suite)

    cut_short = harness.run_guarded(prefixes, base, lock, body)
    result = CountingResult.current
    passed, failed = (result.passed, result.failed) if result else (0, 0)
    failed = harness.closing_line(passed, failed, cut_short)
    return 0 if failed == 0 and result and result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main())
