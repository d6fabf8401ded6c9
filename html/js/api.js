// Calls to the application's API. Paths are relative ("api/vpn/..."), so the
// page works wherever the camera's web server mounts the application.
// Every call resolves (never rejects) to a result the page can show:
//   { ok, status, data, text, bytes, headers, message, busy, timedOut }
// where `message` is the API's own words when it has any.

const API = "api/vpn/";

// How long a call waits for its answer. Reads and settings are answered at
// once unless the application hangs (which the status poll must notice
// soon); a NetBird command may wait behind others; a debug bundle takes minutes.
export const SHORT_TIMEOUT_MS = 6000;
export const COMMAND_TIMEOUT_MS = 300000;
export const BUNDLE_TIMEOUT_MS = 600000;

export const BUSY_MESSAGE = "NetBird is busy with other commands: try again in a moment.";
const BUSY_OUTPUT = "VPN service busy";

// The API's own busy answer, as opposed to a 503 of a web server in between.
// Example: isBusy(503, { exit_code: 503, ok: false, output: "VPN service busy" }) → true
export const isBusy = (status, data) => status === 503 && !!data && data.output === BUSY_OUTPUT;

// Builds a form body; fields whose value is undefined or null are left out.
// Example: formBody({ name: "mtu", value: "1400", x: undefined }) → "name=mtu&value=1400"
export function formBody(fields) {
  const params = new URLSearchParams();
  for (const [key, value] of Object.entries(fields || {})) {
    if (value !== undefined && value !== null) params.append(key, String(value));
  }
  return params;
}

// The message to show for an answer, in the API's own words where it has
// them: the "error" member, or the output of a failed command.
// Example: messageFor(400, { error: "mtu must be ..." }, "") → "mtu must be ..."
export function messageFor(status, data, text) {
  if (isBusy(status, data)) return BUSY_MESSAGE;
  if (data && typeof data === "object") {
    if (typeof data.error === "string" && data.error) return data.error;
    if (data.ok === false && typeof data.output === "string") {
      const out = data.output.trim();
      return out ? out : `The command failed (exit code ${data.exit_code}).`;
    }
  }
  if (status >= 200 && status < 300) return "";
  if (status === 502 || status === 503 || status === 504) {
    return `The application does not answer (HTTP ${status}). Is it running?`;
  }
  const body = (text || "").trim();
  if (body && body.length < 300 && !body.startsWith("<")) return `${body} (HTTP ${status})`;
  return `Request failed (HTTP ${status}).`;
}

// Inside a page of another site (which could dress this one up and have
// the installer click it), the page takes no action; inside the camera's
// own interface (same origin) it works as on its own.
export const framedByAnotherSite = (() => {
  if (window.top === window.self) return false;
  try {
    return window.top.location.origin !== window.location.origin;
  } catch (_) {
    return true;
  }
})();
export const FRAMED_MESSAGE = "This page is shown inside another site's page: its actions are off. Open it on its own.";

// The application refuses a browser's changes that lack this header, which
// only the page's own scripts can set (another site's form cannot).
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
    let data = null;
    let text = "";
    let bytes = null;
    if (asBytes && response.ok && !type.includes("json")) {
      bytes = await response.arrayBuffer();
    } else {
      text = await response.text();
      if (type.includes("json")) {
        try {
          data = JSON.parse(text);
        } catch (_) {
          data = null;
        }
      }
    }
    const commandFailed = data && typeof data === "object" && data.ok === false;
    return {
      ok: response.ok && !commandFailed,
      status: response.status,
      data,
      text,
      bytes,
      headers: response.headers,
      busy: isBusy(response.status, data),
      message: messageFor(response.status, data, text),
    };
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

// Runs `task` unless a call under the same key is still running, so that a
// poll never has more than one request in flight. Resolves to undefined
// when skipped.
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

// Like single(), but a call made while one is in flight is not lost: the
// task runs once more when the current run ends (with what is current then).
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
