// The API at relative paths (wherever the camera mounts it). A call resolves to
// { ok, status, data, text, bytes, headers, message, busy, timedOut }, message in the API's words.

const API = "api/vpn/";

// Reads are quick unless the application hangs; commands may queue; a bundle takes minutes.
export const SHORT_TIMEOUT_MS = 6000;
export const COMMAND_TIMEOUT_MS = 300000;
export const BUNDLE_TIMEOUT_MS = 600000;

export const BUSY_MESSAGE = "NetBird is busy with other commands: try again in a moment.";
const BUSY_OUTPUT = "VPN service busy";

// The API's own busy answer, as opposed to a 503 of a web server in between.
export const isBusy = (status, data) => status === 503 && !!data && data.output === BUSY_OUTPUT;

// Builds a form body; fields whose value is undefined or null are left out.
export function formBody(fields) {
  return new URLSearchParams(Object.entries(fields || {}).filter(([, value]) => value != null));
}

// The message for an answer: the API's "error", or a failed command's output.
export function messageFor(status, data, text) {
  if (isBusy(status, data)) return BUSY_MESSAGE;
  if (data && typeof data === "object") {
    if (typeof data.error === "string" && data.error) return data.error;
    if (data.ok === false && typeof data.output === "string") {
      return data.output.trim() || `The command failed (exit code ${data.exit_code}).`;
    }
  }
  if (status >= 200 && status < 300) return "";
  if (status >= 502 && status <= 504) return `The application does not answer (HTTP ${status}). Is it running?`;
  const body = (text || "").trim();
  if (body && body.length < 300 && !body.startsWith("<")) return `${body} (HTTP ${status})`;
  return `Request failed (HTTP ${status}).`;
}

// Framed by another site (which could dress it up for clicks) the page acts not; by the camera's own, it does.
export const framedByAnotherSite = (() => {
  if (window.top === window.self) return false;
  try {
    return window.top.location.origin !== window.location.origin;
  } catch (_) {
    return true;
  }
})();
export const FRAMED_MESSAGE = "This page is shown inside another site's page: its actions are off. Open it on its own.";

// Changes without this header are refused: another site's form cannot set it.
const OWN_PAGE = { "X-Requested-By": "vantrel_vpn" };

// With `bytes`, a successful answer that is not JSON is read as an ArrayBuffer.
async function call(method, path, { form, timeoutMs = SHORT_TIMEOUT_MS, bytes: asBytes, headers = {} } = {}) {
  if (framedByAnotherSite && (method !== "GET" || path.startsWith("debug-bundle"))) {
    return { ok: false, status: 0, data: null, text: "", bytes: null, busy: false, message: FRAMED_MESSAGE };
  }
  const controller = new AbortController();
  const init = { method, headers: { ...OWN_PAGE, ...headers }, cache: "no-store", credentials: "same-origin",
                 signal: controller.signal };
  if (form !== undefined) init.body = formBody(form);
  const timer = setTimeout(() => controller.abort(), timeoutMs);
  try {
    const response = await fetch(API + path, init);
    const type = response.headers.get("Content-Type") || "";
    const { status } = response;
    let [data, text, bytes] = [null, "", null];
    if (asBytes && response.ok && !type.includes("json")) bytes = await response.arrayBuffer();
    else {
      text = await response.text();
      try { data = type.includes("json") ? JSON.parse(text) : null; } catch (_) { /* not JSON after all */ }
    }
    const commandFailed = data && typeof data === "object" && data.ok === false;
    return { ok: response.ok && !commandFailed, status, data, text, bytes, headers: response.headers,
             busy: isBusy(status, data), message: messageFor(status, data, text) };
  } catch (err) {
    const timedOut = controller.signal.aborted;
    return {
      ok: false, status: 0, data: null, text: "", bytes: null, busy: false, timedOut,
      message: timedOut ? `No answer within ${Math.round(timeoutMs / 1000)} s.`
                        : "The device cannot be reached (network error).",
    };
  } finally {
    clearTimeout(timer);
  }
}

export const get = (path, options) => call("GET", path, options);
export const post = (path, form, options) => call("POST", path, { ...options, form: form || {} });

// Runs `task` unless one under the same key still runs (then: undefined).
const inFlight = new Set();
export async function single(key, task) {
  if (inFlight.has(key)) return undefined;
  inFlight.add(key);
  try {
    return await task();
  } finally {
    inFlight.delete(key);
  }
}

// Like single(), but a call made meanwhile makes one more run after it.
const rerun = new Set();
export async function coalesced(key, task) {
  if (inFlight.has(key)) {
    rerun.add(key);
    return;
  }
  inFlight.add(key);
  try {
    do {
      rerun.delete(key);
      await task();
    } while (rerun.has(key));
  } finally {
    inFlight.delete(key);
  }
}
