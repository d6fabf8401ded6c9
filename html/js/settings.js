// The settings section: each setting with its value and default, saved or
// reset on its own; a refusal is shown at the field. A saved tunnel option
// says to reconnect for as long as the status's pending_reconnect does.

import { get, post } from "./api.js";
import { $, el, say, withButton, NOTE_MS } from "./ui.js";
import { refreshStatus } from "./status.js";
import { configUpdates, statusUpdates } from "./state.js";

const RECONNECT_HINT = "The tunnel still runs with the old value: reconnect to apply it.";

// The application's defaults, shown beside each field (the API reports
// effective values only).
export const SETTINGS = [
  { key: "management_url", label: "Management URL", kind: "text", def: "", defText: "NetBird's cloud (https://api.netbird.io:443)" },
  { key: "wireguard_port", label: "WireGuard port", kind: "number", def: 51820, tunnel: true },
  { key: "mtu", label: "MTU", kind: "number", def: 1280, tunnel: true },
  { key: "interface_name", label: "Interface name", kind: "text", def: "wt0", tunnel: true },
  { key: "external_ip_map", label: "External IP map", kind: "text", def: "", defText: "none", tunnel: true,
    hint: "Comma-separated [localIP/]externalIP pairs, for a device behind port forwarding." },
  { key: "watchdog_enabled", label: "Watchdog", kind: "choice", def: true, choices: [["true", "on"], ["false", "off"]],
    hint: "Restarts the daemon when it loses its management server for longer than the time-out." },
  { key: "watchdog_timeout", label: "Watchdog time-out (s)", kind: "number", def: 300 },
  { key: "log_level", label: "Log level", kind: "choice", def: "info",
    choices: ["trace", "debug", "info", "warning", "error", "critical", "off"].map((v) => [v, v]) },
  { key: "log_retention_days", label: "Keep logs (days)", kind: "number", def: 30 },
];

const rows = new Map();
let pending = false;

// A number is checked before it is sent: the application would store
// "1400abc" as 1400.
// Example: integerRefusal("MTU", "1400.5") → "MTU must be a whole number: digits only."
//          integerRefusal("MTU", " 1400 ") → ""
export const integerRefusal = (label, text) =>
  (/^[+-]?\d+$/.test(text.trim()) ? "" : `${label} must be a whole number: digits only.`);

// A management URL is checked as NetBird reads it.
// Example: urlRefusal("URL", "a.b:443") → "URL must be http:// or https://, …"; (…, "https://a.b:1") → ""
export function urlRefusal(label, text) {
  const m = /^https?:\/\/([\w.-]+|\[[\da-f:.]*:[\da-f:.]*\])(?::(\d{1,5}))?\/?$/i.exec(text);
  return m && !(m[2] && (+m[2] < 1 || +m[2] > 65535)) ? ""
    : `${label} must be http:// or https://, a host and an optional port.`;
}

// The API names a setting by its key; the page by its label.
// Example: labelled("mtu must be an integer between 576 and 8192", "mtu", "MTU")
//          → "MTU must be an integer between 576 and 8192"
export const labelled = (message, key, label) =>
  (message.startsWith(`${key} `) ? label + message.slice(key.length) : message);

