"""The status story in headless Chromium against the real binary and the simulator: who the device is and where
each command's outcome is told (not enrolled, hung: test_web_page.py)."""

import time

from selenium.webdriver.common.by import By

from test_web_page import browser, page, enrol_by_api, find, visible, wait_for, wait_text  # noqa: F401 (fixtures)


def identity(box):
    st = box.get("/status").json()["status"]
    return st["netbirdIp"].split("/")[0], st["fqdn"], st["fqdn"].split(".")[0]


def test_the_header_and_the_messages_follow_each_command_at_once(page):
    box = page.box
    enrol_by_api(box)
    wait_text(page, "summary", "Connected")
    # Who the device is, in the header, each with its copy button.
    wait_for(page, lambda d: all(v in find(d, "identity").text for v in identity(box)), "the identity in the header")
    copies = page.find_elements(By.CSS_SELECTOR, "#identity button")
    assert len(copies) == 3
    copies[0].click()
    wait_for(page, lambda d: copies[0].text in ("Copied", "Selected"), "the copy's outcome")
    find(page, "btn-reconnect").click()
    wait_text(page, "connection-msg", "Reconnected with the current settings. The tunnel is up.")
    find(page, "btn-down").click()
    wait_text(page, "connection-msg", "The tunnel is down")
    assert find(page, "summary").text == "Disconnected"
    assert "Idle" in find(page, "st-daemon").text and "Connect brings it up" in find(page, "st-daemon").text
    wait_text(page, "connection-output", "Disconnected")
    # Wanted down, a restarted daemon (which connects by itself) is taken down again: the page says so.
    find(page, "btn-restart").click()
    wait_text(page, "connection-msg", "The daemon was restarted. The tunnel is down.")
    assert not visible(page, "connection-output"), "the output of the command before"

    # NetBird's management server refuses the login: the page says what to do.
    box.post("/env", body={"name": "NB_SIM_LOGIN_STATE", "value": "LoginFailed"})
    wait_text(page, "summary", "Login failed")
    wait_text(page, "enrol-hint", "after deregistering it if it was enrolled")
    assert find(page, "btn-up").text == "Enrol and connect"
    box.post("/env", body={"name": "NB_SIM_LOGIN_STATE"})
    wait_text(page, "summary", "Disconnected")

    # Deregistering asks first.
    find(page, "btn-deregister").click()
    assert "Kept: the NetBird environment overrides and the daily logs" in find(page, "deregister-dialog").text
    find(page, "deregister-cancel").click()
    time.sleep(0.5)
    assert box.reports_for("deregister") == [] and not visible(page, "deregister-dialog")
    find(page, "btn-deregister").click()
    find(page, "deregister-confirm").click()
    wait_text(page, "connection-msg", "The device was deregistered")
    assert find(page, "summary").text == "Not enrolled"
    assert not visible(page, "identity") and visible(page, "enrol-hint")
    assert len(box.reports_for("deregister")) == 1
