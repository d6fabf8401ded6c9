"""The iperf3 test server, with Debian's real iperf3 as lib/iperf3."""

import signal
import subprocess
from pathlib import Path

from conftest import free_port, processes

PORT_ERROR = "Port must be an integer between 1024 and 65535"
IDLE_ERROR = "Idle timeout must be an integer between 5 and 3600 seconds"


def iperf_args(box):
    """(pid, arguments) of this sandbox's iperf3 process, or None."""
    for pid in box.command_lines(str(box.lib / "iperf3")):
        try:
            return pid, Path(f"/proc/{pid}/cmdline").read_bytes().decode().split("\0")[1:-1]
        except OSError:
            pass
    return None


def start(box, body):
    return box.post("/iperf/server/start", body=body)


def test_validation_default_server_one_off_test_second_start_and_sigterm(sandbox):
    for form, error in [("port=1023", PORT_ERROR), ("port=65536", PORT_ERROR), ("port=abc", PORT_ERROR),
                        ("idle_timeout=4", IDLE_ERROR), ("idle_timeout=3601", IDLE_ERROR),
                        ("idle_timeout=x", IDLE_ERROR), ("port=1023&idle_timeout=4", PORT_ERROR),
                        ("idle_timeout=4&port=abc", PORT_ERROR)]:
        r = start(sandbox, form)
        assert (r.status, r.json(), r.header("Content-Type")) == (400, {"error": error}, "application/json"), form
    assert iperf_args(sandbox) is None
    r = start(sandbox, b"")
    assert (r.status, r.json()["running"], r.json()["port"]) == (200, True, 5201)
    assert r.header("Cache-Control") == "no-store"
    _, args = sandbox.wait_for(lambda: iperf_args(sandbox), what="iperf3 process")
    assert args == ["--server", "--port", "5201", "--idle-timeout", "60", "--one-off", "--forceflush"]
    sandbox.wait_for_log("iperf3 server started on port 5201 (idle-timeout 60s, one-off)")
    stopped = sandbox.post("/iperf/server/stop").json()
    assert (stopped["running"], stopped["port"], stopped["uptime_seconds"]) == (False, 0, 0)
    sandbox.wait_for(lambda: iperf_args(sandbox) is None, what="iperf3 gone after stop")

    port = free_port()
    # Trailing characters after a number are ignored; "on" is one of the true values.
    assert start(sandbox, f"port={port}x&one_shot=on&idle_timeout=3600").status == 200
    _, args = sandbox.wait_for(lambda: iperf_args(sandbox), what="iperf3 process")
    assert args == ["--server", "--port", str(port), "--idle-timeout", "3600", "--one-off", "--forceflush"]
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

    first, second = free_port(), free_port()
    assert start(sandbox, {"port": str(first), "one_shot": "TRUE"}).status == 200  # only "1", "true", "on" are true
    pid, _ = sandbox.wait_for(lambda: iperf_args(sandbox), what="iperf3 process")
    assert start(sandbox, {"port": str(second), "idle_timeout": "4000"}).status == 400  # ignored, still validated
    r = start(sandbox, {"port": str(second)})
    assert (r.status, r.json()["port"], r.json()["running"]) == (200, first, True)
    assert iperf_args(sandbox) == (pid, ["--server", "--port", str(first), "--idle-timeout", "60", "--forceflush"])
    sandbox.proc.send_signal(signal.SIGTERM)
    assert sandbox.wait_exit() == 0
    # Generous: the process may need a moment to be reaped after a SIGKILL.
    sandbox.wait_for(lambda: processes().get(pid, ("Z",))[0] == "Z", timeout=5, what="iperf3 end")
    assert iperf_args(sandbox) is None
