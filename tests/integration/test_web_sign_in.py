"""Signing in from the page: link, code and a QR code a phone reads, by mouse, and by keyboard on a phone."""

import io
import re

import pytest
from PIL import Image
from pyzbar.pyzbar import decode
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

from test_web_page import browser, page, find, visible, wait_for, wait_text  # noqa: F401 (fixtures)

# The page promises the link within 5 s; the simulator prints it within a second.
LINK_WITHIN_S = 5
HELD = ("btn-up", "btn-down", "btn-reconnect", "btn-restart", "btn-deregister", "bundle-download", "bundle-upload")


def decoded(element):
    """What zbar reads in a screenshot of the element, symbol by symbol."""
    element.parent.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)  # clear of the header
    return [s.data.decode() for s in decode(Image.open(io.BytesIO(element.screenshot_as_png)))]


def link_shown(driver):
    try:
        WebDriverWait(driver, LINK_WITHIN_S, poll_frequency=0.1).until(
            lambda d: visible(d, "sign-in-link") and visible(d, "sign-in-qr"))
    except Exception:
        raise AssertionError(f"no sign-in link within {LINK_WITHIN_S} s\n{driver.box.dump()}")
    return find(driver, "sign-in-link").get_attribute("href")


@pytest.mark.parametrize("page", [{"sso": True, "NB_SIM_SSO_CODE_APART": "1"}], indirect=True)
def test_link_code_and_qr_lead_to_a_connected_device(page):
    wait_text(page, "summary", "Not enrolled")
    find(page, "sign-in-start").click()
    href = link_shown(page)
    link = find(page, "sign-in-link")
    assert href == link.text == "https://sso.netbird-sim.invalid/device"
    assert (link.get_attribute("target"), link.get_attribute("rel")) == ("_blank", "noopener noreferrer")
    assert re.fullmatch(r"[A-Z0-9]{4}-[A-Z0-9]{4}", find(page, "sign-in-code").get_attribute("value"))
    find(page, "sign-in-copy").click()
    wait_for(page, lambda d: find(d, "sign-in-copied").text in ("Copied.", "Select and copy it."), "the copy's outcome")
    assert re.fullmatch(r"1[45]:\d\d", find(page, "sign-in-left").text)
    assert decoded(find(page, "sign-in-qr")) == [href]
    # NetBird would refuse the other commands now; settings stay open.
    assert [b for b in HELD if find(page, b).is_enabled()] == [] and find(page, "set-mtu").is_enabled()

    # A page opened during the wait picks it up from the status.
    page.get(page.box.url)
    assert link_shown(page) == href and find(page, "sign-in-code").get_attribute("value")

    # The encoder alone: a short link, and a long one whose version carries version information.
    long_url = ("https://sso.example.com/device?state=" + "a1B2-c3D4_" * 30)[:300]  # version 13
    page.execute_async_script("""const [texts, done] = arguments;
        import('./js/qr_code.js').then(({ qrSvg }) => {
          texts.forEach((t, i) => document.body.append(Object.assign(document.createElement('div'), { id: 'qr-' + i })));
          texts.forEach((t, i) => document.getElementById('qr-' + i).append(qrSvg(t)));
          done();
        });""", ["https://a.example/", long_url])
    assert [decoded(find(page, f"qr-{i}")) for i in range(2)] == [["https://a.example/"], [long_url]]

    page.answer.write_text("approve")
    wait_text(page, "summary", "Connected")
    wait_text(page, "sign-in-msg", "Signed in")
    assert not visible(page, "sign-in-box") and not visible(page, "sign-in-offer")
    wait_for(page, lambda d: all(find(d, b).is_enabled() for b in HELD), "the commands back")


@pytest.mark.parametrize("page", [{"sso": True}], indirect=True)
def test_keyboard_only_on_a_phone_cancel_refusal_and_expiry(page):
    wait_text(page, "summary", "Not enrolled")
    page.set_window_size(360, 800)
    keys = ActionChains(page)
    for _ in range(60):  # skip link, the sections' links, the connection's fields: well under 60
        if page.switch_to.active_element.get_attribute("id") == "sign-in-start":
            break
        keys.send_keys(Keys.TAB).perform()
    assert page.switch_to.active_element.get_attribute("id") == "sign-in-start"
    keys.send_keys(Keys.ENTER).perform()
    link_shown(page)
    assert page.switch_to.active_element.get_attribute("id") == "sign-in-link"
    assert not visible(page, "sign-in-code-row")  # the code is in the link
    wide = page.execute_script("""return [...document.querySelectorAll('#connection, #connection *')]
        .filter(e => e.getBoundingClientRect().right > innerWidth).map(e => e.id || e.tagName)
        .concat(document.documentElement.scrollWidth > innerWidth ? ['page'] : [])""")
    assert wide == []
    assert decoded(find(page, "sign-in-qr")) == [find(page, "sign-in-link").get_attribute("href")]

    keys.send_keys(Keys.TAB).perform()
    assert page.switch_to.active_element.get_attribute("id") == "sign-in-cancel"
    keys.send_keys(Keys.SPACE).perform()
    wait_text(page, "sign-in-msg", "The sign-in was cancelled. Start again")
    wait_for(page, lambda d: d.switch_to.active_element.get_attribute("id") == "sign-in-start", "focus on the offer")

    for answer, words in (("deny", "The account was refused: check that you signed in with an account of this"),
                          ("expire", "The sign-in expired")):
        keys.send_keys(Keys.ENTER).perform()
        link_shown(page)
        page.answer.write_text(answer)
        wait_text(page, "sign-in-msg", words)
        wait_for(page, lambda d: d.switch_to.active_element.get_attribute("id") == "sign-in-start", "the offer again")
