// A NetBird debug bundle downloaded here, or uploaded with its key shown for support (never its path).

import { get, post, BUNDLE_TIMEOUT_MS } from "./api.js";
import { $, el, say, setText, withButton, copyField } from "./ui.js";

// The server's name (device and time: bundles of many cameras stay apart).
// Example: attachmentName('attachment; filename="nb-cam1.zip"') → "nb-cam1.zip"; (null) → "netbird-debug-bundle.zip"
export function attachmentName(header) {
  const match = /filename="?([^";/\\]+)"?/i.exec(header || "");
  return match ? match[1].trim() : "netbird-debug-bundle.zip";
}

// Example: sizeText(1536) → "1.5 kB"; sizeText(2500000) → "2.5 MB"
const sizeText = (n) => (n < 1e6 ? `${(n / 1e3).toFixed(1)} kB` : `${(n / 1e6).toFixed(1)} MB`);

const anonymizeQuery = () => ($("bundle-anonymize").checked ? "?anonymize=1" : "");

async function download() {
  $("bundle-output").hidden = true;
  say($("bundle-msg"), "info", "NetBird is making the bundle; this can take a minute…");
  const result = await withButton($("bundle-download"), "Making bundle…",
                                  () => get(`debug-bundle${anonymizeQuery()}`, { bytes: true, timeoutMs: BUNDLE_TIMEOUT_MS }));
  if (!result.ok || !result.bytes) {
    say($("bundle-msg"), result.busy ? "busy" : "error", result.message || "The bundle could not be made.");
    return;
  }
  const name = attachmentName(result.headers.get("Content-Disposition"));
  const url = URL.createObjectURL(new Blob([result.bytes], { type: "application/zip" }));
  const link = el("a", { href: url, download: name, className: "offscreen" });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
  say($("bundle-msg"), "ok", `Bundle downloaded (${name}, ${sizeText(result.bytes.byteLength)}).`);
}

async function upload() {
  $("bundle-key-box").hidden = true;
  say($("bundle-msg"), "info", "NetBird is making the bundle and uploading it to NetBird's servers; this can take a minute…");
  const result = await withButton($("bundle-upload"), "Uploading…",
                                  () => post(`debug-bundle/upload${anonymizeQuery()}`, {}, { timeoutMs: BUNDLE_TIMEOUT_MS }));
  const data = result.data || {};
  // The output only explains a missing key; without "Local file:" and paths.
  const output = typeof data.output === "string" && !data.key
    ? data.output.replace(/^Local file:.*$|(^|\s)\/\S+/gm, "$1").replace(/\n\s*\n/g, "\n").trim() : "";
  setText($("bundle-output"), output);
  $("bundle-output").hidden = !output;
  if (result.ok && data.key) {
    $("bundle-key").value = data.key;
    $("bundle-key-box").hidden = false;
    say($("bundle-msg"), "ok", "Bundle uploaded to NetBird's servers. Give the upload key to support.");
  } else if (result.ok) {
    say($("bundle-msg"), "error", "NetBird reported no upload key; its output is below.");
  } else {
    say($("bundle-msg"), result.busy ? "busy" : "error", result.message);
  }
}

export function initDiagnostics() {
  $("bundle-download").addEventListener("click", download);
  $("bundle-upload").addEventListener("click", upload);
  $("bundle-key-copy").addEventListener("click", () => copyField($("bundle-key"), $("bundle-msg"), "upload key"));
}
