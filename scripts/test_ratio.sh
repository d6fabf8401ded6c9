#!/usr/bin/env bash
# Lines of tests against lines of the code they test, both counted with
# wc -l over the tracked files: tests are everything under tests/, the code
# is the C++, Python, JavaScript, CSS, HTML, shell and CMake files elsewhere.
# Tests should stay between a quarter and a third of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r cat | wc -l; }
tests=$(git ls-files tests | count)
code=$(git ls-files | grep -v '^tests/' |
       grep -E '\.(cpp|hpp|py|js|css|html|sh)$|(^|/)CMakeLists\.txt$|\.cmake$' | count)
awk -v t="$tests" -v c="$code" 'BEGIN {
    r = t / c
    printf "tests %d lines, code %d lines: ratio %.3f (%s)\n", t, c, r,
           r <= 1.0 / 3 ? "within a third" : "MORE THAN A THIRD"
    exit r <= 1.0 / 3 ? 0 : 1
}'
