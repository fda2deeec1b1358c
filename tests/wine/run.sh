#!/usr/bin/env bash
# The real velquist.exe under Wine: fresh 64-bit and 32-bit prefixes, exact
# command lines, message boxes read and answered by tests/wine/vqdriver.exe.
# Expects `make test SUITES=wine` to have built velquist.exe and vqdriver.exe.
# Extra arguments go to pytest (-k PATTERN, --reuse); VQ_EXE runs the suite
# against another build.
set -euo pipefail
cd "$(dirname "$0")/../.."
# Stops at once, saying why, where Wine's 32-bit programs cannot start.
bash scripts/setup.sh --i386 || { echo "0 passed, 1 failed"; exit 1; }
for f in "${VQ_EXE:-build/windows/velquist.exe}" build/windows/tests/wine/vqdriver.exe; do
    [ -f "$f" ] || { echo "missing $f: run 'make test SUITES=wine' first"; echo "0 passed, 1 failed"; exit 1; }
done
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" PYTHONDONTWRITEBYTECODE=1
# Message boxes need a display; always a private one, so that CI (no display)
# and a developer's desktop behave alike. xvfb-run ends its X server and
# removes its folder only when it exits by itself: it must outlive the suite's
# own clean-up after Ctrl-C, `timeout` or a closed terminal, so it ignores
# them (pytest takes them back: tests/conftest.py).
trap '' INT HUP TERM
exec xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 -m pytest tests/wine "$@"
