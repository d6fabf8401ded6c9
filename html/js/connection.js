// The connection section: enrol and connect (up, with the management URL and
// a one-time setup key), disconnect, reconnect, restart the daemon, and
// deregister after a confirmation. The setup key goes only into the body of
// the one request that enrols; the field is emptied as soon as it is sent.

import { post } from "./api.js";
import { $, say, setText } from "./ui.js";
import { runCommand, registerCommandButton } from "./commands.js";
import { configUpdates, statusUpdates } from "./state.js";
import { loadConfig, urlRefusal } from "./settings.js";
import { LOGIN_STATES, settledStatus, tunnelSentence } from "./status.js";

// What NetBird ended up doing after a command that brings the tunnel up: read
// from the status once it has settled, never assumed from the command's success.
// Example: (in the wording of tunnelSentence) "The tunnel is up." or "NetBird is still connecting: ..."
const connected = (body) => !!(body.status && body.status.management && body.status.management.connected);
const settled = (body) => connected(body) || !body.registered || !!LOGIN_STATES[(body.status || {}).daemonStatus];
async function tunnelOutcome(prefix = "") {
  return prefix + tunnelSentence(await settledStatus(settled));
}

let enrolHint = "";  // the page's own, for a device that is not enrolled
let urlEdited = false;
let storedUrl = "";

// The up request's fields: empty ones are left out so that they change nothing.
// Example: upForm("", "", "true") → { enable_lazy_connection: "true" }
export function upForm(managementUrl, setupKey, lazy) {
  const form = {};
  if (managementUrl.trim()) form.management_url = managementUrl.trim();
  if (setupKey) form.setup_key = setupKey;
  if (lazy) form.enable_lazy_connection = lazy;
  return form;
}

async function connect(event) {
  event.preventDefault();
  const keyField = $("up-setup-key");
  const form = upForm($("up-management-url").value, keyField.value, $("up-lazy").value);
  const urlProblem = form.management_url ? urlRefusal("The management URL", form.management_url) : "";
  if (urlProblem) {
    say($("connection-msg"), "error", urlProblem);
    $("up-management-url").focus();
    return;
  }
  keyField.value = "";
  // An emptied URL field means NetBird's cloud again; "up" stores only the
  // fields it is given, so the stored URL is reset first.
  if (!form.management_url && storedUrl) {
    const reset = await post("config", { name: "management_url" });
    if (!reset.ok) {
      say($("connection-msg"), "error", `The management URL could not be reset: ${reset.message}`);
      return;
    }
  }
  runCommand({
    path: "up", form, button: $("btn-up"), busyLabel: form.setup_key ? "Enrolling…" : "Connecting…",
    message: $("connection-msg"), output: $("connection-output"), outcome: () => tunnelOutcome(),
    done: () => {
      urlEdited = false;
      loadConfig();
    },
  });
}

const simple = (path, button, busyLabel, extra = {}) => () =>
  runCommand({ path, form: {}, button, busyLabel, message: $("connection-msg"), output: $("connection-output"), ...extra });

// The banner and the environment notice offer the same two commands. Output
// is shown in the connection section only (and hidden with a new command).
const outputFor = (message) => (message === $("connection-msg") ? $("connection-output") : null);

export const reconnect = (button, message) =>
  runCommand({
    path: "reconnect", form: upForm("", "", $("up-lazy").value), button, busyLabel: "Reconnecting…", message,
    output: outputFor(message),
    outcome: () => tunnelOutcome("Reconnected with the current settings. "),
  });

export const restartDaemon = (button, message) =>
  runCommand({ path: "restart", form: {}, button, busyLabel: "Restarting…", message, output: outputFor(message),
               outcome: async () => "The daemon was restarted. " +
                 tunnelSentence(await settledStatus((body) => settled(body) || (body.status || {}).daemonStatus === "Idle")) });

function deregister() {
  const dialog = $("deregister-dialog");
  dialog.returnValue = "";
  dialog.showModal();
}

function onDeregisterClosed() {
  if ($("deregister-dialog").returnValue !== "confirm") return;
  runCommand({
    path: "deregister", form: {}, button: $("btn-deregister"), busyLabel: "Deregistering…",
    message: $("connection-msg"), output: $("connection-output"),
    describe: () => "The device was deregistered and its local VPN state wiped.",
    done: () => loadConfig(),
  });
}

export function initConnection() {
  for (const id of ["btn-up", "btn-down", "btn-reconnect", "btn-restart", "btn-deregister",
                    "pending-reconnect", "pending-restart", "env-restart-button"]) {
    registerCommandButton($(id));
  }
  $("up-form").addEventListener("submit", connect);
  $("up-management-url").addEventListener("input", () => { urlEdited = true; });
  $("btn-down").addEventListener("click", simple("down", $("btn-down"), "Disconnecting…",
                                                 { describe: () => "The tunnel is down." }));
  $("btn-reconnect").addEventListener("click", () => reconnect($("btn-reconnect"), $("connection-msg")));
  $("btn-restart").addEventListener("click", () => restartDaemon($("btn-restart"), $("connection-msg")));
  $("btn-deregister").addEventListener("click", deregister);
  $("deregister-dialog").addEventListener("close", onDeregisterClosed);

  configUpdates.subscribe((config) => {
    storedUrl = config.management_url || "";
    if (!urlEdited) $("up-management-url").value = storedUrl;
  });
  // Enabled only now: without the page's code the form must not be sent.
  $("btn-up").disabled = false;
  enrolHint = $("enrol-hint").textContent;
  statusUpdates.subscribe((update) => {
    // Without an answer, or a report of NetBird's that the device is not
    // enrolled, nothing new is known: the page keeps what it showed.
    if (!update || (!update.status && !update.body.registered)) return;
    const login = LOGIN_STATES[update.status && update.status.daemonStatus];
    const enrolled = update.body.registered && !login;
    $("enrol-hint").hidden = enrolled;
    setText($("enrol-hint"), login ? login.help : enrolHint);
    $("btn-up").textContent = $("btn-up").getAttribute("aria-busy") ? $("btn-up").textContent
                              : enrolled ? "Connect" : "Enrol and connect";
  });
}
