import signal
import socket
import subprocess
from pathlib import Path

import pytest

PORT_ERROR = "Port must be an integer between 1024 and 65535"
IDLE_ERROR = "Idle timeout must be an integer between 5 and 3600 seconds"


def free_port():
    # Other test runs share this machine, so stay off iperf3's usual 5201.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def iperf_args(box):
    """(pid, arguments) of this sandbox's iperf3 process, or None."""
    for pid in box.pids_matching(str(box.lib / "iperf3")):
        try:
            return pid, Path(f"/proc/{pid}/cmdline").read_bytes().decode().split("\0")[1:-1]
        except OSError:
            pass
    return None


def start(box, body):
    return box.post("/iperf/server/start", body=body)


def test_empty_body_starts_default_server(sandbox):
    r = start(sandbox, b"")
    assert r.status == 200, r
    assert r.header("Cache-Control") == "no-store"
    assert (r.json()["running"], r.json()["port"]) == (True, 5201)
    _, args = sandbox.wait_for(lambda: iperf_args(sandbox), what="iperf3 process")
    assert args == ["--server", "--port", "5201", "--idle-timeout", "60", "--one-off", "--forceflush"]
    sandbox.wait_for_log("iperf3 server started on port 5201 (idle-timeout 60s, one-off)")


@pytest.mark.parametrize("form, error", [
    ("port=1023", PORT_ERROR), ("port=65536", PORT_ERROR), ("port=abc", PORT_ERROR), ("port=-1", PORT_ERROR),
    ("port=99999999999", PORT_ERROR), ("port=%201023", PORT_ERROR),
    ("idle_timeout=4", IDLE_ERROR), ("idle_timeout=3601", IDLE_ERROR), ("idle_timeout=x", IDLE_ERROR),
    ("port=1023&idle_timeout=4", PORT_ERROR), ("idle_timeout=4&port=abc", PORT_ERROR),
])
def test_start_validation(sandbox, form, error):
    r = start(sandbox, form)
    assert (r.status, r.json()) == (400, {"error": error})
    assert r.header("Content-Type") == "application/json"
    status = sandbox.get("/iperf/server/status").json()
    assert (status["running"], status["port"]) == (False, 0)
    assert iperf_args(sandbox) is None


def test_start_options_reach_iperf3(sandbox):
    for extra, idle, one_off in [("&idle_timeout=5", "5", True), ("&one_shot=false", "60", False),
                                 ("&one_shot=0", "60", False), ("&one_shot=", "60", False),
                                 ("&one_shot=on&idle_timeout=3600", "3600", True), ("&one_shot=1", "60", True),
                                 ("&one_shot=TRUE", "60", False), ("&one_shot=yes", "60", False)]:
        port = free_port()
        # Trailing characters after the number are ignored.
        r = start(sandbox, f"port={port}x{extra}")
        assert (r.status, r.json()["port"]) == (200, port), (extra, r)
        _, args = sandbox.wait_for(lambda: iperf_args(sandbox), what="iperf3 process")
        assert args == ["--server", "--port", str(port), "--idle-timeout", idle] + ["--one-off"] * one_off + [
            "--forceflush"], extra
        stopped = sandbox.post("/iperf/server/stop").json()
        assert (stopped["running"], stopped["port"], stopped["uptime_seconds"]) == (False, 0, 0)
        sandbox.wait_for(lambda: iperf_args(sandbox) is None, what="iperf3 gone after stop")


def test_one_off_test_then_server_exits(sandbox):
    port = free_port()
    assert start(sandbox, {"port": str(port)}).status == 200
    # iperf3 needs a moment before it listens; its banner says when.
    sandbox.wait_for(lambda: f"Server listening on {port}" in sandbox.get("/iperf/server/status").json()["output"],
                     timeout=15, what="iperf3 listening")
    client = subprocess.run(["iperf3", "-c", "127.0.0.1", "-p", str(port), "-t", "1"],
                            capture_output=True, text=True, timeout=60)
    assert client.returncode == 0, client.stdout + client.stderr
    status = sandbox.wait_for(lambda: (lambda s: not s["running"] and s)(sandbox.get("/iperf/server/status").json()),
                              timeout=15, what="one-off server end")
    assert (status["port"], status["uptime_seconds"]) == (0, 0)
    assert "Accepted connection from 127.0.0.1" in status["output"] and "receiver" in status["output"]
    assert "\r" not in status["output"] and status["output"].endswith("\n")
    sandbox.wait_for_log("iperf3 server exited")
    # The output of the last run stays visible until the next start.
    assert sandbox.get("/iperf/server/status").json()["output"] == status["output"]


def test_second_start_keeps_first_server(sandbox):
    idle = sandbox.post("/iperf/server/stop")
    assert (idle.status, idle.json()) == (200, {"output": "", "port": 0, "running": False, "uptime_seconds": 0})
    first, second = free_port(), free_port()
    assert start(sandbox, {"port": str(first), "one_shot": "false"}).status == 200
    pid, _ = sandbox.wait_for(lambda: iperf_args(sandbox), what="iperf3 process")
    r = start(sandbox, {"port": str(second), "idle_timeout": "4000"})  # ignored fields, but still validated
    assert r.status == 400
    r = start(sandbox, {"port": str(second)})
    assert (r.status, r.json()["port"], r.json()["running"]) == (200, first, True)
    assert iperf_args(sandbox) == (pid, ["--server", "--port", str(first), "--idle-timeout", "60", "--forceflush"])


def test_sigterm_leaves_no_iperf3(sandbox):
    assert start(sandbox, {"port": str(free_port())}).status == 200
    pid, _ = sandbox.wait_for(lambda: iperf_args(sandbox), what="iperf3 process")
    sandbox.signal(signal.SIGTERM)
    assert sandbox.wait_exit() == 0

    def gone():
        try:
            return Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] == "Z"
        except OSError:
            return True
    # Generous: the process may need a moment to be reaped after a SIGKILL.
    sandbox.wait_for(gone, timeout=5, what="iperf3 end")
    assert iperf_args(sandbox) is None
