"""The application's web page in headless Chromium, served by the stand-in
for the camera's web server, against the real binary and the simulator: each
test clicks through the page as a user would."""

import json
import re
import subprocess
import time
from pathlib import Path

import pytest
from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.select import Select
from selenium.webdriver.support.ui import WebDriverWait

from conftest import REPO, free_port, in_background

# Generous for a loaded CI machine: the page normally reacts within a second.
WAIT = 20
SETUP_KEY = "A1B2C3D4-SECRET-ENROL-KEY-77"
MTU_ERROR = "mtu must be an integer between 576 and 8192"


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    """One headless Chromium for the whole module (it takes seconds to start)."""
    downloads = tmp_path_factory.mktemp("downloads")
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--window-size=1280,1000"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.downloads = downloads
    yield driver
    driver.quit()


@pytest.fixture
def page(browser, make_sandbox, request):
    """Opens the page of a fresh sandbox; page.box is the sandbox."""
    env = getattr(request, "param", None) or {}
    box = make_sandbox().start(env=env)
    box.start_web()
    browser.set_window_size(1280, 1000)
    browser.get(box.url)
    wait_text(browser, "status-updated", "Updated")
    browser.box = box
    yield browser
    # Script errors of the page fail the test; refused requests are expected
    # (the browser logs every 4xx and 5xx answer).
    errors = [e["message"] for e in browser.get_log("browser")
              if e["level"] == "SEVERE" and "Failed to load resource" not in e["message"]]
    browser.get("about:blank")
    assert errors == []


def find(driver, element_id):
    return driver.find_element(By.ID, element_id)


def wait_for(driver, predicate, what):
    try:
        return WebDriverWait(driver, WAIT, poll_frequency=0.1).until(lambda d: predicate(d))
    except TimeoutException:
        raise AssertionError(f"timed out waiting for {what}\n{driver.box.dump() if hasattr(driver, 'box') else ''}")


def wait_text(driver, element_id, text):
    return wait_for(driver, lambda d: text in d.find_element(By.ID, element_id).text, f"{text!r} in #{element_id}")


def visible(driver, element_id):
    return find(driver, element_id).is_displayed()


def type_into(driver, element_id, text):
    field = find(driver, element_id)
    field.clear()
    field.send_keys(text)


def enrol_by_api(box):
    r = box.post("/up", body={"setup_key": SETUP_KEY})
    assert r.json()["ok"], r


def files_under(root):
    return [p for p in Path(root).rglob("*") if p.is_file() and not p.is_symlink()]


@pytest.mark.parametrize("page", [{"NB_SIM_PEERS": "4", "NB_SIM_PEER_MARKUP": "1"}], indirect=True)
def test_enrolment_from_an_empty_device_shows_peers_and_leaves_no_key(page):
    box = page.box
    wait_text(page, "summary", "Not enrolled")
    assert visible(page, "enrol-hint")
    type_into(page, "up-management-url", "https://netbird.example.com:443")
    type_into(page, "up-setup-key", SETUP_KEY)
    find(page, "btn-up").click()
    assert find(page, "up-setup-key").get_attribute("value") == "", "the key stays in the field"
    wait_text(page, "summary", "Connected")
    wait_text(page, "st-peers", "4 of 5 connected")
    rows = page.find_elements(By.CSS_SELECTOR, "#peers-body tr")
    assert len(rows) == 5

    # The peer whose name is markup is shown as text: no element made, no script run.
    assert "<img src=x onerror=alert(1)>" in find(page, "peers-body").text
    assert page.find_elements(By.CSS_SELECTOR, "#peers img, #status img") == []
    # Sorting by state puts the connected peers first; a second click reverses it.
    page.find_element(By.CSS_SELECTOR, "button[data-sort=state]").click()
    states = [r.find_elements(By.TAG_NAME, "td")[2].text for r in page.find_elements(By.CSS_SELECTOR, "#peers-body tr")]
    assert states == sorted(states, key=lambda s: s != "Connected")

    # The URL was saved as a setting; the key is nowhere: not in the browser,
    # not in any file of the sandbox (logs, reports, web server logs), not in argv.
    wait_for(page, lambda d: d.find_element(By.ID, "set-management_url").get_attribute("value")
             == "https://netbird.example.com:443", "the management URL setting")
    assert SETUP_KEY not in page.current_url
    assert page.execute_script("return localStorage.length + sessionStorage.length") == 0
    leaks = [str(p) for p in files_under(box.root) if SETUP_KEY.encode() in p.read_bytes()]
    assert leaks == []  # the simulator's reports of each command's argv among them

    save_screenshots(page)


