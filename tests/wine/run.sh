#!/usr/bin/env bash
# The real velquist.exe under Wine: fresh 64-bit and 32-bit prefixes, exact
# command lines, message boxes read and answered by tests/wine/vqdriver.exe.
# Expects `make test SUITES=wine` to have built velquist.exe and vqdriver.exe.
# Extra arguments go to main.py (-k PATTERN, -v, --reuse).
set -euo pipefail
cd "$(dirname "$0")/../.."
# Stops at once, saying why, where Wine's 32-bit programs cannot start.
bash scripts/setup.sh --i386 || { echo "0 passed, 1 failed"; exit 1; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" PYTHONDONTWRITEBYTECODE=1
# Message boxes need a display; always a private one, so that CI (no display)
# and a developer's desktop behave alike.
exec xvfb-run -a -s "-screen 0 1024x768x24" python3 tests/wine/main.py "$@"
