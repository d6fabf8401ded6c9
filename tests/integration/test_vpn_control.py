"""VPN control through the API: status, commands, enrolment as NetBird reports it, the queue, setup keys."""

import json
import re
import secrets
import socket
import statistics
import time
from urllib.parse import urlencode

import pytest

from conftest import API_PREFIX, connect, request_bytes

BUSY_BODY = b'{"exit_code":503,"ok":false,"output":"VPN service busy"}'


def daemon_ready(sb, timeout=15):
    """Waits for the daemon's socket and the first status poll: before that commands fail for other reasons."""
    def accepts():
        with socket.socket(socket.AF_UNIX) as s:
            return s.connect_ex(str(sb.data / "netbird.sock")) == 0
    sb.wait_for(accepts, timeout, what="daemon socket")
    sb.wait_for(lambda: sb.get("/status").json()["ok"], timeout, what="first status poll")
    return sb


def flags(sb):
    st = sb.get("/status").json()
    return st["registered"], st["pending_reconnect"], st["pending_restart"]


def send(sb, suffix, form=None):
    """Sends one POST on a connection of its own; returns the socket unread."""
    s = connect(sb)
    s.settimeout(30)
    s.sendall(request_bytes("POST", API_PREFIX + suffix, urlencode(form or {}).encode(), [("Connection", "close")]))
    return s


def read_all(s):
    with s:
        return b"".join(iter(lambda: s.recv(65536), b""))


def commands(sb):
    return re.findall(r"Running command: (.*)", sb.app_log())


def verbs(sb):
    return [c.split(" --daemon-addr ")[1].split()[1] for c in commands(sb)]


def app_json(sb):
    path = sb.data / "app.json"
    return json.loads(path.read_text()) if path.exists() else {}


def daemon_status(sb):
    return (sb.get("/status").json().get("status") or {}).get("daemonStatus")


def netbird_config(sb):
    return json.loads((sb.data / "config.json").read_text())


def key_files(sb):
    return sorted(p.name for p in sb.data.iterdir() if p.name.startswith("setup-key-"))


@pytest.mark.parametrize("env, polled", [
    ({}, lambda b: b.get("status", {}).get("management", {}).get("connected") is False and b["exit_code"] == 0),
    ({"NB_SIM_EXIT_STATUS": "1"}, lambda b: b.get("output") == "Error: simulated failure\n" and b["exit_code"] == 1),
], ids=["json", "error-text"])
def test_status_before_and_after_first_poll(make_sandbox, env, polled):
    # The first poll is held for 3 s, so the request below comes before it ends.
    sb = make_sandbox().start(env=dict(env, NB_SIM_DELAY_STATUS="3"))
    r = sb.get("/status")
    body = r.json()
    assert (body["exit_code"], body["ok"], body["output"], body["registered"]) == (1, False, "", False)
    assert "status" not in body and r.header("Cache-Control") == "no-store"
    body = sb.wait_for(lambda: (lambda b: polled(b) and b)(sb.get("/status").json()), 15, what="status")
    assert body["ok"] is (body["exit_code"] == 0) and ("status" in body) != ("output" in body)


