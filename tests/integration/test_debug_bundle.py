"""Debug bundles made by NetBird, served or uploaded; the archive never stays behind."""

import io
import re
import socket
import zipfile

import pytest

from conftest import API_PREFIX, connect, request_bytes

ROUTES = [("GET", "/debug-bundle"), ("POST", "/debug-bundle/upload")]


def start(make_sandbox, **env):
    """A sandbox whose NetBird writes its archives into the folder the application gives it as TMPDIR."""
    box = make_sandbox()
    box.tmp = box.data / "tmp"
    return box.start(env={"TMPDIR": str(box.root), **env})  # not where the archives go


def assert_no_archive(box):
    # Deleted right after the answer is handed over: the client may see it a moment before the file is gone.
    box.wait_for(lambda: not list(box.root.rglob("netbird.debug.*.zip")), timeout=5, what="archive deletion")


def test_download_upload_anonymize_and_failures(make_sandbox):
    box = start(make_sandbox)
    r = box.get("/debug-bundle", timeout=60)
    assert (r.status, r.header("Content-Type"), r.header("Cache-Control")) == (200, "application/zip", "no-store")
    # Named after the device and the time, so that bundles of many cameras do not mix.
    host = re.sub(r"[^A-Za-z0-9.]", "-", socket.gethostname())[:63] or "device"
    assert re.fullmatch(rf'attachment; filename="netbird-debug-{re.escape(host)}-\d{{8}}T\d{{6}}Z\.zip"',
                        r.header("Content-Disposition"))
    with zipfile.ZipFile(io.BytesIO(r.body)) as z:
        assert z.testzip() is None and "status.json" in z.namelist()
    assert_no_archive(box)

    r = box.post("/debug-bundle/upload", timeout=60)
    body = r.json()
    assert (r.status, body["exit_code"], body["ok"]) == (200, 0, True)
    assert re.fullmatch(r"[0-9a-f]{8}/[0-9a-f]{8}", body["key"])
    # The archive NetBird named lies in this sandbox (so the emptiness checks mean something) and is gone.
    assert re.search(r"Local file:\n(\S+)\n", body["output"]).group(1).startswith(str(box.tmp) + "/")
    assert_no_archive(box)

    for method, route in ROUTES:
        for value, wanted in [("1", True), ("true", True), ("TRUE", False), ("", False), (None, False)]:
            before = len(box.reports_for("debug"))
            r = box.request(method, route, query=None if value is None else {"anonymize": value}, timeout=60)
            assert r.status == 200, (route, value, r)
            assert ("--anonymize" in box.reports_for("debug")[before]["argv"]) == wanted, (route, value)
    assert_no_archive(box)

    # The simulator reads its knobs per call, so overrides apply at once.
    for knob, value, code in [("NB_SIM_BUNDLE_NO_LABEL", "1", 0), ("NB_SIM_EXIT_DEBUG", "3", 3)]:
        box.post("/env", body={"name": knob, "value": value})
        r = box.get("/debug-bundle", timeout=60)
        assert (r.status, r.text) == (500, '{"error":"Debug bundle failed"}')
        box.wait_for_log(f"[W] Debug bundle generation failed (exit {code})")
    r = box.post("/debug-bundle/upload", timeout=60)  # an upload reports the failure in its body
    assert (r.status, r.json()) == (200, {"exit_code": 3, "key": "", "ok": False,
                                          "output": "Error: simulated failure\n"})


@pytest.mark.parametrize("method, route", ROUTES)
def test_client_gone_archive_still_deleted(make_sandbox, method, route):
    # The CLI sleeps 2 s before it asks the daemon for the archive: the client is gone by the time it exists.
    box = start(make_sandbox, NB_SIM_DELAY_DEBUG="2")
    with connect(box) as s:
        s.sendall(request_bytes(method, API_PREFIX + route))
        box.wait_for(lambda: box.reports_for("debug"), what="the bundle command")
    client_log = box.data / "client.log"
    box.wait_for(lambda: b"verb=debug ok=true" in client_log.read_bytes(), timeout=20, what="the daemon's bundle")
    assert_no_archive(box)


def test_upload_cut_short_leaves_no_archive(make_sandbox):
    # The daemon dies while uploading the archive it wrote: nobody names it; the application sweeps its folder.
    box = start(make_sandbox, NB_SIM_UPLOAD_HANG="30", NB_SIM_DAEMON_EXIT_AFTER="4")
    body = box.post("/debug-bundle/upload", timeout=60).json()
    assert body["ok"] is False and "Local file:" not in body["output"]
    assert_no_archive(box)
    assert box.tmp.stat().st_mode & 0o777 == 0o700
