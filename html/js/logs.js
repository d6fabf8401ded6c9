// The logs and storage section: the end of a log (with a follow toggle), the
// log files of the chosen source with download links, and the storage use.

import { get, coalesced, POLL_TIMEOUT_MS } from "./api.js";
import { $, el, say, setText, formatBytes } from "./ui.js";

export const FOLLOW_INTERVAL_MS = 3000;
// The application log has no tail endpoint; its newest file is fetched
// whole instead, up to this size, and its end shown like the daemon's tail.
const APP_TAIL_MAX_FILE_BYTES = 2 * 1024 * 1024;
const TAIL_SHOWN_CHARS = 200000;

// The day a log file belongs to, from its name; "live" for the daemon's log.
// Example: logDay("app_2026-01-31.log.gz") → "2026-01-31"; logDay("client.log") → "live"
export function logDay(name) {
  if (name === "client.log") return "live";
  const match = /(\d{4}-\d{2}-\d{2})/.exec(name);
  return match ? match[1] : "–";
}

let files = [];
let followTimer = null;

const source = () => $("log-source").value;
const downloadUrl = (file) =>
  `api/vpn/logs/download?source=${encodeURIComponent(file.source)}&name=${encodeURIComponent(file.name)}`;

function downloadLink(file) {
  const link = el("a", { href: downloadUrl(file), download: file.name, "aria-label": `Download ${file.name}` }, "Download");
  link.addEventListener("click", (event) => download(event, file));
  return link;
}

// A link downloads through the browser (large files go straight to disk);
// a quick look first makes a failure (a file gone or compressed since the
// list was made) show here instead of as a broken download.
async function download(event, file) {
  const link = event.currentTarget;
  if (link.dataset.checked === "yes") {
    delete link.dataset.checked;
    return;
  }
  event.preventDefault();
  const controller = new AbortController();
  let answer;
  try {
    answer = await fetch(link.href, { cache: "no-store", signal: controller.signal });
  } catch (_) {
    answer = null;
  }
  if (answer && answer.ok) {
    controller.abort();  // only the headers were needed
    link.dataset.checked = "yes";
    link.click();
    return;
  }
  const text = answer ? (await answer.text()).trim() : "";
  say($("log-files-msg"), "error", `${file.name} could not be downloaded: ${
    text && text.length < 200 && !text.startsWith("<") ? text : answer ? `HTTP ${answer.status}` : "network error"}`);
  loadFiles();
}

function renderFiles() {
  const body = $("log-files-body");
  body.replaceChildren();
  const shown = files.filter((f) => f.source === source());
  for (const file of shown) {
    body.append(el("tr", {},
      el("td", { className: "mono" }, file.name),
      el("td", {}, logDay(file.name)),
      el("td", { className: "num" }, formatBytes(file.size)),
      el("td", {}, downloadLink(file))));
  }
  if (!shown.length) body.append(el("tr", {}, el("td", { colSpan: 4, className: "empty" }, "No log files yet.")));
}

async function loadFiles() {
  const result = await get("logs/list");
  if (!result.ok || !Array.isArray(result.data)) {
    say($("log-files-msg"), "error", `The log files could not be listed: ${result.message}`);
    return false;
  }
  say($("log-files-msg"), "info", "");
  files = result.data;
  renderFiles();
  return true;
}

async function loadStorage() {
  const result = await get("storage");
  if (!result.ok || !result.data) {
    setText($("storage-text"), `Unknown: ${result.message}`);
    return;
  }
  const { total, free, used_pct: used } = result.data;
  $("storage-meter").value = used;
  setText($("storage-text"), total ? `${used} % used, ${formatBytes(free)} free of ${formatBytes(total)}` : "Unknown");
}

function showTail(text, note) {
  const pre = $("log-tail");
  const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 8;
  setText(pre, text || "(empty)");
  if (atEnd || $("log-follow").checked) pre.scrollTop = pre.scrollHeight;
  say($("log-msg"), "info", note || "");
}

async function tailApp() {
  if (!(await loadFiles())) {
    say($("log-msg"), "error", "The application's log files could not be listed.");
    return;
  }
  const newest = files.find((f) => f.source === "app" && f.name.endsWith(".log"));
  if (!newest) {
    showTail("", "The application has not written a log file today.");
    return;
  }
  if (newest.size > APP_TAIL_MAX_FILE_BYTES) {
    showTail("", `${newest.name} is ${formatBytes(newest.size)}: download it below to read it.`);
    return;
  }
  const result = await get(`logs/download?source=app&name=${encodeURIComponent(newest.name)}`, { timeoutMs: POLL_TIMEOUT_MS });
  if (!result.ok) {
    say($("log-msg"), "error", result.message);
    return;
  }
  const text = result.text;
  showTail(text.length > TAIL_SHOWN_CHARS ? text.slice(-TAIL_SHOWN_CHARS) : text, `End of ${newest.name}.`);
}

async function tailNetbird() {
  const result = await get("logs/tail?source=netbird", { timeoutMs: POLL_TIMEOUT_MS });
  if (result.status === 404) {
    showTail("", "The NetBird daemon has not written its log yet.");
    return;
  }
  if (!result.ok) {
    say($("log-msg"), "error", result.message);
    return;
  }
  showTail(result.text, "");
}

// A change of source while a tail is being read is not lost: the tail is
// read once more, for the source chosen then.
function refreshTail() {
  return coalesced("log-tail", () => (source() === "app" ? tailApp() : tailNetbird()));
}

function setFollow(on) {
  clearInterval(followTimer);
  followTimer = on ? setInterval(() => { if (!document.hidden) refreshTail(); }, FOLLOW_INTERVAL_MS) : null;
}

export function refreshLogs() {
  refreshTail();
  loadFiles();
  loadStorage();
}

export function initLogs() {
  $("log-source").addEventListener("change", () => {
    renderFiles();
    refreshTail();
  });
  $("log-follow").addEventListener("change", (event) => {
    setFollow(event.target.checked);
    if (event.target.checked) refreshTail();
  });
  $("log-refresh").addEventListener("click", refreshLogs);
  refreshLogs();
}
