"""The logs section read as a list a person works with: status polls hidden, searched and filtered by level without
asking again (the history's and the peers' lists: test_web_history.py, test_web_peers.py)."""

import re

from selenium.webdriver.common.by import By
from selenium.webdriver.support.select import Select

from test_web_page import browser, page, find, wait_for, wait_text  # noqa: F401 (fixtures)


def js(driver, script, *args):
    return driver.execute_script(script, *args)


def log_requests(driver):
    return js(driver, "return performance.getEntriesByType('resource').filter(e => e.name.includes('logs/download')).length")


def test_the_log_searched_without_asking_again(page):
    box = page.box
    # The log: status polls hidden at once, a search and a level over the lines fetched, with no new request.
    log = box.data / "client.log"
    box.wait_for(lambda: "verb=status" in log.read_text(), what="status requests in the log")
    with log.open("a") as f:
        f.write("2026-12-08T02:00:00Z WARN daemon: disk almost full\n2026-12-08T02:00:01Z ERRO daemon: write failed\n")
    page.find_element(By.CSS_SELECTOR, "nav a[href='#logs']").click()
    find(page, "log-refresh").click()
    wait_text(page, "log-tail", "write failed")
    tail = lambda: find(page, "log-tail").text.splitlines()  # noqa: E731
    assert not any("verb=status" in line for line in tail()) and any("daemon listening" in line for line in tail())
    asked = log_requests(page)
    find(page, "log-polls").click()
    wait_text(page, "log-tail", "verb=status")
    Select(find(page, "log-level")).select_by_value("1")
    wait_for(page, lambda d: tail()[-2:] == ["2026-12-08T02:00:00Z WARN daemon: disk almost full",
                                             "2026-12-08T02:00:01Z ERRO daemon: write failed"], "warnings")
    assert all(re.match(r"\S+ (WARN|ERRO) ", line) for line in tail()), tail()
    Select(find(page, "log-level")).select_by_value("0")
    find(page, "log-search").send_keys("LISTENING")
    wait_for(page, lambda d: tail() and all("listening" in line for line in tail()), "the search")
    assert log_requests(page) == asked
