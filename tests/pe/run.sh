#!/usr/bin/env bash
# Checks the packaging of build/windows/velquist.exe by reading the file:
# header, imports, manifest, version block, icon and string tables.
set -uo pipefail
cd "$(dirname "$0")/../.."

exe=build/windows/velquist.exe
if [ ! -f "$exe" ]; then
    echo "no $exe: run 'make exe' first"
    echo "0 passed, 1 failed"
    exit 1
fi
python3 tests/pe/check_exe.py "$exe"
