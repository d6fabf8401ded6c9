// The diagnostics section: a NetBird debug bundle downloaded to this
// computer, or uploaded by NetBird with the key shown for support.

import { get, post } from "./api.js";
import { $, el, say, setText, withButton, copyText } from "./ui.js";

const anonymizeQuery = () => ($("bundle-anonymize").checked ? "?anonymize=1" : "");

async function download() {
  $("bundle-output").hidden = true;
  say($("bundle-msg"), "info", "NetBird is making the bundle; this can take a minute…");
  const result = await withButton($("bundle-download"), "Making bundle…",
                                  () => get(`debug-bundle${anonymizeQuery()}`, { asBlob: true }));
  if (!result.ok || !result.blob) {
    say($("bundle-msg"), result.busy ? "busy" : "error", result.message || "The bundle could not be made.");
    return;
  }
  const url = URL.createObjectURL(result.blob);
  const link = el("a", { href: url, download: "netbird-debug-bundle.zip", className: "offscreen" });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
  say($("bundle-msg"), "ok", `Bundle downloaded (netbird-debug-bundle.zip, ${result.blob.size} bytes).`);
}

async function upload() {
  $("bundle-key-box").hidden = true;
  say($("bundle-msg"), "info", "NetBird is making and uploading the bundle; this can take a minute…");
  const result = await withButton($("bundle-upload"), "Uploading…",
                                  () => post(`debug-bundle/upload${anonymizeQuery()}`));
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
