"""The page's history section in headless Chromium: list, timelines, figures and header, live and from a week."""

import base64
import os
import re
import signal
import time

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.select import Select

from test_web_page import browser, page, enrol_by_api, find, wait_for  # noqa: F401 (fixtures)

HOUR_MS = 3600 * 1000


def texts(driver, selector, attribute="innerText"):
    # Read in one go: the page renders these anew with each status poll.
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map(e => e[arguments[1]])", selector, attribute)


def bar_states(driver, window):
    return {c.split()[1][2:] for c in texts(driver, f"#history-{window}-bar .seg", "className")}


def figure(driver, window, label):
    """The value shown for a figure of a window (without its explanation)."""
    for fact in texts(driver, f"#history-{window} .figures div"):
        if fact.startswith(label + "\n"):
            return fact.split("\n")[1]
    raise AssertionError(f"no figure {label}")


def tap(driver, window, state):
    """Clicks the middle of a window's first stretch of `state` (by position: stretches change with each answer)."""
    bar = find(driver, f"history-{window}-bar")
    dx = driver.execute_script("""const b = arguments[0].getBoundingClientRect();
        const s = arguments[0].querySelector('.s-' + arguments[1]).getBoundingClientRect();
        return s.left + s.width / 2 - (b.left + b.width / 2)""", bar, state)
    ActionChains(driver).move_to_element_with_offset(bar, int(dx), 0).click().perform()


def listed(driver, text):
    return wait_for(driver, lambda d: any(text in t for t in texts(d, "#history-list li")), f"{text!r} in the history")


def details(driver, window):
    """Every stretch's details, stepped through by keyboard from the first."""
    bar = find(driver, f"history-{window}-bar")
    bar.send_keys(Keys.HOME)
    said = [find(driver, f"history-{window}-detail").text]
    for _ in range(driver.execute_script("return arguments[0].children.length", bar) - 1):
        bar.send_keys(Keys.ARROW_RIGHT)
        said.append(find(driver, f"history-{window}-detail").text)
    return said


