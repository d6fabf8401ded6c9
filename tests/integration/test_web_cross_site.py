"""Other sites' pages change nothing through the installer's browser; the page framed by them takes no action."""

import functools
import http.server
import re
import subprocess
import threading

import pytest
from selenium.webdriver.common.by import By

from conftest import API_PREFIX
from test_web_page import browser, page, find, visible, wait_for  # noqa: F401 (fixtures)
from test_vpn_control import app_json

# What another site's page can send without the user doing anything: forms in both encodings it may choose, and
# fetches whose answer it does not read (no-cors). Each lands in a frame of its own, so that all are sent.
ATTACKS = [
    ("form", "config", "application/x-www-form-urlencoded", {"name": "management_url", "value": "https://evil.example:443"}),
    ("form", "config", "text/plain", {"name=mtu&value": "1280"}),
    ("form", "up", "application/x-www-form-urlencoded", {"setup_key": "FOREIGN-NETWORK-KEY"}),
    ("form", "down", "text/plain", {"x": "y"}),
    ("fetch", "config", "name=wireguard_port&value=51999", None),
    ("fetch", "env", "name=NB_PRESHARED_KEY&value=stolen", None),
    ("fetch", "deregister", "", None),
    ("fetch", "reconnect", "", None),
    ("get", "debug-bundle", "", None),
]
POSTS = sum(kind != "get" for kind, *_ in ATTACKS)


def attacker_page(api):
    parts, script = [], []
    for i, (kind, route, encoding, fields) in enumerate(ATTACKS):
        if kind == "form":
            inputs = "".join(f'<input type="hidden" name="{k}" value="{v}">' for k, v in fields.items())
            parts.append(f'<iframe name="f{i}"></iframe><form id="a{i}" method="POST" action="{api}{route}" '
                         f'enctype="{encoding}" target="f{i}">{inputs}</form>')
            script.append(f"document.getElementById('a{i}').submit();")
        elif kind == "fetch":
            script.append(f"fetch('{api}{route}', {{method: 'POST', mode: 'no-cors', credentials: 'include', "
                          f"headers: {{'Content-Type': 'application/x-www-form-urlencoded'}}, body: '{encoding}'}});")
        else:
            script.append(f"fetch('{api}{route}', {{mode: 'no-cors', credentials: 'include'}});")
    return ("<!doctype html><title>A page of another site</title>" + "".join(parts) +
            "<script>" + "".join(script) + "</script>")


@pytest.fixture
def other_site(tmp_path):
    """other_site(html): serves html from another origin (127.0.0.1, a port of its own); gives the port."""
    servers = []

    def serve(html):
        (tmp_path / "index.html").write_text(html)
        handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
        servers.append(http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler))
        threading.Thread(target=servers[-1].serve_forever, daemon=True).start()
        return servers[-1].server_address[1]
    yield serve
    for server in servers:
        server.shutdown()
        server.server_close()


def api_answers(box):
    """Status codes the web server gave to API requests, in order (its access log)."""
    log = box.web_dir / "access.log"
    text = log.read_text() if log.exists() else ""
    return [(method, path.split("?")[0].rsplit("/api/vpn/", 1)[1], int(status)) for method, path, status in
            re.findall(r'"(GET|POST) (' + re.escape(API_PREFIX) + r'/\S+) HTTP/1\.1" (\d+)', text)]


@pytest.mark.parametrize("host", ["localhost", "127.0.0.1"], ids=["another-site", "another-port"])
def test_other_sites_pages_change_nothing(page, host, other_site):
    box = page.box
    api = box.url + "api/vpn/"  # on the page's own origin, http://127.0.0.1:PORT
    tunnel = box.data / "tunnel.json"
    state = lambda: (box.get("/config").body, box.get("/env").body, app_json(box),  # noqa: E731
                     tunnel.read_bytes() if tunnel.exists() else None)
    before = state()
    page.get(f"http://{host}:{other_site(attacker_page(api))}/")
    # Every request reached the application and was refused there.
    wait_for(page, lambda d: len([a for a in api_answers(box) if a[2] in (403, 415)]) >= len(ATTACKS),
             "every attack answered")
    # The browser's complaints about the refusals' empty frames are the attacker page's, not the application's.
    page.get_log("browser")
    attacks = [a for a in api_answers(box) if a[2] != 200]
    assert {status for *_, status in attacks} == {403}, attacks
    # Settings, overrides and the tunnel's wish as they were; no NetBird command, no staged key.
    assert state() == before
    assert not any(box.reports_for(verb) for verb in ("up", "down", "deregister", "debug"))
    assert not list(box.data.glob("setup-key-*"))
    assert "Refused" in box.app_log() and "cross-site request" in box.app_log()


