#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-sanitize/ and runs every test against that build, with the
# sanitizers' default options: any report fails the run.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "test_sanitizers.sh needs root (mount namespaces, /run/http)" >&2; exit 1; }
  exec sudo "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_SANITIZE=address,undefined >/dev/null
cmake --build "$root/build-sanitize" -j "$(nproc)"
cd "$root/build-sanitize"
ctest --output-on-failure "$@"
