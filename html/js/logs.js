// The live log's end (then only new bytes when followed), searched here; log files; storage.

import { get, coalesced } from "./api.js";
import { $, el, say, setText, formatBytes } from "./ui.js";

export const FOLLOW_INTERVAL_MS = 3000;
// A log's end read at first, and kept.
const TAIL_BYTES = 200000;

// Example: logDay("app_2026-01-31.log.gz") → "2026-01-31"; logDay("client.log") → "live"
export function logDay(name) {
  if (name === "client.log") return "live";
  const match = /(\d{4}-\d{2}-\d{2})/.exec(name);
  return match ? match[1] : "–";
}

// Lines of the level chosen or above ("<time> ERRO ..." or "[<time>] [W] ..."; a continuation has its first's).
function kept(text) {
  const least = $("log-level").value;
  const word = $("log-search").value.trim().toLowerCase();
  // NetBird logs a status poll every 5 s.
  const polls = $("log-polls").checked && /verb=status\b/;
  let level = 0;
  return text.split("\n").filter((line) => {
    const match = /^(?:\S+ |\[[^\]]*\] \[)([A-Z])[A-Z]*\b/.exec(line);
    if (match) level = "EFPC".includes(match[1]) ? 2 : +(match[1] === "W");
    return level >= least && !(polls && polls.test(line)) && line.toLowerCase().includes(word);
  }).join("\n");
}

let files = [];
let last = ["", ""];  // the text and notice shown
let followTimer = null;
// { source, name, have (bytes), text, decoder } of the log shown.
let tail = null;

const source = () => $("log-source").value;
const downloadPath = (file) => `logs/download?source=${file.source}&name=${encodeURIComponent(file.name)}`;

function downloadLink(file) {
  const link = el("a", { href: `api/vpn/${downloadPath(file)}`, download: file.name, "aria-label": `Download ${file.name}` }, "Download");
  link.addEventListener("click", (event) => download(event, file));
  return link;
}

// A look at the first byte says a failure (a file gone) here, not as a broken download.
async function download(event, file) {
  const link = event.currentTarget;
  if (link.dataset.checked === "yes") {
    delete link.dataset.checked;
    return;
  }
  event.preventDefault();
  const result = await get(downloadPath(file), { bytes: true, headers: { Range: "bytes=0-0" } });
  if (result.ok || result.status === 416) {
    link.dataset.checked = "yes";
    link.click();
    return;
  }
  say($("log-files-msg"), "error", `${file.name} could not be downloaded: ${result.message}`);
  loadFiles();
}

// Named cells: a phone shows each row as a card.
const cell = (label, props, ...children) => el("td", { ...props, "data-label": label }, ...children);

function renderFiles() {
  const body = $("log-files-body");
  const shown = files.filter((f) => f.source === source());
  // Followed, the list comes every few seconds: rows (and a link being clicked) stay.
  const rows = body.rows;
  if (shown.length && shown.length === rows.length && shown.every((f, i) => rows[i].dataset.name === f.name)) {
    shown.forEach((f, i) => setText(rows[i].cells[2], formatBytes(f.size)));
    return;
  }
  body.replaceChildren();
  for (const file of shown) {
    body.append(el("tr", { "data-name": file.name },
      cell("File", { className: "mono" }, file.name),
      cell("Day", {}, logDay(file.name)),
      cell("Size", { className: "num" }, formatBytes(file.size)),
      cell("", {}, downloadLink(file))));
  }
  if (!shown.length) body.append(el("tr", {}, el("td", { colSpan: 4, className: "empty" }, "No log files yet.")));
}

async function loadFiles() {
  const result = await get("logs/list");
  const ok = result.ok && Array.isArray(result.data);
  say($("log-files-msg"), "error", ok ? "" : `The log files could not be listed: ${result.message}`);
  if (!ok) return false;
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

function showTail(text, notice) {
  last = [text, notice];
  const pre = $("log-tail");
  const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 8;
  setText(pre, (text && kept(text)) || (text ? "No line matches." : "(empty)"));
  if (atEnd || $("log-follow").checked) pre.scrollTop = pre.scrollHeight;
  say($("log-msg"), "info", notice || "");
}

// Today's application log, or NetBird's live one.
const liveFile = (from) => files.find((f) => f.source === from && (from === "app" ? f.name.endsWith(".log") : f.name === "client.log"));

// What is new in the live log, or its end afresh for another (a new day) or shorter file.
async function readTail(from) {
  if (!(await loadFiles())) return;
  const file = liveFile(from);
  if (!file) {
    tail = null;
    showTail("", from === "app" ? "The application has not written a log file today." : "The NetBird daemon has not written its log yet.");
    return;
  }
  if (!tail || tail.source !== from || tail.name !== file.name || file.size < tail.have) {
    const have = Math.max(0, file.size - TAIL_BYTES);
    tail = { source: from, name: file.name, have, cut: have > 0, text: "", decoder: new TextDecoder() };
  }
  const wanted = tail;
  const result = await get(downloadPath(file), {
    bytes: true, timeoutMs: 30000, headers: wanted.have ? { Range: `bytes=${wanted.have}-` } : {},
  });
  // 416: nothing new (a file that shrank shows in the next list).
  if (tail !== wanted || result.status === 416) return;
  if (!result.ok || !result.bytes) {
    say($("log-msg"), "error", result.message);
    return;
  }
  if (result.status !== 206) Object.assign(wanted, { have: 0, cut: false, text: "", decoder: new TextDecoder() });
  wanted.have += result.bytes.byteLength;
  let text = wanted.decoder.decode(result.bytes, { stream: true });
  if (wanted.cut) text = text.slice(text.indexOf("\n") + 1);  // the end of a line read from its middle
  wanted.cut = false;
  wanted.text = (wanted.text + text).slice(-TAIL_BYTES);
  showTail(wanted.text, from === "app" ? `End of ${file.name}.` : "");
}

// A source chosen while a tail is read is read next.
const refreshTail = () => coalesced("log-tail", () => readTail(source()));

function setFollow(on) {
  clearInterval(followTimer);
  followTimer = on ? setInterval(() => { if (!document.hidden) refreshTail(); }, FOLLOW_INTERVAL_MS) : null;
}

export function refreshLogs() {
  refreshTail();
  loadStorage();
}

export function initLogs() {
  $("log-source").addEventListener("change", () => {
    renderFiles();
    refreshTail();
  });
  $("log-follow").addEventListener("change", ({ target }) => {
    setFollow(target.checked);
    if (target.checked) refreshTail();
  });
  $("log-refresh").addEventListener("click", refreshLogs);
  for (const id of ["log-search", "log-level", "log-polls"]) $(id).addEventListener(id === "log-search" ? "input" : "change", () => showTail(...last));
  refreshLogs();
}
