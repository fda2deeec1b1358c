#!/usr/bin/env bash
# Checks the packaging of build/windows/velquist.exe: reads the file (header,
# imports, manifest, version block, icon, string tables), then has Windows
# read it too, under Wine, through resprobe.exe.
set -uo pipefail
cd "$(dirname "$0")/../.."

# Stops at once, saying why, where Wine's 32-bit programs cannot start.
bash scripts/setup.sh --i386 || { echo "0 passed, 1 failed"; exit 1; }
exe=build/windows/velquist.exe
probe=build/windows/tests/pe/resprobe.exe
for f in "$exe" "$probe"; do
    if [ ! -f "$f" ]; then
        echo "no $f: run 'make test SUITES=pe' first (it builds both)"
        echo "0 passed, 1 failed"
        exit 1
    fi
done
export PYTHONDONTWRITEBYTECODE=1
# pefile comes from Debian, so Debian's interpreter, whatever python3 PATH finds.
# Extra arguments go to pytest (-k PATTERN, -m "not mutation", --exe FILE).
exec /usr/bin/python3 -m pytest tests/pe --exe "$exe" --probe "$probe" "$@"
