#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test vantrel_vpn.
# With the argument "arm64" it also installs the cross toolchain and the
# arm64 development packages, and registers user-mode emulation for arm64
# binaries where the kernel allows it.
# With "fuzz" it installs clang and its libFuzzer and sanitizer runtimes.
# Idempotent: packages that are already installed are skipped, and the
# package lists are refreshed only when something has to be installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libboost-dev libboost-filesystem-dev libboost-system-dev libboost-stacktrace-dev
  nlohmann-json3-dev libspdlog-dev libfmt-dev zlib1g-dev
  libgtest-dev googletest
  python3 python3-pytest python3-pytest-xdist
  iperf3 curl util-linux mount jq
  nginx-light chromium chromium-driver python3-selenium python3-pyzbar python3-pil
)
# The :arm64 twins of the build's libraries (nlohmann-json has no
# architecture); the libiperf, OpenSSL and SCTP archives make a static
# iperf3 for the package.
ARM64_PACKAGES=(
  crossbuild-essential-arm64 qemu-user qemu-user-binfmt file
  libboost-dev:arm64 libboost-filesystem-dev:arm64 libboost-system-dev:arm64 libboost-stacktrace-dev:arm64
  libspdlog-dev:arm64 libfmt-dev:arm64 zlib1g-dev:arm64 libgtest-dev:arm64
  libiperf-dev:arm64 libssl-dev:arm64 libsctp-dev:arm64
)

FUZZ_PACKAGES=(clang libclang-rt-14-dev)

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive

wanted=("${PACKAGES[@]}")
[ "${1:-}" = fuzz ] && wanted+=("${FUZZ_PACKAGES[@]}")
if [ "${1:-}" = arm64 ]; then
  wanted+=("${ARM64_PACKAGES[@]}")
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
  fi
fi

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  # Multiarch upgrades the amd64 twins to the same version; it must never
  # remove a package to make room.
  if $SUDO apt-get install -s --no-install-recommends "${missing[@]}" | grep -qE '^(Remv|Purg) '; then
    echo "Refusing: installing ${missing[*]} would remove packages" >&2
    exit 1
  fi
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "${1:-}" = arm64 ]; then
  # Without binfmt_misc, arm64 binaries run only as "qemu-aarch64 BINARY";
  # the arm64 test script copes with both.
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
  if [ -e "$binfmt/register" ] && [ ! -e "$binfmt/qemu-aarch64" ]; then
    $SUDO /lib/systemd/systemd-binfmt /usr/lib/binfmt.d/qemu-aarch64.conf 2>/dev/null ||
      $SUDO update-binfmts --enable qemu-aarch64 2>/dev/null || true
  fi
fi
