#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test vantrel_vpn.
# Idempotent: packages that are already installed are skipped, and the
# package lists are refreshed only when something has to be installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libboost-dev libboost-filesystem-dev libboost-system-dev libboost-stacktrace-dev
  nlohmann-json3-dev libspdlog-dev libfmt-dev zlib1g-dev
  libgtest-dev googletest
  python3 python3-pytest
  iperf3 curl util-linux mount
  nginx-light chromium chromium-driver python3-selenium
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
