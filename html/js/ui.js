// DOM helpers and formatting shared by the sections. Text from the API or
// from NetBird is only ever set as text (textContent), never parsed as HTML.

export const $ = (id) => document.getElementById(id);

// Creates an element with properties and children (strings become text).
// Keys with a dash, and "role" and "for", are set as attributes.
// Example: el("td", { className: "num", "aria-label": "Size" }, "42")
//          → <td class="num" aria-label="Size">42</td>
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

// Shows a message in a section's message area; kind is "ok", "error",
// "busy" or "info". An empty text clears it.
export function say(node, kind, text) {
  node.textContent = text || "";
  node.className = "msg" + (text ? " msg-" + kind : "");
  node.hidden = !text;
}

// A success note ("Saved.") is news, not a state: it clears itself after
// NOTE_MS unless something else was said there meanwhile.
export const NOTE_MS = 4000;

export function note(node, text) {
  say(node, "ok", text);
  setTimeout(() => { if (node.textContent === text && node.className === "msg msg-ok") say(node, "ok", ""); }, NOTE_MS);
}

// Runs `task` with `button` disabled and showing `busyLabel`; restores it
// afterwards whatever happens.
export async function withButton(button, busyLabel, task) {
  const label = button.textContent;
  button.disabled = true;
  button.setAttribute("aria-busy", "true");
  button.textContent = busyLabel;
  try {
    return await task();
  } finally {
    button.disabled = false;
    button.removeAttribute("aria-busy");
    button.textContent = label;
    keepFocus(button);
  }
}

// A disabled button loses the keyboard focus to the page; give it back so
// that a keyboard user goes on from where they were.
export function keepFocus(button) {
  if (document.activeElement === document.body && button.isConnected && !button.hidden) button.focus();
}

// Example: formatBytes(1536) → "1.5 KiB"; formatBytes(0) → "0 B"
export function formatBytes(bytes) {
  const n = Number(bytes);
  if (!Number.isFinite(n) || n < 0) return "–";
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let value = n;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${value} B` : `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}

// Example: formatDuration(3725) → "1 h 2 min"; formatDuration(42) → "42 s"
export function formatDuration(seconds) {
  const s = Math.max(0, Math.floor(Number(seconds) || 0));
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
  return `${Math.floor(s / 86400)} d ${Math.floor((s % 86400) / 3600)} h`;
}

// Go's zero time ("0001-01-01T00:00:00Z") and unparsable texts mean "never".
// Example: secondsSince("2026-01-01T00:00:00Z", Date.parse("2026-01-01T00:01:00Z")) → 60
export function secondsSince(iso, now = Date.now()) {
  const t = Date.parse(iso);
  if (!Number.isFinite(t) || t < Date.UTC(1971, 0, 1)) return null;
  return Math.max(0, Math.round((now - t) / 1000));
}

export function clockTime(date) {
  return date.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", second: "2-digit" });
}

// A moment in local time, with its day unless it is the day of `now`.
// Example: shortTime(<today 02:14>, <today 09:00>) → "02:14"; shortTime(<5 Dec 02:14>, <7 Dec>) → "5 Dec 02:14"
export function shortTime(ms, now = Date.now()) {
  const date = new Date(ms);
  const hm = date.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
  return date.toDateString() === new Date(now).toDateString()
    ? hm : `${date.toLocaleDateString([], { day: "numeric", month: "short" })} ${hm}`;
}

// Copies text to the clipboard. The asynchronous clipboard exists only on
// secure origins (a camera is usually reached over plain http), so fall
// back to selecting a temporary text area.
export async function copyText(text) {
  try {
    if (navigator.clipboard && window.isSecureContext) {
      await navigator.clipboard.writeText(text);
      return true;
    }
  } catch (_) {
    // fall through to the old way
  }
  const area = el("textarea", { value: text, readOnly: true, className: "offscreen" });
  document.body.append(area);
  area.select();
  let copied = false;
  try {
    copied = document.execCommand("copy");
  } catch (_) {
    copied = false;
  }
  area.remove();
  return copied;
}

// A tiny publish/subscribe point. One listener that fails does not keep
// the value from the others.
export function channel() {
  const listeners = new Set();
  return {
    subscribe(fn) {
      listeners.add(fn);
      return () => listeners.delete(fn);
    },
    publish(value) {
      for (const fn of listeners) {
        try {
          fn(value);
        } catch (err) {
          setTimeout(() => { throw err; });  // reported, not swallowed
        }
      }
    },
  };
}
