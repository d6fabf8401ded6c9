// The peers a page at a time (sorted, filtered, paged by the application), asked for at
// each poll while on screen; only changed cells are written (5,000 peers).

import { get, coalesced } from "./api.js";
import { $, el, say, note, setText, copyText, formatBytes, formatDuration, secondsSince } from "./ui.js";
import { statusUpdates } from "./state.js";

export const PAGE_SIZE = 50;

// Example: peerName({ fqdn: "cam-yard.netbird.cloud" }) → "cam-yard"
export function peerName(peer) {
  const fqdn = String(peer.fqdn || "");
  const dot = fqdn.indexOf(".");
  return (dot > 0 ? fqdn.slice(0, dot) : fqdn) || String(peer.netbirdIp || "?");
}

// Example: peerPath({ status: "Connected", connectionType: "Relayed" }) → "relayed"
export function peerPath(peer) {
  if (peer.status !== "Connected") return "–";
  if (peer.connectionType === "Relayed") return "relayed";
  if (peer.connectionType === "P2P") return "direct";
  return peer.connectionType || "–";
}

function latency(ns) {
  const ms = Number(ns) / 1e6;
  return Number.isFinite(ms) && ms > 0 ? `${ms < 10 ? ms.toFixed(1) : Math.round(ms)} ms` : "–";
}

// Example: peerTexts({ fqdn: "nvr.lan", status: "Idle" }) → ["nvr", "nvr.lan", "–", "Idle", "–", "–", "never", "–", "–"]
export function peerTexts(peer) {
  const since = secondsSince(peer.lastWireguardHandshake);
  return [peerName(peer), String(peer.fqdn || ""), String(peer.netbirdIp || "–"), String(peer.status || "unknown"),
    peerPath(peer), latency(peer.latency), since === null ? "never" : `${formatDuration(since)} ago`,
    formatBytes(peer.transferReceived), formatBytes(peer.transferSent)];
}

// Example: pageQuery({ offset: 50, filter: "cam 1", sort: "name", order: "desc" })
//          → "status?peers=page&offset=50&limit=50&filter=cam+1&sort=name&order=desc"
export function pageQuery(view) {
  const params = new URLSearchParams({ peers: "page", offset: view.offset, limit: PAGE_SIZE });
  for (const key of ["filter", "sort", "order", "state"]) if (view[key]) params.set(key, view[key]);
  return `status?${params}`;
}

const n = (value) => Number(value).toLocaleString();

// Example: rangeText({ offset: 50, matched: 1234 }, 50) → "51–100 of 1,234"; rangeText({}, 0) → "None"
export function rangeText({ offset, matched }, shown) {
  return shown ? `${n(offset + 1)}–${n(offset + shown)} of ${n(matched)}` : "None";
}

const view = { offset: 0, filter: "", sort: "name", order: "", state: "" };
let onScreen = false;
let total = 0;  // peers in the last status
const rows = new Map();  // peer key → { tr, cells, texts }
let typing;
let empty;  // the row that says why there are none

function makeRow(key) {
  const tds = [["", ""], ["NetBird IP", "mono"], ["State", ""], ["Path", ""], ["Latency", "num"],
    ["Last handshake", ""], ["Received", "num"], ["Sent", "num"]].map(([label, className]) =>
    el("td", { className, "data-label": label }));
  const spans = [el("span", { className: "peer-name" }), el("span", { className: "sub" }), el("span"),
    // Out of the tab order: fifty would stand between search and pager.
    el("button", { type: "button", className: "copy mono", title: "Copy", tabIndex: -1 })];
  tds[0].append(spans[0], spans[1]);
  tds[1].append(spans[3]);
  tds[2].append(spans[2]);
  const cells = [spans[0], spans[1], spans[3], spans[2], ...tds.slice(3)];
  return { tr: el("tr", { "data-peer": key }, tds), cells, texts: [] };
}

function renderRows(peers, emptyText) {
  const body = $("peers-body");
  const order = [];
  for (const peer of peers) {
    const key = String(peer.publicKey || peer.fqdn || peer.netbirdIp);
    const row = rows.get(key) || rows.set(key, makeRow(key)).get(key);
    peerTexts(peer).forEach((text, i) => {
      if (row.texts[i] === text) return;
      row.texts[i] = text;
      row.cells[i].textContent = text;
      if (i === 3) row.cells[i].className = `pill pill-${text === "Connected" ? "good" : "off"}`;
    });
    order.push(row);
  }
  for (const [key, row] of rows) {
    if (order.includes(row)) continue;
    row.tr.remove();
    rows.delete(key);
  }
  setText(empty.firstChild, emptyText);
  if (order.length) empty.remove();
  else body.append(empty);
  let at = body.firstElementChild;
  for (const { tr } of order) {
    if (tr === at) at = at.nextElementSibling;
    else body.insertBefore(tr, at);
  }
}