def save_screenshots(driver):
    """The main view at 1280 and 360 px for the README, with the page's
    size and the time from navigation to the first status shown."""
    out = Path(driver.box.binary).parent / "screenshots"
    out.mkdir(exist_ok=True)
    driver.execute_script("window.scrollTo(0, 0)")
    driver.save_screenshot(str(out / "page-1280.png"))
    driver.set_window_size(360, 800)
    time.sleep(0.3)
    driver.save_screenshot(str(out / "page-360.png"))
    driver.set_window_size(1280, 1000)
    # A fresh load for the timing, the browser already warm.
    driver.get(driver.box.url)
    wait_text(driver, "summary", "Connected")
    first = driver.execute_script(
        "return performance.getEntriesByName('vantrel:first-status').map(e => e.startTime)[0]")
    size = sum(p.stat().st_size for p in files_under(REPO / "html"))
    (out / "page_metrics.json").write_text(json.dumps({"first_status_ms": round(first, 1), "page_bytes": size}) + "\n")
    assert size < 100 * 1024, "the page must stay small for cameras"


def test_settings_refusal_is_shown_at_the_field_and_a_valid_value_sticks(page):
    box = page.box
    enrol_by_api(box)
    type_into(page, "set-mtu", "9000")
    find(page, "set-mtu-form").submit()
    wait_text(page, "set-mtu-msg", MTU_ERROR)
    assert find(page, "set-mtu").get_attribute("aria-invalid") == "true"
    app_json = box.data / "app.json"
    assert not app_json.exists() or "mtu" not in json.loads(app_json.read_text())

    # A tunnel option changed while the VPN is wanted up: the hint and the
    # banner say so, and the banner's button applies it.
    type_into(page, "set-mtu", "1400")
    find(page, "set-mtu-form").submit()
    wait_text(page, "set-mtu-msg", "reconnect to apply")
    wait_for(page, lambda d: visible(d, "pending-reconnect"), "the reconnect banner")
    find(page, "pending-reconnect").click()
    wait_for(page, lambda d: not visible(d, "pending"), "the banner to go")
    argv = box.reports_for("up")[-1]["argv"]
    assert argv[argv.index("--mtu") + 1] == "1400"

    page.refresh()
    wait_for(page, lambda d: d.find_element(By.ID, "set-mtu").get_attribute("value") == "1400", "mtu 1400 after reload")


def test_override_added_and_removed_with_the_restart_notice(page):
    box = page.box
    preset = page.find_element(By.CSS_SELECTOR, "button[aria-label='Use NB_LOG_LEVEL']")
    preset.click()
    assert find(page, "env-name").get_attribute("value") == "NB_LOG_LEVEL"
    type_into(page, "env-value", "debug")
    find(page, "env-save").click()
    wait_text(page, "env-msg", "Saved NB_LOG_LEVEL")
    wait_for(page, lambda d: d.find_elements(By.ID, "env-value-NB_LOG_LEVEL"), "the override row")
    assert json.loads((box.data / "env.json").read_text()) == {"NB_LOG_LEVEL": "debug"}
    wait_for(page, lambda d: visible(d, "env-restart"), "the restart notice")
    daemons = box.daemon_pids()
    find(page, "env-restart-button").click()
    wait_for(page, lambda d: not visible(d, "env-restart"), "the notice to go after the restart")
    wait_for(page, lambda d: box.daemon_pids() and box.daemon_pids() != daemons, "a new daemon")

    # Refusals come back in the API's words.
    type_into(page, "env-name", "NB_MTU")
    type_into(page, "env-value", "1400")
    find(page, "env-save").click()
    wait_text(page, "env-msg", "Use Tunnel settings for this NetBird flag")

    row = find(page, "env-value-NB_LOG_LEVEL").find_element(By.XPATH, "./ancestor::tr")
    row.find_element(By.XPATH, ".//button[text()='Remove']").click()
    wait_text(page, "env-msg", "Removed NB_LOG_LEVEL")
    wait_for(page, lambda d: not d.find_elements(By.ID, "env-value-NB_LOG_LEVEL"), "the row to go")
    assert json.loads((box.data / "env.json").read_text()) == {}


