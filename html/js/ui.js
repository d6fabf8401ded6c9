// Shared DOM helpers and formats. API and NetBird text is set as text, never as HTML.

export const $ = (id) => document.getElementById(id);

// An element with properties (dashed keys, role and for as attributes) and children.
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key.includes("-") || key === "role" || key === "for") node.setAttribute(key, value);
    else node[key] = value;
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

export function setText(node, text) {
  node.textContent = text === undefined || text === null ? "" : String(text);
}

// Shows a message ("ok", "error", "busy" or "info"); an empty text clears it.
export function say(node, kind, text) {
  node.textContent = text || "";
  node.className = "msg" + (text ? " msg-" + kind : "");
  node.hidden = !text;
}

// A success note ("Saved.") is news, not a state: it clears itself.
export const NOTE_MS = 4000;
export function note(node, text) {
  say(node, "ok", text);
  setTimeout(() => { if (node.textContent === text && node.className === "msg msg-ok") say(node, "ok", ""); }, NOTE_MS);
}

// Runs `task` with `button` disabled and showing `busyLabel`.
export async function withButton(button, busyLabel, task) {
  const label = button.textContent;
  button.disabled = true;
  button.setAttribute("aria-busy", "true");
  button.textContent = busyLabel;
  try { return await task(); } finally {
    button.disabled = false;
    button.removeAttribute("aria-busy");
    button.textContent = label;
    keepFocus(button);
  }
}

// A disabled button loses the keyboard focus: give it back.
export function keepFocus(button) {
  if (document.activeElement === document.body && button.isConnected && !button.hidden) button.focus();
}

// Example: formatBytes(1536) → "1.5 KiB"; formatBytes(0) → "0 B"
export function formatBytes(bytes) {
  const n = Number(bytes);
  if (!Number.isFinite(n) || n < 0) return "–";
  let [value, unit] = [n, 0];
  for (; value >= 1024 && unit < 4; unit++) value /= 1024;
  return unit ? `${value.toFixed(value < 10 ? 1 : 0)} ${"BKMGT"[unit]}iB` : `${value} B`;
}

// Example: formatDuration(3725) → "1 h 2 min"; formatDuration(42) → "42 s"
export function formatDuration(seconds) {
  const s = Math.max(0, Math.floor(Number(seconds) || 0));
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
  return `${Math.floor(s / 86400)} d ${Math.floor((s % 86400) / 3600)} h`;
}

// Go's zero time and unparsable texts: null ("never"). Example: secondsSince(<1 min ago>) → 60
export function secondsSince(iso, now = Date.now()) {
  const t = Date.parse(iso);
  if (!Number.isFinite(t) || t < Date.UTC(1971, 0, 1)) return null;
  return Math.max(0, Math.round((now - t) / 1000));
}

const HM = { hour: "2-digit", minute: "2-digit" };
export const hourMinute = (date) => date.toLocaleTimeString([], HM);
export const clockTime = (date) => date.toLocaleTimeString([], { ...HM, second: "2-digit" });

// Local time, with the day unless it is `now`'s. Example: shortTime(<5 Dec 02:14>, <7 Dec>) → "5 Dec 02:14"
export function shortTime(ms, now = Date.now()) {
  const date = new Date(ms);
  const hm = hourMinute(date);
  return date.toDateString() === new Date(now).toDateString()
    ? hm : `${date.toLocaleDateString([], { day: "numeric", month: "short" })} ${hm}`;
}

// The asynchronous clipboard needs a secure origin; a camera is mostly plain http.
export async function copyText(text) {
  try {
    if (navigator.clipboard && window.isSecureContext) return await navigator.clipboard.writeText(text), true;
  } catch (_) { /* the old way below */ }
  const area = el("textarea", { value: text, readOnly: true, className: "offscreen" });
  document.body.append(area);
  area.select();
  let copied = false;
  try { copied = document.execCommand("copy"); } catch (_) { /* not copied */ }
  area.remove();
  return copied;
}

// Copies a field's value and says so in `msg`; failing, selects it for a copy by hand.
export async function copyField(input, msg, what) {
  const copied = await copyText(input.value);
  say(msg, copied ? "ok" : "info", copied ? `${what[0].toUpperCase()}${what.slice(1)} copied.` : `Select the ${what} and copy it by hand.`);
  if (!copied) input.select();
}

// A publish/subscribe point; a failing listener does not stop the others; a late one hears the last value.
export function channel() {
  const listeners = new Set();
  let last = null;  // [value] once published
  const tell = (fn, value) => {
    try { fn(value); } catch (err) { setTimeout(() => { throw err; }); }  // reported, not swallowed
  };
  return {
    subscribe: (fn) => listeners.add(fn) && last && tell(fn, last[0]),
    publish(value) {
      last = [value];
      for (const fn of listeners) tell(fn, value);
    },
  };
}
