"""The settings section in headless Chromium: settings grouped with one Save per
group, their limits said before saving, refusals at their fields, and a saved tunnel option applied."""

import json

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from test_web_page import SETUP_KEY, browser, page, find, visible, wait_for, wait_text, type_into  # noqa: F401 (fixtures)


def stored(box):
    app_json = box.data / "app.json"
    return json.loads(app_json.read_text()) if app_json.exists() else {}


def save_group(driver, legend):
    driver.find_element(By.XPATH, f"//section[@id='settings']//fieldset[legend='{legend}']//button[.='Save']").click()


@pytest.mark.parametrize("page", [{"app.json": '{"management_url": "m.example:443"}'}], indirect=True)
def test_settings_are_grouped_say_their_limits_refuse_in_sentences_and_are_applied(page):
    box = page.box
    wait_for(page, lambda d: find(d, "set-mtu").get_attribute("value") == "1280", "the settings")
    # The management URL has one field on the page: the connection's.
    labels = [e.text for e in page.find_elements(By.TAG_NAME, "label")]
    assert labels.count("Management URL") == 1 and not page.find_elements(By.ID, "set-management_url")

    # Limits and units beside the fields, before anything is saved; on/off reads on/off.
    for key, words in {"mtu": ("576", "8192", "bytes"), "wireguard_port": ("1", "65535"),
                       "watchdog_timeout": ("30", "seconds"), "log_retention_days": ("1", "365", "days"),
                       "interface_name": ("15",), "watchdog_enabled": ("Default: on",)}.items():
        hint = find(page, f"set-{key}-hint").text
        assert all(w in hint for w in words) and "true" not in hint, (key, hint)
    options = page.find_elements(By.CSS_SELECTOR, "#set-watchdog_enabled option")
    assert [o.text for o in options] == ["on", "off"]

    # Fields in groups, one Save each; every field is inside one.
    groups = page.find_elements(By.CSS_SELECTOR, "#settings fieldset")
    saves = [b for b in page.find_elements(By.CSS_SELECTOR, "#settings button") if b.text == "Save"]
    assert len(groups) >= 2 and len(saves) == len(groups)
    assert page.find_elements(By.CSS_SELECTOR, "#settings :is(input, select):not(fieldset *)") == []

    # A stored URL NetBird refuses (an older version took any text) is named until it is corrected; the page
    # refuses such a URL before sending it.
    wait_text(page, "status-problems", "management URL is not one NetBird accepts")
    type_into(page, "up-management-url", "mgmt.example.com:443")
    find(page, "btn-up").click()
    wait_text(page, "connection-msg", "must be http:// or https://, a host and an optional port")
    type_into(page, "up-management-url", "https://api.netbird.io")
    type_into(page, "up-setup-key", SETUP_KEY)
    find(page, "btn-up").click()
    wait_text(page, "summary", "Connected")
    wait_for(page, lambda d: "NetBird accepts" not in find(d, "status-problems").text, "the problem to go")
    wait_text(page, "st-interface", "wt0 (userspace), MTU 1280")

    # A group's Save stores its changed fields only, and none of another group's. A tunnel option changed while
    # wanted up: hint and banner say so; the value stored is named if not as typed.
    type_into(page, "set-mtu", "+1400")
    type_into(page, "set-wireguard_port", "51821")
    type_into(page, "set-log_retention_days", "7")
    save_group(page, "Tunnel")
    wait_text(page, "set-mtu-msg", "Saved as 1400. The tunnel still runs with the old value: reconnect to apply")
    wait_text(page, "set-wireguard_port-msg", "Saved.")
    assert stored(box) == {"management_url": "https://api.netbird.io", "mtu": 1400, "wireguard_port": 51821}
    assert find(page, "set-mtu").get_attribute("aria-invalid") is None
    wait_for(page, lambda d: visible(d, "pending-reconnect"), "the reconnect banner")
    # The other group's edit is kept, and the keyboard saves it: Enter in its field.
    assert find(page, "set-log_retention_days").get_attribute("value") == "7"
    find(page, "set-log_retention_days").send_keys(Keys.ENTER)
    wait_for(page, lambda d: stored(box).get("log_retention_days") == 7, "the retention saved")

    # Refusals are sentences in the page's words, at their fields; nothing of a refused group is sent. What the
    # application would read leniently is refused too.
    for mtu in ("9000", "1400.5"):
        type_into(page, "set-mtu", mtu)
        type_into(page, "set-interface_name", "wt1")
        save_group(page, "Tunnel")
        wait_for(page, lambda d: find(d, "set-mtu").get_attribute("aria-invalid") == "true", f"MTU {mtu} refused")
        assert find(page, "set-mtu-msg").text == "MTU must be a whole number from 576 to 8192 bytes."
        assert stored(box)["mtu"] == 1400 and "interface_name" not in stored(box)
    type_into(page, "set-mtu", "")  # empty: back to the default
    type_into(page, "set-interface_name", "way-too-long-name")
    save_group(page, "Tunnel")
    wait_text(page, "set-interface_name-msg", "Interface name must be 1 to 15 letters, digits, _ or -.")
    wait_for(page, lambda d: "mtu" not in stored(box), "the MTU reset")
    type_into(page, "set-watchdog_timeout", "10")
    save_group(page, "Watchdog and logs")
    wait_text(page, "set-watchdog_timeout-msg", "Watchdog time-out must be a whole number of 30 seconds or more.")

    # Set back to the values in use: nothing is left to apply, and the note goes.
    type_into(page, "set-interface_name", "")
    type_into(page, "set-wireguard_port", "")
    save_group(page, "Tunnel")
    wait_for(page, lambda d: not visible(d, "pending"), "the banner to go")
    wait_for(page, lambda d: "to apply" not in d.find_element(By.TAG_NAME, "body").text, "no reconnect hint anywhere")
    wait_for(page, lambda d: not visible(d, "set-mtu-msg"), "the saved note to clear")
    # Changed again and reloaded, the status tells what NetBird runs with and the banner's button applies it.
    type_into(page, "set-mtu", "1400")
    save_group(page, "Tunnel")
    wait_text(page, "set-mtu-msg", "Saved.")
    page.refresh()
    wait_for(page, lambda d: d.find_element(By.ID, "set-mtu").get_attribute("value") == "1400", "mtu 1400 after reload")
    wait_text(page, "st-interface", "MTU 1280 (1400 after reconnect)")
    wait_for(page, lambda d: visible(d, "pending-reconnect"), "the reconnect banner")
    find(page, "pending-reconnect").click()
    wait_text(page, "connection-msg", "Reconnected with the current settings. The tunnel is up.")
    assert not visible(page, "pending")
    wait_for(page, lambda d: find(d, "st-interface").text == "wt0 (userspace), MTU 1400", "the applied MTU")
    argv = box.reports_for("up")[-1]["argv"]
    assert argv[argv.index("--mtu") + 1] == "1400"

    # On a phone nothing of the section is wider than the screen.
    page.set_window_size(360, 800)
    wide = page.execute_script("""return [...document.querySelectorAll('#settings *')]
        .filter(e => e.getBoundingClientRect().right > innerWidth + 1).map(e => e.id || e.tagName)""")
    page.set_window_size(1280, 1000)
    assert wide == []
