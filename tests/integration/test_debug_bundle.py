import io
import re
import socket
import zipfile

import pytest

ATTACHMENT = 'attachment; filename="netbird-debug-bundle.zip"'


def start(make_sandbox, **env):
    """A sandbox whose NetBird writes its archives into a temporary directory of its own."""
    box = make_sandbox()
    box.tmp = box.root / "tmp"
    box.tmp.mkdir()
    return box.start(env={"TMPDIR": str(box.tmp), **env})


def archives(box):
    return sorted(box.tmp.glob("netbird.debug.*.zip"))


def assert_no_archive(box):
    # The archive is deleted right after the answer has been handed over, so
    # the client may see the answer a moment before the file is gone.
    box.wait_for(lambda: archives(box) == [], timeout=5, what="archive deletion")


def test_download_and_upload_leave_no_archive(make_sandbox):
    box = start(make_sandbox)
    r = box.get("/debug-bundle", timeout=60)
    assert r.status == 200, r
    assert r.header("Content-Type") == "application/zip"
    assert r.header("Content-Disposition") == ATTACHMENT
    assert r.header("Cache-Control") == "no-store"
    with zipfile.ZipFile(io.BytesIO(r.body)) as z:
        assert z.testzip() is None and "status.json" in z.namelist()
    assert_no_archive(box)

    r = box.post("/debug-bundle/upload", timeout=60)
    assert r.status == 200, r
    body = r.json()
    assert list(body) == ["exit_code", "key", "ok", "output"]
    assert (body["exit_code"], body["ok"]) == (0, True)
    assert re.fullmatch(r"[0-9a-f]{8}/[0-9a-f]{8}", body["key"])
    # The archive NetBird named lies in this sandbox's directory (so the
    # emptiness checks above and below are meaningful) and is gone.
    path = re.search(r"Local file:\n(\S+)\n", body["output"]).group(1)
    assert path.startswith(str(box.tmp) + "/")
    assert_no_archive(box)


@pytest.mark.parametrize("env, code", [({"NB_SIM_BUNDLE_NO_LABEL": "1"}, 0), ({"NB_SIM_EXIT_DEBUG": "3"}, 3)])
def test_failure(make_sandbox, env, code):
    box = start(make_sandbox, **env)
    r = box.get("/debug-bundle", timeout=60)
    assert (r.status, r.json()) == (500, {"error": "Debug bundle failed"})
    assert r.header("Content-Type") == "application/json"
    box.wait_for_log(f"[W] Debug bundle generation failed (exit {code})")
    if code:  # an upload reports the failure in its body
        r = box.post("/debug-bundle/upload", timeout=60)
        assert (r.status, r.json()) == (200, {"exit_code": 3, "key": "", "ok": False,
                                              "output": "Error: simulated failure\n"})


@pytest.mark.parametrize("method, route", [("GET", "/debug-bundle"), ("POST", "/debug-bundle/upload")])
def test_anonymize_flag(make_sandbox, method, route):
    box = start(make_sandbox)
    for value, wanted in [("1", True), ("true", True), ("yes", False), ("TRUE", False), ("", False), (None, False)]:
        before = len(box.reports_for("debug"))
        r = box.request(method, route, query=None if value is None else {"anonymize": value}, timeout=60)
        assert r.status == 200, (value, r)
        argv = box.reports_for("debug")[before]["argv"]
        assert ("--anonymize" in argv) == wanted, (value, argv)
        if wanted:
            assert argv[-1] == "--anonymize"
    assert_no_archive(box)


@pytest.mark.parametrize("method, route", [("GET", "/debug-bundle"), ("POST", "/debug-bundle/upload")])
def test_client_gone_archive_still_deleted(make_sandbox, method, route):
    # The CLI sleeps 2 s before it asks the daemon for the archive, so the
    # client is surely gone by the time the bundle exists.
    box = start(make_sandbox, NB_SIM_DELAY_DEBUG="2")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(str(box.sock_path))
        s.sendall(f"{method} /local/vantrel_vpn/api/vpn{route} HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n".encode())
        box.wait_for(lambda: box.reports_for("debug"), what="the bundle command")
    client_log = box.data / "client.log"
    box.wait_for(lambda: b"verb=debug ok=true" in client_log.read_bytes(), timeout=20, what="the daemon's bundle")
    assert_no_archive(box)
    assert box.get("/logs/list").status == 200
