// Figures and timelines (hour, day, week), events newest first by change, and the header's "up for".

import { get, single } from "./api.js";
import { $, el, say, setText, formatDuration, shortTime, clockTime, hourMinute } from "./ui.js";
import { statusUpdates } from "./state.js";

// Polls ask for new events; the whole list is read when there are some, and this often.
const FULL_EVERY_MS = 60000;
const HOUR = 3600000;
const MIN_PX = 12;  // narrower, a stretch cannot be tapped
const PAGE = 20;

export const STATES = {
  up: "Up",
  connecting: "Connecting",
  down: "Down while wanted up",
  not_wanted: "Off (taken down or not enrolled)",
  unknown: "No record (application not running)",
};
const SINCE = { connecting: "connecting since", down: "down since", not_wanted: "off since" };
// An outage the user asked for weighs as little as a tunnel taken down.
const SEVERITY = { up: 0, not_wanted: 1, unknown: 2, connecting: 3, down: 4 };
const weight = (s) => (s.asked ? 1 : SEVERITY[s.state]);
// A change's entry is led by its cause.
const LEAD = ["command", "app", "daemon", "change", "tunnel", "servers"];
const rank = (e) => LEAD.indexOf(eventGroup(String(e.kind))) + 1 || 9;
const GROUPS = [["", "All events"], ["tunnel", "Tunnel state"], ["servers", "Servers and peers"],
  ["daemon", "NetBird daemon"], ["command", "Commands"], ["change", "Settings and environment"],
  ["app", "Application start and stop"]];

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

// Rounded down: 99.96 % is not 100 %. Example: share(3590, 3600) → "99.7 %"; share(0, 0) → "–"
export const share = (part, whole) => (whole > 0 ? `${Math.floor((1000 * part) / whole) / 10} %` : "–");

// Example: currentText({ state: "up", since: 0 }, 11520000) → "up for 3 h 12 min"
export function currentText(current, now) {
  if (current && current.state === "up") return `up for ${formatDuration((now - current.since) / 1000)}`;
  return current && SINCE[current.state] ? `${SINCE[current.state]} ${shortTime(current.since, now)}` : "";
}

// The time without a record filled in, equal neighbours merged.
// Example: ({ from: 0, to: 9, segments: [<5-9 up>] }) → [<0-5 unknown>, <5-9 up>]
export function barStretches({ from, to, segments }) {
  const out = [];
  const add = (start, end, state, asked) => {
    const last = out[out.length - 1];
    if (last && last.state === state && last.asked === asked && last.to === start) last.to = end;
    else if (end > start) out.push({ from: start, to: end, state, asked });
  };
  let at = from;
  for (const s of segments || []) {
    const end = Math.min(s.to, to);
    if (end <= Math.max(s.from, at)) continue;
    add(at, s.from, "unknown", false);
    add(Math.max(s.from, at), end, STATES[s.state] ? s.state : "unknown", !!s.asked);
    at = end;
  }
  add(at, to, "unknown", false);
  return out;
}

// Neighbours shorter than `min` merge (up to `min`) in their worst state; the last stays alone.
function tappable(stretches, min) {
  const out = [];
  let run;
  stretches.forEach((s, i) => {
    if (s.to - s.from >= min || i === stretches.length - 1) return out.push((run = s));
    if (!run || !run.parts) out.push((run = { ...s, parts: [] }));
    if (weight(s) > weight(run)) Object.assign(run, { state: s.state, asked: s.asked });
    run.parts.push(s);
    run.to = s.to;
    if (run.to - run.from >= min) run = null;
  });
  return out.map((s) => (s.parts && !s.parts[1] ? s.parts[0] : s));
}

let events = [];
let lastId = 0;
let fullAt = 0;
let current = null;
let skew = 0;  // the application's clock minus this computer's
let listed = PAGE;
const bars = {};
const serverNow = () => Date.now() + skew;
const length = (ms) => (ms < 1000 ? "under 1 s" : formatDuration(ms / 1000));
const label = (s) => STATES[s.state] + (s.asked ? " (you asked)" : "");

// A short stretch of today is told to the second.
function stretchText(s, { to }) {
  const at = (ms) => (s.to - s.from < HOUR && shortTime(ms, to).length < 9 ? clockTime(new Date(ms)) : shortTime(ms, to));
  const span = `${at(s.from)} – ${s.to >= to ? "now" : at(s.to)} (${length(s.to - s.from)})`;
  if (!s.parts) return `${label(s)}: ${span}`;
  const sums = {};
  for (const p of s.parts) sums[label(p)] = (sums[label(p)] || 0) + p.to - p.from;
  return `${s.parts.length} changes, ${span}: ${Object.entries(sums).map(([l, ms]) => `${l} ${length(ms)}`).join(", ")}`;
}

// Selects a stretch (-1: none) and tells it under the bar.
function select(bar, index) {
  bar.index = index;
  for (const seg of bar.node.querySelectorAll(".sel")) seg.classList.remove("sel");
  if (index < 0) return;
  bar.node.children[index].classList.add("sel");
  setText(bar.detail, stretchText(bar.stretches[index], bar.window));
}

