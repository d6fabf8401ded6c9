#!/usr/bin/env bash
# Builds and runs vantrel_vpn in the foreground from the sandbox application
# directory build/sandbox (API on /run/http/vantrel_vpn/api.sock), together
# with the stand-in for the camera's web server, which serves the page at
# http://127.0.0.1:8080/local/vantrel_vpn/ (VANTREL_WEB_PORT to change the
# port). Ctrl-C stops both.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "run.sh needs root (the API socket lives in /run/http)" >&2; exit 1; }
  exec sudo --preserve-env=VANTREL_WEB_PORT,NB_SIM_PEERS "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
port=${VANTREL_WEB_PORT:-8080}
"$root/scripts/build.sh"
"$root/scripts/make_sandbox.sh" "$root/build/vantrel_vpn" "$root/build/sandbox"

# Once enrolled, the simulator shows a few peers so that the page has
# something to show.
export NB_SIM_PEERS=${NB_SIM_PEERS:-5}
# A sign-in from the page waits for a person: `echo approve` (or deny,
# expire) into this file answers it.
export NB_SIM_SSO_ANSWER=$root/build/sandbox/sso-answer

supervisor= web=
stop() {
  trap - INT TERM EXIT
  [ -n "$web" ] && kill -TERM "$web" 2>/dev/null || true
  [ -n "$supervisor" ] && kill -TERM "$supervisor" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap stop INT TERM EXIT

"$root/build/sandbox/vantrel_vpn" &
supervisor=$!
"$root/scripts/web_server.sh" "$port" "$root/build/web" &
web=$!

# Both are up once the API answers through the web server.
url="http://127.0.0.1:$port/local/vantrel_vpn/"
for _ in $(seq 100); do
  if curl -fsS -o /dev/null "${url}api/vpn/config" 2>/dev/null; then
    break
  fi
  if ! kill -0 "$supervisor" 2>/dev/null || ! kill -0 "$web" 2>/dev/null; then
    echo "Start-up failed; web server log: $root/build/web/error.log" >&2
    tail -n 5 "$root/build/web/error.log" >&2 2>/dev/null || true
    exit 1
  fi
  sleep 0.1
done
echo
echo "Application directory: $root/build/sandbox (logs in localdata/logs, syslog ident vantrel_vpn)"
echo "Open the application's page: $url"
echo "A sign-in started from the page is answered with: echo approve > $NB_SIM_SSO_ANSWER"
echo "Ctrl-C stops the supervisor and the web server."
echo

# Runs until Ctrl-C, or until either process ends; then the other is stopped too.
wait -n "$supervisor" "$web" || true
