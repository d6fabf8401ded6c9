// The history section: the figures and a timeline coloured by state for the
// last day and week, the events newest first, and the header's "up for" /
// "down since". It follows the status poll, one request at a time.

import { get, single } from "./api.js";
import { $, el, say, setText, formatDuration, shortTime } from "./ui.js";
import { statusUpdates } from "./state.js";

// Each poll asks only for new events (its answer moves the timelines on); the
// whole list is read again when there are some, and at least this often.
const FULL_EVERY_MS = 60000;

export const STATES = {
  up: "Up",
  connecting: "Connecting",
  down: "Down while wanted up",
  not_wanted: "Off (taken down or not enrolled)",
  unknown: "No record (application not running)",
};
const SINCE = { connecting: "connecting since", down: "down since", not_wanted: "off since" };
const GROUPS = [["", "All events"], ["tunnel", "Tunnel state"], ["servers", "Servers and peers"],
  ["daemon", "NetBird daemon"], ["command", "Commands"], ["change", "Settings and environment"],
  ["app", "Application start and stop"]];

// The filter group of an event kind.
// Example: eventGroup("daemon_exited") → "daemon"; eventGroup("signal") → "servers"
export function eventGroup(kind) {
  if (kind === "daemon_state" || kind === "kept_down") return "tunnel";
  if (kind === "management" || kind === "signal" || kind === "peers") return "servers";
  if (kind.startsWith("daemon_")) return "daemon";
  if (kind.startsWith("supervisor_")) return "app";
  return kind === "settings" || kind === "environment" ? "change" : kind;
}

// Example: relativeTime(0, 300000) → "5 min ago"; relativeTime(0, 20000) → "just now"
export function relativeTime(time, now) {
  const s = (now - time) / 1000;
  if (s < 60) return "just now";
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  return s < 86400 ? `${Math.floor(s / 3600)} h ago` : `${Math.floor(s / 86400)} d ago`;
}

// Rounded down, so that 99.96 % does not read as 100 %.
// Example: share(3590, 3600) → "99.7 %"; share(0, 0) → "–"
export const share = (part, whole) => (whole > 0 ? `${Math.floor((1000 * part) / whole) / 10} %` : "–");

// Example: currentText({ state: "up", since: 0 }, 11520000) → "up for 3 h 12 min"
//          currentText({ state: "down", since: <today 02:14> }, <today 09:00>) → "down since 02:14"
export function currentText(current, now) {
  if (current && current.state === "up") return `up for ${formatDuration((now - current.since) / 1000)}`;
  return current && SINCE[current.state] ? `${SINCE[current.state]} ${shortTime(current.since, now)}` : "";
}

// A window's bar: its stretches, the time without a record filled in, equal
// neighbours merged.
// Example: barStretches({ from: 0, to: 100, segments: [{ from: 50, to: 100, state: "up" }] })
//          → [{ from: 0, to: 50, state: "unknown" }, { from: 50, to: 100, state: "up" }]
export function barStretches({ from, to, segments }) {
  const out = [];
  const add = (start, end, state) => {
    const last = out[out.length - 1];
    if (last && last.state === state && last.to === start) last.to = end;
    else if (end > start) out.push({ from: start, to: end, state });
  };
  let at = from;
  for (const s of segments || []) {
    const end = Math.min(s.to, to);
    if (end <= Math.max(s.from, at)) continue;
    add(at, s.from, "unknown");
    add(Math.max(s.from, at), end, STATES[s.state] ? s.state : "unknown");
    at = end;
  }
  add(at, to, "unknown");
  return out;
}

let events = [];
let lastId = 0;
let fullAt = 0;
let current = null;
let skew = 0;  // the application's clock minus this computer's
const bars = {};
const serverNow = () => Date.now() + skew;

function stretchText(s, window) {
  const end = s.to >= window.to ? "now" : shortTime(s.to, window.to);
  return `${STATES[s.state]}: ${shortTime(s.from, window.to)} – ${end} (${formatDuration((s.to - s.from) / 1000)})`;
}

// Selects a stretch (-1: none) and says what it was under the bar.
function select(bar, index) {
  bar.index = index;
  for (const seg of bar.node.querySelectorAll(".sel")) seg.classList.remove("sel");
  if (index < 0) return;
  bar.node.children[index].classList.add("sel");
  setText(bar.detail, stretchText(bar.stretches[index], bar.window));
}