def test_framed_by_another_site_the_page_takes_no_action(page, other_site):
    box = page.box
    port = other_site(f'<!doctype html><iframe id="app" src="{box.url}" width="1200" height="900"></iframe>')
    try:
        page.get(f"http://localhost:{port}/")
        page.switch_to.frame(find(page, "app"))
        wait_for(page, lambda d: visible(d, "framed"), "the framed notice")
        assert page.execute_script("return document.querySelector('main').inert")
        before = len(api_answers(box))
        page.execute_script("document.getElementById('btn-down').click()")  # a script's click goes past inert
        page.execute_script("document.getElementById('bundle-download').click()")
        wait_for(page, lambda d: "actions are off" in d.execute_script(
            "return document.getElementById('bundle-msg').textContent"), "the refusal")
        assert not [a for a in api_answers(box)[before:] if a[0] == "POST" or a[1] == "debug-bundle"]
    finally:
        page.switch_to.default_content()

    # Inside a page of its own origin (the camera's own interface) it works.
    page.get(box.url)
    page.execute_script("const f = document.createElement('iframe'); f.id = 'inner'; f.src = location.href;"
                        "f.width = 1200; f.height = 900; document.body.append(f)")
    page.switch_to.frame(find(page, "inner"))
    try:
        wait_for(page, lambda d: d.find_element(By.ID, "status-updated").text.startswith("Updated"), "the framed page")
        assert not visible(page, "framed") and not page.execute_script("return document.querySelector('main').inert")
    finally:
        page.switch_to.default_content()


def test_curl_and_scripts_work_as_before_and_answers_cannot_be_framed(sandbox):
    sock = str(sandbox.sock_path)
    base = "http://localhost" + API_PREFIX + "/"

    def curl(*args):
        return subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--unix-socket", sock, *args],
                              capture_output=True, text=True, timeout=60).stdout
    assert curl("-d", "name=mtu&value=1400", base + "config") == "200"
    assert curl("-X", "POST", base + "down") == "200"
    assert curl(base + "debug-bundle") == "200"
    assert app_json(sandbox)["mtu"] == 1400

    r = sandbox.get("/status")
    assert (r.header("X-Frame-Options"), r.header("Content-Security-Policy"), r.header("X-Content-Type-Options")) == \
        ("DENY", "frame-ancestors 'none'", "nosniff")

    # Browsers without Fetch Metadata: the Origin decides, else the page's own header.
    form = {"name": "mtu", "value": "1300"}
    refused = [
        {"Origin": "null"},
        {"Origin": "http://evil.example", "X-Forwarded-Host": "cam.local"},
        {"Origin": "http://cam.local:8081", "X-Forwarded-Host": "cam.local:8080"},
        {"Cookie": "session=1"},
        {"Referer": "http://evil.example/"},
    ]
    for headers in refused:
        r = sandbox.post("/config", form, headers=headers)
        assert r.status == 403 and r.json()["error"].startswith("Cross-site request refused"), (headers, r)
    for headers in ({"Origin": "http://cam.local:8080", "X-Forwarded-Host": "cam.local:8080"},
                    {"Cookie": "session=1", "X-Requested-By": "vantrel_vpn"}):
        assert sandbox.post("/config", form, headers=headers).status == 200, headers
    assert app_json(sandbox)["mtu"] == 1300

    # Only form bodies are decoded; a bare body (scripts) still is.
    plain = sandbox.post("/config", b"name=mtu&value=1280", headers={"Content-Type": "text/plain"})
    assert (plain.status, plain.json()) == (415, {"error": "Content-Type must be application/x-www-form-urlencoded"})
    assert sandbox.post("/config", b"name=mtu&value=1280").status == 200
    assert app_json(sandbox)["mtu"] == 1280