def test_pending_flags_follow_settings_env_and_commands(sandbox):
    sb = daemon_ready(sandbox)
    # Not wanted up yet: a tunnel setting change needs no reconnect.
    assert sb.post("/config", {"name": "mtu", "value": "1400"}).status == 200
    assert flags(sb) == (False, False, False)
    assert sb.post("/up", {"setup_key": "k1"}).json()["ok"] is True
    assert flags(sb) == (True, False, False)

    sb.post("/config", {"name": "mtu", "value": "1500"})
    assert flags(sb) == (True, True, False)
    # An env change while the daemon runs needs a restart; a failed up applied nothing: the reconnect stays pending.
    assert sb.post("/env", {"name": "NB_SIM_EXIT_UP", "value": "1"}).json()["restart_required"] is True
    r = sb.post("/up")
    assert (r.status, r.json()) == (200, {"exit_code": 1, "ok": False, "output": "Error: simulated failure\n"})
    assert flags(sb) == (True, True, True)
    sb.stop()  # the reconnect is still pending after a restart of the supervisor (and its daemon)
    daemon_ready(sb.start())
    assert flags(sb) == (True, True, False)
    sb.post("/env", {"name": "NB_SIM_EXIT_UP"})
    assert sb.post("/up").json() == {"exit_code": 0, "ok": True, "output": "Connected\n"}
    assert flags(sb) == (True, False, True)
    # NetBird applies nothing to a connected tunnel: the up takes it down first; with no change since, it is left alone.
    assert netbird_config(sb)["MTU"] == 1500 and verbs(sb)[-3:] == ["up", "down", "up"]
    assert sb.post("/up").json()["output"] == "Already connected\n" and verbs(sb)[-2:] == ["up", "up"]

    old = sb.daemon_pids()
    r = sb.post("/restart")
    assert (r.status, r.body, r.header("Cache-Control")) == (200, b'{"running":true}', "no-store")
    assert flags(sb) == (True, False, False)
    assert sb.wait_for(lambda: sb.daemon_pids() and not set(sb.daemon_pids()) & set(old), what="new daemon")
    daemon_ready(sb)

    sb.post("/env", {"name": "NB_LOG_LEVEL", "value": "debug"})
    sb.post("/config", {"name": "mtu", "value": "1400"})
    assert flags(sb) == (True, True, True)
    old, before = sb.daemon_pids(), len(commands(sb))
    r = sb.post("/reconnect")
    assert (r.status, r.json()) == (200, {"exit_code": 0, "ok": True, "output": "Connected\n"})
    assert flags(sb) == (True, False, False)
    assert verbs(sb)[before:] == ["down", "up"] and "--mtu 1400 " in commands(sb)[-1]
    assert sb.daemon_pids() and not set(sb.daemon_pids()) & set(old)

    sb.post("/config", {"name": "mtu", "value": "1300"})
    assert sb.post("/down").status == 200 and flags(sb) == (True, False, False)  # down drops the reconnect


def test_enrolment_is_what_netbird_reports_not_its_file(make_sandbox):
    # The daemon writes its configuration file at its first start: the file says nothing of an enrolment.
    sb = daemon_ready(make_sandbox().start())
    assert (sb.data / "config.json").exists() and daemon_status(sb) == "NeedsLogin" and flags(sb) == (False,) * 3
    # Without a key NetBird would wait for a person to sign in, holding every later command: refused at once.
    t0 = time.monotonic()
    for suffix in ("/up", "/reconnect"):
        r = sb.post(suffix)
        assert (r.status, r.json()) == (400, {"error": "A setup key is needed to enrol this device"}), suffix
    assert time.monotonic() - t0 < 5 and not sb.reports_for("up")

    def started_again_where_the_server_is_unreachable():
        # Started again on its file, a daemon that cannot reach its server says Connecting for ever, enrolled or not.
        sb.stop()
        daemon_ready(sb.start(env={"NB_SIM_MGMT_DISCONNECTED": "1", "NB_SIM_MGMT_RETRY_WAIT": "0"}))
        sb.wait_for(lambda: daemon_status(sb) == "Connecting", what="Connecting")
        assert flags(sb)[0] is False and sb.post("/up").status == 400
        sb.stop()
        daemon_ready(sb.start())
    started_again_where_the_server_is_unreachable()

    assert sb.post("/up", {"setup_key": "k"}).json()["ok"] and flags(sb)[0] is True
    # NetBird ignores a key for a peer it knows: the device would stay in its account.
    r = sb.post("/up", {"setup_key": "another"})
    assert (r.status, r.json()) == (409, {"error": "This device is already enrolled: deregister it first to enrol "
                                                   "it with another key"})
    # Deregistered: NetBird's fresh file and its Connecting say nothing of an enrolment.
    assert sb.post("/deregister").json()["ok"]
    started_again_where_the_server_is_unreachable()
    assert sb.post("/up", {"setup_key": "k"}).json()["ok"]
    # Enrolled, its login refused: still enrolled, and the report says why.
    sb.post("/env", {"name": "NB_SIM_LOGIN_STATE", "value": "LoginFailed"})
    sb.wait_for(lambda: daemon_status(sb) == "LoginFailed", what="LoginFailed")
    assert flags(sb)[0] is True


