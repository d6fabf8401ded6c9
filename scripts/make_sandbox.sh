#!/usr/bin/env bash
# Lays out an application directory like the camera's:
#   DIR/vantrel_vpn      a copy of the binary (so /proc/self/exe resolves here)
#   DIR/lib/netbird      the NetBird simulator (the real client is not installable here)
#   DIR/lib/iperf3       Debian's iperf3
#   DIR/localdata/       settings, state and logs
# Usage: make_sandbox.sh BINARY DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
binary=$1
dir=$2
mkdir -p "$dir/lib" "$dir/localdata"
cp -f "$binary" "$dir/vantrel_vpn.new" && mv -f "$dir/vantrel_vpn.new" "$dir/vantrel_vpn"
ln -sfn "$root/tools/netbird_sim.py" "$dir/lib/netbird"
ln -sfn "$(command -v iperf3 || echo /usr/bin/iperf3)" "$dir/lib/iperf3"
