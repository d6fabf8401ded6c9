#!/usr/bin/python3
"""Measures a few numbers of the real binary in a throw-away sandbox (root):
start-up time, /status latency while a slow NetBird command runs, and the
time to tail a 4 GiB sparse daemon log.

Usage: sudo tools/measure.py [build/vantrel_vpn]
"""

import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "integration"))
from conftest import Sandbox  # noqa: E402  (the black-box test harness)


def timed_ms(call, count):
    samples = []
    for _ in range(count):
        started = time.monotonic()
        result = call()
        samples.append((time.monotonic() - started) * 1000)
    return samples, result


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else str(ROOT / "build" / "vantrel_vpn")
    box = Sandbox(tempfile.mkdtemp(prefix="vantrel-measure-"), binary, str(ROOT / "tools" / "netbird_sim.py"))
    started = time.monotonic()
    box.start(env={"NB_SIM_DELAY_UP": "10"})
    print(f"start-up to an accepting API socket: {(time.monotonic() - started) * 1000:.0f} ms")
    try:
        time.sleep(1)
        up = threading.Thread(target=lambda: box.post("/up", timeout=30))
        up.start()
        time.sleep(0.5)
        samples, _ = timed_ms(lambda: box.get("/status"), 50)
        print(f"GET /status while a 10 s 'up' runs: median {statistics.median(samples):.2f} ms, "
              f"max {max(samples):.2f} ms over {len(samples)} requests")
        up.join()
        with open(box.data / "client.log", "r+b") as log:
            log.truncate(4 << 30)
        samples, response = timed_ms(lambda: box.get("/logs/tail", query="source=netbird"), 10)
        print(f"GET /logs/tail of a 4 GiB sparse client.log: median {statistics.median(samples):.1f} ms, "
              f"{len(response.body)} bytes sent")
    finally:
        box.stop()


if __name__ == "__main__":
    main()
