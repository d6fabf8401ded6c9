// Enrol and connect, disconnect, reconnect, restart, deregister. The setup key goes only
// into the one request that enrols; its field is emptied as it is sent.

import { post } from "./api.js";
import { $, say, setText } from "./ui.js";
import { runCommand, registerCommandButton } from "./commands.js";
import { configUpdates, statusUpdates } from "./state.js";
import { loadConfig, urlRefusal } from "./settings.js";
import { LOGIN_STATES, settledStatus, tunnelSentence, identityText } from "./status.js";

// What NetBird did: read from the settled status, never assumed from the command's success.
const connected = (body) => !!(body.status && body.status.management && body.status.management.connected);
const settled = (body) => connected(body) || !body.registered || !!LOGIN_STATES[(body.status || {}).daemonStatus];
// An enrolment's success names the device as the network knows it.
async function tunnelOutcome(prefix = "", enrolling = false) {
  const body = await settledStatus(settled);
  return prefix + tunnelSentence(body) + (enrolling && body && connected(body) ? identityText(body) : "");
}

let enrolHint = "";  // the page's own, for a device that is not enrolled
let registered = true;  // until the status says otherwise
const TUNNEL_COMMANDS = ["btn-down", "btn-reconnect", "btn-restart", "btn-deregister"];
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
  // The application would refuse it: the key field is where to go.
  if (!registered && !form.setup_key) {
    say($("connection-msg"), "error", "Enter the setup key, or sign in with your account.");
    keyField.focus();
    return;
  }
  keyField.value = "";
  // An emptied URL means NetBird's cloud: "up" stores only given fields, so reset it first.
  if (!form.management_url && storedUrl) {
    const reset = await post("config", { name: "management_url" });
    if (!reset.ok) {
      say($("connection-msg"), "error", `The management URL could not be reset: ${reset.message}`);
      return;
    }
  }
  runCommand({
    path: "up", form, button: $("btn-up"), busyLabel: form.setup_key ? "Enrolling…" : "Connecting…",
    message: $("connection-msg"), output: $("connection-output"), outcome: () => tunnelOutcome("", !!form.setup_key),
    done: () => {
      urlEdited = false;
      loadConfig();
    },
  });
}

const simple = (path, button, busyLabel, extra = {}) => () =>
  runCommand({ path, form: {}, button, busyLabel, message: $("connection-msg"), output: $("connection-output"), ...extra });

// The environment notice offers these too; output shows here only.
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
    outcome: async () => (await settledStatus((body) => !body.registered), "The device was deregistered and its local VPN state wiped."),
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
  $("btn-down").addEventListener("click", simple("down", $("btn-down"), "Disconnecting…", {
    outcome: async () => tunnelSentence(await settledStatus((body) => !connected(body) && (body.status || {}).daemonStatus !== "Connecting")),
  }));
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
    // Without an answer or a report of NetBird's, the page keeps what it showed.
    if (!update || (!update.status && !update.body.registered)) return;
    const login = LOGIN_STATES[update.status && update.status.daemonStatus];
    const enrolled = update.body.registered && !login;
    // Until enrolled, only enrolment is offered, and it comes before the status.
    const lost = TUNNEL_COMMANDS.some((id) => $(id) === document.activeElement);
    registered = !!update.body.registered;
    for (const id of TUNNEL_COMMANDS) $(id).hidden = !registered;
    if (lost && !registered) $("up-setup-key").focus();
    if (($("status").nextElementSibling === $("connection")) !== registered) $("connection")[registered ? "before" : "after"]($("status"));
    $("enrol-hint").hidden = enrolled;
    setText($("enrol-hint"), login ? login.help : enrolHint);
    $("btn-up").textContent = $("btn-up").getAttribute("aria-busy") ? $("btn-up").textContent
                              : enrolled ? "Connect" : "Enrol and connect";
  });
}
