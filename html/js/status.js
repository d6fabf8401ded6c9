// Status section, header summary and pending banner, fed by one status poll at a time
// (paused while hidden); a failure says since when, with what was known greyed out.

import { get, coalesced } from "./api.js";
import { $, el, setText, clockTime, copyText } from "./ui.js";
import { configUpdates, statusUpdates } from "./state.js";

export const POLL_INTERVAL_MS = 5000;
// Waiting for the tunnel to settle after a command.
const SETTLE_TIMEOUT_MS = 12000;
const SETTLE_POLL_MS = 700;
// The supervisor refreshes its snapshot right after a command.
const FOLLOW_UP_DELAYS_MS = [700, 2000];
// Without the peers (megabytes in a large network).
const LIGHT_STATUS = "status?peers=none";

const FACTS = [["connection", "Connection"], ["daemon", "Daemon"], ["management", "Management server"],
  ["signal", "Signal server"], ["relays", "Relays"], ["ip", "NetBird IP"], ["fqdn", "Domain name"], ["peers", "Peers"],
  ["registered", "Enrolled"], ["interface", "Interface"], ["lazy", "Lazy connections"], ["quantum", "Quantum resistance"],
  ["networks", "Networks"], ["dns", "DNS servers"], ["pubkey", "Public key"], ["profile", "Profile"], ["versions", "Versions"]];

// A login refused or expired: a new sign-in or a new setup key brings it back.
export const LOGIN_STATES = {
  LoginFailed: { label: "Login failed", help: "The management server refused this device's login: sign in with an account of this network, or enrol it with a new setup key, after deregistering it if it was enrolled." },
  SessionExpired: { label: "Session expired", help: "This device's login has expired: sign in with your account again, or deregister it, then enrol it again with a new setup key." },
};
// NetBird's other states in plain words.
const STATE_HELP = {
  NeedsLogin: "Not enrolled: enrol it with a setup key, or sign in.",
  Connecting: "Reaching the management server: if it lasts, check the camera's internet access.",
  Idle: "The tunnel is down: Connect brings it up.",
};

// A supervisor just started, before its first poll of NetBird.
export const awaitingFirstReport = (body) =>
  !!body && body.ok === false && body.exit_code === 1 && body.output === "" && body.status === undefined;

// A network error: the device is out of reach; else (502-504, time-out) the application is down or hangs.
const unreachable = (result) => result.status === 0 && !result.timedOut;
export const outageLabel = (result) => (unreachable(result) ? "Device not reachable" : "The application does not answer");
export const outageAdvice = (result) => (unreachable(result) ? "Check that the camera is on and reachable from here."
  : "Wait a minute, then restart the application on the camera (or the camera).");

// What the header shows for a status body, e.g. { label: "Connected", tone: "good" }.
const report = (body) => (body && body.status && typeof body.status === "object" ? body.status : null);

export function summarize(body) {
  if (awaitingFirstReport(body)) return { label: "Waiting for NetBird…", tone: "unknown" };
  const st = report(body);
  if (!body.ok || !st) return { label: "NetBird daemon not available", tone: "bad" };
  // A deregistration answers before NetBird's next report.
  if (body.registered && st.management && st.management.connected) return { label: "Connected", tone: "good" };
  if (LOGIN_STATES[st.daemonStatus]) return { label: LOGIN_STATES[st.daemonStatus].label, tone: "bad" };
  if (!body.registered || st.daemonStatus === "NeedsLogin") return { label: "Not enrolled", tone: "warn" };
  if (st.daemonStatus === "Connecting") return { label: "Connecting…", tone: "warn" };
  return { label: "Disconnected", tone: "off" };
}

// One sentence on the tunnel, NetBird's reason included, for a command's outcome.
export function tunnelSentence(body) {
  const st = report(body);
  if (!st) return "NetBird's state is not known yet.";
  const reason = st.management && st.management.error ? `: ${st.management.error}` : ".";
  if (st.management && st.management.connected) return "The tunnel is up.";
  if (LOGIN_STATES[st.daemonStatus]) return LOGIN_STATES[st.daemonStatus].help;
  if (!body.registered) return "The device is not enrolled.";
  if (st.daemonStatus === "Connecting") return `NetBird is still connecting${reason}`;
  return `The tunnel is down${reason}`;
}

