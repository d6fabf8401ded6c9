#!/usr/bin/env bash
# Produces what the camera platform's packaging step takes, in build/package/:
#   vantrel_vpn/                 the application directory
#     vantrel_vpn                the static arm64 executable, stripped
#     html/                      the web page
#     lib/iperf3                 a static arm64 iperf3 (needs nothing from the firmware)
#     lib/netbird                the NetBird client for arm64, when given
#     manifest.json              the platform's application manifest
#   vantrel_vpn.debug            the executable's symbols, for reading stack traces
#   vantrel_vpn_VERSION_aarch64.tar.gz   the directory as an archive
#   SIZES.txt                    the size report, file by file
# The NetBird client for arm64 is not in this project's package sources:
# name it as the first argument or in NETBIRD_ARM64. Without it the archive
# is still made, named ..._INCOMPLETE-no-netbird.tar.gz.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "package.sh needs root (packages)" >&2; exit 1; }
  exec sudo --preserve-env=NETBIRD_ARM64 "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
netbird=${1:-${NETBIRD_ARM64:-}}
"$root/scripts/setup.sh" arm64

# The same build directory as the emulated tests, so the packaged executable
# is the one they ran.
build="$root/build-arm64"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_STATIC=ON \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" >/dev/null
cmake --build "$build" -j "$(nproc)" --target vantrel_vpn
version=$(sed -n 's/^project(vantrel_vpn VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

out="$root/build/package"
app="$out/vantrel_vpn"
rm -rf "$out"
mkdir -p "$app/lib"

# Stripped for the flash; the symbols stay beside the package, linked by
# name, so that a stack trace from the camera can be read back here.
aarch64-linux-gnu-objcopy --only-keep-debug "$build/vantrel_vpn" "$out/vantrel_vpn.debug"
aarch64-linux-gnu-strip --strip-all -o "$app/vantrel_vpn" "$build/vantrel_vpn"
(cd "$out" && aarch64-linux-gnu-objcopy --add-gnu-debuglink=vantrel_vpn.debug "$app/vantrel_vpn")

cp -r "$root/html" "$app/html"

# Debian's arm64 iperf3 needs libiperf, libcrypto, libsctp and glibc 2.34;
# this one is Debian's libiperf linked statically behind a small main.
aarch64-linux-gnu-gcc -std=gnu11 -O2 -Wall -Wextra -static -o "$app/lib/iperf3" \
  "$root/tools/package/iperf3_main.c" -liperf -lcrypto -lsctp -lm 2>&1 |
  { grep -v "statically linked applications requires at runtime\|in function" || true; } >&2
aarch64-linux-gnu-strip "$app/lib/iperf3"
# It must run with no library at all: an empty library path for the emulator.
qemu-aarch64 -L /nonexistent "$app/lib/iperf3" --version | head -n 1

name="vantrel_vpn_${version}_aarch64"
if [ -n "$netbird" ]; then
  if ! file -L "$netbird" | grep -q "ARM aarch64"; then
    echo "$netbird is not an arm64 executable" >&2
    exit 1
  fi
  install -m 0755 "$netbird" "$app/lib/netbird"
else
  echo "No NetBird client for arm64 given (argument or NETBIRD_ARM64): lib/netbird is missing." >&2
  name="${name}_INCOMPLETE-no-netbird"
fi

sed "s/@VERSION@/$version/" "$root/tools/package/manifest.json.in" >"$app/manifest.json"

tar --owner=0 --group=0 -czf "$out/$name.tar.gz" -C "$out" vantrel_vpn
{
  echo "Package $name ($(date -u +%F))"
  (cd "$out" && find vantrel_vpn -type f -printf '%10s  %p\n' | sort -k2)
  echo "----------"
  printf '%10s  %s\n' "$(du -sb "$app" | cut -f1)" "vantrel_vpn/ in all"
  printf '%10s  %s\n' "$(stat -c %s "$out/$name.tar.gz")" "$name.tar.gz"
  printf '%10s  %s\n' "$(stat -c %s "$out/vantrel_vpn.debug")" "vantrel_vpn.debug (not shipped)"
} | tee "$out/SIZES.txt"
file "$app/vantrel_vpn" "$app/lib/iperf3"
