// The settings section: the nine settings with their current values and
// defaults. Each is saved or reset on its own; a refusal shows the API's
// message next to the field. After a change of a tunnel option the page
// asks for fresh status, whose pending_reconnect tells whether the running
// tunnel still has the old value.

import { get, post } from "./api.js";
import { $, el, say, withButton } from "./ui.js";
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
  const message = el("p", { id: `${id}-msg`, className: "msg", hidden: true, role: "status", "aria-live": "polite" });
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
  const row = { input, message, edited: false, hinted: false };
  rows.set(setting.key, row);
  // An edit not saved yet is kept when other settings are reloaded.
  input.addEventListener("input", () => { row.edited = true; });
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

async function store(setting, value, button) {
  const row = rows.get(setting.key);
  say(row.message, "info", "");
  const result = await withButton(button, value === "" ? "Resetting…" : "Saving…",
                                  () => post("config", { name: setting.key, value }));
  if (!result.ok) {
    row.input.setAttribute("aria-invalid", "true");
    say(row.message, result.busy ? "busy" : "error", result.message);
    row.input.focus();
    return;
  }
  row.input.removeAttribute("aria-invalid");
  fill(result.data, setting.key);
  configUpdates.publish(result.data);
  say(row.message, "ok", value === "" ? "Reset to the default." : "Saved.");
  row.hinted = !!setting.tunnel;
  // The API marks a reconnect as pending when the tunnel is wanted up.
  if (setting.tunnel) refreshStatus();
}

// The hint under a saved tunnel option follows the status's pending_reconnect.
function followPendingReconnect(update) {
  if (!update) return;
  const pending = !!update.body.pending_reconnect;
  for (const row of rows.values()) {
    if (!row.hinted) continue;
    const text = row.message.textContent.replace(` ${RECONNECT_HINT}`, "");
    say(row.message, "ok", pending ? `${text} ${RECONNECT_HINT}` : text);
    if (!pending) row.hinted = false;
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
