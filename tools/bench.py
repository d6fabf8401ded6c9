#!/usr/bin/python3
"""Benchmark of the API frame against nginx on this machine, printing ratios
rather than absolute figures (both servers face the same load client,
tools/bench_load.c, in interleaved rounds):

- GET /config requests per second, p50 and p99 at 1 and 16 keep-alive
  connections, as ratios to nginx (1 worker, no access log, answering the
  same body with `return 200` on a Unix socket);
- GET /status p99 while a NetBird command that takes 10 s runs, against
  the p99 without it (the loop must never wait for the command);
- idle memory and CPU over 30 s after the load;
- gzip of a 200 MB daily log (the start-up compression) against gzip -6,
  time and peak memory;
- the tail of a 3 GiB log against that of a 1 MiB one;
- the cost of a network's size: with 0, 250, 1,000 and 4,000 peers, the
  /status body, GET /status against nginx sending the same bytes as a
  static file, the supervisor's CPU per status poll against `jq -c .`
  reading the same report, and its RSS against idle plus twice the report.

Root only (sandboxes in mount namespaces); not part of the test run. Without
--binary it first builds the project (scripts/build.sh, which also installs
nginx and the compilers on a fresh machine).
Usage: tools/bench.py [--binary PATH] [--rounds 3] [--seconds 5] [--only frame,status,gzip,tail,peers]
                      [--peers 0,250,1000,4000]
"""

import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from sandbox import API, Box, UnixHTTP, cpu_seconds, rss_kib

ROOT = Path(__file__).resolve().parent.parent
# A NetBird that writes no logs and costs next to nothing: the daemon only
# sleeps, and every command fails at once. The simulator is Python, and its
# start-up for the watchdog's status poll every 5 s would take CPU from the
# servers under test on a small machine (NetBird's own CLI costs are not the
# frame's).
SLEEPER = '#!/bin/sh\ncase "$*" in *"service run") exec sleep 3600 ;; esac\nexit 1\n'
# nginx as the anchor: one worker, no access log, keep-alive for ever, on a
# Unix socket; SERVER is what it answers with.
NGINX_CONF = """{user}worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    keepalive_requests 100000000;
    keepalive_timeout 60s;
    server {{
        listen unix:{dir}/nginx.sock;
{server}
    }}
}}
"""
RETURN_BODY = """        location / {{
            default_type application/json;
            return 200 '{body}';
        }}"""
# A static file: its worker runs as root, the benchmark's temporary directory being root's alone.
STATIC_BODY = """        root {dir};
        default_type application/json;
        location / {{ try_files /body.json =404; }}"""


def build_load(out_dir):
    binary = out_dir / "bench_load"
    subprocess.run(["gcc", "-O2", "-pthread", "-o", str(binary), str(ROOT / "tools" / "bench_load.c")], check=True)
    return binary


WARMUP = 1.0  # seconds of load before the figures count


def load(client, sock, path, connections, seconds, warmup=WARMUP):
    out = subprocess.run([str(client), sock, path, str(connections), str(seconds), str(warmup)],
                         capture_output=True, text=True, check=True).stdout
    return {k: float(v) for k, v in (field.split("=") for field in out.split())}


