#!/usr/bin/env bash
# Windows' own consumers of the three values under Wine, before and after
# the real velquist.exe repairs them: the service manager, the uninstaller and
# the shell's icon lookup, with a recorder planted wherever Windows looks for
# a program. Fresh 64-bit and 32-bit prefixes.
# Expects `make test SUITES=consumers` to have built build/windows. Extra
# arguments go to pytest (-k PATTERN); VQ_EXE runs it against another build.
set -euo pipefail
cd "$(dirname "$0")/../.."
# Stops at once, saying why, where Wine's 32-bit programs cannot start.
bash scripts/setup.sh --i386 || { echo "0 passed, 1 failed"; exit 1; }
build=build/windows
for f in "${VQ_EXE:-$build/velquist.exe}" $build/tests/wine/vqdriver.exe $build/tests/consumers/recorder.exe \
        $build/tests/consumers/iconprobe.exe $build/tests/check/velquist-firstexe.exe; do
    [ -f "$f" ] || { echo "missing $f: run 'make test SUITES=consumers' first"; echo "0 passed, 1 failed"; exit 1; }
done
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" PYTHONDONTWRITEBYTECODE=1
# Message boxes (the uninstaller's, when a start fails) need a display: a
# private one. xvfb-run ends its X server and removes its folder only when it
# exits by itself: it ignores the signals that end a run, which pytest takes
# back (tests/conftest.py), so that it outlives the suite's own clean-up.
trap '' INT HUP TERM
exec xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 -m pytest tests/consumers "$@"