// The status once settled after a command (`done(body)`), or at `timeoutMs`.
export async function settledStatus(done, timeoutMs = SETTLE_TIMEOUT_MS) {
  const deadline = Date.now() + timeoutMs;
  let body = null;
  do {
    await new Promise((resolve) => setTimeout(resolve, SETTLE_POLL_MS));
    const result = await get(LIGHT_STATUS);
    // The header follows at once, not at the next poll.
    if (result.status === 200 && result.data) onSuccess(body = result.data);
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

// The interface as run (NetBird's report, else the last up's), with a saved value still to apply.
let config = null;

function interfaceText(st, body) {
  const applied = body.applied || {};
  const saved = config || {};
  const show = (key, now) => now + (body.pending_reconnect && key in saved && `${saved[key]}` !== `${now}`
    ? ` (${saved[key]} after reconnect)` : "");
  const mtu = st.mtu ?? applied.mtu ?? saved.mtu;
  return show("interface_name", st.interfaceName || applied.interface_name || saved.interface_name || "–") +
    (st.usesKernelInterface ? " (kernel)" : " (userspace)") + (mtu ? `, MTU ${show("mtu", mtu)}` : "");
}

// Who the device is on the network (once enrolled), as [label, value] pairs.
export function identity(body) {
  const st = (body && body.registered && body.status) || {};
  const fqdn = st.fqdn || "";
  return st.netbirdIp ? [["NetBird IP", st.netbirdIp.split("/")[0]], ["Domain name", fqdn], ["Name", fqdn.split(".")[0]]]
    .filter((part) => part[1]) : [];
}
// Example: identityText(body) → " NetBird IP 100.64.0.9, Domain name cam.nb.cloud, Name cam."
export function identityText(body) {
  const text = identity(body).map((part) => part.join(" ")).join(", ");
  return text && ` ${text}.`;
}

let shownIdentity;

async function copyPart({ target }) {
  const copied = await copyText(target.previousSibling.textContent);
  setText(target, copied ? "Copied" : "Selected");
  if (!copied) getSelection().selectAllChildren(target.previousSibling);
  setTimeout(() => setText(target, "Copy"), 2000);
}

function renderIdentity(parts) {
  if (JSON.stringify(parts) === shownIdentity) return;  // a button's "Copied" stays
  shownIdentity = JSON.stringify(parts);
  $("identity").hidden = !parts.length;
  $("identity").replaceChildren(...parts.map(([label, value]) => el("span", {}, `${label} `, el("b", {}, value),
    el("button", { type: "button", "aria-label": `Copy ${label}`, onclick: copyPart }, "Copy"))));
}

function factValues(body) {
  const st = report(body);
  const peers = st && st.peers;
  const relays = st && st.relays;
  const state = st && st.daemonStatus;
  const help = state && ((LOGIN_STATES[state] || {}).help || STATE_HELP[state]);
  const values = {
    connection: summarize(body).label,
    daemon: st ? (help ? `${state}. ${help}` : state || "running") : awaitingFirstReport(body) ? "waiting for NetBird's first report"
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
    interface: interfaceText(st, body),
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
let shownFirst;  // once the first status, or the failure to get one, is on the page
export const firstStatusShown = new Promise((resolve) => { shownFirst = resolve; });
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
  for (const [id, on] of [["reconnect", reconnect], ["restart", restart]]) $(`pending-${id}-text`).hidden = $(`pending-${id}`).hidden = !on;
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
  shownFirst();
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
  renderIdentity(identity(body));
  renderPending(body);
  statusUpdates.publish({ body, status: report(body) });
  markFirst();
}

export let outage = null;  // the last failed poll's result

function onFailure(result) {
  outage = result;
  if (!failedSince) failedSince = new Date();
  const box = $("status-failed");
  setText(box, `Status unavailable since ${clockTime(failedSince)}: ${result.message} ${outageAdvice(result)} ` +
               (lastBody ? "What is shown below is the last known state." : ""));
  box.hidden = false;
  $("status").classList.add("stale");
  if (!lastBody) for (const [key] of FACTS) setText(cells[key], "–");
  renderSummary({ label: outageLabel(result), tone: "bad" });
  renderPending(null);  // what the application last asked for may no longer hold
  statusUpdates.publish(null);
  markFirst();
}

function schedule(delay = POLL_INTERVAL_MS) {
  clearTimeout(timer);
  timer = document.hidden ? null : setTimeout(poll, delay);
}

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
  document.addEventListener("visibilitychange", () => (document.hidden ? clearTimeout(timer) : poll()));
  poll();
}
