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
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = self.failed = 0
        self.with_subtests = set()

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
            return 2

    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ['*%s*' % p for p in args.patterns]
    suite = loader.discover(os.path.dirname(os.path.abspath(__file__)), pattern='test_*.py')

    start = time.time()
    prefixes = [harness.Prefix('win64', 'win64'), harness.Prefix('win32', 'win32')]
    try:
        builds = [p.create(reuse=args.reuse) for p in prefixes]
        for prefix, build in zip(prefixes, builds):
            if build and build.wait() != 0:
                print('wineboot failed for %s' % prefix.path)
                return 2
            prefix.finish()
        harness.P64, harness.P32 = prefixes
        print('prefixes ready in %.0f s' % (time.time() - start), flush=True)
        runner = unittest.TextTestRunner(verbosity=args.verbosity, resultclass=CountingResult,
                                         stream=sys.stdout)
        result = runner.run(suite)
    finally:
        for prefix in prefixes:
            prefix.stop()
    print('%d passed, %d failed' % (result.passed, result.failed))
    return 0 if result.failed == 0 and result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main())