def test_log_tail_shows_the_daemon_and_a_download_link_delivers_the_file(page):
    box = page.box
    wait_text(page, "log-tail", "daemon listening on unix://")
    Select(find(page, "log-source")).select_by_value("app")
    wait_text(page, "log-tail", "API server listening on")

    Select(find(page, "log-source")).select_by_value("netbird")
    link = wait_for(page, lambda d: d.find_elements(By.CSS_SELECTOR, "#log-files-body a[download^='netbird_']"),
                    "a netbird daily log link")[0]
    name = link.get_attribute("download")
    link.click()
    target = page.downloads / name
    wait_for(page, lambda d: target.exists() and target.stat().st_size > 0, f"the download of {name}")
    # The daemon keeps appending, so what arrived is the start of the file.
    assert (box.logs / name).read_bytes().startswith(target.read_bytes())
    assert "% used" in find(page, "storage-text").text


def test_debug_bundle_upload_and_a_real_throughput_test(page):
    find(page, "bundle-upload").click()
    wait_for(page, lambda d: visible(d, "bundle-key-box"), "the upload key")
    assert re.fullmatch(r"[0-9a-f]{8}/[0-9a-f]{8}", find(page, "bundle-key").get_attribute("value"))

    port = free_port()
    type_into(page, "iperf-port", str(port))
    find(page, "iperf-one-shot").click()  # a server that stays until stopped
    find(page, "iperf-start").click()
    wait_text(page, "iperf-state", f"running on port {port}")
    assert find(page, "iperf-command").get_attribute("value").endswith(f"-p {port}")
    client = subprocess.run(["iperf3", "-c", "127.0.0.1", "-p", str(port), "-t", "1"],
                            capture_output=True, text=True, timeout=60)
    assert client.returncode == 0, client.stderr
    wait_text(page, "iperf-output", "Accepted connection")
    find(page, "iperf-stop").click()
    wait_text(page, "iperf-state", "not running")


def test_deregister_asks_first_then_shows_the_unregistered_state(page):
    box = page.box
    enrol_by_api(box)
    wait_text(page, "summary", "Connected")
    find(page, "btn-deregister").click()
    assert visible(page, "deregister-dialog")
    assert "Kept: the NetBird environment overrides and the daily logs" in find(page, "deregister-dialog").text
    find(page, "deregister-cancel").click()
    time.sleep(0.5)
    assert box.reports_for("deregister") == []

    find(page, "btn-deregister").click()
    find(page, "deregister-confirm").click()
    wait_text(page, "summary", "Not enrolled")
    wait_for(page, lambda d: visible(d, "enrol-hint"), "the enrolment hint")
    assert len(box.reports_for("deregister")) == 1


def test_the_page_says_what_netbird_reports_after_each_command(page):
    box = page.box
    enrol_by_api(box)
    wait_text(page, "summary", "Connected")
    find(page, "btn-reconnect").click()
    wait_text(page, "connection-msg", "Reconnected with the current settings. The tunnel is up.")
    # Wanted down, a restarted daemon (which connects by itself) is taken
    # down again: the page reports that, not "running".
    find(page, "btn-down").click()
    wait_text(page, "summary", "Disconnected")
    find(page, "btn-restart").click()
    wait_text(page, "connection-msg", "The daemon was restarted. The tunnel is down.")
    # NetBird's management server refuses the login: the page says what to do.
    box.post("/env", body={"name": "NB_SIM_LOGIN_STATE", "value": "LoginFailed"})
    wait_text(page, "summary", "Login failed")
    wait_text(page, "enrol-hint", "enrol it again with a new setup key")
    assert find(page, "btn-up").text == "Enrol and connect"


@pytest.mark.parametrize("page", [{"NB_SIM_EXIT_DOWN": "3"}], indirect=True)
def test_busy_failed_and_unreachable_are_shown_not_swallowed(page):
    box = page.box
    find(page, "btn-down").click()
    wait_text(page, "connection-msg", "Error: simulated failure")

    # Fill the queue with slow commands straight on the socket (one runs,
    # eight wait); the page's next command is refused as busy.
    assert box.post("/env", body={"name": "NB_SIM_DELAY_UP", "value": "4"}).status == 200
    for _ in range(9):  # the supervisor is stopped below before these are answered
        in_background(box.post, "/up", body={"setup_key": "K"}, timeout=120)
        time.sleep(0.05)
    time.sleep(0.5)
    find(page, "btn-reconnect").click()
    wait_text(page, "connection-msg", "busy with other commands: try again in a moment")

    # The supervisor goes away: the page says since when instead of showing
    # the last state as current.
    box.proc.terminate()
    box.proc.wait(timeout=30)
    wait_for(page, lambda d: visible(d, "status-failed"), "the status failure")
    assert re.search(r"Status unavailable since \d", find(page, "status-failed").text)
    wait_text(page, "summary", "Device not reachable")