def test_an_up_reaches_a_daemon_stuck_connecting(sandbox, tmp_path):
    # A daemon that has never reached its server since its start: NetBird's up would wait for it without end.
    sb = daemon_ready(sandbox)
    assert sb.post("/up", {"setup_key": "k"}).json()["ok"]
    (outage := tmp_path / "management-unreachable").touch()
    for name, value in [("NB_SIM_MGMT_DISCONNECTED", str(outage)), ("NB_SIM_MGMT_RETRY_WAIT", "0"),
                        ("NB_SIM_MGMT_ATTEMPT", "1"), ("NB_SIM_LOGIN_RETRY", "1")]:
        sb.post("/env", {"name": name, "value": value})
    sb.post("/restart")
    sb.wait_for(lambda: daemon_status(sb) == "Connecting", 30, what="Connecting")
    # The corrected URL reaches NetBird in one command, its login failing in about 3 s (an up waiting on it: 60 s).
    t0 = time.monotonic()
    assert not sb.post("/up", {"management_url": "https://corrected.example.com:443"}, timeout=90).json()["ok"]
    assert time.monotonic() - t0 < 20 and netbird_config(sb)["ManagementURL"]["Host"] == "corrected.example.com:443"
    # The down ended NetBird's own connect loop: it must still be trying, and connect once the server is back.
    outage.unlink()
    sb.wait_for(lambda: daemon_status(sb) == "Connected", 30, what="connected with no further command")


def test_a_tunnel_taken_down_stays_down_when_the_daemon_starts_again(make_sandbox):
    # An enrolled daemon connects at its start whatever the last down said: taken down again after either restart.
    sb = daemon_ready(make_sandbox().start())
    assert sb.post("/up", {"setup_key": "k"}).json()["ok"] and sb.post("/down").json()["ok"]
    for restart in (lambda: sb.post("/restart"), lambda: (sb.stop(), sb.start())):
        downs = len(sb.reports_for("down"))
        restart()
        sb.wait_for(lambda: len(sb.reports_for("down")) > downs, 30, what="the down after the start")
        sb.wait_for(lambda: daemon_status(sb) == "Idle", 30, what="the tunnel down")
    assert sb.post("/up").json()["ok"]
    sb.wait_for(lambda: daemon_status(sb) == "Connected", what="the tunnel up")


def test_setup_key_is_staged_privately_and_never_leaks(make_sandbox):
    key, old_key, env_key = ("vv" + secrets.token_hex(12) for _ in range(3))
    sb = make_sandbox()
    # Left over by a crash: a staged key, a half-written settings file; settings holding a key (older versions).
    (sb.data / "setup-key-Ab12Cd").write_text("left over by a crash")
    (sb.data / ".app.json.tmp.4242.0").write_text('{"mtu": 14')
    settings = {"mtu": 1400, "theme": {"colours": ["dark", 2]}}
    (sb.data / "app.json").write_text(json.dumps({**settings, "setup_key": old_key}))
    daemon_ready(sb.start(syslog=True))
    assert key_files(sb) == [] and not (sb.data / ".app.json.tmp.4242.0").exists() and app_json(sb) == settings
    # A secret override is stored, answered only as set, and logged redacted.
    assert sb.post("/env", {"name": "NB_API_TOKEN", "value": env_key}).json()["env"] == {"NB_API_TOKEN": None}
    sb.wait_for_log("NetBird env override set: NB_API_TOKEN=<redacted>")

    r = sb.post("/up", {"setup_key": key, "wireguard_port": "51821", "enable_lazy_connection": "true"})
    assert r.json()["ok"] is True and key_files(sb) == [] and app_json(sb) == {**settings, "wireguard_port": 51821}
    (rep,) = sb.reports_for("up")
    key_file = rep["argv"][-1]
    assert rep["argv"][1:] == [
        "--log-file", str(sb.data / "client.log"), "--daemon-addr", f"unix://{sb.data / 'netbird.sock'}", "up",
        "--management-url", "https://api.netbird.io:443", "--enable-lazy-connection=true", "--wireguard-port",
        "51821", "--mtu", "1400", "--interface-name", "wt0", "--external-ip-map", "", "--setup-key-file", key_file]
    assert key_file.startswith(str(sb.data / "setup-key-")) and rep["setup_key_file_mode"] == 0o600

    sb.stop()  # flush every log before searching them
    # No file holds the key (the override is meant for NetBird's environment: only logs count for it).
    for path in sb.root.rglob("*"):
        if path.is_file():
            assert not re.search(f"{key}|{old_key}".encode(), path.read_bytes()), path
    logged = [sb.app_log().encode(), sb.netbird_log(), *sb.syslog.records]
    assert sb.syslog.records and not [text for text in logged if re.search(f"{key}|{old_key}|{env_key}".encode(), text)]


