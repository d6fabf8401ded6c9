// Starts every section of the page.

import { initStatus, firstStatusShown } from "./status.js";
import { initConnection, reconnect, restartDaemon } from "./connection.js";
import { initSignIn } from "./sign_in.js";
import { initPeers } from "./peers.js";
import { initSettings } from "./settings.js";
import { initEnvironment } from "./environment.js";
import { initLogs } from "./logs.js";
import { initDiagnostics } from "./diagnostics.js";
import { initIperf } from "./iperf.js";
import { initHistory } from "./history.js";
import { $ } from "./ui.js";
import { framedByAnotherSite, FRAMED_MESSAGE } from "./api.js";

// Framed by another site: every control is out of reach, and the page says why.
function refuseFraming() {
  if (!framedByAnotherSite) return;
  for (const part of document.querySelectorAll("header nav, #pending, main")) part.inert = true;
  const warning = $("framed");
  warning.textContent = FRAMED_MESSAGE;
  warning.hidden = false;
}

// The banner goes once the change applies: the outcome stays with the others'.
function initPendingBanner() {
  const told = (run) => run.then(() => $("connection-msg").scrollIntoView({ block: "nearest" }));
  $("pending-reconnect").addEventListener("click", () => told(reconnect($("pending-reconnect"), $("connection-msg"))));
  $("pending-restart").addEventListener("click", () => told(restartDaemon($("pending-restart"), $("connection-msg"))));
}

// What is scrolled to stays clear of the sticky header, whose height the banner changes.
function trackHeaderHeight() {
  const header = document.querySelector(".topbar");
  const update = () => {
    const sticky = getComputedStyle(header).position === "sticky";
    document.documentElement.style.setProperty("--header-height", `${sticky ? header.offsetHeight + 8 : 8}px`);
  };
  new ResizeObserver(update).observe(header);
  window.addEventListener("resize", update);
}

// The rest start once the status is shown (in its turn, before any click), not to hold
// it up; at the latest after REST_AT_LATEST_MS. Till then Enter sends no form (no key in the URL).
const REST_AT_LATEST_MS = 1000;
refuseFraming();
initStatus();
const holdForms = (event) => event.preventDefault();
document.addEventListener("submit", holdForms, true);
Promise.race([firstStatusShown, new Promise((go) => setTimeout(go, REST_AT_LATEST_MS))]).then(() => {
  document.removeEventListener("submit", holdForms, true);
  for (const init of [initConnection, initSignIn, initHistory, initPeers, initSettings, initEnvironment, initLogs,
    initDiagnostics, initIperf, initPendingBanner, trackHeaderHeight]) init();
});
