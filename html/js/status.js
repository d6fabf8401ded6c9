// The status section, the header's summary and the pending-change banner,
// fed by a poll of GET status (one request at a time, paused while the tab is
// hidden). A failure is said, since when, and what was known greyed out.

import { get, coalesced } from "./api.js";
import { $, el, setText, clockTime } from "./ui.js";
import { configUpdates, statusUpdates } from "./state.js";

export const POLL_INTERVAL_MS = 5000;
// After a command, how long the page waits for the tunnel to settle before
// it says where it stands, and how often it looks.
const SETTLE_TIMEOUT_MS = 12000;
const SETTLE_POLL_MS = 700;
// The supervisor refreshes its snapshot right after a command: these polls
// pick it up without waiting for the next round.
const FOLLOW_UP_DELAYS_MS = [700, 2000];
// Without the peers (megabytes in a large network).
const LIGHT_STATUS = "status?peers=none";

const FACTS = [
  ["connection", "Connection"],
  ["daemon", "Daemon"],
  ["management", "Management server"],
  ["signal", "Signal server"],
  ["relays", "Relays"],
  ["ip", "NetBird IP"],
  ["fqdn", "Domain name"],
  ["peers", "Peers"],
  ["registered", "Enrolled"],
  ["interface", "Interface"],
  ["lazy", "Lazy connections"],
  ["quantum", "Quantum resistance"],
  ["networks", "Networks"],
  ["dns", "DNS servers"],
  ["pubkey", "Public key"],
  ["profile", "Profile"],
  ["versions", "Versions"],
];

// A device whose login NetBird's management server refused, or whose login
// (made by signing in) has expired: a new sign-in or a new setup key brings it back.
export const LOGIN_STATES = {
  LoginFailed: { label: "Login failed", help: "The management server refused this device's login: sign in with an account of this network, or enrol it with a new setup key, after deregistering it if it was enrolled." },
  SessionExpired: { label: "Session expired", help: "This device's login has expired: sign in with your account again, or deregister it, then enrol it again with a new setup key." },
};

// The answer of a supervisor that has not polled NetBird yet (it has just
// started): nothing is wrong, nothing is known.
// Example: awaitingFirstReport({ exit_code: 1, ok: false, output: "" }) → true
export const awaitingFirstReport = (body) =>
  !!body && body.ok === false && body.exit_code === 1 && body.output === "" && body.status === undefined;

// A network error means the device is out of reach; an error of the web
// server in front of the application (502, 503, 504), or no answer in time,
// that the application is down or hangs.
// Example: outageLabel({ status: 0, timedOut: false }) → "Device not reachable"
//          outageLabel({ status: 502 }) → "The application does not answer"
export const outageLabel = (result) =>
  (result.status === 0 && !result.timedOut ? "Device not reachable" : "The application does not answer");

// What the header shows for a status body.
// Example: summarize({ ok: true, registered: true, status: { management: { connected: true } } })
//          → { label: "Connected", tone: "good" }
export function summarize(body) {
  if (awaitingFirstReport(body)) return { label: "Waiting for NetBird…", tone: "unknown" };
  const st = body.status;
  if (!body.ok || !st || typeof st !== "object") return { label: "NetBird daemon not available", tone: "bad" };
  if (st.management && st.management.connected) return { label: "Connected", tone: "good" };
  if (LOGIN_STATES[st.daemonStatus]) return { label: LOGIN_STATES[st.daemonStatus].label, tone: "bad" };
  if (!body.registered || st.daemonStatus === "NeedsLogin") return { label: "Not enrolled", tone: "warn" };
  if (st.daemonStatus === "Connecting") return { label: "Connecting…", tone: "warn" };
  return { label: "Disconnected", tone: "off" };
}

