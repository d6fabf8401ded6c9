#!/usr/bin/env bash
# Runs the stand-in for the camera platform's web server in the foreground:
# the page from html/ at http://127.0.0.1:PORT/local/vantrel_vpn/ and the API
# forwarded to /run/http/vantrel_vpn/api.sock. STATE_DIR receives the rendered
# configuration, the logs and nginx's temporary files.
# Usage: web_server.sh PORT STATE_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
port=$1
state=$(mkdir -p "$2" && cd "$2" && pwd)
sed -e "s|@PORT@|$port|g" -e "s|@HTML_DIR@|$root/html|g" -e "s|@STATE_DIR@|$state|g" \
    -e "s|@USER@|$(id -un)|g" "$root/tools/platform_web_server/nginx.conf.in" >"$state/nginx.conf"
exec nginx -p "$state" -e "$state/error.log" -c "$state/nginx.conf"
