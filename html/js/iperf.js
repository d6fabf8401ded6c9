// An iperf3 server started, watched and stopped here, and the command for a remote peer.

import { get, post, single } from "./api.js";
import { $, say, note, setText, withButton, formatDuration, copyField } from "./ui.js";
import { statusUpdates } from "./state.js";

export const IPERF_POLL_MS = 2000;

// Example: remoteCommand("100.64.3.7/16", 5201) → "iperf3 -c 100.64.3.7 -p 5201"
export function remoteCommand(netbirdIp, port) {
  const ip = String(netbirdIp || "").split("/")[0] || "<NetBird IP of this device>";
  return `iperf3 -c ${ip} -p ${port}`;
}

// The last test's bitrate: iperf3's last summary line (a total comes last).
// Example: lastBitrate("[SUM] 0.00-1.06 sec 528 MBytes 4.17 Gbits/sec  receiver") → "4.17 Gbits/sec received"
function lastBitrate(output) {
  const m = [...(output || "").matchAll(/([\d.]+ \w?bits\/sec).*\b(receiver|sender)\s*$/gm)].pop();
  return m ? `${m[1]} ${m[2] === "sender" ? "sent" : "received"}` : "";
}

let netbirdIp = "";
let state = { running: false, port: 0, uptime_seconds: 0, output: "" };
let pollTimer = null;
// Starts and stops: a poll asked before one would show the old state.
let changes = 0;

function render() {
  const bitrate = lastBitrate(state.output);
  setText($("iperf-state"), (state.running
    ? `Server running on port ${state.port} for ${formatDuration(state.uptime_seconds)}.`
    : "Server not running.") + (bitrate ? ` Last test: ${bitrate} by this device.` : ""));
  const port = state.running ? state.port : $("iperf-port").value.trim() || "5201";
  $("iperf-command").value = remoteCommand(netbirdIp, port);
  const pre = $("iperf-output");
  // Measured on a change only: it forces a layout.
  if (pre.textContent !== (state.output || "")) {
    const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 8;
    setText(pre, state.output || "");
    if (atEnd) pre.scrollTop = pre.scrollHeight;
  }
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
  // After accept, which clears the note of the start.
  accept(result);
  note($("iperf-msg"), "Server stopped.");
}

export function initIperf() {
  $("iperf-form").addEventListener("submit", start);
  $("iperf-stop").addEventListener("click", stop);
  $("iperf-command-copy").addEventListener("click", () => copyField($("iperf-command"), $("iperf-msg"), "command"));
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
