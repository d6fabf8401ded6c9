"""Black-box harness: the real binary in its own sandbox and mount namespace (own /run/http, /dev/log). Needs root."""

import ctypes
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import weakref
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
from sandbox import UnixHTTP, rss_kib  # noqa: E402  (shared with the stress and benchmark tools)
API_PREFIX = "/local/vantrel_vpn/api/vpn"
START_TIMEOUT = 20.0  # start-up takes well under a second; generous for a loaded CI machine


def free_port():
    # Other test runs share this machine, so let the kernel pick a free port.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pytest_configure(config):
    # Orphans of a killed supervisor come back here, so cleaning up stays within what the tests started.
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def processes():
    """PID -> (state, parent PID) of every process."""
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            state, ppid = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()[:2]
            found[int(entry)] = (state, int(ppid))
        except (OSError, ValueError):
            continue
    return found


def descendants(pid, table=None):
    """PIDs of every process below `pid` (children, their children...)."""
    table = processes() if table is None else table
    children = [child for child, (_, ppid) in table.items() if ppid == pid]
    return children + [p for child in children for p in descendants(child, table)]


def pytest_addoption(parser):
    parser.addoption("--binary", required=True, help="path of the built vantrel_vpn")
    parser.addoption("--simulator", required=True, help="path of tools/netbird_sim.py")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)


class Response:
    def __init__(self, status, reason, headers, body):
        self.status, self.reason, self.headers, self.body = status, reason, headers, body

    @property
    def text(self):
        return self.body.decode("utf-8", "replace")

    def json(self):
        return json.loads(self.body)

    def header(self, name):
        return next((value for key, value in self.headers if key.lower() == name.lower()), None)

    def __repr__(self):
        return f"<Response {self.status} {self.body[:300]!r}>"


# -- raw HTTP on the API socket ------------------------------------------
def request_bytes(method, path, body=b"", headers=()):
    head = f"{method} {path} HTTP/1.1\r\nHost: localhost\r\n"
    head += "".join(f"{name}: {value}\r\n" for name, value in headers)
    if method == "POST" and not any(name.lower() == "transfer-encoding" for name, _ in headers):
        head += f"Content-Length: {len(body)}\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    return head.encode() + b"\r\n" + body


def read_responses(sock, count, timeout=15):
    """Reads up to `count` Content-Length framed responses; returns them and any bytes beyond."""
    sock.settimeout(timeout)
    data, out = b"", []
    while len(out) < count:
        head, complete, rest = data.partition(b"\r\n\r\n")
        headers = {k.lower(): v for k, v in re.findall(r"(?m)^([\w-]+): *([^\r\n]*)", head.decode("latin-1"))}
        length = int(headers.get("content-length", "0"))
        if complete and len(rest) >= length:
            out.append((int(head.split()[1]), headers, rest[:length]))
            data = rest[length:]
            continue
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        data += chunk
    return out, data


def connect(sandbox):
    sock = socket.socket(socket.AF_UNIX)
    sock.connect(str(sandbox.sock_path))
    return sock


def in_background(call, *args, **kwargs):
    """Runs a request whose answer never comes (the supervisor goes away)."""
    def run():
        try:
            call(*args, **kwargs)
        except OSError:
            pass
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