function buildRow(setting) {
  const id = `set-${setting.key}`;
  let input;
  if (setting.kind === "choice") {
    input = el("select", { id, name: setting.key },
               setting.choices.map(([value, text]) => el("option", { value }, text)));
  } else {
    input = el("input", { id, name: setting.key, type: "text", spellcheck: false,
                          inputMode: setting.kind === "number" ? "numeric" : "text" });
  }
  const message = el("p", { id: `${id}-msg`, className: "msg", hidden: true, role: "status" });
  const hintText = `Default: ${setting.defText || String(setting.def)}.` + (setting.hint ? ` ${setting.hint}` : "");
  const hint = el("p", { id: `${id}-hint`, className: "hint" }, hintText);
  input.setAttribute("aria-describedby", `${id}-hint ${id}-msg`);
  const save = el("button", { type: "submit", className: "primary", "aria-label": `Save ${setting.label}` }, "Save");
  const reset = el("button", { type: "button", "aria-label": `Reset ${setting.label} to its default` }, "Reset");
  const form = el("form", { className: "setting", id: `${id}-form`, noValidate: true },
                  el("label", { for: id }, setting.label),
                  el("div", { className: "row" }, input, save, reset), hint, message);
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    store(setting, input.value, save);
  });
  reset.addEventListener("click", () => store(setting, "", reset));
  const row = { input, message, edited: false, hinted: false, note: "", noteTimer: null };
  rows.set(setting.key, row);
  // An edit not saved yet is kept when other settings are reloaded.
  input.addEventListener("input", () => {
    row.edited = true;
    if (row.note) showNote(row, "");
  });
  return form;
}

// Shows the report's values, except in fields with an edit not saved yet.
function fill(config, savedKey) {
  for (const setting of SETTINGS) {
    const row = rows.get(setting.key);
    if (setting.key === savedKey) row.edited = false;
    if (row.edited) continue;
    const value = config[setting.key];
    row.input.value = value === undefined || value === null ? "" : String(value);
  }
}

// A saved row's message: the note on the save, then the reconnect hint.
function render(row) {
  say(row.message, "ok", [row.note, row.hinted && pending ? RECONNECT_HINT : ""].filter(Boolean).join(" "));
}

function showNote(row, text) {
  clearTimeout(row.noteTimer);
  row.note = text;
  render(row);
  if (text) row.noteTimer = setTimeout(() => showNote(row, ""), NOTE_MS);
}

function refuse(row, kind, text) {
  clearTimeout(row.noteTimer);
  row.note = "";
  row.hinted = false;
  row.input.setAttribute("aria-invalid", "true");
  say(row.message, kind, text);
  row.input.focus();
  row.message.scrollIntoView({ block: "nearest" });
}

async function store(setting, value, button) {
  const row = rows.get(setting.key);
  const typed = value.trim();
  const refusal = typed === "" ? "" : setting.kind === "number" ? integerRefusal(setting.label, typed)
    : setting.key === "management_url" ? urlRefusal(setting.label, value) : "";
  if (refusal) {
    refuse(row, "error", refusal);
    return;
  }
  say(row.message, "info", "");
  const result = await withButton(button, value === "" ? "Resetting…" : "Saving…",
                                  () => post("config", { name: setting.key, value }));
  if (!result.ok) {
    refuse(row, result.busy ? "busy" : "error", labelled(result.message, setting.key, setting.label));
    return;
  }
  row.input.removeAttribute("aria-invalid");
  fill(result.data, setting.key);
  configUpdates.publish(result.data);
  const stored = String(result.data[setting.key] ?? "");
  row.hinted = !!setting.tunnel;
  showNote(row, value === "" ? "Reset to the default." : stored === typed ? "Saved." : `Saved as ${stored || "empty"}.`);
  if (setting.tunnel) refreshStatus();
}

// The reconnect hints follow the status; while it fails they say nothing.
function followPendingReconnect(update) {
  pending = !!(update && update.body.pending_reconnect);
  for (const row of rows.values()) {
    if (!row.hinted) continue;
    if (update && !pending) row.hinted = false;
    render(row);
  }
}

export async function loadConfig() {
  const result = await get("config");
  if (!result.ok) {
    say($("settings-msg"), "error", `Settings could not be read: ${result.message}`);
    return;
  }
  say($("settings-msg"), "info", "");
  fill(result.data);
  configUpdates.publish(result.data);
}

export function initSettings() {
  const list = $("settings-list");
  for (const setting of SETTINGS) list.append(buildRow(setting));
  statusUpdates.subscribe(followPendingReconnect);
  loadConfig();
}
