#!/usr/bin/env python3
"""Pulls the checked examples out of README.md for tests/readme/run.sh.

Each example follows a line `<!-- checked: NAME -->` and is either a fenced
code block or a Markdown table.

    readme.py README block NAME      the code block's text
    readme.py README commands NAME   a transcript's commands (lines after `C:\\>`)
    readme.py README output NAME     a transcript's output lines, blank lines left out
    readme.py README seed NAME       a `reg query` transcript as values to create:
                                     VIEW<TAB>KEY<TAB>NAME<TAB>TYPE<TAB>DATA
                                     (VIEW: /reg:32, /reg:64, or - for the default)
    readme.py README table NAME      the table's body rows, cells joined by TAB
"""

import re
import sys

PROMPT = "C:\\>"


def section(lines, name):
    marker = f"<!-- checked: {name} -->"
    for i, line in enumerate(lines):
        if line.strip() == marker:
            return lines[i + 1:]
    sys.exit(f"readme.py: no '{marker}' in the README")


def block(lines, name):
    rest = section(lines, name)
    if not rest or not rest[0].startswith("```"):
        sys.exit(f"readme.py: '{name}' is not followed by a code block")
    body = []
    for line in rest[1:]:
        if line.startswith("```"):
            return body
        body.append(line)
    sys.exit(f"readme.py: code block '{name}' is not closed")


def table(lines, name):
    rows = []
    for line in section(lines, name):
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip().strip("|").split("|")])
    if len(rows) < 3:
        sys.exit(f"readme.py: table '{name}' has no rows")
    return rows[2:]  # past the header and its underline


def seed(lines):
    view, key = "", None
    for line in lines:
        if line.startswith(PROMPT):
            view = "/reg:64" if "/reg:64" in line else "/reg:32" if "/reg:32" in line else "-"
        elif line.startswith("HKEY_LOCAL_MACHINE\\"):
            key = "HKLM" + line[len("HKEY_LOCAL_MACHINE"):]
        elif line.startswith("    ") and line.strip():
            # `reg query` prints four blanks before and between name, type and data.
            m = re.fullmatch(r"    (\S.*?)    (REG_[A-Z_]+)    (.*)", line)
            if not m or key is None:
                sys.exit(f"readme.py: cannot read value line {line!r}")
            yield "\t".join([view, key, m.group(1), m.group(2), m.group(3)])


def main():
    path, what, name = sys.argv[1:4]
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if what == "table":
        out = ["\t".join(row) for row in table(lines, name)]
    else:
        body = block(lines, name)
        if what == "block":
            out = body
        elif what == "commands":
            out = [l[len(PROMPT):] for l in body if l.startswith(PROMPT)]
        elif what == "output":
            out = [l.rstrip() for l in body if l.strip() and not l.startswith(PROMPT)]
        elif what == "seed":
            out = list(seed(body))
        else:
            sys.exit(f"readme.py: unknown request {what}")
    for line in out:
        print(line)


if __name__ == "__main__":
    main()
