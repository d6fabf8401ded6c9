#!/usr/bin/env bash
# Cross-builds the fully static arm64 executable and the unit tests into
# build-arm64/ and runs the unit tests and the whole black-box suite against
# them under qemu-user emulation: through binfmt_misc where the kernel has
# it, otherwise through explicit qemu-aarch64 (tools/qemu_binary_wrapper.sh).
# Extra arguments go to pytest.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "test_arm64.sh needs root (packages, mount namespaces)" >&2; exit 1; }
  exec sudo "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" arm64
build="$root/build-arm64"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_STATIC=ON -DVANTREL_WERROR="${VANTREL_WERROR:-OFF}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" >/dev/null
cmake --build "$build" -j "$(nproc)"
file "$build/vantrel_vpn"

binary="$build/vantrel_vpn"
if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null; then
  echo "arm64 binaries run through binfmt_misc"
else
  echo "binfmt_misc unavailable: arm64 binaries run through explicit qemu-aarch64"
  export VANTREL_EMULATED_WITHOUT_BINFMT=1 VANTREL_ARM64_BINARY="$binary"
  binary="$root/tools/qemu_binary_wrapper.sh"
fi

# The unit tests go through the emulator that the toolchain file names.
(cd "$build" && ctest --output-on-failure -E '^integration$')
/usr/bin/python3 -m pytest -q -rs -n 4 --dist loadfile -c "$root/pytest.ini" "$root/tests/integration" \
  --binary="$binary" --simulator="$root/tools/netbird_sim.py" "$@"
