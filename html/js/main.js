// Starts every section of the page.

import { initStatus } from "./status.js";
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

// The status poll goes out first; the sections subscribe to it in this task.
refuseFraming();
initStatus();
initConnection();
initSignIn();
initHistory();
initPeers();
initSettings();
initEnvironment();
initLogs();
initDiagnostics();
initIperf();
initPendingBanner();
trackHeaderHeight();
