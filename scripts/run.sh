#!/usr/bin/env bash
# Builds and runs vantrel_vpn in the foreground from the sandbox application
# directory build/sandbox, serving /run/http/vantrel_vpn/api.sock.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
"$root/scripts/make_sandbox.sh" "$root/build/vantrel_vpn" "$root/build/sandbox"
echo "Application directory: $root/build/sandbox (logs in localdata/logs, syslog ident vantrel_vpn)"
exec "$root/build/sandbox/vantrel_vpn"
