"""Signing in with an account through the API: link and code, followed to each end, every other command refused."""

import json
import signal
import time

from conftest import API_PREFIX, connect, request_bytes
from test_vpn_control import daemon_ready, daemon_status, read_all

UNDER_WAY = {"error": "A sign-in is under way"}
# The link is printed within a second by the simulator; 5 s is what the page promises.
LINK_WITHIN_S = 5


def start_sign_in(sb):
    began = time.monotonic()
    resp = sb.post("/login")
    assert resp.status == 200, resp.text()
    assert time.monotonic() - began < LINK_WITHIN_S
    body = resp.json()
    assert body["ok"] is True and body["sign_in"]["phase"] == "waiting", body
    return body["sign_in"]


def ended(sb, timeout=15):
    return sb.wait_for(lambda: (lambda s: s if s and s["phase"] == "ended" else None)(
        sb.get("/status", query="peers=none").json()["sign_in"]), timeout, what="the sign-in's end")


def history_of_sign_ins(sb):
    events = sb.get("/history").json()["events"]  # newest first
    return [(e["facts"]["outcome"], e["text"]) for e in reversed(events) if e["kind"] == "sign_in"]


def test_sign_in_to_connected_while_everything_else_goes_on(make_sandbox, tmp_path):
    control = tmp_path / "sso"
    sb = daemon_ready(make_sandbox().start(env={"NB_SIM_SSO_ANSWER": str(control)}))
    assert sb.get("/status").json()["sign_in"] is None
    assert sb.post("/up").json() == {"error": "A setup key is needed to enrol this device"}
    assert sb.post("/config", {"name": "mtu", "value": "1400"}).status == 200

    # An up whose head came before the sign-in and its body after is refused all the same.
    key = b"setup_key=K"
    early = connect(sb)
    early.settimeout(30)
    early.sendall(request_bytes("POST", API_PREFIX + "/up", key, [("Connection", "close")])[:-len(key)])
    shown = start_sign_in(sb)
    early.sendall(key)
    reply = read_all(early)
    assert reply.startswith(b"HTTP/1.1 409") and b"A sign-in is under way" in reply, reply
    assert shown["url"].startswith("https://sso.netbird-sim.invalid/device?user_code=") and shown["code"] is None
    assert 0 < shown["expires_in_s"] <= shown["deadline_s"] <= 900
    assert sb.get("/status").json()["sign_in"]["url"] == shown["url"]
    # Every other NetBird command is refused at once; what needs none goes on.
    for method, suffix in (("POST", "/up"), ("POST", "/down"), ("POST", "/restart"), ("POST", "/reconnect"),
                           ("POST", "/deregister"), ("GET", "/debug-bundle"), ("POST", "/debug-bundle/upload"),
                           ("POST", "/login")):
        resp = sb.request(method, suffix, body=b"" if method == "POST" else None)
        assert (resp.status, resp.json()) == (409, UNDER_WAY), suffix
    assert sb.get("/config").status == 200 and sb.post("/config", {"name": "mtu", "value": "1400"}).status == 200
    # The wait holds no lock: polls go on (NetBird says Connecting while it waits for the person).
    sb.wait_for(lambda: daemon_status(sb) == "Connecting", 12, what="a poll during the sign-in")

    control.write_text("approve")
    assert (result := ended(sb))["outcome"] == "connected", result
    sb.wait_for(lambda: daemon_status(sb) == "Connected" and sb.get("/status").json()["registered"], 15,
                what="the device connected and enrolled")
    assert json.loads((sb.data / "tunnel.json").read_text())["enrolled"] is True
    assert history_of_sign_ins(sb)[-2:] == [("started", "Sign-in started"),
                                            ("connected", "Signed in: the device is enrolled and connected.")]
    # The sign-in ran with the settings, and its settings count as applied.
    up_line = [line for line in sb.app_log().splitlines() if "Running command:" in line and " up " in line][-1]
    assert "--no-browser" in up_line and "--mtu 1400" in up_line
    assert sb.get("/status").json()["pending_reconnect"] is False and sb.post("/login").status == 409
    # Neither the log nor the history ever hold the sign-in's link or code.
    code = shown["url"].rsplit("=", 1)[1]
    assert code not in sb.app_log() and code not in (sb.data / "history.jsonl").read_text()


def test_sign_in_ends_expired_refused_cancelled_and_cut_short(make_sandbox, tmp_path):
    control = tmp_path / "sso"
    sb = daemon_ready(make_sandbox().start(env={"NB_SIM_SSO_ANSWER": str(control), "NB_SIM_SSO_CODE_APART": "1"}))

    shown = start_sign_in(sb)
    assert shown["url"] == "https://sso.netbird-sim.invalid/device" and len(shown["code"]) == 9
    control.write_text("expire")
    assert ended(sb)["outcome"] == "expired"

    start_sign_in(sb)
    control.write_text("deny")
    assert (refused := ended(sb))["outcome"] == "refused" and "access_denied" in refused["message"], refused
    sb.wait_for(lambda: daemon_status(sb) == "LoginFailed", 12, what="NetBird's LoginFailed")

    # A cancel answers once NetBird's wait is over: the daemon waits no more, nothing is enrolled.
    start_sign_in(sb)
    resp = sb.post("/login/cancel")
    assert resp.status == 200 and resp.json()["ok"] and resp.json()["sign_in"]["outcome"] == "cancelled", resp.text()
    assert sb.post("/login/cancel").json() == {"error": "No sign-in is under way"}
    sb.wait_for(lambda: daemon_status(sb) in ("NeedsLogin", "Idle"), 12, what="NetBird no longer waiting")
    assert sb.get("/status").json()["registered"] is False
    assert sb.post("/down").status == 200  # commands are taken again

    # A stop of the supervisor during the wait: after the restart nothing waits, and the history says so.
    start_sign_in(sb)
    sb.proc.send_signal(signal.SIGTERM)
    sb.wait_exit()
    daemon_ready(sb.start(env={"NB_SIM_SSO_ANSWER": str(control)}))
    assert sb.get("/status").json()["sign_in"]["outcome"] == "interrupted"
    assert [o for o, _ in history_of_sign_ins(sb)] == [
        "started", "expired", "started", "refused", "started", "cancelled", "started", "interrupted"]
    assert start_sign_in(sb)["phase"] == "waiting"
