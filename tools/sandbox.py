"""A throw-away sandbox application directory and the real vantrel_vpn
started on it, for the development tools (stress and benchmark): the binary
copied in (so that /proc/self/exe resolves there), the NetBird simulator as
lib/netbird, Debian's iperf3 as lib/iperf3, and a private mount namespace
with its own directory over /run/http, so the fixed API socket never
collides. Root only."""

import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import urllib.parse
from pathlib import Path

API = "/local/vantrel_vpn/api/vpn"
START_TIMEOUT = 20.0


def rss_kib(pid):
    try:
        return int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{pid}/status").read_text()).group(1))
    except (OSError, AttributeError):
        return 0  # gone, or a zombie


def cpu_seconds(pid):
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return None


def wait_exit(proc, timeout):
    """The exit status, or None while it still runs after timeout seconds."""
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None


class UnixHTTP(http.client.HTTPConnection):
    def __init__(self, path, timeout):
        super().__init__("localhost", timeout=timeout)
        self.unix_path = str(path)

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.unix_path)


class Box:
    """One sandbox application directory and the supervisor started on it."""

    def __init__(self, top, name, binary, simulator):
        self.root = Path(top) / name
        self.app, self.run_http = self.root / "app", self.root / "run_http"
        self.data = self.app / "localdata"
        self.sock = str(self.run_http / "vantrel_vpn" / "api.sock")
        for d in (self.data, self.app / "lib", self.run_http):
            d.mkdir(parents=True)
        shutil.copy2(binary, self.app / "vantrel_vpn")
        os.symlink(simulator, self.app / "lib" / "netbird")
        os.symlink(shutil.which("iperf3") or "/usr/bin/iperf3", self.app / "lib" / "iperf3")
        self.out = open(self.root / "supervisor.out", "ab")
        self.proc = None

    def start(self, prelude=""):
        """Seconds until the API socket accepts, None if it never did. unshare and
        sh both exec, so the PID we hold is the supervisor's own."""
        os.makedirs("/run/http", exist_ok=True)
        script = f"mount --bind '{self.run_http}' /run/http && {prelude}exec '{self.app / 'vantrel_vpn'}'"
        self.proc = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-ec", script],
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT)
        started = time.monotonic()
        while time.monotonic() - started < START_TIMEOUT and self.alive():
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                    s.settimeout(1)
                    s.connect(self.sock)
                return time.monotonic() - started
            except OSError:
                time.sleep(0.02)
        return None

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def state(self):
        """'yes', or how the supervisor ended and the last thing it wrote (stack frames skipped)."""
        if self.alive():
            return "yes"
        lines = [line for line in (self.root / "supervisor.out").read_text(errors="replace").splitlines()
                 if line.strip() and line != "Stack trace:" and not re.match(r"\s*\d+# ", line)]
        return f"no (exit {self.proc.returncode}" + (f": {lines[-1][:100]})" if lines else ")")

    def request(self, method, suffix, form=None, timeout=30):
        """(HTTP status or None, JSON or text or the error, seconds)."""
        body = urllib.parse.urlencode(form) if form is not None else ("" if method == "POST" else None)
        headers = {"Content-Type": "application/x-www-form-urlencoded"} if form is not None else {}
        started = time.monotonic()
        conn = UnixHTTP(self.sock, timeout)
        try:
            conn.request(method, API + suffix, body=body, headers=headers)
            resp = conn.getresponse()
            status, data = resp.status, resp.read()
        except (OSError, http.client.HTTPException) as e:
            return None, f"{type(e).__name__}: {e}", time.monotonic() - started
        finally:
            conn.close()
        try:
            data = json.loads(data)
        except ValueError:
            data = data.decode("utf-8", "replace")
        return status, data, time.monotonic() - started

    def processes(self):
        """PID -> command line of each process whose command line names this sandbox."""
        found = {}
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                argv = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
            except OSError:
                continue
            line = " ".join(a.decode("utf-8", "replace") for a in argv if a)
            if str(self.app) in line and int(entry) != os.getpid():
                found[int(entry)] = line
        return found

    def daemons(self):
        netbird = str(self.app / "lib" / "netbird")
        return [pid for pid, line in self.processes().items() if netbird in line and line.endswith(" service run")]

    def stop(self):
        """Ends the supervisor we started, then whatever of this sandbox outlived it:
        descendants of ours, since the sandbox path is unique to this run."""
        if self.alive():
            self.proc.terminate()
            if wait_exit(self.proc, 15) is None:
                self.proc.kill()
                self.proc.wait()
            time.sleep(0.5)  # children it ended on the way out may still be exiting
        leftovers = self.processes()
        for pid in leftovers:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.out.close()
        return len(leftovers)
