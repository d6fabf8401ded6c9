// Signing in with an account: NetBird's sign-in, followed through the status's `sign_in`
// (link, code, QR code, time left); the other commands are held until it ends.

import { post, COMMAND_TIMEOUT_MS } from "./api.js";
import { $, say, setText, withButton, copyText } from "./ui.js";
import { holdForSignIn, registerCommandButton } from "./commands.js";
import { configUpdates, statusUpdates } from "./state.js";
import { loadConfig, urlRefusal } from "./settings.js";
import { refreshStatus, identityText } from "./status.js";
import { qrSvg } from "./qr_code.js";

const TICK_MS = 1000;
const QR_PX = 240;  // read by a phone held at arm's length; fits a 360 px screen

// How a sign-in ended, in the installer's words.
export function endedText(signIn) {
  const again = " Start again, or enrol with a setup key.";
  switch (signIn.outcome) {
    case "connected": return "Signed in: the device is enrolled and connects to the network.";
    case "expired": return "The sign-in expired before it was completed." + again;
    case "refused": return "The account was refused: check that you signed in with an account of this NetBird network, or use a setup key.";
    case "cancelled": return "The sign-in was cancelled." + again;
    case "interrupted": return "The sign-in was interrupted: the application restarted." + again;
    default: return `The sign-in failed${signIn.message ? `: ${signIn.message}` : "."}` + again;
  }
}

// Example: clock(873) → "14:33"; clock(-2) → "00:00"
export const clock = (seconds) => {
  const s = Math.max(0, Math.ceil(seconds));
  return `${String(Math.floor(s / 60)).padStart(2, "0")}:${String(s % 60).padStart(2, "0")}`;
};

let registered = true;   // until the status says otherwise
let shownUrl = null;     // the link on screen
let deadline = 0;        // performance.now() at which the link runs out
let ticker = null;
let lastEnded = null;    // the ended sign-in already told, so it is told once
let followed = false;    // this page saw the sign-in wait (a success is news only then)
let storedUrl = "";

function tick() {
  setText($("sign-in-left"), clock((deadline - performance.now()) / 1000));
}

function showWaiting(signIn) {
  deadline = performance.now() + Math.max(0, Number(signIn.expires_in_s) || 0) * 1000;
  tick();
  if (!ticker) ticker = setInterval(tick, TICK_MS);
  if (signIn.url === shownUrl) return;
  shownUrl = signIn.url;
  const link = $("sign-in-link");
  const web = /^https?:\/\//i.test(signIn.url);  // NetBird's output is never a script to run
  if (web) link.href = signIn.url;
  else link.removeAttribute("href");
  setText(link, signIn.url);
  $("sign-in-code-row").hidden = !signIn.code;
  $("sign-in-code").value = signIn.code || "";
  $("sign-in-qr").replaceChildren((web && qrSvg(link.href, QR_PX)) || "");
}

// A sign-in as reported (null: none since the start); a success names the device from `body`.
function show(signIn, body) {
  const phase = signIn && signIn.phase;
  const underWay = phase === "starting" || phase === "waiting";
  const box = $("sign-in-box");
  // A keyboard user whose link or Cancel goes away lands on the offer again.
  const refocus = !box.hidden && phase !== "waiting" && (box.contains(document.activeElement) || document.activeElement === document.body);
  holdForSignIn(underWay);
  $("sign-in-offer").hidden = underWay || registered;
  box.hidden = phase !== "waiting";
  if (refocus && !$("sign-in-offer").hidden) $("sign-in-start").focus();
  if (phase === "waiting") showWaiting(signIn);
  else {
    clearInterval(ticker);
    ticker = shownUrl = null;
  }
  if (underWay) {
    followed = true;
    lastEnded = null;
    tell("info", phase === "starting" ? "Asking NetBird for a sign-in link…"
      : "Open the link, or scan the QR code, and sign in with your account of this NetBird network.");
  } else if (phase === "ended" && JSON.stringify(signIn) !== lastEnded) {
    lastEnded = JSON.stringify(signIn);
    const success = signIn.outcome === "connected";
    tell(success ? "ok" : "error", (success ? followed : !registered) ? endedText(signIn) + (success ? identityText(body) : "") : "");
    if (success && followed) refreshStatus();
    followed = false;
  }
  // A failure is old news once the device is enrolled.
  if (registered && $("sign-in-msg").classList.contains("msg-error")) tell("info", "");
}

// Says a thing once: the status region would read it out at every poll.
function tell(kind, text) {
  const msg = $("sign-in-msg");
  if (msg.textContent !== text || !msg.classList.contains(`msg-${kind}`)) say(msg, kind, text);
}

// The management URL field, shared with enrolment, is saved first so that the sign-in goes to it.
async function saveUrl() {
  const typed = $("up-management-url").value.trim();
  if (typed === storedUrl) return true;
  const refusal = typed ? urlRefusal("The management URL", typed) : "";
  const saved = refusal ? null : await post("config", typed ? { name: "management_url", value: typed } : { name: "management_url" });
  if (saved && saved.ok) {
    loadConfig();
    return true;
  }
  tell("error", refusal || `The management URL could not be saved: ${saved.message}`);
  $("up-management-url").focus();
  return false;
}

async function start() {
  if (!(await saveUrl())) return;
  lastEnded = null;
  tell("info", "Asking NetBird for a sign-in link…");
  const result = await withButton($("sign-in-start"), "Starting…", () => post("login", {}, { timeoutMs: COMMAND_TIMEOUT_MS }));
  const signIn = result.data && result.data.sign_in;
  if (signIn) {
    followed = true;
    show(signIn);
  } else tell(result.busy ? "busy" : "error", result.message);
  if (signIn && signIn.phase === "waiting") $("sign-in-link").focus();
  refreshStatus();
}

async function cancel() {
  const result = await withButton($("sign-in-cancel"), "Cancelling…", () => post("login/cancel", {}, { timeoutMs: COMMAND_TIMEOUT_MS }));
  if (result.data && result.data.sign_in) show(result.data.sign_in);
  else tell("error", result.message);
  refreshStatus();
}

async function copyCode() {
  const copied = await copyText($("sign-in-code").value);
  setText($("sign-in-copied"), copied ? "Copied." : "Select and copy it.");
  if (!copied) $("sign-in-code").select();
}

export function initSignIn() {
  registerCommandButton($("sign-in-start"));
  $("sign-in-start").addEventListener("click", start);
  $("sign-in-cancel").addEventListener("click", cancel);
  $("sign-in-copy").addEventListener("click", copyCode);
  configUpdates.subscribe((config) => { storedUrl = config.management_url || ""; });
  statusUpdates.subscribe((update) => {
    // A daemon that gave no report says nothing of the enrolment.
    if (!update || (!update.status && !update.body.registered)) return;
    registered = !!update.body.registered;
    show(update.body.sign_in || null, update.body);
  });
}
