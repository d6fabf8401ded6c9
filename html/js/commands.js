// NetBird commands started from the page (up, down, reconnect, restart,
// deregister). While one runs, every command button is disabled and the one
// that was pressed shows what it is doing; the outcome, in the API's words,
// goes to the message area that the caller names.

import { post, COMMAND_TIMEOUT_MS } from "./api.js";
import { say, setText, keepFocus } from "./ui.js";
import { refreshStatus } from "./status.js";

const commandButtons = new Set();
let running = false;
let signingIn = false;
const SIGNING_IN = "A sign-in is under way: this waits until it ends.";

// Buttons that start commands; they are disabled together.
export function registerCommandButton(button) {
  commandButtons.add(button);
}

// While an account sign-in waits, NetBird would refuse every other command:
// their buttons (and the debug bundle's) are held and say why.
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

// Runs one command; `outcome(result)` (which may wait for the tunnel to
// settle) or `describe(result)` words a success, `done(result)` follows.
// Undefined when another command was still running.
export async function runCommand({ path, form, button, busyLabel, message, output, describe, outcome, done }) {
  if (running) return undefined;
  setRunning(true, button, busyLabel);
  say(message, "info", busyLabel);
  if (output) output.hidden = true;
  let result;
  try {
    result = await post(path, form, { timeoutMs: COMMAND_TIMEOUT_MS });
  } finally {
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