# NetBird back Connected by the first report after each daemon start: no change of state to be seen.
@pytest.mark.parametrize("page", [{"NB_SIM_CONNECT_DELAY": "0"}], indirect=True)
def test_what_happens_to_the_tunnel_shows_in_the_history_and_on_a_phone(page):
    box = page.box
    enrol_by_api(box)
    wait_for(page, lambda d: find(d, "since").text.startswith("up for"), "up for ... in the header")
    listed(page, "Connect: done (Connected)")
    assert box.post("/reconnect").json()["ok"]
    listed(page, "Reconnect")
    wait_for(page, lambda d: find(d, "since").text.startswith("up for"), "up again")
    wait_for(page, lambda d: any("(you asked)" in t for t in details(d, "hour")), "the asked outage on the hour's bar")
    # One change, one entry: the connect's lines are together; the user's own actions say so.
    entries = texts(page, "#history-list li")
    assert not any(t.startswith(("Management server connected", "Signal server connected")) for t in entries), entries
    connect = next(t for t in entries if t.startswith("Connect: done"))
    assert "Management server connected" in connect and "you asked" in connect, connect
    assert any(t.startswith("Reconnect") and "you asked" in t for t in entries), entries

    # A management outage leaves the tunnel up.
    box.post("/env", body={"name": "NB_SIM_MGMT_DISCONNECTED", "value": "1"})
    listed(page, "Management server unreachable, tunnel kept: simulated: management server unreachable")
    assert find(page, "since").text.startswith("up for")
    box.post("/env", body={"name": "NB_SIM_MGMT_DISCONNECTED"})
    listed(page, "Management server connected")
    for pid in box.daemon_pids():
        os.kill(pid, signal.SIGKILL)
    listed(page, "NetBird daemon was killed (signal 9)")
    wait_for(page, lambda d: find(d, "since").text.startswith("up for"), "up after the daemon came back")
    page.execute_script("window.scrollTo(0, 0)")  # the button clear of the sticky header
    find(page, "btn-down").click()
    listed(page, "Disconnect: done (Disconnected)")
    wait_for(page, lambda d: re.fullmatch(r"off since \d\d:\d\d.*", find(d, "since").text), "off since")

    # Newest first, each with how long ago and when.
    first = texts(page, "#history-list li")[0]
    assert first.startswith("NetBird: Idle") or "Disconnect" in first, first
    assert re.search(r"(just now|\d+ min ago) · .*\d:\d\d:\d\d", first), first
    # The figures are the application's, without the reconnect the user asked for.
    wait_for(page, lambda d: bar_states(d, "hour") >= {"connecting", "up", "not_wanted"}, "the hour's states")
    day = box.get("/history").json()["summary"]["day"]
    assert day["drops"] == 1 and day["daemon_restarts"] >= 1
    assert figure(page, "day", "Drops") == str(day["drops"])
    assert figure(page, "day", "Daemon restarts") == str(day["daemon_restarts"])

    # The timeline by keyboard and pointer: the last stretch is the one going on; the first, before the first start.
    bar = find(page, "history-hour-bar")
    bar.send_keys(Keys.END)
    assert re.fullmatch(r"Off \(taken down or not enrolled\): \d\d:\d\d.* – now \(.*\)", find(page, "history-hour-detail").text)
    bar.send_keys(Keys.ARROW_LEFT)
    assert find(page, "history-hour-detail").text.startswith("Up: ")
    tap(page, "day", "unknown")
    assert find(page, "history-day-detail").text.startswith("No record (application not running): ")

    # The filter keeps one kind of event.
    Select(find(page, "history-kind")).select_by_visible_text("Commands")
    shown = texts(page, "#history-list li")
    assert shown and all(re.match(r"(Connect|Disconnect|Reconnect): done", t) for t in shown), shown
    Select(find(page, "history-kind")).select_by_visible_text("NetBird daemon")
    shown = texts(page, "#history-list li")
    assert any("killed (signal 9)" in t for t in shown) and not any("Disconnect" in t for t in shown), shown

    # On a phone: nothing wider than the screen, the bars across it, every stretch of every bar can be tapped,
    # within its bar; recent minutes fill the hour's bar; short stretches are given to the second, never as 0 s.
    page.set_window_size(360, 800)
    wait_for(page, lambda d: d.execute_script("return innerWidth") <= 360, "the phone's width")
    def fit(d):  # drawn again for the new width with the next answer
        bars = d.execute_script("""return [...document.querySelectorAll('.bar')].map(b => { const r = b.getBoundingClientRect();
            return [b.id, r.left, r.right, [...b.children].map(s => { const q = s.getBoundingClientRect();
              return [q.left, q.right, s.className]; })]; })""")
        return all(right - left > 0.7 * 360 and all(r - l >= 10 and left - 0.5 <= l and r <= right + 0.5 for l, r, _ in segs)
                   for _, left, right, segs in bars) and bars
    bars = wait_for(page, fit, "every stretch wide enough to tap, within its bar")
    assert {b[0] for b in bars} >= {"history-hour-bar", "history-day-bar", "history-week-bar"}
    hour = next(b for b in bars if b[0] == "history-hour-bar")
    assert sum(r - l for l, r, cls in hour[3] if "s-unknown" not in cls) > 0.5 * (hour[2] - hour[1]), hour
    said = details(page, "hour")
    assert any(re.search(r"\d\d:\d\d:\d\d.* – .*\(\d+ s\)", t) for t in said), said
    assert not any("(0 s)" in t for t in said), said
    assert page.execute_script("return document.documentElement.scrollWidth <= innerWidth")
    # The list is part of the page, not a scroll box of its own.
    assert page.execute_script("return getComputedStyle(document.getElementById('history-list')).overflowY") == "visible"


