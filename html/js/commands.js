// NetBird commands: while one runs every command button is disabled, the pressed one says
// what it does; the outcome goes to the caller's message area.

import { post, COMMAND_TIMEOUT_MS } from "./api.js";
import { say, setText, keepFocus } from "./ui.js";
import { refreshStatus, outage, outageLabel, outageAdvice } from "./status.js";
import { statusUpdates } from "./state.js";

const commandButtons = new Set();
let running = false;
let signingIn = false;
let release = null;  // ends the wait for the running command's answer
const SIGNING_IN = "A sign-in is under way: this waits until it ends.";

// Buttons that start commands; they are disabled together.
export function registerCommandButton(button) {
  commandButtons.add(button);
}

// NetBird refuses commands while a sign-in waits: their buttons (and the bundle's) are held.
export function holdForSignIn(held) {
  if (held === signingIn) return;
  signingIn = held;
  for (const button of [...commandButtons, ...document.querySelectorAll("#bundle-download, #bundle-upload")]) {
    if (!running) button.disabled = held;
    if (held) button.title = SIGNING_IN;
    else button.removeAttribute("title");
  }
}

function setRunning(active, pressed, busyLabel) {
  running = active;
  for (const button of commandButtons) {
    button.disabled = active || signingIn;
    if (active && button === pressed) {
      button.dataset.label = button.textContent;
      button.textContent = busyLabel;
      button.setAttribute("aria-busy", "true");
    } else if (!active && button.dataset.label) {
      button.textContent = button.dataset.label;
      delete button.dataset.label;
      button.removeAttribute("aria-busy");
    }
  }
}

// `outcome` (may await the tunnel) or `describe` words a success; undefined while another runs.
export async function runCommand({ path, form, button, busyLabel, message, output, describe, outcome, done }) {
  if (running) return undefined;
  setRunning(true, button, busyLabel);
  say(message, "info", busyLabel);
  if (output) output.hidden = true;
  let result;
  try {
    result = await Promise.race([post(path, form, { timeoutMs: COMMAND_TIMEOUT_MS }),
                                 new Promise((resolve) => { release = resolve; })]);
  } finally {
    release = null;
    setRunning(false, button, busyLabel);
    keepFocus(button);
  }
  if (result.ok && result.data && result.data.running === false) {
    // A restart whose daemon did not come back is a failure, whatever the status code.
    result.ok = false;
    result.message = "The daemon was restarted but is not running: see the NetBird daemon's log below.";
  }
  if (result.ok && outcome) say(message, "info", await outcome(result));
  else if (result.ok) say(message, "ok", describe ? describe(result) : "Done.");
  else if (result.timedOut) say(message, "error", `${result.message} NetBird may still be carrying it out: the status shows where it stands.`);
  else say(message, result.busy ? "busy" : "error", result.message);
  const text = result.data && typeof result.data.output === "string" ? result.data.output.trim() : "";
  if (output && text && !result.busy && result.ok) {
    setText(output, text);
    output.hidden = false;
  }
  refreshStatus();
  if (done) done(result);
  return result;
}

// An application that stops answering would hold the pressed button for minutes.
statusUpdates.subscribe((update) => {
  if (!update && release) release({ ok: false, timedOut: true, message: `${outageLabel(outage)}. ${outageAdvice(outage)}` });
});
