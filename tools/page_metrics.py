#!/usr/bin/python3
"""How heavy and how fast the web page is: its size on disk, the bytes a
browser transfers to load it, and the time from navigation to the first
status shown (the page marks it as performance.mark("vantrel:first-status")),
each for cold loads (the browser's cache disabled) and warm ones (its cache
kept: the page is revalidated on every load). Medians over --runs loads.

It starts the real vantrel_vpn on a sandbox (tools/sandbox.py), enrolled
with the NetBird simulator, and the stand-in for the camera's web server
serving --html (another copy of the page can be measured against this one),
then loads the page in headless Chromium. Given --html more than once, it
loads the pages in turn, so that a busy machine slows them alike. --latency
adds a round-trip time to every request (Chromium's network emulation), as
over a slow link.

With --peers N the simulator reports N peers, and each page is also loaded
once more, then its Peers section opened and left over a few status polls, a
search, a page turned and a sort. From the opening of the section on, the
figures are the page's largest long task (over 50 ms, as the page observes
them; 0 for none) and the largest task of its main thread in Chromium's
trace; the largest long task while loading is given apart (the load does not
depend on the peers).

Root only (a private mount namespace for the API socket), like the tests:
  /usr/bin/python3 tools/page_metrics.py [--html DIR ...] [--runs N] [--latency MS] [--peers N] [--json]
"""

import argparse
import getpass
import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))
from sandbox import Box  # noqa: E402

PAGE = "/local/vantrel_vpn/"
WAIT = 20.0  # seconds; a load normally shows its first status well within one

# Page files as the browser saw them (navigation and resources), the API's answers left out.
TRANSFERRED = """
return performance.getEntriesByType('navigation').concat(performance.getEntriesByType('resource'))
  .filter(e => !e.name.includes('/api/')).reduce((sum, e) => sum + e.transferSize, 0)"""