// Under a bar: local time every `step` hours (the day's name for 24).
function axisLabels({ from, to }, step) {
  const out = [];
  for (const t = new Date(from); t < to; t.setHours(t.getHours() + 1, 0, 0, 0)) {
    const left = (100 * (t - from)) / (to - from);
    if (t.getHours() % step || t.getMinutes() || left < 4 || left > 96) continue;
    const label = el("span", {}, step === 24 ? t.toLocaleDateString([], { weekday: "short" })
      : t.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" }));
    label.style.left = `${left}%`;
    out.push(label);
  }
  return out;
}

function buildWindow(key, title, step) {
  const id = `history-${key}`;
  const node = el("div", { className: "bar", tabIndex: 0, role: "group", id: `${id}-bar`,
    "aria-label": `${title}: the arrow keys step through the timeline`, "aria-describedby": `${id}-detail` });
  const bar = bars[key] = { node, step, stretches: [], index: -1, figures: el("dl", { className: "figures" }),
    axis: el("div", { className: "axis" }),
    detail: el("p", { className: "hint", id: `${id}-detail`, "aria-live": "polite" }, "Point at or tap the bar for details.") };
  node.addEventListener("click", (event) => select(bar, [...node.children].indexOf(event.target)));
  // Hover details are worded when pointed at.
  node.addEventListener("mouseover", ({ target }) => {
    const s = bar.stretches[[...node.children].indexOf(target)];
    if (s) target.title = stretchText(s, bar.window);
  });
  node.addEventListener("keydown", (event) => {
    const step = { ArrowLeft: -1, ArrowRight: 1, Home: -Infinity, End: Infinity }[event.key];
    const last = bar.stretches.length - 1;
    if (step === undefined || last < 0) return;
    event.preventDefault();
    select(bar, Math.max(0, Math.min(last, bar.index < 0 ? last : bar.index + step)));
  });
  return el("div", { id }, el("h3", {}, title), bar.figures, node, bar.axis, bar.detail);
}

function renderWindow(bar, w) {
  const kept = bar.stretches[bar.index];
  bar.window = w;
  bar.stretches = barStretches(w);
  const percent = (ms) => `${(100 * ms) / (w.to - w.from)}%`;
  // The stretches' elements are kept, so that what is pointed at keeps its details.
  const segs = bar.node.children;
  bar.stretches.forEach((s, i) => {
    const seg = segs[i] || bar.node.appendChild(el("span"));
    seg.className = `seg s-${s.state}`;
    seg.style.left = percent(s.from - w.from);
    seg.style.width = percent(s.to - s.from);
    if (seg.title) seg.title = stretchText(s, w);
  });
  while (segs.length > bar.stretches.length) bar.node.lastChild.remove();
  bar.axis.replaceChildren(...axisLabels(w, bar.step));
  // What was selected stays selected as the window moves on.
  if (kept) select(bar, bar.stretches.findIndex((s) => s.state === kept.state && s.from < kept.to && s.to > kept.from));
  const facts = [
    ["Wanted up", share(w.wanted_s, w.known_s), `of the ${formatDuration(w.known_s)} recorded`],
    ["Up", share(w.up_s, w.wanted_s), "of the time wanted up"],
    ["Drops", w.drops],
    ["Longest outage", w.longest_outage_s ? formatDuration(w.longest_outage_s) : "none"],
    ["Daemon restarts", w.daemon_restarts],
  ];
  bar.figures.replaceChildren(...facts.map(([label, value, of]) =>
    el("div", {}, el("dt", {}, label), el("dd", {}, String(value), of && el("span", { className: "sub" }, of)))));
}

function renderSince() {
  const text = currentText(current, serverNow());
  setText($("since"), text);
  $("since").hidden = !text;
}

function renderList() {
  const group = $("history-kind").value;
  const shown = events.filter((e) => !group || eventGroup(String(e.kind)) === group);
  $("history-list").replaceChildren(...shown.map((e) => {
    const when = new Date(e.time);
    return el("li", {}, String(e.text),
      el("span", { className: "sub" }, el("time", { dateTime: when.toISOString(), "data-time": e.time }),
         ` · ${when.toLocaleString([], { dateStyle: "medium", timeStyle: "medium" })}`));
  }));
  if (!shown.length) $("history-list").append(el("li", { className: "empty" }, "No events of this kind."));
}

function renderAges() {
  for (const node of $("history-list").querySelectorAll("time")) setText(node, relativeTime(Number(node.dataset.time), serverNow()));
}

async function refresh() {
  let full = Date.now() - fullAt >= FULL_EVERY_MS;
  let result = await get(full ? "history" : `history?since=${lastId}`);
  const data = result.data;
  // Something new, or a history that began again (its ids with it).
  if (!full && result.ok && data && (data.events.length || data.last_id < lastId)) {
    full = true;
    result = await get("history");
  }
  if (!result.ok || !result.data) {
    say($("history-msg"), "error", `The history could not be read: ${result.message}`);
    return;
  }
  say($("history-msg"), "info", "");
  skew = result.data.now - Date.now();
  current = result.data.current;
  renderSince();
  renderWindow(bars.day, result.data.summary.day);
  renderWindow(bars.week, result.data.summary.week);
  if (full) {
    ({ events, last_id: lastId } = result.data);
    fullAt = Date.now();
    renderList();
  }
  renderAges();
}

export function initHistory() {
  $("history-windows").append(buildWindow("day", "Last 24 hours", 6), buildWindow("week", "Last 7 days", 24));
  $("history-legend").append(...Object.entries(STATES).map(([state, label]) =>
    el("li", {}, el("span", { className: `swatch s-${state}` }), label)));
  $("history-kind").append(...GROUPS.map(([value, label]) => el("option", { value }, label)));
  $("history-kind").addEventListener("change", () => {
    renderList();
    renderAges();
  });
  statusUpdates.subscribe((update) => {
    // The header's state is as old as the last answer: none while there is none.
    $("since").hidden = !update;
    if (update) {
      renderSince();
      single("history", refresh);
    }
  });
}
