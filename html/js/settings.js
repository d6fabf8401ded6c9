// Settings in groups, one Save each for its changed fields (empty: the default), a refusal
// at its field, a reconnect hint on a saved tunnel option while pending_reconnect.

import { get, post } from "./api.js";
import { $, el, say, withButton, NOTE_MS } from "./ui.js";
import { refreshStatus } from "./status.js";
import { configUpdates, statusUpdates } from "./state.js";

// Defaults and limits as the application's refusals say (the API reports values only).
const num = (key, label, def, min, max, unit = "") =>
  ({ key, label, def, min, max, must: `a whole number ${max ? `from ${min} to ${max}` : `of ${min}`}${unit}` });
const GROUPS = [
  ["tunnel", "Tunnel", "Applied when the tunnel is next brought up.", [
    num("wireguard_port", "WireGuard port", 51820, 1, 65535),
    num("mtu", "MTU", 1280, 576, 8192, " bytes"),
    { key: "interface_name", label: "Interface name", def: "wt0", must: "1 to 15 letters, digits, _ or -" },
    { key: "external_ip_map", label: "External IP map", def: "none",
      must: "a comma-separated list of [localIP/]externalIP pairs", hint: "For a device behind port forwarding." },
  ]],
  ["supervisor", "Watchdog and logs", "Applied at once.", [
    { key: "watchdog_enabled", label: "Watchdog", def: "true", choices: [["true", "on"], ["false", "off"]],
      hint: "Restarts NetBird when the tunnel stays down for the whole time-out." },
    num("watchdog_timeout", "Watchdog time-out", 300, 30, 0, " seconds or more"),
    { key: "log_level", label: "Log level", def: "info",
      choices: ["trace", "debug", "info", "warning", "error", "critical", "off"].map((v) => [v, v]) },
    num("log_retention_days", "Log retention", 30, 1, 365, " days"),
  ]],
];
const rows = [];
let config = {};
let pending = false;

const shown = (value) => (value ?? "") + "";
const invalid = (row) => row.input.hasAttribute("aria-invalid");

// A management URL is checked as NetBird reads it.
// Example: urlRefusal("URL", "a.b:443") → "URL must be http:// or https://, …"; (…, "https://a.b:1") → ""
export function urlRefusal(label, text) {
  const m = /^https?:\/\/([\w.-]+|\[[\da-f:.]*:[\da-f:.]*\])(?::(\d{1,5}))?\/?$/i.exec(text);
  return m && !(m[2] && (+m[2] < 1 || +m[2] > 65535)) ? ""
    : `${label} must be http:// or https://, a host and an optional port.`;
}

function buildRow(setting, tunnel) {
  const id = `set-${setting.key}`;
  const { choices, must } = setting;
  const input = choices
    ? el("select", { id }, choices.map(([value, text]) => el("option", { value }, text)))
    : el("input", { id, type: "text", spellcheck: false, inputMode: setting.min ? "numeric" : "text" });
  const message = el("p", { id: `${id}-msg`, className: "msg", hidden: true, role: "status" });
  const hint = el("p", { id: `${id}-hint`, className: "hint" }, [must && `${must[0].toUpperCase()}${must.slice(1)}.`,
    setting.hint, choices ? `Default: ${choices.find((c) => c[0] === setting.def)[1]}.`
      : `Default (when empty): ${setting.def}.`].filter(Boolean).join(" "));
  input.setAttribute("aria-describedby", `${id}-hint ${id}-msg`);
  const row = { setting, tunnel, input, message };
  rows.push(row);
  // An edit not saved yet is kept when the settings are reloaded.
  input.addEventListener("input", () => {
    row.edited = true;
    input.removeAttribute("aria-invalid");
    if (row.note) showNote(row, "");
  });
  return el("div", { className: "setting" }, el("label", { for: id }, setting.label), input, hint, message);
}

function buildGroup([name, legend, applies, settings]) {
  const save = el("button", { type: "submit", className: "primary" }, "Save");
  const message = el("p", { className: "msg", hidden: true, role: "status" });
  const group = settings.map((s) => buildRow(s, name === "tunnel"));
  const form = el("form", { id: `set-${name}`, noValidate: true },
                  el("fieldset", {}, el("legend", {}, legend), el("p", { className: "hint" }, applies),
                     group, el("div", { className: "actions" }, save, message)));
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    store(rows.filter((row) => settings.includes(row.setting)), save, message);
  });
  return form;
}

// Shows the report's values, except in fields with an edit not saved yet.
function fill(report, savedKey) {
  config = report;
  for (const row of rows) {
    if (row.setting.key === savedKey) row.edited = false;
    if (!row.edited) row.input.value = shown(report[row.setting.key]);
  }
}

// A saved row's message: the note on the save, then the reconnect hint.
function render(row) {
  say(row.message, "ok", [row.note, row.hinted && pending && "The tunnel still runs with the old value: reconnect to apply it."]
    .filter(Boolean).join(" "));
}

function showNote(row, text) {
  clearTimeout(row.noteTimer);
  row.note = text;
  render(row);
  if (text) row.noteTimer = setTimeout(() => showNote(row, ""), NOTE_MS);
}

function refuse(row, kind) {
  clearTimeout(row.noteTimer);
  row.note = "";
  row.hinted = false;
  row.input.setAttribute("aria-invalid", "true");
  say(row.message, kind, `${row.setting.label} must be ${row.setting.must}.`);
}

async function store(group, button, groupMessage) {
  const changed = group.filter((row) => row.input.value.trim() !== shown(config[row.setting.key]));
  say(groupMessage, "info", changed.length ? "" : "Nothing was changed.");
  // "" resets to the default; a select showing it is left to follow it.
  for (const row of changed) {
    const { min, max, def, choices } = row.setting;
    const value = row.value = row.input.value.trim() === String(def) && choices ? "" : row.input.value.trim();
    row.input.removeAttribute("aria-invalid");
    // Checked here: the application would store "1400abc" as 1400.
    if (value && min && !(/^[+-]?\d+$/.test(value) && value >= min && !(max && value > max))) refuse(row, "error");
  }
  // A group with a field refused here sends nothing.
  if (!changed.some(invalid)) {
    await withButton(button, "Saving…", async () => {
      for (const row of changed) {
        const { key } = row.setting;
        const result = await post("config", { name: key, value: row.value });
        if (!result.ok) {
          // The API names the setting by its key; the page says it in its own words.
          if (result.message.startsWith(`${key} `)) refuse(row, "error");
          else say(row.message, result.busy ? "busy" : "error", result.message.replace(/[^.]$/, "$&."));
          continue;
        }
        fill(result.data, key);
        configUpdates.publish(result.data);
        const stored = shown(result.data[key]);
        row.hinted = row.tunnel;
        showNote(row, !row.value ? "Reset to the default." : stored === row.value ? "Saved." : `Saved as ${stored || "empty"}.`);
      }
    });
  }
  const first = group.find(invalid);
  first?.input.focus();
  first?.message.scrollIntoView({ block: "center" });
  if (changed.some((row) => row.hinted)) refreshStatus();
}

// The reconnect hints follow the status; while it fails they say nothing.
function followPendingReconnect(update) {
  pending = !!(update && update.body.pending_reconnect);
  for (const row of rows) {
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
  $("settings-list").append(...GROUPS.map(buildGroup));
  statusUpdates.subscribe(followPendingReconnect);
  loadConfig();
}
