"""The watchdog's restarts, and status polled fast only while it matters, and kept fresh."""

import datetime
import json
import re
import threading
import time

import pytest

from test_vpn_control import daemon_ready, daemon_status


LOST = "VPN connectivity lost"
# Another site's page: it cannot read the answers, so its reads must not keep the status polls fast.
CROSS_SITE = {"Sec-Fetch-Site": "cross-site"}


def logged_at(sb, text):
    """Wall-clock times of the application log lines that contain text."""
    return [datetime.datetime.strptime(m, "%Y-%m-%d %H:%M:%S.%f")
            for m in re.findall(r"^\[([\d\- :.]+)\] .*" + re.escape(text), sb.app_log(), re.M)]


@pytest.mark.slow
def test_only_a_tunnel_that_carries_nothing_is_restarted_after_grace_and_timeout_and_a_quiet_one_is_polled_slowly(
        make_sandbox):
    # Seven instances on one ~100 s timeline (30 s time-out, 60 s fast polls), on configs that do not record enrolment.
    outage = {"NB_SIM_MGMT_DISCONNECTED": "1"}
    boxes = {"stuck": ({"SimEnrolled": True}, None, outage),  # its server unreachable since its start: Connecting
             "lost": ({"SimEnrolled": True}, None, {}),  # connected, then loses management and signal, no peer
             "kept": ({"SimEnrolled": True}, None, {"NB_SIM_PEERS": "10"}),  # the same, its peers still up
             "unregistered": ({}, {"enrolled": False}, outage),  # never enrolled: Connecting too, for ever
             "disabled": ({"SimEnrolled": True}, None, outage),
             "down": ({"SimEnrolled": True}, {"wanted_up": False}, outage),
             "quiet": ({"SimEnrolled": True}, None, {})}  # connected, and nobody watching once it is up
    t_start = time.monotonic()
    for name, (config, tunnel, env) in boxes.items():
        sb = boxes[name] = make_sandbox()
        (sb.data / "config.json").write_text(json.dumps(config))
        (sb.data / "app.json").write_text(json.dumps({"watchdog_timeout": 30, "watchdog_enabled": name != "disabled"}))
        if tunnel is not None:
            (sb.data / "tunnel.json").write_text(json.dumps(tunnel))
        daemon_ready(sb.start(env=env))
    quiet_started = time.time()  # the simulator names its reports by wall-clock time
    # Meanwhile another site's page reads the quiet one's status every second, in the background.
    quiet, window = boxes["quiet"], (quiet_started + 62, quiet_started + 97)
    foreign_reads = []

    def read_from_another_site():
        while time.time() < window[1]:
            r = quiet.get("/status", headers=CROSS_SITE)
            foreign_reads.append((r.status, (r.json().get("status") or {}).get("daemonStatus")))
            time.sleep(1)
    reader = threading.Thread(target=read_from_another_site, daemon=True)
    reader.start()
    for name in ("lost", "kept"):
        sb = boxes[name]
        sb.wait_for(lambda: daemon_status(sb) == "Connected", what="connected")
        for knob in ("NB_SIM_MGMT_DISCONNECTED", "NB_SIM_SIGNAL_DISCONNECTED"):
            sb.post("/env", {"name": knob, "value": "1"})
    unregistered = boxes["unregistered"]
    unregistered.wait_for(lambda: daemon_status(unregistered) == "Connecting", what="connecting")
    assert unregistered.get("/status").json()["registered"] is False
    old = {name: sb.daemon_pids() for name, sb in boxes.items()}

    # 30 s of grace from start-up, then the first failing poll logs the loss and the restart follows 30 s later.
    for name in ("stuck", "lost"):
        sb = boxes[name]
        sb.wait_for(lambda: logged_at(sb, LOST), timeout=300, what="loss")
        assert time.monotonic() - t_start >= 30
        sb.wait_for(lambda: logged_at(sb, "restarting service"), timeout=300, what="restart")
        (lost,), (restarted,) = logged_at(sb, LOST), logged_at(sb, "restarting service")
        down_for = int(re.search(r"VPN connectivity down for (\d+)s, restarting service", sb.app_log()).group(1))
        # Late by more than twelve 5 s polls would mean a wrong rule, not load.
        assert 30 <= down_for < 90 and 30 <= (restarted - lost).total_seconds() < 90
        # The restart is logged before the old daemon has stopped: wait until it is gone and a new one runs.
        sb.wait_for(lambda: (pids := sb.daemon_pids()) and not set(pids) & set(old[name]), timeout=60,
                    what="restarted daemon")
        events = sb.get("/history").json()["events"]
        (restart,) = [e for e in events if e["kind"] == "daemon_restarted"]
        assert restart["facts"]["reason"] == ("not connected" if name == "stuck" else "tunnel carries nothing")
        # Between its retries every status of a connecting daemon fails: the history does not swing with them.
        assert not [e for e in events if "does not answer" in e["text"] and e["id"] < restart["id"]], name

    for name, sb in boxes.items():
        if name not in ("stuck", "lost"):
            assert LOST not in sb.app_log() and "restarting service" not in sb.app_log(), name
            assert sb.daemon_pids() == old[name], name
    kept = boxes["kept"]
    assert daemon_status(kept) == "Connected" and json.loads((kept.data / "tunnel.json").read_text())["enrolled"]
    assert unregistered.get("/status").json()["registered"] is False

    # Settled (60 s), a steady tunnel only another site reads is polled every 30 s: at most two polls in 35 s.
    reader.join()
    assert set(foreign_reads[-30:]) == {(200, "Connected")}, foreign_reads
    assert len([t for t in polls(quiet) if window[0] <= t < window[1]]) <= 2, polls(quiet)
    # Someone watching is answered at once with the report there is (12 s old), and a fresh one follows.
    quiet.wait_for(lambda: time.time() - polls(quiet)[-1] >= 12, 30, what="a report 12 s old")
    assert quiet.get("/status").json()["report_age_ms"] >= 5000
    quiet.wait_for(lambda: quiet.get("/status?peers=none").json()["report_age_ms"] < 5000, 50, 0.5,
                   what="a fresh report (one 5 s cycle; ten allowed)")


def polls(sb):
    """Start times (s) of the NetBird status runs in a sandbox, oldest first."""
    return sorted(int(p.name.split("-")[0]) / 1e9 for p in sb.reports.glob("*-status.json"))


@pytest.mark.slow
def test_status_stays_fresh_under_steady_commands(sandbox):
    # Polls stand back while commands wait for their turn, but not for ever.
    sb = daemon_ready(sandbox)
    sb.post("/env", {"name": "NB_SIM_DELAY_DOWN", "value": "3"})
    stop = threading.Event()

    def client():
        while not stop.is_set():
            try:
                sb.post("/down", timeout=120)
            except OSError:
                pass
    clients = [threading.Thread(target=client, daemon=True) for _ in range(4)]
    for c in clients:
        c.start()
    try:
        sb.wait_for(lambda: len(sb.reports_for("down")) >= 3, 60, what="steady commands")
        polled = len(sb.reports_for("status"))
        time.sleep(40)
        # One cycle in three goes ahead, about four in 40 s; two leave room for a loaded machine.
        assert len(sb.reports_for("status")) - polled >= 2
    finally:
        stop.set()
        for c in clients:
            c.join()
