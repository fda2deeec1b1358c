#!/usr/bin/env bash
# make release end to end: reproducible bytes in other folders, SHA256SUMS,
# Authenticode signatures made with a throwaway CA, and each bad input's error.
# Expects `make test SUITES=release`, which builds the packaging probe and the
# Wine helper it uses. Extra arguments go to pytest (-k PATTERN, --keep).
set -uo pipefail
cd "$(dirname "$0")/../.."
export PYTHONDONTWRITEBYTECODE=1
# pefile comes from Debian, so Debian's interpreter, whatever python3 PATH finds.
exec /usr/bin/python3 -m pytest tests/release "$@"