FIRST_STATUS = "return performance.getEntriesByName('vantrel:first-status').map(e => e.startTime)[0]"
# Installed before the page's own scripts run: every long task from the start.
OBSERVE_LONG_TASKS = """
window.longTasks = [];
new PerformanceObserver((list) => { for (const e of list.getEntries()) window.longTasks.push(e.duration); })
  .observe({ type: "longtask", buffered: true });
performance.setResourceTimingBufferSize(10000);"""
LIGHT_POLLS = """
return performance.getEntriesByType('resource').filter(e => e.name.includes('/api/vpn/status?peers=none')).length"""
POLLS = 3


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_web_server(box, html, state):
    """nginx, with the repository's configuration rendered for `html`, in the
    supervisor's mount namespace (where its API socket is); returns (process, URL)."""
    port = free_port()
    state.mkdir(parents=True, exist_ok=True)
    conf = (REPO / "tools" / "platform_web_server" / "nginx.conf.in").read_text()
    for key, value in {"PORT": port, "HTML_DIR": html, "STATE_DIR": state, "USER": getpass.getuser()}.items():
        conf = conf.replace(f"@{key}@", str(value))
    (state / "nginx.conf").write_text(conf)
    proc = subprocess.Popen(["nsenter", f"--target={box.proc.pid}", "--mount", "--", "nginx", "-p", str(state),
                             "-e", str(state / "error.log"), "-c", str(state / "nginx.conf")],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline and proc.poll() is None:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
        try:
            conn.request("GET", PAGE)
            if conn.getresponse().status == 200:
                return proc, f"http://127.0.0.1:{port}{PAGE}"
        except OSError:
            time.sleep(0.05)
        finally:
            conn.close()
    proc.kill()
    sys.exit(f"the web server did not start: {(state / 'error.log').read_text(errors='replace')[-2000:]}")


def browser(trace=False):
    """Headless Chromium; with `trace`, one whose trace of every thread's
    tasks can be read through driver.get_log("performance")."""
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--window-size=1280,1000"):
        options.add_argument(arg)
    if trace:
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        options.add_experimental_option("perfLoggingPrefs", {
            "enableNetwork": False, "enablePage": False, "traceCategories": "toplevel,blink.user_timing"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def load(driver, url):
    """One load: (milliseconds to the first status shown, bytes of the page transferred)."""
    driver.get("about:blank")
    driver.get(url)
    deadline = time.monotonic() + WAIT
    while (first := driver.execute_script(FIRST_STATUS)) is None:
        if time.monotonic() > deadline:
            sys.exit("the page showed no status within %d s" % WAIT)
        time.sleep(0.02)
    return first, driver.execute_script(TRANSFERRED)


def measure(driver, urls, runs, cold):
    """Per URL: the medians of (ms to the first status, bytes transferred)."""
    driver.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": cold})
    if not cold:
        for url in urls:
            load(driver, url)  # fills the cache (each page has an origin, so a cache, of its own)
    loads = {url: [] for url in urls}
    for _ in range(runs):
        for url in urls:
            loads[url].append(load(driver, url))
    return {url: {"first_status_ms": round(statistics.median(t for t, _ in found), 1),
                  "transferred_bytes": int(statistics.median(b for _, b in found))} for url, found in loads.items()}


def until(driver, script, what, *args):
    """Waits for a script of the page to return something true; returns that."""
    deadline = time.monotonic() + WAIT
    while not (value := driver.execute_script(script, *args)):
        if time.monotonic() > deadline:
            sys.exit(f"the page did not show {what} within {WAIT:g} s")
        time.sleep(0.05)
    return value


def main_thread_tasks(log, mark):
    """(Wall time, thread CPU time) in ms of each task that the page's main
    thread ran from its performance.mark(mark) on, from a trace (the thread
    is the one that made the mark). CPU time holds on a busy machine, where
    a task waits for a CPU in the middle of its run."""
    events = [m["params"] for m in (json.loads(entry["message"])["message"] for entry in log)
              if m["method"] == "Tracing.dataCollected"]
    marks = [e for e in events if e.get("name") == mark]
    if not marks:
        sys.exit("the trace does not reach the measurement")
    thread, start = (marks[0]["pid"], marks[0]["tid"]), marks[0]["ts"]
    return [(e["dur"] / 1000, e.get("tdur", e["dur"]) / 1000) for e in events if e.get("ph") == "X"
            and e.get("name") == "ThreadControllerImpl::RunTask" and (e["pid"], e["tid"]) == thread and e["ts"] >= start]


def peers_tasks(driver, url):
    """Loads the page, opens its Peers section and leaves it open over POLLS
    status polls, then searches, turns a page and sorts. Returns (the largest
    long task while loading, then from the opening of the section on the
    largest long task, the largest task of the main thread and the largest
    CPU time of one), in ms."""
    script = driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": OBSERVE_LONG_TASKS})
    try:
        driver.get("about:blank")
        load(driver, url)
        time.sleep(1)  # the load's last tasks
        loading = max(driver.execute_script("const t = window.longTasks; window.longTasks = []; return t"), default=0)
        driver.execute_script("performance.mark('vantrel:peers-open')")
        driver.find_element(By.CSS_SELECTOR, "nav a[href='#peers']").click()
        until(driver, "return document.querySelector('#peers-body tr[data-peer]')", "a page of peers")
        for _ in range(POLLS):
            polls = driver.execute_script(LIGHT_POLLS)
            until(driver, LIGHT_POLLS.replace(".length", ".length > arguments[0]"), "a status poll", polls)
        driver.find_element(By.ID, "peers-filter").send_keys("cam\n")
        until(driver, "return document.getElementById('peers-range').textContent.includes('matching')", "a search")
        driver.find_element(By.ID, "peers-next").click()
        until(driver, "return document.getElementById('peers-range').textContent.startsWith('51')", "the next page")
        driver.execute_script("document.querySelector('button[data-sort=state]').click()")
        until(driver, "return document.getElementById('peers-range').textContent.startsWith('1–')", "a sort")
        polls = driver.execute_script(LIGHT_POLLS)
        until(driver, LIGHT_POLLS.replace(".length", ".length > arguments[0]"), "a status poll", polls)
        longest = max(driver.execute_script("return window.longTasks"), default=0)
        tasks = main_thread_tasks(driver.get_log("performance"), "vantrel:peers-open")
    finally:
        driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", {"identifier": script["identifier"]})
    if not tasks:
        sys.exit("the trace holds no task of the page's main thread")
    return (round(loading, 1), round(longest, 1), round(max(wall for wall, _ in tasks), 1),
            round(max(cpu for _, cpu in tasks), 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--html", action="append", help="a page's directory (default: html/); may be repeated")
    parser.add_argument("--runs", type=int, default=15, help="loads per figure (default 15)")
    parser.add_argument("--latency", type=float, default=0, help="added round-trip time in ms (default 0)")
    parser.add_argument("--binary", default=str(REPO / "build" / "vantrel_vpn"))
    parser.add_argument("--simulator", default=str(REPO / "tools" / "netbird_sim.py"))
    parser.add_argument("--peers", type=int, default=0,
                        help="peers the simulator reports (default 0); above 0 the Peers section is measured too")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args()
    pages = [Path(html).resolve() for html in args.html or [REPO / "html"]]
    for html in pages:
        if not (html / "index.html").is_file():
            sys.exit(f"{html} holds no index.html")

    with tempfile.TemporaryDirectory(prefix="page_metrics-") as top:
        box = Box(top, "box", os.path.abspath(args.binary), os.path.abspath(args.simulator))
        servers, driver = [], None
        try:
            if box.start(f"export NB_SIM_PEERS={args.peers} && " if args.peers else "") is None:
                sys.exit(f"the supervisor did not start: {box.state()}")
            # Measured as an installer sees it most: enrolled and connected.
            status, body, _ = box.request("POST", "/up", {"setup_key": "page-metrics"}, timeout=60)
            if status != 200 or not body.get("ok"):
                sys.exit(f"enrolling failed: {status} {body}")
            deadline = time.monotonic() + WAIT
            while time.monotonic() < deadline:
                body = box.request("GET", "/status?peers=none")[1]
                if isinstance(body, dict) and body.get("ok") and (not args.peers or (
                        body.get("status", {}).get("peers", {}).get("total") == args.peers)):
                    break
                time.sleep(0.2)
            for i, html in enumerate(pages):
                servers.append(start_web_server(box, html, Path(top) / f"web{i}"))
            urls = [url for _, url in servers]
            driver = browser()
            driver.execute_cdp_cmd("Network.enable", {})
            if args.latency:
                driver.execute_cdp_cmd("Network.emulateNetworkConditions", {
                    "offline": False, "latency": args.latency, "downloadThroughput": -1, "uploadThroughput": -1})
            cold = measure(driver, urls, args.runs, True)
            warm = measure(driver, urls, args.runs, False)
            if args.peers:
                # A browser of its own: tracing would slow the loads measured above.
                driver.quit()
                driver = browser(trace=True)
                peers = {url: peers_tasks(driver, url) for url in urls}
        finally:
            if driver:
                driver.quit()
            for web, _ in servers:
                web.terminate()
                web.wait(timeout=10)
            box.stop()

    figures = [{"html": str(html), "page_bytes": sum(p.stat().st_size for p in html.rglob("*") if p.is_file()),
                "latency_ms": args.latency, "runs": args.runs, "cold": cold[url], "warm": warm[url]}
               for html, url in zip(pages, urls)]
    if args.peers:
        for f, url in zip(figures, urls):
            f["peers"] = {"peers": args.peers, "polls": POLLS, "loading_largest_long_task_ms": peers[url][0],
                          "largest_long_task_ms": peers[url][1], "largest_task_ms": peers[url][2],
                          "largest_task_cpu_ms": peers[url][3]}
    if args.json:
        print(json.dumps(figures))
        return
    for f in figures:
        print(f"page {f['html']}: {f['page_bytes']} bytes on disk; "
              f"added latency {args.latency:g} ms; medians of {args.runs} loads")
        for name in ("cold", "warm"):
            print(f"  {name}: first status after {f[name]['first_status_ms']:.1f} ms, "
                  f"{f[name]['transferred_bytes']} bytes transferred")
        if "peers" in f:
            p = f["peers"]
            print(f"  at {p['peers']} peers, the Peers section open over {p['polls']} polls, a search, a page "
                  f"and a sort: largest long task {p['largest_long_task_ms']:g} ms (0: none over 50 ms), "
                  f"largest main-thread task {p['largest_task_ms']:.1f} ms ({p['largest_task_cpu_ms']:.1f} ms CPU); "
                  f"while loading, largest long task {p['loading_largest_long_task_ms']:g} ms")


if __name__ == "__main__":
    main()
