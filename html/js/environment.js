// NetBird's environment: system entries (read-only), overrides, an add form with presets, the restart notice.

import { get, post } from "./api.js";
import { $, el, say, note, withButton } from "./ui.js";
import { restartDaemon } from "./connection.js";
import { refreshStatus } from "./status.js";
import { statusUpdates } from "./state.js";

// Which field a refusal is about ("" for neither: the list is full).
// Example: refusedField("Use Tunnel settings for this NetBird flag") → "name"
//          refusedField("Env value must be at most 4096 bytes") → "value"
export function refusedField(message) {
  if (/value|must be one of/i.test(message)) return "value";
  return /^At most/.test(message) ? "" : "name";
}

const showRestartNotice = (required) => { $("env-restart").hidden = !required; };

// Shown in view, with the field it is about marked.
function refuse(message, kind, text, field) {
  say(message, kind, text);
  if (field) {
    field.setAttribute("aria-invalid", "true");
    field.focus();
  }
  message.scrollIntoView({ block: "center" });
}

// `fields` (the add form's) are marked when the API refuses them.
async function store(name, value, button, message, fields) {
  const result = await withButton(button, value === "" ? "Removing…" : "Saving…",
                                  () => post("env", { name, value }));
  if (!result.ok) {
    refuse(message, result.busy ? "busy" : "error", result.message.replace(/[^.]$/, "$&."),
           fields && !result.busy && fields[refusedField(result.message)]);
    return false;
  }
  const atConnect = result.data && result.data.applies_at === "next_connect";
  note(message, `${value === "" ? "Removed" : "Saved"} ${name}` +
    (atConnect ? ": applies at the next connect; Reconnect applies it now." : "."));
  // The status's pending flags say what still runs with the old value.
  if (result.data && (result.data.restart_required || atConnect)) refreshStatus();
  await loadEnv();
  return true;
}

// A secret's value never comes back: its field starts empty, and empty is not saved.
function overrideRow(entry) {
  const id = `env-value-${entry.name}`;
  const input = el("input", { id, type: entry.secret ? "password" : "text", value: entry.secret ? "" : entry.value,
                              spellcheck: false, autocomplete: "off", "aria-label": `Value of ${entry.name}` });
  if (entry.secret) input.placeholder = "set (hidden): type a new value to replace it";
  const save = el("button", { type: "button", "aria-label": `Save ${entry.name}` }, "Save");
  const remove = el("button", { type: "button", className: "danger", "aria-label": `Remove ${entry.name}` }, "Remove");
  save.addEventListener("click", () => {
    if (entry.secret && !input.value) refuse($("env-msg"), "error", `${entry.name} is kept: type a new value, or remove it.`, input);
    else store(entry.name, input.value, save, $("env-msg"), { value: input });
  });
  remove.addEventListener("click", () => store(entry.name, "", remove, $("env-msg")));
  input.addEventListener("keydown", (event) => event.key === "Enter" && save.click());
  return el("tr", {},
    el("th", { scope: "row", className: "mono" }, entry.name, el("span", { className: "sub" }, "override")),
    el("td", {}, input),
    el("td", { className: "actions" }, save, remove));
}

function systemRow(entry) {
  return el("tr", { className: "system" },
    el("th", { scope: "row", className: "mono" }, entry.name, el("span", { className: "sub" }, "system, read-only")),
    el("td", { className: "mono" }, entry.value),
    el("td", {}, ""));
}

function renderPresets(presets) {
  const list = $("env-presets");
  list.replaceChildren();
  for (const preset of presets) {
    const use = el("button", { type: "button", "aria-label": `Use ${preset.name}` }, "Use");
    use.addEventListener("click", () => {
      $("env-name").value = preset.name;
      $("env-value").value = preset.default_value;
      $("env-value").focus();
    });
    list.append(el("li", {},
      el("span", {}, el("span", { className: "mono" }, `${preset.name}=${preset.default_value}`),
         el("span", { className: "sub" }, preset.description)), use));
  }
}

export async function loadEnv() {
  const result = await get("env");
  if (!result.ok || !result.data) {
    say($("env-msg"), "error", `The environment could not be read: ${result.message}`);
    return;
  }
  const body = $("env-body");
  body.replaceChildren();
  for (const entry of result.data.entries || []) body.append(entry.system ? systemRow(entry) : overrideRow(entry));
  renderPresets(result.data.presets || []);
}

export function initEnvironment() {
  $("env-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const name = $("env-name").value.trim();
    const value = $("env-value").value;
    if (!/^NB_[A-Z0-9_]*$/.test(name)) {
      refuse($("env-form-msg"), "error", `Name: ${$("env-name-hint").textContent}`, $("env-name"));
      return;
    }
    if (await store(name, value, $("env-save"), $("env-form-msg"), { name: $("env-name"), value: $("env-value") })) {
      $("env-name").value = "";
      $("env-value").value = "";
    }
  });
  for (const id of ["env-name", "env-value"]) $(id).addEventListener("input", () => $(id).removeAttribute("aria-invalid"));
  $("env-restart-button").addEventListener("click", async () => {
    const result = await restartDaemon($("env-restart-button"), $("env-msg"));
    if (result && result.ok) showRestartNotice(false);
  });
  // The status knows whether the daemon still runs with an old environment.
  statusUpdates.subscribe((update) => showRestartNotice(!!(update && update.body.pending_restart)));
  loadEnv();
}
