#!/usr/bin/python3
"""What the supervisor's status polls cost: NetBird runs per hour, and CPU
seconds per hour of the supervisor and of the children it reaped (NetBird's
CLI runs: /proc/PID/stat cutime+cstime; the daemon runs on and is not in
them), with the real binary in a sandbox, an enrolled device and its tunnel
up (the simulator as NetBird, its daemon's own CPU not counted). Two phases
of MINUTES each, scaled to an hour:

- idle: nobody watching, once the daemon has settled (60 s after its start);
- watched: a client reads /status?peers=none every 5 s, as the open page
  does. The supervisor polled every 5 s whatever happened before the poll
  cadence depended on watchers, so this phase also gives the figures of
  that version.

Root only (a mount namespace per sandbox); not part of the test run.
Usage: tools/poll_cost.py [--binary build/vantrel_vpn] [--minutes 10]
"""

import argparse
import json
import os
import shutil
import tempfile
import time
from pathlib import Path

from sandbox import Box

ROOT = Path(__file__).resolve().parent.parent
SETTLING = 60  # seconds after the daemon's start during which NetBird is polled fast anyway
PAGE_POLL = 5  # seconds between the page's status reads


def cpu(pid):
    """(own, reaped children's) CPU seconds of a process."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / tick, (int(fields[13]) + int(fields[14])) / tick


def status_runs(reports):
    return len(list(reports.glob("*-status.json")))


def phase(box, reports, seconds, read):
    """NetBird status runs, own and children's CPU seconds, each per hour, over `seconds`."""
    runs0, (own0, kids0), t0 = status_runs(reports), cpu(box.proc.pid), time.monotonic()
    while time.monotonic() - t0 < seconds:
        if read:
            status, _, _ = box.request("GET", "/status?peers=none")
            assert status == 200, status
        time.sleep(min(PAGE_POLL, max(0.0, seconds - (time.monotonic() - t0))))
    elapsed = time.monotonic() - t0
    own, kids = cpu(box.proc.pid)
    scale = 3600 / elapsed
    return (status_runs(reports) - runs0) * scale, (own - own0) * scale, (kids - kids0) * scale


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", default=str(ROOT / "build" / "vantrel_vpn"))
    parser.add_argument("--simulator", default=str(ROOT / "tools" / "netbird_sim.py"))
    parser.add_argument("--minutes", type=float, default=10, help="length of each phase (default 10)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("needs root (mount namespaces)")
    top = tempfile.mkdtemp(prefix="vantrel-poll-cost-")
    box = Box(top, "box", os.path.abspath(args.binary), os.path.abspath(args.simulator))
    reports = box.root / "reports"
    try:
        (box.data / "config.json").write_text(json.dumps({"SimEnrolled": True}))  # enrolled: it connects by itself
        if box.start(f"export NB_SIM_REPORT_DIR='{reports}' NB_SIM_STOP_WAIT=0.2 && ") is None:
            raise SystemExit(f"the supervisor did not start: {box.state()}")
        started = time.monotonic()
        deadline = started + 60
        # Waiting for the tunnel reads /status, as a page would: that keeps polls fast for 30 s, within the settling.
        while (box.request("GET", "/status?peers=none")[1] or {}).get("status", {}).get("daemonStatus") != "Connected":
            if time.monotonic() > deadline:
                raise SystemExit("the tunnel did not come up within 60 s")
            time.sleep(1)
        time.sleep(max(0.0, started + SETTLING + 5 - time.monotonic()))
        seconds = args.minutes * 60
        print(f"binary {args.binary}; {args.minutes:g} min per phase, figures per hour", flush=True)
        print(f"{'phase':<8} {'NetBird runs':>12} {'supervisor CPU s':>17} {'children CPU s':>15} {'total CPU s':>12}")
        for name, read in (("idle", False), ("watched", True)):
            runs, own, kids = phase(box, reports, seconds, read)
            print(f"{name:<8} {runs:>12.0f} {own:>17.2f} {kids:>15.1f} {own + kids:>12.1f}", flush=True)
    finally:
        box.stop()
        shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
