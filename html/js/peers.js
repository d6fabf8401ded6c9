// The peers table, built from the peers that NetBird's status reports,
// sortable by name and by state.

import { $, el, setText, formatBytes, formatDuration, secondsSince } from "./ui.js";
import { statusUpdates } from "./state.js";

const STATE_ORDER = { Connected: 0, Connecting: 1, Idle: 2 };

// A peer's short name: the first label of its domain name.
// Example: peerName({ fqdn: "cam-yard.netbird.cloud" }) → "cam-yard"
export function peerName(peer) {
  const fqdn = String(peer.fqdn || "");
  const dot = fqdn.indexOf(".");
  return (dot > 0 ? fqdn.slice(0, dot) : fqdn) || String(peer.netbirdIp || "?");
}

// Direct or relayed, from NetBird's connection type.
// Example: peerPath({ status: "Connected", connectionType: "Relayed" }) → "relayed"
export function peerPath(peer) {
  if (peer.status !== "Connected") return "–";
  if (peer.connectionType === "Relayed") return "relayed";
  if (peer.connectionType === "P2P") return "direct";
  return peer.connectionType || "–";
}

// Sorts a copy of the peers; ties on state fall back to the name.
// Example: sortPeers([{fqdn:"b",status:"Idle"},{fqdn:"a",status:"Connected"}], "state", 1)
//          → a (Connected) first
export function sortPeers(peers, key, direction) {
  const byName = (a, b) => peerName(a).localeCompare(peerName(b));
  const rank = (p) => (p.status in STATE_ORDER ? STATE_ORDER[p.status] : 9);
  const compare = key === "state" ? (a, b) => rank(a) - rank(b) || byName(a, b) : byName;
  return [...peers].sort((a, b) => direction * compare(a, b));
}

let sortKey = "name";
let direction = 1;
let peers = [];

function latency(ns) {
  const ms = Number(ns) / 1e6;
  return Number.isFinite(ms) && ms > 0 ? `${ms < 10 ? ms.toFixed(1) : Math.round(ms)} ms` : "–";
}

function render() {
  const body = $("peers-body");
  body.replaceChildren();
  for (const peer of sortPeers(peers, sortKey, direction)) {
    const since = secondsSince(peer.lastWireguardHandshake);
    const state = String(peer.status || "unknown");
    const cell = (label, className, ...children) => el("td", { className, "data-label": label }, ...children);
    body.append(el("tr", {},
      cell("", "", el("span", { className: "peer-name" }, peerName(peer)),
           el("span", { className: "sub" }, String(peer.fqdn || ""))),
      cell("NetBird IP", "mono", String(peer.netbirdIp || "–")),
      cell("State", "", el("span", { className: `pill pill-${state === "Connected" ? "good" : "off"}` }, state)),
      cell("Path", "", peerPath(peer)),
      cell("Latency", "num", latency(peer.latency)),
      cell("Last handshake", "", since === null ? "never" : `${formatDuration(since)} ago`),
      cell("Received", "num", formatBytes(peer.transferReceived)),
      cell("Sent", "num", formatBytes(peer.transferSent))));
  }
  if (!peers.length) {
    body.append(el("tr", {}, el("td", { colSpan: 8, className: "empty" }, "No peers to show.")));
  }
  for (const th of document.querySelectorAll("#peers-table th[aria-sort]")) {
    const key = th.querySelector("button").dataset.sort;
    th.setAttribute("aria-sort", key === sortKey ? (direction > 0 ? "ascending" : "descending") : "none");
  }
}

export function initPeers() {
  for (const button of document.querySelectorAll("#peers-table button[data-sort]")) {
    button.addEventListener("click", () => {
      direction = sortKey === button.dataset.sort ? -direction : 1;
      sortKey = button.dataset.sort;
      render();
    });
  }
  statusUpdates.subscribe((update) => {
    // While the poll fails the last known peers stay, greyed out as old.
    $("peers").classList.toggle("stale", !update);
    if (!update) return;
    const info = update.status && update.status.peers;
    peers = info && Array.isArray(info.details) ? info.details.filter((p) => p && typeof p === "object") : [];
    setText($("peers-summary"), info ? `${info.connected} of ${info.total} peers connected.`
                                     : "NetBird reports no peers while it is not running.");
    render();
  });
  render();
}
