"""Log listing, tail and download, and the storage report."""

import gzip
import os
import time
import urllib.parse

# NetBird that leaves client.log untouched (daemon sleeps, CLI calls fail); Python keeps the sandbox path in argv.
SLEEPER = "#!/usr/bin/python3\nimport sys, time\nif sys.argv[-2:] == ['service', 'run']: time.sleep(600)\nsys.exit(1)"
NOT_FOUND = b"Log file not found."
# Each bad name exists as a readable file: only the name checks stand between it and a 200 (more: test_log_files.cpp).
BAD_NAMES = ["app_..x_2025-01-01.log", 'app_"x_2025-01-01.log', "app_x\\app_2025-01-01.log",
             "app_\x01_2025-01-01.log", "app_\x1f_2025-01-01.log", "app_\x7f_2025-01-01.log"]
RAW_QUERIES = [
    "source=app&name=..%2Fapp.json", "source=app&name=%2E%2E%2Flogs%2Fapp_2025-01-01.log",
    "source=app&name=app_2025-01-01.log%00", "source=app&name=app_sub/app_2025-01-01.log",
    "source=app&name=app_sub%2F..%2F..%2Fapp_2025-01-01.log", "source=netbird&name=..%2Fclient.log",
    "source=netbird&name=client-..%2F..%2Fapp_2025-01-01.log.gz", "source=netbird&name=client.log%0A",
    "source=app", "name=app_2025-01-01.log", "source=&name=app_2025-01-01.log", "source=app&name=notes.txt",
] + ["source=app&name=" + urllib.parse.quote(n, safe="") for n in BAD_NAMES]


def assert_text(r, status, body):
    assert (r.status, r.body, r.header("Content-Type"), r.header("Cache-Control")) == \
        (status, body, "text/plain", "no-store")


def quickest_tail(box, tries=5):
    times = []
    for _ in range(tries):
        started = time.monotonic()
        assert box.get("/logs/tail", query="source=netbird").status == 200
        times.append(time.monotonic() - started)
    return min(times)


def test_tail_list_download_refusals_and_storage(make_sandbox):
    quiet = make_sandbox()
    quiet.fake_netbird(SLEEPER)
    quiet.start()
    for query in (None, "source=app", "source=NETBIRD", "name=netbird"):
        assert_text(quiet.get("/logs/tail", query=query), 404, b"Unknown log source.")
    assert_text(quiet.get("/logs/tail", query="source=netbird"), 404, b"Netbird log not found.")
    for size, skipped in [(200000, 0), (200001, 1)]:
        data = bytes(i % 251 for i in range(size))
        (quiet.data / "client.log").write_bytes(data)
        prefix = b"Log truncated to last 200000 bytes.\n" if skipped else b""
        assert_text(quiet.get("/logs/tail", query="source=netbird"), 200, prefix + data[skipped:])
    small_seconds = quickest_tail(quiet)
    with open(quiet.data / "client.log", "wb") as f:  # 4 GiB, sparse
        f.truncate(4 << 30)
        f.seek((4 << 30) - 6)
        f.write(b"LAST\r\n")
    # Both tails read 200000 bytes; reading all 4 GiB would take a thousand times longer (100: a busy machine).
    assert quickest_tail(quiet) < 100 * small_seconds
    r = quiet.get("/logs/tail", query="source=netbird")
    assert r.body == b"Log truncated to last 200000 bytes.\n" + bytes(199994) + b"LAST\r\n"

    today, packed = time.strftime("%Y-%m-%d"), gzip.compress(b"old day\n" * 100)
    quiet.wait_for(lambda: (quiet.logs / f"netbird_{today}.log").exists(), what="today's netbird file")
    files = {("app", "app_2025-01-31.log.gz"): packed, ("app", "app_2025-01-30.log"): b"plain \xff\x00 bytes\n",
             ("netbird", "netbird_2025-01-31.log"): b"n" * 7, ("netbird", "client.log"): b"c" * 5,
             ("netbird", "client-2025-01-29.log.gz"): packed[::-1]}
    for (_, name), data in files.items():
        (quiet.data if name.startswith("client") else quiet.logs).joinpath(name).write_bytes(data)
    # Not log files of this system, or in the wrong directory: never listed.
    for name in ("app.log", "notes.txt", "app-2025-01-01.log", "netbird_2025-1-01.log", "client.log"):
        (quiet.logs / name).write_bytes(b"x")
    for name in ("client.txt", "app_2025-01-01.log", "netbird_2025-01-01.log"):
        (quiet.data / name).write_bytes(b"x")
    (quiet.logs / "app_2025-01-01.log.gz").mkdir()
    listed = quiet.get("/logs/list").json()
    assert [(e["source"], e["name"]) for e in listed] == [
        ("app", f"app_{today}.log"), ("app", "app_2025-01-31.log.gz"), ("app", "app_2025-01-30.log"),
        ("netbird", f"netbird_{today}.log"), ("netbird", "netbird_2025-01-31.log"),
        ("netbird", "client.log"), ("netbird", "client-2025-01-29.log.gz")]
    assert [e["size"] for e in listed[1:3] + listed[4:]] == [len(data) for data in files.values()]

    long_name = "app_" + "x" * 236 + "_2025-01-01.log"  # 255 bytes: the longest allowed
    (quiet.logs / long_name).write_bytes(b"long\n")
    for (source, name), data in [*files.items(), (("app", long_name), b"long\n")]:
        r = quiet.get("/logs/download", query={"source": source, "name": name})
        ctype = "application/gzip" if name.endswith(".gz") else "text/plain"
        assert (r.status, r.body, r.header("Content-Type")) == (200, data, ctype), name
        assert r.header("Content-Disposition") == f'attachment; filename="{name}"'
        assert r.header("Cache-Control") == "no-store"

    # The used_pct rounding is unit-tested; other test runs write to the same disk meanwhile.
    storage, st = quiet.get("/storage").json(), os.statvfs(quiet.data)
    total, free = st.f_blocks * st.f_frsize, st.f_bavail * st.f_frsize
    assert storage["total"] == total and abs(storage["free"] - free) <= total // 50
    assert all(type(v) is int for v in storage.values())
    assert abs(storage["used_pct"] - 100 * (total - free) / total) <= 2

    for name in BAD_NAMES + ["app_2025-01-01.log", "notes.txt", "app_sub/app_2025-01-01.log"]:
        (quiet.logs / name).parent.mkdir(exist_ok=True)
        (quiet.logs / name).write_bytes(b"secret\n")
    (quiet.data / "app_2025-01-01.log").write_bytes(b"secret\n")
    (quiet.data / "client.log").write_bytes(b"secret\n")
    for query in RAW_QUERIES:
        assert_text(quiet.get("/logs/download", query=query), 404, NOT_FOUND)
    assert quiet.get("/logs/download", query="source=app&name=app_2025-01-01.log").body == b"secret\n"  # the control