// One request at a time; a view changed meanwhile is asked for next.
const refresh = () => coalesced("peers", async () => {
  if (!onScreen || !total) return;
  const asked = pageQuery(view);
  const result = await get(asked);
  const page = result.ok && result.data && result.data.peers_page;
  if (asked !== pageQuery(view) || (!page && result.ok)) return;
  $("peers").classList.toggle("stale", !page);
  if (!page || $("peers-msg").className.includes("error")) say($("peers-msg"), "error", page ? "" : `The peers could not be read: ${result.message}`);
  if (!page) return;
  const details = (result.data.status.peers || {}).details || [];
  // Past the end (fewer now): the last page.
  if (!details.length && view.offset && page.matched) {
    view.offset = Math.ceil(page.matched / PAGE_SIZE) * PAGE_SIZE - PAGE_SIZE;
    refresh();
    return;
  }
  renderRows(details, "No peer matches the search.");
  const text = rangeText(page, rows.size) + (view.filter || view.state ? " matching" : "");
  if ($("peers-range").textContent !== text) setText($("peers-range"), text);
  if (document.activeElement !== $("peers-page")) $("peers-page").value = view.offset / PAGE_SIZE + 1;
  // Not disabled: a button pressed to the end keeps the focus.
  $("peers-prev").setAttribute("aria-disabled", view.offset <= 0);
  $("peers-next").setAttribute("aria-disabled", view.offset + PAGE_SIZE >= page.matched);
  $("peers-pager").hidden = false;
});

function show(change) {
  Object.assign(view, change);
  $("peers-sort").value = view.sort;
  for (const th of document.querySelectorAll("#peers-table th[aria-sort]")) {
    th.setAttribute("aria-sort", th.firstElementChild.dataset.sort !== view.sort ? "none" : view.order ? "descending" : "ascending");
  }
  refresh();
}

export function initPeers() {
  empty = $("peers-empty");
  // A second click: NetBird's order.
  for (const button of document.querySelectorAll("#peers-table button[data-sort]")) {
    const sort = button.dataset.sort;
    button.addEventListener("click", () => show({ sort: view.sort === sort ? "" : sort, offset: 0 }));
  }
  // A request per word, not per key.
  $("peers-filter").addEventListener("input", () => {
    clearTimeout(typing);
    typing = setTimeout(() => show({ filter: $("peers-filter").value.trim(), offset: 0 }), 300);
  });
  for (const [id, by] of [["peers-prev", -PAGE_SIZE], ["peers-next", PAGE_SIZE]]) {
    $(id).addEventListener("click", () =>
      $(id).getAttribute("aria-disabled") === "false" && show({ offset: view.offset + by }));
  }
  const on = (id, change) => $(id).addEventListener("change", ({ target }) => show({ offset: 0, ...change(target) }));
  on("peers-sort", (t) => ({ sort: t.value }));
  on("peers-desc", (t) => ({ order: t.checked ? "desc" : "" }));
  on("peers-state", (t) => ({ state: t.value }));
  on("peers-page", (t) => t.value >= 1 && { offset: (Math.round(t.value) - 1) * PAGE_SIZE });
  $("peers-body").addEventListener("click", async ({ target }) => {
    const ip = target.className.includes("copy") && target.textContent;
    if (ip) (await copyText(ip)) ? note($("peers-msg"), `Copied ${ip}.`) : say($("peers-msg"), "error", "Copying failed: select the address.");
  });
  new IntersectionObserver((entries) => {
    const was = onScreen;
    onScreen = entries.pop().isIntersecting;
    if (onScreen && !was) refresh();
  }).observe($("peers"));

  statusUpdates.subscribe((update) => {
    // A failed poll: the peers stay, greyed out.
    $("peers").classList.toggle("stale", !update);
    if (!update) return;
    const info = update.status && update.status.peers;
    total = info ? info.total : 0;
    setText($("peers-summary"), info ? `${n(info.connected)} of ${n(info.total)} peers connected.`
                                     : "NetBird reports no peers while it is not running.");
    if (total) {
      refresh();
      return;
    }
    $("peers-pager").hidden = true;
    renderRows([], "No peers to show.");
  });
  show({});
}