def week_of_history():
    """Seven days: outages, a daemon killed, the tunnel down for a while, the application stopped for six hours."""
    now = int(time.time() * 1000)
    events = []

    def add(hours_ago, kind, text, **facts):
        events.append({"id": len(events) + 1, "time": now - int(hours_ago * HOUR_MS), "kind": kind,
                       "text": text, "facts": facts})

    def state(hours_ago, to):
        add(hours_ago, "daemon_state", f"NetBird: {to}", to=to)

    def outage(hours_ago, hours, why="context deadline exceeded"):
        state(hours_ago, "Connecting")
        add(hours_ago, "management", f"Management server lost: {why}", connected=False, error=why)
        state(hours_ago - hours, "Connected")
        add(hours_ago - hours, "management", "Management server connected", connected=True, error="")

    add(170, "supervisor_started", "Supervisor started", wanted=True, previous="none")
    state(169.9, "Connected")
    outage(150, 0.7)
    outage(131, 2.5, "connection refused")
    add(118, "command", "Disconnect: done (Disconnected)", command="down", ok=True, exit_code=0)
    state(118, "Idle")
    add(104, "command", "Connect: done (Connected)", command="up", ok=True, exit_code=0)
    state(103.9, "Connected")
    add(90, "supervisor_stopping", "Supervisor stopping")
    add(84, "supervisor_started", "Supervisor started", wanted=True, previous="stopped")
    state(83.9, "Connected")
    add(70, "daemon_exited", "NetBird daemon was killed (signal 9)", signal=9)
    add(69.5, "daemon_restarted", "NetBird daemon restarted after it ended", reason="exited", seconds=30)
    state(69.4, "Connected")
    outage(52, 1.2)
    add(40, "settings", "Setting changed: mtu", key="mtu", action="set")
    for hours_ago in (30, 20, 9, 2.5):
        outage(hours_ago, hours_ago / 20, "connection refused")
    return events


@pytest.mark.parametrize("page", [{"history": week_of_history, "NB_SIM_PEERS": "4"}], indirect=True)
def test_a_week_of_history_on_the_timelines(page):
    box = page.box
    wait_for(page, lambda d: bar_states(d, "week") == {"up", "connecting", "down", "not_wanted", "unknown"},
             "every state on the week's timeline")
    week = box.get("/history").json()["summary"]["week"]
    assert figure(page, "week", "Drops") == str(week["drops"]) and week["drops"] >= 8
    assert figure(page, "week", "Longest outage") == "2 h 30 min"
    assert re.fullmatch(r"\d+(\.\d)? %", figure(page, "week", "Up"))
    assert len(texts(page, "#history-week .axis span")) >= 5  # the week's days
    listed(page, "NetBird daemon was killed (signal 9)")
    old = [t for t in texts(page, "#history-list li") if t.startswith("NetBird daemon was killed")][0]
    assert re.search(r"2 d ago · ", old), old

    # Pointed at, and tapped, a stretch tells when it began and ended, days included.
    tap(page, "week", "not_wanted")
    said = r"Off \(taken down or not enrolled\): \w+ \d+ .+ – \w+ \d+ .+ \(14 h 0 min\)"
    assert re.fullmatch(said, find(page, "history-week-detail").text)
    assert re.fullmatch(said, texts(page, "#history-week-bar .s-not_wanted", "title")[0])

    enrol_by_api(box)
    wait_for(page, lambda d: "Connect: done (Connected)" in "".join(texts(d, "#history-list li")[:6]), "the enrolment on top")
    page.execute_script("window.scrollTo(0, 0)")
    top, height = page.execute_script(
        "const r = document.getElementById('history').getBoundingClientRect(); return [r.top + scrollY, r.height]")
    shot = page.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png", "captureBeyondViewport": True,
        "clip": {"x": 0, "y": top - 12, "width": 1280, "height": height + 24, "scale": 1}})
    out = os.path.join(os.path.dirname(box.binary), "screenshots")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "history.png"), "wb") as f:
        f.write(base64.b64decode(shot["data"]))