def start_nginx(directory, body, static=False):
    """nginx answering every GET with body: from its configuration, or with
    static=True from a file (sendfile), as a web server sends a large one."""
    directory.mkdir()
    conf = directory / "nginx.conf"
    if static:
        (directory / "body.json").write_bytes(body)
    server = (STATIC_BODY if static else RETURN_BODY).format(dir=directory, body=body)
    conf.write_text(NGINX_CONF.format(user="user root;\n" if static else "", dir=directory, server=server))
    proc = subprocess.Popen(["nginx", "-p", str(directory), "-e", str(directory / "error.log"), "-c", str(conf)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sock = directory / "nginx.sock"
    for _ in range(200):
        if sock.exists():
            return proc, str(sock)
        time.sleep(0.02)
    raise RuntimeError("nginx did not start: " + (directory / "error.log").read_text())


def quiet_netbird(box):
    netbird = box.app / "lib" / "netbird"
    netbird.unlink()
    netbird.write_text(SLEEPER)
    netbird.chmod(0o755)


def nginx_worker(master):
    """The PID of nginx's one worker, the process that serves."""
    for _ in range(200):
        children = Path(f"/proc/{master}/task/{master}/children").read_text().split()
        if children:
            return int(children[0])
        time.sleep(0.02)
    raise RuntimeError("nginx started no worker")


def ratio(a, b):
    return a / b if b else float("nan")


def line(figure, value):
    print(f"  {figure:<58} {value}", flush=True)


def case_frame(top, binary, simulator, client, rounds, seconds):
    print("GET /config against nginx (ratios are ours / nginx; rps above 1 and latency below 1 are better)")
    box = Box(top, "frame", binary, simulator)
    quiet_netbird(box)
    box.start()
    # The same bytes as our answer: compact, keys sorted.
    body_text = json.dumps(box.request("GET", "/config")[1], separators=(",", ":"), sort_keys=True)
    nginx, nginx_sock = start_nginx(Path(top) / "nginx", body_text)
    pids = {"ours": box.proc.pid, "nginx": nginx_worker(nginx.pid)}
    try:
        for connections in (1, 16):
            per_round = {"rps": [], "p50": [], "p99": [], "cpu": []}
            for r in range(rounds):
                order = [("ours", box.sock), ("nginx", nginx_sock)]
                if r % 2:
                    order.reverse()
                got = {}
                for name, sock in order:
                    before = cpu_seconds(pids[name])
                    got[name] = load(client, sock, API + "/config", connections, seconds, warmup=WARMUP)
                    # The CPU time covers the warm-up too, served at about the same rate.
                    served = got[name]["rps"] * (seconds + WARMUP)
                    got[name]["cpu_us"] = 1e6 * (cpu_seconds(pids[name]) - before) / served
                per_round["rps"].append(ratio(got["ours"]["rps"], got["nginx"]["rps"]))
                per_round["p50"].append(ratio(got["ours"]["p50_us"], got["nginx"]["p50_us"]))
                per_round["p99"].append(ratio(got["ours"]["p99_us"], got["nginx"]["p99_us"]))
                per_round["cpu"].append(ratio(got["ours"]["cpu_us"], got["nginx"]["cpu_us"]))
                print(f"    round {r + 1}, {connections} connection(s): ours {got['ours']}, nginx {got['nginx']}",
                      flush=True)
            # cpu: the server's own CPU time per request (below 1 is leaner).
            for key in ("rps", "p50", "p99", "cpu"):
                values = ", ".join(f"{v:.2f}" for v in per_round[key])
                line(f"{connections:>2} connection(s): {key} ratio, median of {rounds}",
                     f"{statistics.median(per_round[key]):.2f}  ({values})")
    finally:
        nginx.terminate()
        nginx.wait()
    return box


def case_idle(box):
    print("Idle after the load")
    time.sleep(2)
    cpu_before = cpu_seconds(box.proc.pid)
    time.sleep(30)
    cpu_after = cpu_seconds(box.proc.pid)
    line("RSS", f"{rss_kib(box.proc.pid) / 1024:.1f} MiB")
    line("CPU over 30 s", f"{(cpu_after - cpu_before) / 30 * 100:.2f} %")


def case_status(top, binary, simulator, client):
    print("GET /status while a NetBird command of 10 s runs")
    box = Box(top, "status", binary, simulator)
    box.start()
    try:
        time.sleep(1)
        idle = load(client, box.sock, API + "/status", 1, 3, 0.5)
        box.request("POST", "/env", {"name": "NB_SIM_DELAY_DOWN", "value": "10"})
        command = threading.Thread(target=box.request, args=("POST", "/down"), kwargs={"timeout": 60})
        command.start()
        time.sleep(0.5)
        busy = load(client, box.sock, API + "/status", 1, 6, 0.5)
        command.join()
        line("p99 without / during the command", f"{idle['p99_us']:.0f} / {busy['p99_us']:.0f} us")
        line("p99 ratio during / without", f"{ratio(busy['p99_us'], idle['p99_us']):.2f}")
    finally:
        box.stop()


def write_daily_log(path, size):
    stamp = datetime.datetime(2026, 1, 1)
    chunk = []
    written, i = 0, 0
    with open(path, "w") as f:
        while written < size:
            i += 1
            t = stamp + datetime.timedelta(milliseconds=37 * i)
            chunk.append(f"[{t:%Y-%m-%d %H:%M:%S}.{t.microsecond // 1000:03d}] [I] {t:%Y-%m-%dT%H:%M:%S}Z INFO "
                         f"client/internal/peer/conn.go:{i % 900}: peer {i * 2654435761 % 2**32:08x} state "
                         f"{('connected', 'idle', 'connecting')[i % 3]} latency {i * 7 % 997} ms rx {i * 131}\n")
            if len(chunk) == 4096:
                text = "".join(chunk)
                f.write(text)
                written += len(text)
                chunk.clear()


def case_gzip(top, binary, simulator):
    print("Compressing a 200 MB daily log at start-up, against gzip -6")
    yesterday = (datetime.date.today() - datetime.timedelta(days=1)).isoformat()
    source = Path(top) / "source.log"
    write_daily_log(source, 200 << 20)
    started = time.monotonic()
    gz = subprocess.Popen(["gzip", "-6", "-c", str(source)], stdout=subprocess.DEVNULL)
    _, _, usage = os.wait4(gz.pid, 0)
    gzip_seconds = time.monotonic() - started
    gzip_kib = usage.ru_maxrss

    plain = Box(top, "gzip-none", binary, simulator)
    plain_start = plain.start()
    plain.stop()
    box = Box(top, "gzip", binary, simulator)
    (box.data / "logs").mkdir()
    os.link(source, box.data / "logs" / f"netbird_{yesterday}.log")
    ours_seconds = box.start() - plain_start
    peak_kib = int(Path(f"/proc/{box.proc.pid}/status").read_text().split("VmHWM:")[1].split()[0])
    box.stop()
    line("time ours / gzip -6", f"{ours_seconds:.2f} / {gzip_seconds:.2f} s, ratio {ratio(ours_seconds, gzip_seconds):.2f}")
    line("peak RSS ours (whole supervisor) / gzip -6", f"{peak_kib / 1024:.1f} / {gzip_kib / 1024:.1f} MiB")
    source.unlink()


def case_tail(top, binary, simulator):
    print("Tail of a 3 GiB log against a 1 MiB one")
    box = Box(top, "tail", binary, simulator)
    quiet_netbird(box)
    box.start()
    try:
        medians = {}
        for label, size in (("1 MiB", 1 << 20), ("3 GiB", 3 << 30)):
            with open(box.data / "client.log", "wb") as f:
                f.truncate(size)
            times = [box.request("GET", "/logs/tail?source=netbird")[2] for _ in range(21)]
            medians[label] = statistics.median(times)
            line(f"median of 21 tails, {label}", f"{medians[label] * 1000:.2f} ms")
        line("ratio 3 GiB / 1 MiB", f"{ratio(medians['3 GiB'], medians['1 MiB']):.2f}")
    finally:
        box.stop()


POLL_SECONDS = 5        # the watchdog's status poll interval
CPU_WINDOW = 30         # seconds of polls whose CPU is counted


def cli_report(box, peers):
    """NetBird's own `status --json` text, as the supervisor's poll reads it."""
    env = dict(os.environ, NB_SIM_PEERS=str(peers))
    return subprocess.run([str(box.app / "lib" / "netbird"), "--daemon-addr", f"unix://{box.data}/netbird.sock",
                           "status", "--json"], env=env, capture_output=True, check=True).stdout


def jq_seconds(report_path, runs=5):
    """CPU seconds (user and system) `jq -c .` takes to read the report, median of runs."""
    times = []
    for _ in range(runs):
        with open(report_path, "rb") as source:
            jq = subprocess.Popen(["jq", "-c", "."], stdin=source, stdout=subprocess.DEVNULL)
            _, _, usage = os.wait4(jq.pid, 0)
        times.append(usage.ru_utime + usage.ru_stime)
    return statistics.median(times)


def peers_round(top, binary, simulator, client, peers, seconds):
    box = Box(top, f"peers-{peers}", binary, simulator)
    box.start(prelude=f"export NB_SIM_PEERS={peers}; ")
    try:
        status, answer, _ = box.request("POST", "/up", {"setup_key": "bench-key"}, timeout=60)
        if status != 200 or not answer.get("ok"):
            raise RuntimeError(f"up failed: {status} {answer}")
        deadline = time.monotonic() + 60
        while True:
            _, answer, _ = box.request("GET", "/status")
            shown = ((answer.get("status") or {}).get("peers") or {}).get("total")
            if shown == peers and answer["status"].get("daemonStatus") == "Connected":
                break
            if time.monotonic() > deadline:
                raise RuntimeError(f"the status never showed {peers} peers")
            time.sleep(0.5)
        report = cli_report(box, peers)
        report_path = Path(top) / f"report-{peers}.json"
        report_path.write_bytes(report)
        # The supervisor's own CPU (not its children's) over six polls, untouched by requests.
        time.sleep(1)
        before = cpu_seconds(box.proc.pid)
        time.sleep(CPU_WINDOW)
        per_poll = (cpu_seconds(box.proc.pid) - before) / (CPU_WINDOW / POLL_SECONDS)
        rss = rss_kib(box.proc.pid) * 1024
        conn = UnixHTTP(box.sock, 30)
        conn.request("GET", API + "/status")
        body = conn.getresponse().read()
        conn.close()
        nginx, nginx_sock = start_nginx(Path(top) / f"nginx-{peers}", body, static=True)
        try:
            check = UnixHTTP(nginx_sock, 30)
            check.request("GET", API + "/status")
            if check.getresponse().read() != body:
                raise RuntimeError("nginx does not send the same bytes")
            check.close()
            got = {"ours": [], "nginx": []}
            for r in range(3):
                order = [("ours", box.sock), ("nginx", nginx_sock)]
                if r % 2:
                    order.reverse()
                for name, sock in order:
                    got[name].append(load(client, sock, API + "/status", 1, seconds, warmup=0.5)["p50_us"])
        finally:
            nginx.terminate()
            nginx.wait()
        return {"peers": peers, "report": len(report), "body": len(body),
                "ours_us": statistics.median(got["ours"]), "nginx_us": statistics.median(got["nginx"]),
                "cpu_poll": per_poll, "jq": jq_seconds(report_path), "rss": rss}
    finally:
        box.stop()


def case_peers(top, binary, simulator, client, counts, seconds):
    print("A network of N peers: GET /status (p50) against nginx sending the same file, CPU per poll against "
          "`jq -c .` on the same report, RSS against idle plus twice the report")
    rows = [peers_round(top, binary, simulator, client, n, seconds) for n in counts]
    idle = rows[0]["rss"] if rows[0]["peers"] == 0 else None
    print(f"  {'peers':>6} {'report':>9} {'body':>9} {'GET /status':>12} {'nginx':>9} {'ratio':>6} "
          f"{'CPU/poll':>9} {'jq -c .':>9} {'ratio':>6} {'RSS':>9} {'bound':>9}")
    for row in rows:
        bound = f"{(idle + 2 * row['report']) / 2**20:.1f} MiB" if idle is not None else "-"
        print(f"  {row['peers']:>6} {row['report'] / 1000:>7.0f}kB {row['body'] / 1000:>7.0f}kB "
              f"{row['ours_us'] / 1000:>10.2f}ms {row['nginx_us'] / 1000:>7.2f}ms "
              f"{ratio(row['ours_us'], row['nginx_us']):>6.2f} "
              f"{row['cpu_poll'] * 1000:>7.1f}ms {row['jq'] * 1000:>7.1f}ms {ratio(row['cpu_poll'], row['jq']):>6.2f} "
              f"{row['rss'] / 2**20:>5.1f} MiB {bound:>9}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", help="a built vantrel_vpn (default: build the project, use build/vantrel_vpn)")
    parser.add_argument("--simulator", default=str(ROOT / "tools" / "netbird_sim.py"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--only", default="frame,status,gzip,tail,peers")
    parser.add_argument("--peers", default="0,250,1000,4000", help="the network sizes of the peers case")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("bench.py needs root (mount namespaces)")
    cases = set(args.only.split(","))
    if args.binary is None:
        subprocess.run([str(ROOT / "scripts" / "build.sh")], check=True, stdout=subprocess.DEVNULL)
        args.binary = str(ROOT / "build" / "vantrel_vpn")
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as top:
        client = build_load(Path(top))
        binary, simulator = os.path.abspath(args.binary), os.path.abspath(args.simulator)
        print(f"{binary} on {os.cpu_count()} CPUs, {datetime.date.today()}")
        if "frame" in cases:
            box = case_frame(top, binary, simulator, client, args.rounds, args.seconds)
            try:
                case_idle(box)
            finally:
                box.stop()
        if "status" in cases:
            case_status(top, binary, simulator, client)
        if "gzip" in cases:
            case_gzip(top, binary, simulator)
        if "tail" in cases:
            case_tail(top, binary, simulator)
        if "peers" in cases:
            case_peers(top, binary, simulator, client, [int(n) for n in args.peers.split(",")], args.seconds)


if __name__ == "__main__":
    main()