def test_queue_bound_order_abandoned_clients_and_free_event_loop(sandbox):
    sb = daemon_ready(sandbox)
    sb.post("/env", {"name": "NB_SIM_DELAY_UP", "value": "6"})
    first = send(sb, "/up", {"setup_key": "first-key"})
    sb.wait_for(lambda: commands(sb), what="up running")
    waiting = []
    for port in range(51001, 51009):
        form = {"wireguard_port": str(port), **({"setup_key": "abandoned-key"} if port == 51004 else {})}
        waiting.append(send(sb, "/up", form))
        if port == 51004:
            waiting[-1].shutdown(socket.SHUT_WR)  # the client leaves before the answer
        # app.json is written just before the job is queued: the queue order is that of the ports.
        sb.wait_for(lambda: app_json(sb).get("wireguard_port") == port, what=f"up {port} queued")

    # The running up holds the worker 6 s: status answers and refusals (~1 ms; 0.5 s for load) must not wait for it.
    times = []
    for _ in range(7):
        t0 = time.monotonic()
        assert sb.get("/status").status == 200
        times.append(time.monotonic() - t0)
    assert statistics.median(times) < 0.5
    t0 = time.monotonic()
    r = sb.post("/down")
    assert time.monotonic() - t0 < 3  # refused at once (milliseconds), not after the 6 s up
    assert (r.status, r.reason, r.body) == (503, "Service Unavailable", BUSY_BODY)
    assert len(queued_key := key_files(sb)) == 2  # the running enrolment's and the one of the client that left
    r = sb.post("/up", {"setup_key": "refused-key", "wireguard_port": "51999"})
    assert (r.status, r.body) == (503, BUSY_BODY)
    assert key_files(sb) == queued_key and app_json(sb)["wireguard_port"] == 51999  # settings stay after a refusal
    sb.post("/env", {"name": "NB_SIM_DELAY_UP"})  # the running up keeps its delay, the queued ones do not

    assert read_all(first).startswith(b"HTTP/1.1 200")
    answers = [read_all(s) for s in waiting]
    assert answers[3] == b""
    assert all(a.startswith(b"HTTP/1.1 200") and b'"exit_code"' in a for i, a in enumerate(answers) if i != 3)
    # Queued ups find another port, applied only after a down: each runs again; the keyed one never (enrolled already).
    ports = [int(re.search(r"--wireguard-port (\d+)", c).group(1)) for c in commands(sb) if " up " in c]
    assert [p for i, p in enumerate(ports) if i == 0 or p != ports[i - 1]] == [51820, *range(51001, 51004),
                                                                               *range(51005, 51009)]
    sb.wait_for(lambda: key_files(sb) == [], what="abandoned key file removed")
    # The refused down changed nothing: the tunnel is still wanted up.
    assert sb.get("/status").json()["status"]["daemonStatus"] == "Connected"
    assert "kept_down" not in [e["kind"] for e in sb.get("/history").json()["events"]]
    assert sb.post("/down").status == 200  # accepted again once the queue has drained


def test_deregister_wipes_state_even_when_client_left(sandbox):
    sb = daemon_ready(sandbox)
    assert sb.post("/up", {"setup_key": "k", "mtu": "1400"}).json()["ok"] is True
    sb.post("/env", {"name": "NB_SIM_DELAY_DEREGISTER", "value": "2"})
    assert flags(sb) == (True, False, True)
    old, old_key = sb.daemon_pids(), netbird_config(sb)["PrivateKey"]
    s = send(sb, "/deregister")
    s.shutdown(socket.SHUT_WR)
    assert read_all(s) == b""  # nothing is written to a client that left
    sb.wait_for(lambda: not (sb.data / "app.json").exists(), what="after-hook")
    # NetBird's configuration went with the rest; the new daemon writes a fresh one.
    config = sb.data / "config.json"
    assert not config.exists() or json.loads(config.read_text() or "{}").get("PrivateKey") != old_key
    assert json.loads((sb.data / "env.json").read_text()) == {"NB_SIM_DELAY_DEREGISTER": "2"}
    assert list(sb.logs.glob("app_*.log")) and list(sb.logs.glob("netbird_*.log"))
    assert sb.wait_for(lambda: sb.daemon_pids() and not set(sb.daemon_pids()) & set(old), what="new daemon")
    assert flags(sb) == (False, False, False) and sb.get("/config").json()["mtu"] == 1280
