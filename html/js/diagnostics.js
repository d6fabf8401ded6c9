// The diagnostics section: a NetBird debug bundle downloaded to this
// computer, or uploaded by NetBird with the key shown for support.

import { get, post, BUNDLE_TIMEOUT_MS } from "./api.js";
import { $, el, say, setText, withButton, copyText } from "./ui.js";

// The file name the server gives in Content-Disposition (it names the
// device and the time, so that bundles from many cameras stay apart).
// Example: attachmentName('attachment; filename="netbird-debug-cam1-20261207T021400Z.zip"')
//          → "netbird-debug-cam1-20261207T021400Z.zip"; attachmentName(null) → "netbird-debug-bundle.zip"
export function attachmentName(header) {
  const match = /filename="?([^";/\\]+)"?/i.exec(header || "");
  return match ? match[1].trim() : "netbird-debug-bundle.zip";
}

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
  say($("bundle-msg"), "ok", `Bundle downloaded (${name}, ${result.bytes.byteLength} bytes).`);
}

async function upload() {
  $("bundle-key-box").hidden = true;
  say($("bundle-msg"), "info", "NetBird is making and uploading the bundle; this can take a minute…");
  const result = await withButton($("bundle-upload"), "Uploading…",
                                  () => post(`debug-bundle/upload${anonymizeQuery()}`, {}, { timeoutMs: BUNDLE_TIMEOUT_MS }));
  const data = result.data || {};
  const output = typeof data.output === "string" ? data.output.trim() : "";
  setText($("bundle-output"), output);
  $("bundle-output").hidden = !output;
  if (result.ok && data.key) {
    $("bundle-key").value = data.key;
    $("bundle-key-box").hidden = false;
    say($("bundle-msg"), "ok", "Bundle uploaded. Give the upload key to support.");
  } else if (result.ok) {
    say($("bundle-msg"), "error", "NetBird reported no upload key; its output is below.");
  } else {
    say($("bundle-msg"), result.busy ? "busy" : "error", result.message);
  }
}

async function copyKey() {
  const copied = await copyText($("bundle-key").value);
  say($("bundle-msg"), copied ? "ok" : "info", copied ? "Upload key copied." : "Select the key and copy it by hand.");
  if (!copied) $("bundle-key").select();
}

export function initDiagnostics() {
  $("bundle-download").addEventListener("click", download);
  $("bundle-upload").addEventListener("click", upload);
  $("bundle-key-copy").addEventListener("click", copyKey);
}
