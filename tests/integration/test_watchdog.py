"""The watchdog: restart of a daemon that died, and restart after a lasting
loss of management connectivity (only when registered, wanted up and enabled)."""

import datetime
import os
import re
import signal
import time

import pytest

from test_vpn_control import daemon_ready

LOST = "VPN connectivity lost"


def logged_at(sb, text):
    """Wall-clock times of the application log lines that contain text."""
    return [datetime.datetime.strptime(m, "%Y-%m-%d %H:%M:%S.%f")
            for m in re.findall(r"^\[([\d\- :.]+)\] .*" + re.escape(text), sb.app_log(), re.M)]


def test_killed_daemon_is_restarted(sandbox):
    (old,) = sandbox.wait_for(sandbox.daemon_pids, what="daemon")
    os.kill(old, signal.SIGKILL)
    # Noticed at the next 5 s poll; 12 s leaves room for a loaded machine.
    sandbox.wait_for_log("VPN service exited, restarting", timeout=12)
    new = sandbox.wait_for(sandbox.daemon_pids, timeout=12, what="new daemon")
    assert old not in new and len(new) == 1


@pytest.mark.slow
def test_lost_management_restarts_only_after_grace_and_timeout(make_sandbox):
    # Four instances share one timeline (about 70 s): only the first one is
    # registered, wanted up and watched; the others must stay quiet.
    env = {"NB_SIM_MGMT_DISCONNECTED": "1"}
    t_start = time.monotonic()
    boxes = {name: daemon_ready(make_sandbox().start(env=env))
             for name in ("watched", "disabled", "down", "unregistered")}
    for name, sb in boxes.items():
        assert sb.post("/config", {"name": "watchdog_timeout", "value": "30"}).status == 200
        if name == "disabled":
            sb.post("/config", {"name": "watchdog_enabled", "value": "false"})
        key = {} if name == "unregistered" else {"setup_key": "k"}
        assert sb.post("/up", key).json()["ok"] is (name != "unregistered")
        if name == "down":
            sb.post("/down")
    watched = boxes["watched"]
    (old,) = watched.daemon_pids()

    # The 30 s grace period counts from start-up; then the first unhealthy
    # poll (every 5 s) logs the loss, so 50 s is a generous upper bound.
    watched.wait_for(lambda: logged_at(watched, LOST), timeout=50 - (time.monotonic() - t_start), what="loss")
    assert time.monotonic() - t_start >= 30

    watched.wait_for(lambda: logged_at(watched, "restarting service"), timeout=45, what="restart")
    (lost,), (restarted,) = logged_at(watched, LOST), logged_at(watched, "restarting service")
    down_for = int(re.search(r"VPN connectivity down for (\d+)s, restarting service", watched.app_log()).group(1))
    assert 30 <= down_for < 40
    assert 30 <= (restarted - lost).total_seconds() < 40
    new = watched.wait_for(watched.daemon_pids, what="restarted daemon")
    assert old not in new

    for name, sb in boxes.items():
        if name != "watched":
            assert LOST not in sb.app_log() and "restarting service" not in sb.app_log(), name
