#!/usr/bin/env bash
# velquist-check.exe under Wine, in fresh 64-bit and 32-bit prefixes: passes
# against velquist.exe, fails against deliberately broken builds, and leaves
# the values it found exactly as they were, also when it is killed.
# Expects `make test SUITES=check` to have built build/windows (the kit, the
# two broken builds, the driver). Extra arguments go to pytest (-k PATTERN);
# VQ_EXE and VQ_KIT run it against other builds.
set -euo pipefail
cd "$(dirname "$0")/../.."
# Stops at once, saying why, where Wine's 32-bit programs cannot start.
bash scripts/setup.sh --i386 || { echo "0 passed, 1 failed"; exit 1; }
build=build/windows
for f in "${VQ_KIT:-$build/velquist-check.exe}" "${VQ_EXE:-$build/velquist.exe}" \
        $build/tests/check/velquist-nolock.exe $build/tests/check/velquist-firstexe.exe $build/tests/check/svcprobe.exe \
        $build/tests/wine/vqdriver.exe; do
    [ -f "$f" ] || { echo "missing $f: run 'make test SUITES=check' first"; echo "0 passed, 1 failed"; exit 1; }
done
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" PYTHONDONTWRITEBYTECODE=1
# xvfb-run ends its X server and removes its folder only when it exits by
# itself: it ignores the signals that end a run, which pytest takes back
# (tests/conftest.py), so that it outlives the suite's own clean-up.
trap '' INT HUP TERM
exec xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 -m pytest tests/check "$@"
