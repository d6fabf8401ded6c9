#!/usr/bin/python3
"""Repeats hard cases against the real vantrel_vpn binary and prints figures:
a descriptor flood, kill -9 rounds, SIGTERM under load and the download of a
1 GiB log. Each case gets a throw-away sandbox application directory and a
private mount namespace with its own directory over /run/http, so the fixed
API socket never collides. It measures and asserts nothing: exit 0 once it
ran, whatever the figures. Root only; not part of the default test run.

Usage: tools/stress.py [--binary build/vantrel_vpn] [--simulator tools/netbird_sim.py] [--rounds 20]
"""

import argparse
import http.client
import json
import os
import shutil
import signal
import socket
import tempfile
import threading
import time
from pathlib import Path

from sandbox import API, Box, UnixHTTP, cpu_seconds, rss_kib, wait_exit

ROOT = Path(__file__).resolve().parent.parent
SUMMARY = []  # (case, figure, value)


def report(case, figure, value):
    print(f"  {figure}: {value}", flush=True)
    SUMMARY.append((case, figure, str(value)))


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def answer(result):
    status, data, took = result
    if status is None:
        return f"no ({data}, after {ms(took)})"
    code = f", exit_code {data['exit_code']}" if isinstance(data, dict) and "exit_code" in data else ""
    return f"yes, HTTP {status}{code} in {ms(took)}"


def case_flood(box, name):
    box.start("ulimit -n 256 && ")
    flood, refused = [], 0
    for _ in range(300):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.setblocking(False)  # a full backlog answers EAGAIN instead of blocking
        try:
            s.connect(box.sock)
            flood.append(s)
        except OSError:
            refused += 1
            s.close()
    time.sleep(1)
    cpu = cpu_seconds(box.proc.pid)
    time.sleep(2)  # a server spinning on accept() without descriptors shows here
    cpu_after = cpu_seconds(box.proc.pid)
    report(name, "CPU of the supervisor while flooded (2 s, idle otherwise)",
           "n/a (gone)" if None in (cpu, cpu_after) else f"{(cpu_after - cpu) / 2 * 100:.0f} %")
    report(name, "status answered", answer(box.request("GET", "/status", timeout=10)))
    report(name, "command (POST /down) answered", answer(box.request("POST", "/down", timeout=30)))
    closed = 0
    for s in flood:
        try:
            s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT)
            closed += 1  # end of stream, or an answer nobody asked for: the server let go
        except BlockingIOError:
            pass  # open and quiet
        except OSError:
            closed += 1
    report(name, "flood connections refused / closed by server / still open",
           f"{refused} / {closed} / {len(flood) - closed} of 300")
    wait_exit(box.proc, 2)  # a fault in progress (a terminate handler still writing) gets a moment to show
    report(name, "supervisor alive with the flood in place", box.state())
    for s in flood:
        s.close()
    time.sleep(0.5)
    report(name, "status answered after the flood", answer(box.request("GET", "/status", timeout=10)))
    report(name, "supervisor alive at the end", box.state())


def case_kills(box, name, rounds):
    box.start()
    report(name, "enrolment (up with a setup key)", answer(box.request("POST", "/up", {"setup_key": "stress-key-123"}, 60)))
    report(name, "mtu set", answer(box.request("POST", "/config", {"name": "mtu", "value": "1400"})))
    peak, ready, failed = len(box.daemons()), [], 0
    for _ in range(rounds):
        if box.alive():
            box.proc.kill()
        box.proc.wait()
        took = box.start()
        failed += took is None
        ready += [] if took is None else [took]
        for _ in range(10):  # the daemon is started (or adopted) shortly after the socket
            peak = max(peak, len(box.daemons()))
            time.sleep(0.1)
    time.sleep(2)
    try:
        mtu = json.loads((box.data / "app.json").read_text()).get("mtu")
        intact = "yes" if str(mtu) == "1400" else f"no (mtu {mtu!r})"
    except (OSError, ValueError, AttributeError) as e:
        intact = f"no ({type(e).__name__}: {e})"
    report(name, f"restarts whose socket never accepted (of {rounds})", failed)
    report(name, "socket ready after restart: median / max",
           f"{ms(sorted(ready)[len(ready) // 2])} / {ms(max(ready))}" if ready else "n/a")
    report(name, "settings intact (app.json parses, mtu 1400)", intact)
    report(name, "NetBird daemons of the sandbox after the rounds (want 1)", len(box.daemons()))
    report(name, "most daemons seen at once across rounds", peak)
    report(name, "status after the rounds", answer(box.request("GET", "/status", timeout=10)))


