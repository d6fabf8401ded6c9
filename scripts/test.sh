#!/usr/bin/env bash
# Builds and runs every test (unit, black-box and browser) through ctest.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "test.sh needs root (mount namespaces, /run/http)" >&2; exit 1; }
  exec sudo "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure "$@"
"$root/scripts/test_ratio.sh" || true  # shown, not enforced: a refactoring may pass through
