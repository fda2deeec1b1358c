#!/usr/bin/env bash
# velquist-check.exe under Wine, in fresh 64-bit and 32-bit prefixes: passes
# against velquist.exe, fails against deliberately broken builds, and leaves
# the values it found exactly as they were, also when it is killed.
# Expects `make test SUITES=check` to have built build/windows (the kit, the
# two broken builds). Extra arguments go to main.py.
set -euo pipefail
cd "$(dirname "$0")/../.."
# Stops at once, saying why, where Wine's 32-bit programs cannot start.
bash scripts/setup.sh --i386 || { echo "0 passed, 1 failed"; exit 1; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" PYTHONDONTWRITEBYTECODE=1
exec xvfb-run -a -s "-screen 0 1024x768x24" python3 tests/check/main.py "$@"
