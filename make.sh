#!/usr/bin/env bash
# The README's entry point: `bash make.sh TARGET... [VAR=VALUE...]` is
# `make TARGET...` on a machine that may not have make yet. A bare Debian 12
# (bash and apt) has none, so the set-up that every target runs first has to
# come before make here; once make is there this adds nothing.
set -euo pipefail
cd "$(dirname "$0")"

if ! command -v make >/dev/null; then
    echo "make.sh: no make here yet: installing it with the rest of the set-up (scripts/setup.sh)"
    bash scripts/setup.sh
fi
exec make --no-print-directory "$@"