// One sentence on the tunnel as a status body shows it, NetBird's reason
// included, for the outcome of a command.
// Example: tunnelSentence({ ok: true, registered: true, status: { daemonStatus: "Idle",
//            management: { connected: false, error: "" } } }) → "The tunnel is down."
export function tunnelSentence(body) {
  const st = body && body.status && typeof body.status === "object" ? body.status : null;
  if (!st) return "NetBird's state is not known yet.";
  const reason = st.management && st.management.error ? `: ${st.management.error}` : ".";
  if (st.management && st.management.connected) return "The tunnel is up.";
  if (LOGIN_STATES[st.daemonStatus]) return LOGIN_STATES[st.daemonStatus].help;
  if (!body.registered) return "The device is not enrolled.";
  if (st.daemonStatus === "Connecting") return `NetBird is still connecting${reason}`;
  return `The tunnel is down${reason}`;
}

// The status once it has settled after a command (`done(body)`), or as it
// is when `timeoutMs` has passed.
export async function settledStatus(done, timeoutMs = SETTLE_TIMEOUT_MS) {
  const deadline = Date.now() + timeoutMs;
  let body = null;
  do {
    await new Promise((resolve) => setTimeout(resolve, SETTLE_POLL_MS));
    const result = await get(LIGHT_STATUS);
    if (result.status === 200 && result.data) body = result.data;
    if (body && done(body)) break;
  } while (Date.now() < deadline);
  return body;
}

// "Connected", or "Not connected: <reason>" for a management or signal entry.
function link(entry) {
  if (!entry || typeof entry !== "object") return "–";
  const state = entry.connected ? "Connected" : "Not connected";
  const url = entry.url ? ` to ${entry.url}` : "";
  return entry.error ? `${state}${url} (${entry.error})` : `${state}${url}`;
}

const list = (value) => (Array.isArray(value) && value.length ? value.join(", ") : "none");
const yesNo = (value) => (value ? "yes" : "no");

// NetBird lists its DNS server groups as objects with their servers and
// the domains they answer for.
// Example: dnsServers([{ servers: ["100.64.0.1:53"], domains: ["corp"] }]) → "100.64.0.1:53 (corp)"
export function dnsServers(groups) {
  if (!Array.isArray(groups) || !groups.length) return "none";
  return groups.map((group) => {
    if (!group || typeof group !== "object") return String(group);
    const servers = Array.isArray(group.servers) ? group.servers.join(", ") : "?";
    const domains = Array.isArray(group.domains) && group.domains.length ? ` (${group.domains.join(", ")})` : "";
    return servers + domains;
  }).join("; ");
}

// The tunnel interface as configured; NetBird's status may name it too.
let config = null;

function interfaceText(st) {
  const name = st.interfaceName || (config && config.interface_name) || "–";
  const mtu = st.mtu ?? (config ? config.mtu : undefined);
  return `${name}${st.usesKernelInterface ? " (kernel)" : " (userspace)"}${mtu ? `, MTU ${mtu}` : ""}`;
}

function factValues(body) {
  const st = body.status && typeof body.status === "object" ? body.status : null;
  const peers = st && st.peers;
  const relays = st && st.relays;
  const values = {
    connection: summarize(body).label,
    daemon: st ? st.daemonStatus || "running" : awaitingFirstReport(body) ? "waiting for NetBird's first report"
      : `not available: ${(body.output || "").trim() || "no answer"}`,
    registered: yesNo(body.registered),
    versions: `application ${body.app_version || "?"}, NetBird ${(st && st.daemonVersion) || body.netbird_version || "?"}`,
  };
  // The others are "–" without a report of NetBird's.
  return !st ? values : Object.assign(values, {
    management: link(st.management),
    signal: link(st.signal),
    relays: relays && `${relays.available} of ${relays.total} available`,
    ip: st.netbirdIp,
    fqdn: st.fqdn,
    peers: peers && `${peers.connected} of ${peers.total} connected`,
    interface: interfaceText(st),
    lazy: yesNo(st.lazyConnectionEnabled),
    quantum: yesNo(st.quantumResistance),
    networks: list(st.networks),
    dns: dnsServers(st.dnsServers),
    pubkey: st.publicKey,
    profile: st.profileName,
  });
}