def case_sigterm(box, name):
    box.start()
    report(name, "override NB_SIM_DELAY_UP=30", answer(box.request("POST", "/env", {"name": "NB_SIM_DELAY_UP", "value": "30"})))
    answers = {}

    def up(i):
        answers[i] = box.request("POST", "/up", {"setup_key": f"stress-key-{i}"}, timeout=90)

    threads = [threading.Thread(target=up, args=(i,), daemon=True) for i in range(4)]
    for t in threads:
        t.start()
        time.sleep(0.1)  # the first one runs, the others queue behind it
    time.sleep(1)
    report(name, "setup-key files staged before SIGTERM", len(list(box.data.glob("setup-key-*"))))
    started = time.monotonic()
    box.proc.terminate()
    code = wait_exit(box.proc, 60)
    took = time.monotonic() - started
    if code is None:
        box.proc.kill()
        box.proc.wait()
    report(name, "exit status", "still running after 60 s (killed)" if code is None else
           f"killed by {signal.Signals(-code).name}" if code < 0 else code)
    report(name, "time to exit", f"{took:.2f} s")
    time.sleep(0.5)  # children ended on the way out get a moment to go
    left = box.processes()
    kinds = sorted(next((w for w in ("service run", "up", "down", "status", "iperf3") if f" {w}" in line), "other")
                   for line in left.values())
    report(name, "processes of the sandbox still running", f"{len(left)} {kinds}" if left else "0")
    report(name, "setup-key files left in localdata", len(list(box.data.glob("setup-key-*"))))
    for t in threads:
        t.join(2)
    report(name, "answers to the 4 ups", ", ".join(
        "none" if i not in answers else str(answers[i][0] or answers[i][1].split(":")[0]) for i in range(4)))


def case_download(box, name):
    box.start()
    log_name = "netbird_2000-01-01.log"
    (box.data / "logs").mkdir(exist_ok=True)
    with open(box.data / "logs" / log_name, "wb") as f:
        f.truncate(1 << 30)  # sparse: no disk, but every byte has to be read and sent
    time.sleep(0.5)
    idle = rss_kib(box.proc.pid)
    peak, done = [idle], threading.Event()
    got = {"bytes": 0, "status": None, "error": None}

    def sample():
        while not done.wait(0.05):
            peak[0] = max(peak[0], rss_kib(box.proc.pid))

    def download():
        deadline = time.monotonic() + 120  # for the whole download, so a stuck server cannot hang us
        conn = UnixHTTP(box.sock, 120)
        try:
            conn.request("GET", f"{API}/logs/download?source=netbird&name={log_name}")
            resp = conn.getresponse()
            got["status"] = resp.status
            while time.monotonic() < deadline:
                conn.sock.settimeout(max(0.01, deadline - time.monotonic()))
                chunk = resp.read(1 << 20)
                if not chunk:
                    return
                got["bytes"] += len(chunk)
            got["error"] = "gave up after 120 s"
        except (OSError, http.client.HTTPException) as e:
            got["error"] = f"{type(e).__name__}: {e}"
        finally:
            conn.close()

    sampler = threading.Thread(target=sample, daemon=True)
    loader = threading.Thread(target=download, daemon=True)
    sampler.start()
    started = time.monotonic()
    loader.start()
    time.sleep(0.2)  # the download is under way
    during = box.request("GET", "/status", timeout=60)
    still_running = loader.is_alive()
    loader.join(130)
    took = time.monotonic() - started
    done.set()
    sampler.join()
    report(name, "bytes received", f"{got['bytes']} of {1 << 30}" + (f" ({got['error']})" if got["error"] else ""))
    report(name, "download status / time", f"{got['status']} / {took:.2f} s")
    report(name, "peak RSS minus idle RSS", f"{(peak[0] - idle) / 1024:.1f} MiB (idle {idle / 1024:.1f} MiB)")
    report(name, "status during the download",
           answer(during) + ("" if still_running else " (the download had already ended)"))
    report(name, "supervisor alive after the download", box.state())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", default=str(ROOT / "build" / "vantrel_vpn"))
    parser.add_argument("--simulator", default=str(ROOT / "tools" / "netbird_sim.py"))
    parser.add_argument("--rounds", type=int, default=20, help="kill -9 rounds (default 20)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("needs root (mount namespaces)")
    binary, simulator = os.path.abspath(args.binary), os.path.abspath(args.simulator)
    top = tempfile.mkdtemp(prefix="vantrel-stress-")
    print(f"binary {binary}\nsandboxes under {top}")
    cases = [("1 flood", "descriptor flood", case_flood),
             ("2 kill -9", f"kill -9 rounds ({args.rounds})", lambda b, n: case_kills(b, n, args.rounds)),
             ("3 SIGTERM", "SIGTERM under load", case_sigterm),
             ("4 1 GiB log", "download of a 1 GiB sparse log", case_download)]
    try:
        for number, (name, title, run) in enumerate(cases, 1):
            print(f"\n{number}. {title}", flush=True)
            box = Box(top, f"case{number}", binary, simulator)
            try:
                run(box, name)
            except Exception as e:  # a case that breaks still leaves the others their run
                report(name, "case aborted", f"{type(e).__name__}: {e}")
            finally:
                leftovers = box.stop()
                if leftovers:
                    report(name, "leftover processes ended at clean-up", leftovers)
    finally:
        shutil.rmtree(top, ignore_errors=True)
    width = max(len(figure) for _, figure, _ in SUMMARY)
    print(f"\n{'case':<12} {'figure':<{width}}  value")
    for case, figure, value in SUMMARY:
        print(f"{case:<12} {figure:<{width}}  {value}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