class SyslogCapture:
    """Receives the datagrams that syslog(3) sends to /dev/log."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(path))
        self.sock.settimeout(0.2)
        self.records, self._stop = [], False
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while not self._stop:
            try:
                self.records.append(self.sock.recv(65536))
            except socket.timeout:
                continue
            except OSError:
                return

    def parsed(self):
        """(priority, message) pairs; the priority without the facility."""
        found = (re.match(r"<(\d+)>.*?vantrel_vpn\[\d+\]: (.*)$", d.decode("utf-8", "replace"), re.S)
                 for d in list(self.records))
        return [(int(m.group(1)) & 7, m.group(2)) for m in found if m]

    def close(self):
        self._stop = True
        self.sock.close()


class Sandbox:
    started = weakref.WeakSet()  # the sandboxes still in use in this test process

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
        self.web_dir = self.root / "web"
        self.proc = self.web = self.syslog = None
        Sandbox.started.add(self)
        for d in (self.app_dir, self.data, self.lib, self.run_http, self.reports):
            d.mkdir(parents=True)
        shutil.copy2(binary, self.app_dir / "vantrel_vpn")
        os.symlink(simulator, self.lib / "netbird")
        iperf3 = shutil.which("iperf3") or "/usr/bin/iperf3"
        os.symlink(iperf3, self.lib / "iperf3")

    # -- process -----------------------------------------------------------
    def start(self, env=None, umask=None, syslog=False, wait=True, nofile=None, address_space_kib=None):
        os.makedirs("/run/http", exist_ok=True)
        steps = [f"mount --bind '{self.run_http}' /run/http"]
        if syslog:
            upper, work = self.root / "dev_upper", self.root / "dev_work"
            upper.mkdir(exist_ok=True), work.mkdir(exist_ok=True)
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
        if address_space_kib is not None:
            steps.append(f"ulimit -v {address_space_kib}")
        steps.append(f"exec '{self.app_dir / 'vantrel_vpn'}'")
        child_env = dict(os.environ)
        child_env["NB_SIM_REPORT_DIR"] = str(self.reports)
        # NetBird takes 2 s to stop; tests that do not measure the stop keep it short.
        child_env["NB_SIM_STOP_WAIT"] = "0.2"
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
        def accepts():
            if self.proc.poll() is not None:
                raise AssertionError(f"supervisor exited with {self.proc.returncode} during start-up\n{self.dump()}")
            with socket.socket(socket.AF_UNIX) as s:
                s.settimeout(1)
                return s.connect_ex(str(self.sock_path)) == 0
        self.wait_for(accepts, timeout, 0.05, "the API socket to accept")

    def start_web(self):
        """Starts the stand-in web server in this sandbox's namespace on a free port; returns the page's URL."""
        port = free_port()
        self.web_log = open(self.root / "web_server.out", "ab")
        self.web = subprocess.Popen(
            ["nsenter", f"--target={self.proc.pid}", "--mount", "--",
             str(REPO / "scripts" / "web_server.sh"), str(port), str(self.web_dir)],
            stdin=subprocess.DEVNULL, stdout=self.web_log, stderr=subprocess.STDOUT, close_fds=True)
        self.url = f"http://127.0.0.1:{port}/local/vantrel_vpn/"

        def answers():
            if self.web.poll() is not None:
                raise AssertionError(f"web server exited with {self.web.returncode}\n{self.dump()}")
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            try:
                conn.request("GET", API_PREFIX + "/config")
                return conn.getresponse().status == 200
            except OSError:
                return False
            finally:
                conn.close()
        self.wait_for(answers, START_TIMEOUT, 0.05, "the web server to answer")
        return self.url

    def runs_natively(self):
        """A native build without sanitizers: its address space may be limited (sanitizers reserve terabytes)."""
        data = Path(self.binary).read_bytes()
        machine = {"x86_64": b"\x3e\x00", "aarch64": b"\xb7\x00"}.get(os.uname().machine)
        return data[:4] == b"\x7fELF" and data[18:20] == machine and b"__asan_init" not in data

    def fake_netbird(self, script, mode=0o755):
        """Puts `script` in the simulator's place as lib/netbird."""
        (self.lib / "netbird").unlink()
        (self.lib / "netbird").write_text(script)
        (self.lib / "netbird").chmod(mode)

    def in_namespace(self, *command):
        """Runs a command in the supervisor's mount namespace."""
        subprocess.run(["nsenter", f"--target={self.proc.pid}", "--mount", "--", *command], check=True)

    def wait_exit(self, timeout=15):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        for p in (self.web, self.proc):  # the web server first: it forwards to the supervisor
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.kill_leftovers()
        # Ended orphans that came back to this process, except those whose exit status is still to be read.
        keep = {p.pid for box in Sandbox.started for p in (box.proc, box.web) if p and p.returncode is None}
        for pid, (state, ppid) in processes().items():
            if state == "Z" and ppid == os.getpid() and pid not in keep:
                os.waitpid(pid, os.WNOHANG)
        if self.syslog:
            self.syslog.close()

    def kill_leftovers(self):
        """Kills what this sandbox's supervisor left running, among the processes this test process started."""
        ours = set(descendants(os.getpid()))
        for pid in self.command_lines(str(self.app_dir)):
            if pid not in ours:
                continue
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    @staticmethod
    def command_lines(marker):
        """PID -> command line of every other process whose command line contains `marker`."""
        found = {}
        for pid in processes():
            try:
                line = Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
            except OSError:
                continue
            if marker in line and pid != os.getpid():
                found[pid] = line.strip()
        return found

    def daemon_pids(self):
        """PIDs of the simulator processes running `service run` for this sandbox."""
        return [pid for pid, line in self.command_lines(str(self.app_dir)).items() if line.endswith(" service run")]

    # -- HTTP --------------------------------------------------------------
    def request(self, method, suffix, body=None, headers=None, query=None, timeout=30, raw_path=None):
        path = raw_path if raw_path is not None else API_PREFIX + suffix
        if query:
            path += "?" + (query if isinstance(query, str) else urllib.parse.urlencode(query))
        if isinstance(body, dict):
            body = urllib.parse.urlencode(body)
            headers = dict(headers or {})
            headers.setdefault("Content-Type", "application/x-www-form-urlencoded")
        conn = UnixHTTP(self.sock_path, timeout)
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

    # -- files and logs ----------------------------------------------------
    def app_log(self):
        return "".join(p.read_text(errors="replace") for p in sorted(self.logs.glob("app_*.log")) if p.is_file())

    def netbird_log(self):
        return b"".join(p.read_bytes() for p in sorted(self.logs.glob("netbird_*.log")) if p.is_file())

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
        def tail(title, read, size):
            try:
                return f"--- {title} ---\n" + read()[-size:]
            except OSError:
                return ""
        parts = [tail("supervisor stdout/stderr", lambda: self.output_path.read_text(errors="replace"), 4000),
                 "--- application log ---\n" + self.app_log()[-8000:],
                 tail("netbird log", lambda: self.netbird_log().decode("utf-8", "replace"), 3000)]
        parts += [tail(name, lambda name=name: (self.root / name).read_text(errors="replace"), 3000)
                  for name in ("web_server.out", "web/error.log")]
        return "\n".join(p for p in parts if p)


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
