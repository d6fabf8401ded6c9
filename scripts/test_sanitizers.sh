#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-sanitize/ and runs every test against that build, with the
# sanitizers' default options: any report fails the run. Optimised lightly
# (-O1, line tables only): it builds in half the time of a release build
# with full debug information, and reports still name files and lines.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "test_sanitizers.sh needs root (mount namespaces, /run/http)" >&2; exit 1; }
  exec sudo "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g1" \
  -DVANTREL_SANITIZE=address,undefined >/dev/null
cmake --build "$root/build-sanitize" -j "$(nproc)"
cd "$root/build-sanitize"
ctest --output-on-failure "$@"