let cells = {};
let timer = null;
let failedSince = null;
let firstShown = false;
let lastBody = null;

function buildFacts() {
  const dl = $("status-facts");
  for (const [key, label] of FACTS) {
    const dd = el("dd", { id: `st-${key}` }, "…");
    dl.append(el("div", { className: "fact" }, el("dt", {}, label), dd));
    cells[key] = dd;
  }
}

let problemsText = null;  // settings NetBird would refuse, first in the banner

function renderPending(body) {
  const reconnect = !!(body && body.pending_reconnect);
  const restart = !!(body && body.pending_restart);
  const problems = (body && body.problems) || [];
  if (!problemsText) $("pending").prepend(problemsText = el("p", { id: "status-problems", className: "msg msg-error" }));
  setText(problemsText, problems.join(" "));
  problemsText.hidden = !problems.length;
  $("pending").hidden = !(reconnect || restart || problems.length);
  $("pending-reconnect-text").hidden = !reconnect;
  $("pending-reconnect").hidden = !reconnect;
  $("pending-restart-text").hidden = !restart;
  $("pending-restart").hidden = !restart;
}

function renderSummary(summary) {
  const pill = $("summary");
  setText(pill, summary.label);
  pill.className = `pill pill-${summary.tone}`;
}

function markFirst() {
  if (firstShown) return;
  firstShown = true;
  performance.mark("vantrel:first-status");
}

function onSuccess(body) {
  failedSince = null;
  lastBody = body;
  $("status-failed").hidden = true;
  $("status").classList.remove("stale");
  const values = factValues(body);
  for (const [key] of FACTS) setText(cells[key], values[key] || "–");
  setText($("status-raw"), JSON.stringify(body.status !== undefined ? body.status : body, null, 2));
  setText($("status-updated"), `Updated ${clockTime(new Date())}.`);
  renderSummary(summarize(body));
  renderPending(body);
  const st = body.status && typeof body.status === "object" ? body.status : null;
  statusUpdates.publish({ body, status: st });
  markFirst();
}

function onFailure(result) {
  if (!failedSince) failedSince = new Date();
  const box = $("status-failed");
  setText(box, `Status unavailable since ${clockTime(failedSince)}: ${result.message} ` +
               (lastBody ? "What is shown below is the last known state." : ""));
  box.hidden = false;
  $("status").classList.add("stale");
  if (!lastBody) for (const [key] of FACTS) setText(cells[key], "–");
  renderSummary({ label: outageLabel(result), tone: "bad" });
  // What the application last asked for may no longer hold.
  renderPending(null);
  statusUpdates.publish(null);
  markFirst();
}

function schedule(delay = POLL_INTERVAL_MS) {
  clearTimeout(timer);
  timer = document.hidden ? null : setTimeout(poll, delay);
}

// A poll asked for while one runs makes one more round after it.
const poll = () => coalesced("status", async () => {
  const result = await get(LIGHT_STATUS);
  try {
    if (result.status === 200 && result.data && typeof result.data === "object") onSuccess(result.data);
    else onFailure(result);
  } finally {
    schedule();  // whatever went wrong in showing this round
  }
});

// Asks for fresh status now and shortly after (used after every command).
export function refreshStatus() {
  poll();
  for (const delay of FOLLOW_UP_DELAYS_MS) setTimeout(() => { if (!document.hidden) poll(); }, delay);
}

export function initStatus() {
  buildFacts();
  configUpdates.subscribe((report) => {
    config = report;
    if (lastBody) setText(cells.interface, factValues(lastBody).interface || "–");
  });
  document.addEventListener("visibilitychange", () => {
    if (document.hidden) {
      clearTimeout(timer);
      timer = null;
    } else {
      poll();
    }
  });
  poll();
}
