#!/usr/bin/env bash
# Installs what is missing, configures and builds into build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_WERROR="${VANTREL_WERROR:-OFF}" >/dev/null
cmake --build "$root/build" -j "$(nproc)"