// Local time every `step` minutes (the day's name for a day).
function axisLabels({ from, to }, step) {
  const out = [];
  const by = step < 60 ? 1 : 60;
  for (const t = new Date(from); t < to; t.setMinutes(t.getMinutes() - (t.getMinutes() % by) + by, 0, 0)) {
    const left = (100 * (t - from)) / (to - from);
    if (t % 60000 || (t.getHours() * 60 + t.getMinutes()) % step || left < 4 || left > 96) continue;
    const label = el("span", {}, step === 1440 ? t.toLocaleDateString([], { weekday: "short" })
      : hourMinute(t));
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
  const min = ((w.to - w.from) * MIN_PX) / (bar.node.clientWidth || 300);
  bar.window = w;
  bar.stretches = tappable(barStretches(w), min);
  const percent = (ms) => `${(100 * ms) / (w.to - w.from)}%`;
  // Elements are kept (what is pointed at keeps its details).
  const segs = bar.node.children;
  while (segs.length < bar.stretches.length) bar.node.append(el("span"));
  while (segs.length > bar.stretches.length) bar.node.lastChild.remove();
  // Each at least `min` wide, the room taken from the longer ones in proportion to their excess.
  const spans = bar.stretches.map((s) => Math.max(Math.min(s.to, w.to) - Math.max(s.from, w.from), min));
  const over = spans.reduce((a, b) => a + b, 0) - (w.to - w.from);
  const slack = spans.reduce((a, b) => a + b - min, 0);
  let edge = w.from;
  for (let i = 0; i < segs.length; i++) {
    const s = bar.stretches[i];
    const span = over <= 0 ? spans[i] : slack >= over ? spans[i] - (over * (spans[i] - min)) / slack : (w.to - w.from) / segs.length;
    if (over <= 0) edge = Math.max(edge, s.from);
    segs[i].className = `seg s-${s.state}${s.asked ? " asked" : ""}${s.parts ? " mixed" : ""}`;
    segs[i].style.left = percent(edge - w.from);
    segs[i].style.width = percent(span);
    edge += span;
    if (segs[i].title) segs[i].title = stretchText(s, w);
  }
  bar.axis.replaceChildren(...axisLabels(w, bar.step));
  // What was selected stays selected as the window moves on.
  if (kept) select(bar, bar.stretches.findIndex((s) => s.state === kept.state && s.from < kept.to && s.to > kept.from));
  if (w.drops === undefined) return;
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

// A change: events within 5 s of the one before, in a minute; two causes split at the longest pause.
function renderList() {
  const group = $("history-kind").value;
  const cause = (e) => rank(e) < 2 || e.kind === "supervisor_started";
  const all = [];
  for (const e of events) {
    const last = all[all.length - 1];
    if (group && eventGroup(String(e.kind)) !== group) continue;
    if (!last || last[last.length - 1].time - e.time > 5000 || last[0].time - e.time > 60000) all.push([e]);
    else if (!cause(e) || !last.some(cause)) last.push(e);
    else {
      let cut = last.length;
      for (let i = last.findIndex(cause) + 1; i < last.length; i++) if (last[i - 1].time - last[i].time > last[cut - 1].time - (last[cut] || e).time) cut = i;
      all.push([...last.splice(cut), e]);
    }
  }
  $("history-list").replaceChildren(...all.slice(0, listed).map((change) => {
    const lead = change.reduce((a, e) => (rank(e) < rank(a) ? e : a));
    const rest = change.filter((e) => e !== lead).reverse().map((e) => String(e.text)).join(" · ");
    const when = new Date(change[0].time);
    return el("li", {}, String(lead.text),
      change.some((e) => e.facts && e.facts.asked) && [" ", el("span", { className: "pill pill-off" }, "you asked")],
      rest && el("span", { className: "sub" }, rest),
      el("span", { className: "sub" }, el("time", { dateTime: when.toISOString(), "data-time": when.getTime() }),
         ` · ${when.toLocaleString([], { dateStyle: "medium", timeStyle: "medium" })}`));
  }));
  if (!all.length) $("history-list").append(el("li", { className: "empty" }, "No events of this kind."));
  $("history-more").hidden = all.length <= listed;
}

function renderAges() {
  for (const node of $("history-list").querySelectorAll("time")) setText(node, relativeTime(Number(node.dataset.time), serverNow()));
}

async function refresh() {
  let full = Date.now() - fullAt >= FULL_EVERY_MS;
  let result = await get(full ? "history" : `history?since=${lastId}`);
  const data = result.data;
  // Something new, or a history begun again.
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
  const { day, week } = result.data.summary;
  const first = (day.segments || []).find((s) => s.state !== "unknown");
  renderWindow(bars.hour, { ...day, drops: undefined, from: Math.min(day.to - 9000, Math.max(day.to - HOUR, first ? first.from : 0)) });
  renderWindow(bars.day, day);
  renderWindow(bars.week, week);
  if (full) {
    ({ events, last_id: lastId } = result.data);
    fullAt = Date.now();
    renderList();
  }
  renderAges();
}

export function initHistory() {
  $("history-windows").append(buildWindow("hour", "Last hour", 15), buildWindow("day", "Last 24 hours", 360),
    buildWindow("week", "Last 7 days", 1440));
  $("history-legend").append(...[...Object.entries(STATES), ["up mixed", "Short changes (the worst shown)"],
    ["connecting asked", "Outage you asked for"]].map(([state, text]) =>
    el("li", {}, el("span", { className: `swatch s-${state}` }), text)));
  $("history-kind").append(...GROUPS.map(([value, text]) => el("option", { value }, text)));
  const relist = (more) => {
    listed = more ? listed + PAGE : PAGE;
    renderList();
    renderAges();
  };
  $("history-kind").addEventListener("change", () => relist(false));
  $("history-more").addEventListener("click", () => relist(true));
  statusUpdates.subscribe((update) => {
    // None while the poll fails: it would be old.
    $("since").hidden = !update;
    if (update) {
      renderSince();
      single("history", refresh);
    }
  });
}
