#!/usr/bin/env bash
# Counts non-blank, non-comment lines of C, C++ and QML sources (.cpp .h .c .qml) tracked by git,
# in three groups: tests/, bench/ and the product (everything else), and prints tests as a share
# of the product. A line that holds only a // comment, or lies wholly inside a /* */ block, is a
# comment line; string literals are honoured so that "http://" does not start a comment.
set -euo pipefail
cd "$(dirname "$0")/.."
# With paths as arguments it also prints the count of the tracked sources under each of them.
git ls-files -- '*.cpp' '*.h' '*.c' '*.qml' | python3 -c '
import sys

def code_lines(text):
    count, in_block, in_string = 0, False, None
    for line in text.splitlines():
        has_code, i = False, 0
        while i < len(line):
            c, pair = line[i], line[i:i + 2]
            if in_block:
                if pair == "*/":
                    in_block, i = False, i + 2
                    continue
            elif in_string:
                has_code = True
                if c == "\\":
                    i += 1
                elif c == in_string:
                    in_string = None
            elif pair == "//":
                break
            elif pair == "/*":
                in_block, i = True, i + 2
                continue
            elif c in "\"\x27":
                in_string, has_code = c, True
            elif not c.isspace():
                has_code = True
            i += 1
        in_string = None  # no literal spans lines here (raw strings are counted as code lines)
        count += has_code
    return count

totals = {"tests": 0, "bench": 0, "product": 0}
asked = {a.rstrip("/"): 0 for a in sys.argv[1:]}
for path in sys.stdin.read().split():
    group = path.split("/")[0] if path.split("/")[0] in ("tests", "bench") else "product"
    with open(path, encoding="utf-8", errors="replace") as f:
        n = code_lines(f.read())
    totals[group] += n
    for a in asked:
        if path == a or path.startswith(a + "/"):
            asked[a] += n
for a, n in asked.items():
    print("%-40s %6d" % (a, n))
p = totals["product"]
print("product %6d" % p)
print("tests   %6d  (%.1f %% of product)" % (totals["tests"], 100.0 * totals["tests"] / p))
print("bench   %6d" % totals["bench"])
' "$@"
