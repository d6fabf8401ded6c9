// The throughput test section: start an iperf3 server with a port, an idle
// time-out and a one-test choice, watch its state and output, stop it, and
// the command to run on a remote peer of the network.

import { get, post, single } from "./api.js";
import { $, say, note, setText, withButton, formatDuration, copyText } from "./ui.js";
import { statusUpdates } from "./state.js";

export const IPERF_POLL_MS = 2000;

// The command a remote peer runs; the address without its prefix length.
// Example: remoteCommand("100.64.3.7/16", 5201) → "iperf3 -c 100.64.3.7 -p 5201"
export function remoteCommand(netbirdIp, port) {
  const ip = String(netbirdIp || "").split("/")[0] || "<NetBird IP of this device>";
  return `iperf3 -c ${ip} -p ${port}`;
}

let netbirdIp = "";
let state = { running: false, port: 0, uptime_seconds: 0, output: "" };
let pollTimer = null;
// Counts starts and stops: a poll answered after one of them was asked
// before it, and would undo what it shows (a stopped server's old state
// over the new one's "Server started.").
let changes = 0;

function render() {
  setText($("iperf-state"), state.running
    ? `Server running on port ${state.port} for ${formatDuration(state.uptime_seconds)}.`
    : "Server not running.");
  const port = state.running ? state.port : $("iperf-port").value.trim() || "5201";
  $("iperf-command").value = remoteCommand(netbirdIp, port);
  const pre = $("iperf-output");
  const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 8;
  setText(pre, state.output || "");
  if (atEnd) pre.scrollTop = pre.scrollHeight;
  $("iperf-stop").disabled = !state.running;
}

function accept(result) {
  if (result.ok && result.data && typeof result.data === "object") {
    // A server that ended (after its one test, or idle) makes "Server started." old news.
    if (state.running && !result.data.running && $("iperf-msg").className === "msg msg-ok") say($("iperf-msg"), "ok", "");
    state = result.data;
    render();
  }
  schedule();
}

// Polls while a server runs (its output grows and it may end by itself).
function schedule() {
  clearTimeout(pollTimer);
  pollTimer = state.running ? setTimeout(poll, IPERF_POLL_MS) : null;
}

async function poll() {
  if (document.hidden) {
    schedule();
    return;
  }
  const asked = changes;
  const result = await single("iperf", () => get("iperf/server/status"));
  if (result === undefined) return;
  if (asked !== changes) {
    schedule();
    return;
  }
  if (!result.ok) say($("iperf-msg"), "error", `The server's state could not be read: ${result.message}`);
  accept(result);
}

async function start(event) {
  event.preventDefault();
  const form = { port: $("iperf-port").value.trim(), idle_timeout: $("iperf-idle").value.trim(),
                 one_shot: $("iperf-one-shot").checked ? "true" : "false" };
  changes += 1;
  const result = await withButton($("iperf-start"), "Starting…", () => post("iperf/server/start", form));
  if (!result.ok) {
    say($("iperf-msg"), result.busy ? "busy" : "error", result.message);
    return;
  }
  const asked = Number(form.port || 5201);
  note($("iperf-msg"), result.data.port === asked || !result.data.running ? "Server started."
      : `A server was already running on port ${result.data.port}; it goes on.`);
  accept(result);
}

async function stop() {
  changes += 1;
  const result = await withButton($("iperf-stop"), "Stopping…", () => post("iperf/server/stop"));
  if (!result.ok) {
    say($("iperf-msg"), "error", result.message);
    return;
  }
  note($("iperf-msg"), "Server stopped.");
  accept(result);
}

async function copyCommand() {
  const copied = await copyText($("iperf-command").value);
  say($("iperf-msg"), copied ? "ok" : "info", copied ? "Command copied." : "Select the command and copy it by hand.");
  if (!copied) $("iperf-command").select();
}

export function initIperf() {
  $("iperf-form").addEventListener("submit", start);
  $("iperf-stop").addEventListener("click", stop);
  $("iperf-command-copy").addEventListener("click", copyCommand);
  $("iperf-port").addEventListener("input", render);
  statusUpdates.subscribe((update) => {
    const ip = update && update.status ? update.status.netbirdIp || "" : netbirdIp;
    if (ip !== netbirdIp) {
      netbirdIp = ip;
      render();
    }
  });
  document.addEventListener("visibilitychange", () => { if (!document.hidden && state.running) poll(); });
  render();
  poll();
}
