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

function initPendingBanner() {
  $("pending-reconnect").addEventListener("click", () => reconnect($("pending-reconnect"), $("pending-msg")));
  $("pending-restart").addEventListener("click", () => restartDaemon($("pending-restart"), $("pending-msg")));
}

// Keeps what is scrolled to (a section, a focused control) clear of the
// sticky header, whose height changes with the pending-change banner.
function trackHeaderHeight() {
  const header = document.querySelector(".topbar");
  const update = () => {
    const sticky = getComputedStyle(header).position === "sticky";
    document.documentElement.style.setProperty("--header-height", `${sticky ? header.offsetHeight + 8 : 8}px`);
  };
  new ResizeObserver(update).observe(header);
  window.addEventListener("resize", update);
}

// The status is what the page shows first: its poll goes out before the
// sections' own requests. They subscribe to it before its answer can come,
// in this same task.
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
