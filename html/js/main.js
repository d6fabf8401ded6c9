// Starts every section of the page.

import { initStatus } from "./status.js";
import { initConnection, reconnect, restartDaemon } from "./connection.js";
import { initPeers } from "./peers.js";
import { initSettings } from "./settings.js";
import { initEnvironment } from "./environment.js";
import { initLogs } from "./logs.js";
import { initDiagnostics } from "./diagnostics.js";
import { initIperf } from "./iperf.js";
import { $ } from "./ui.js";

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

// Sections subscribe to the status before the first poll goes out.
initConnection();
initPeers();
initSettings();
initEnvironment();
initLogs();
initDiagnostics();
initIperf();
initPendingBanner();
trackHeaderHeight();
initStatus();
