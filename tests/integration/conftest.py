"""Black-box test harness: every test runs the real vantrel_vpn binary in a
sandbox application directory of its own, inside a private mount namespace
where a temporary directory is bind-mounted over /run/http (so instances never
share the fixed API socket path) and, when asked, /dev/log is a datagram
socket of the test (so syslog records can be read).

Needs root (mount namespaces); CI runs as root.
"""

import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.parse
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
API_PREFIX = "/local/vantrel_vpn/api/vpn"
# Start-up normally takes well under a second; the bound is generous for a
# loaded CI machine.
START_TIMEOUT = 20.0


def free_port():
    # Other test runs share this machine, so let the kernel pick a free port.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pytest_addoption(parser):
    parser.addoption("--binary", required=True, help="path of the built vantrel_vpn")
    parser.addoption("--simulator", required=True, help="path of tools/netbird_sim.py")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)


class UnixHTTPConnection(http.client.HTTPConnection):
    def __init__(self, path, timeout=30):
        super().__init__("localhost", timeout=timeout)
        self.unix_path = str(path)

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.unix_path)


class Response:
    def __init__(self, status, reason, headers, body):
        self.status = status
        self.reason = reason
        self.headers = headers
        self.body = body

    @property
    def text(self):
        return self.body.decode("utf-8", "replace")

    def json(self):
        return json.loads(self.body)

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def __repr__(self):
        return f"<Response {self.status} {self.body[:300]!r}>"


class SyslogCapture:
    """Receives the datagrams that syslog(3) sends to /dev/log."""

    def __init__(self, path):
        self.path = str(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.2)
        self.records = []
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            self.records.append(data)

    def parsed(self):
        """(priority, message) pairs; the priority without the facility."""
        out = []
        for data in list(self.records):
            text = data.decode("utf-8", "replace")
            m = re.match(r"<(\d+)>.*?vantrel_vpn\[\d+\]: (.*)$", text, re.S)
            if m:
                out.append((int(m.group(1)) & 7, m.group(2)))
        return out

    def close(self):
        self._stop = True
        self.sock.close()


