#!/usr/bin/env bash
# Builds and runs every test (unit and integration) through ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure "$@"