class Sandbox:
    def __init__(self, root, binary, simulator):
        self.root = Path(root)
        self.binary = binary
        self.simulator = simulator
        self.app_dir = self.root / "app"
        self.data = self.app_dir / "localdata"
        self.logs = self.data / "logs"
        self.lib = self.app_dir / "lib"
        self.run_http = self.root / "run_http"
        self.sock_path = self.run_http / "vantrel_vpn" / "api.sock"
        self.reports = self.root / "reports"
        self.output_path = self.root / "supervisor.out"
        self.proc = None
        self.web = None
        self.web_dir = self.root / "web"
        self.syslog = None
        self.app_dir.mkdir(parents=True)
        self.data.mkdir()
        self.lib.mkdir()
        self.run_http.mkdir()
        self.reports.mkdir()
        shutil.copy2(binary, self.app_dir / "vantrel_vpn")
        os.symlink(simulator, self.lib / "netbird")
        iperf3 = shutil.which("iperf3") or "/usr/bin/iperf3"
        os.symlink(iperf3, self.lib / "iperf3")

    # -- process -----------------------------------------------------------
    def start(self, env=None, umask=None, syslog=False, wait=True, nofile=None):
        os.makedirs("/run/http", exist_ok=True)
        steps = [f"mount --bind '{self.run_http}' /run/http"]
        if syslog:
            upper = self.root / "dev_upper"
            work = self.root / "dev_work"
            upper.mkdir(exist_ok=True)
            work.mkdir(exist_ok=True)
            self.syslog = SyslogCapture(self.root / "syslog.sock")
            steps += [
                f"mount -t overlay overlay -o lowerdir=/dev,upperdir='{upper}',workdir='{work}' /dev",
                "rm -f /dev/log",
                "touch /dev/log",
                f"mount --bind '{self.root / 'syslog.sock'}' /dev/log",
            ]
        if umask is not None:
            steps.append(f"umask {umask:03o}")
        if nofile is not None:
            steps.append(f"ulimit -n {nofile}")
        steps.append(f"exec '{self.app_dir / 'vantrel_vpn'}'")
        child_env = dict(os.environ)
        child_env["NB_SIM_REPORT_DIR"] = str(self.reports)
        child_env.update(env or {})
        self.output = open(self.output_path, "ab")
        self.proc = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-ec", " && ".join(steps)],
            stdin=subprocess.DEVNULL, stdout=self.output, stderr=subprocess.STDOUT,
            env=child_env, close_fds=True)
        if wait:
            self.wait_ready()
        return self

    def wait_ready(self, timeout=START_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"supervisor exited with {self.proc.returncode} during start-up\n{self.dump()}")
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                    s.settimeout(1)
                    s.connect(str(self.sock_path))
                return
            except OSError:
                time.sleep(0.05)
        raise AssertionError(f"API socket did not accept within {timeout}s\n{self.dump()}")

    def start_web(self):
        """Starts the stand-in for the platform's web server inside this
        sandbox's mount namespace (so it forwards to this sandbox's socket) on
        a free port; returns the page's URL."""
        port = free_port()
        self.web_log = open(self.root / "web_server.out", "ab")
        self.web = subprocess.Popen(
            ["nsenter", f"--target={self.proc.pid}", "--mount", "--",
             str(REPO / "scripts" / "web_server.sh"), str(port), str(self.web_dir)],
            stdin=subprocess.DEVNULL, stdout=self.web_log, stderr=subprocess.STDOUT, close_fds=True)
        self.url = f"http://127.0.0.1:{port}/local/vantrel_vpn/"
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.web.poll() is not None:
                raise AssertionError(f"web server exited with {self.web.returncode}\n{self.dump()}")
            try:
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
                conn.request("GET", API_PREFIX + "/config")
                if conn.getresponse().status == 200:
                    return self.url
            except OSError:
                pass
            finally:
                conn.close()
            time.sleep(0.05)
        raise AssertionError(f"web server did not answer within {START_TIMEOUT}s\n{self.dump()}")

    def signal(self, signum):
        self.proc.send_signal(signum)

    def wait_exit(self, timeout=15):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        if self.web and self.web.poll() is None:
            self.web.terminate()
            try:
                self.web.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.web.kill()
                self.web.wait()
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.kill_leftovers()
        if self.syslog:
            self.syslog.close()

    def kill_leftovers(self):
        """Kills any process still running from this sandbox (simulator, iperf3)."""
        marker = str(self.app_dir)
        for pid in self.pids_matching(marker):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    @staticmethod
    def pids_matching(marker):
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                cmdline = Path(f"/proc/{entry}/cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
            except OSError:
                continue
            if marker in cmdline:
                pids.append(int(entry))
        return pids

    def rss_kib(self):
        for line in Path(f"/proc/{self.proc.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def daemon_pids(self):
        """PIDs of the simulator processes running `service run` for this sandbox."""
        return [pid for pid in self.pids_matching(str(self.app_dir))
                if self._cmdline(pid).endswith(" service run")]

    @staticmethod
    def _cmdline(pid):
        try:
            return Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode().strip()
        except OSError:
            return ""

    # -- HTTP --------------------------------------------------------------
    def request(self, method, suffix, body=None, headers=None, query=None, timeout=30, raw_path=None):
        path = raw_path if raw_path is not None else API_PREFIX + suffix
        if query:
            path += "?" + (query if isinstance(query, str) else urllib.parse.urlencode(query))
        if isinstance(body, dict):
            body = urllib.parse.urlencode(body)
            headers = dict(headers or {})
            headers.setdefault("Content-Type", "application/x-www-form-urlencoded")
        conn = UnixHTTPConnection(self.sock_path, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            return Response(resp.status, resp.reason, resp.getheaders(), resp.read())
        finally:
            conn.close()

    def get(self, suffix, **kw):
        return self.request("GET", suffix, **kw)

    def post(self, suffix, body=None, **kw):
        return self.request("POST", suffix, body=body if body is not None else b"", **kw)

    def raw(self, data, read_timeout=10):
        """Sends raw bytes on one connection and returns everything read until the server closes or goes quiet."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(read_timeout)
            s.connect(str(self.sock_path))
            s.sendall(data)
            chunks = []
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    chunks.append(chunk)
            except socket.timeout:
                pass
            return b"".join(chunks)

    # -- files and logs ----------------------------------------------------
    def app_log(self):
        return "".join(p.read_text(errors="replace") for p in sorted(self.logs.glob("app_*.log")))

    def netbird_log(self):
        return b"".join(p.read_bytes() for p in sorted(self.logs.glob("netbird_*.log")))

    def wait_for(self, predicate, timeout=10, interval=0.1, what="condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(interval)
        raise AssertionError(f"timed out after {timeout}s waiting for {what}\n{self.dump()}")

    def wait_for_log(self, text, timeout=10):
        return self.wait_for(lambda: text in self.app_log(), timeout, what=f"log line {text!r}")

    def reports_for(self, verb):
        out = []
        for p in sorted(self.reports.glob(f"*-{verb}.json")):
            try:
                out.append(json.loads(p.read_text()))
            except (OSError, ValueError):
                pass
        return out

    def dump(self):
        parts = []
        try:
            parts.append("--- supervisor stdout/stderr ---\n" + self.output_path.read_text(errors="replace")[-4000:])
        except OSError:
            pass
        parts.append("--- application log ---\n" + self.app_log()[-8000:])
        try:
            parts.append("--- netbird log ---\n" + self.netbird_log().decode("utf-8", "replace")[-3000:])
        except OSError:
            pass
        for name in ("web_server.out", "web/error.log"):
            try:
                parts.append(f"--- {name} ---\n" + (self.root / name).read_text(errors="replace")[-3000:])
            except OSError:
                pass
        return "\n".join(parts)


@pytest.fixture
def make_sandbox(request, tmp_path_factory):
    """Factory: make_sandbox() lays out a new sandbox (not started)."""
    created = []

    def factory():
        box = Sandbox(tmp_path_factory.mktemp("sandbox"), os.path.abspath(request.config.getoption("--binary")),
                      os.path.abspath(request.config.getoption("--simulator")))
        created.append(box)
        return box

    yield factory
    failed = getattr(request.node, "rep_call", None) is not None and request.node.rep_call.failed
    for box in created:
        box.stop()
        if failed:
            print(f"\n===== sandbox {box.root} =====\n{box.dump()}")


@pytest.fixture
def sandbox(make_sandbox):
    """A started sandbox with the simulator as NetBird."""
    return make_sandbox().start()
