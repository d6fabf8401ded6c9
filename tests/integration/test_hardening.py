"""What an attacker on the device, a power cut or a long uptime would try."""

import json
import os
import signal
import socket
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import API_PREFIX, UnixHTTP, connect, in_background, read_responses, request_bytes, rss_kib
from test_config_api import DEFAULTS

CONFIG = API_PREFIX + "/config"


def test_descriptor_flood_and_slow_requests_leave_commands_working(make_sandbox):
    # Idle connections beyond the descriptor limit neither crash the supervisor nor starve commands of pipes.
    box = make_sandbox().start(nofile=256, env={"NB_SIM_DELAY_DOWN": "3"})
    daemon = box.wait_for(box.daemon_pids, what="the daemon")
    flood = []
    try:
        for _ in range(300):
            s = socket.socket(socket.AF_UNIX)
            s.setblocking(False)
            s.connect_ex(str(box.sock_path))  # a full backlog refuses; that is fine
            flood.append(s)
        # Room is made by closing the least progressing (idle) connections: a client is answered at once.
        box.wait_for_log("API connections at their limit of 96: closing those that make the least progress")
        time.sleep(6)  # the watchdog runs its status command (every 5 s) under the flood
        assert box.proc.poll() is None and box.get("/status", timeout=10).status == 200
        assert box.post("/down", timeout=30).json()["exit_code"] == 0 and box.daemon_pids() == daemon
    finally:
        for s in flood:
            s.close()

    # At the cap (96), clients trickling a body are closed to make room, never one waiting for a command's answer.
    waiting = connect(box)
    waiting.sendall(request_bytes("POST", API_PREFIX + "/down"))
    slow = []
    try:
        for _ in range(110):
            s = connect(box)
            s.sendall(request_bytes("POST", CONFIG, b"x" * 1000)[:-990])  # 10 of 1000 body bytes
            slow.append(s)
        assert all(box.get("/status", timeout=10).status == 200 for _ in range(20))
        [(status, _, body)], _ = read_responses(waiting, 1, timeout=30)
        assert status == 200 and b'"ok":true' in body
    finally:
        for s in slow + [waiting]:
            s.close()


def test_large_download_streamed_a_client_may_leave_and_links_never_served(sandbox, tmp_path):
    size = 256 << 20
    with open(sandbox.logs / "netbird_2000-01-01.log", "wb") as f:
        f.truncate(size)  # sparse: costs no disk
    open_fds = lambda: len(os.listdir(f"/proc/{sandbox.proc.pid}/fd"))  # noqa: E731
    time.sleep(1)
    idle_rss, idle_fds = rss_kib(sandbox.proc.pid), open_fds()
    query = "?source=netbird&name=netbird_2000-01-01.log"
    conn = UnixHTTP(sandbox.sock_path, 60)
    conn.request("GET", API_PREFIX + "/logs/download" + query)
    resp = conn.getresponse()
    assert (resp.status, resp.getheader("Content-Length")) == (200, str(size))
    received, peak, status_seconds = 0, idle_rss, None
    while chunk := resp.read(1 << 20):
        received += len(chunk)
        peak = max(peak, rss_kib(sandbox.proc.pid))
        if status_seconds is None and received >= 32 << 20:
            started = time.monotonic()
            assert sandbox.get("/status").status == 200
            status_seconds = time.monotonic() - started
    conn.close()
    assert received == size
    # 64 KiB pieces: a few hundred KiB above idle (not 256 MiB); status answered between two (ms; 5 s for load).
    assert peak - idle_rss < 16 * 1024 and status_seconds < 5

    conn = UnixHTTP(sandbox.sock_path, 60)
    conn.request("GET", API_PREFIX + "/logs/download" + query)
    conn.getresponse().read(1 << 20)
    conn.close()
    sandbox.wait_for(lambda: open_fds() <= idle_fds, what="the file closed after the client left")

    # Symbolic links are never served or listed.
    (secret := tmp_path / "shadow").write_text("root:secret\n")
    (sandbox.logs / "app_2000-01-04.log.gz").symlink_to(secret)
    sandbox.wait_for(lambda: (sandbox.data / "client.log").exists(), what="client.log")
    (sandbox.data / "client.log").unlink()
    (sandbox.data / "client.log").symlink_to(secret)
    download = sandbox.get("/logs/download", query={"source": "app", "name": "app_2000-01-04.log.gz"})
    assert (download.status, download.body) == (404, b"Log file not found.")
    assert (sandbox.get("/logs/tail", query="source=netbird").status) == 404
    listed = sandbox.get("/logs/list").text
    assert "app_2000-01-04" not in listed and "client.log" not in listed

    # A logs directory that is itself a link is not read at all.
    (elsewhere := tmp_path / "elsewhere").mkdir()
    (elsewhere / "app_2000-01-05.log").write_text("elsewhere\n")
    sandbox.logs.rename(sandbox.data / "logs.real")
    sandbox.logs.symlink_to(elsewhere)
    assert sandbox.get("/logs/download", query={"source": "app", "name": "app_2000-01-05.log"}).status == 404
    assert "app_2000-01-05" not in sandbox.get("/logs/list").text


def test_no_daemon_outlives_its_supervisor_or_piles_up(make_sandbox):
    box = make_sandbox().start()
    for _ in range(3):
        box.wait_for(box.daemon_pids, what="a daemon")
        box.proc.kill()
        box.proc.wait()
        box.start()
        time.sleep(1)
        assert len(box.daemon_pids()) == 1
    box.stop()

    # A daemon that did survive (recorded in the pid file) is ended by the next start.
    leftover = subprocess.Popen(
        [str(box.lib / "netbird"), "--config", str(box.data / "config.json"), "--log-file", "console",
         "--daemon-addr", f"unix://{box.data / 'netbird.sock'}", "service", "run"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    (box.data / "netbird-daemon.pid").write_text(f"{leftover.pid}\n")
    box.start()
    assert leftover.wait(timeout=20) == -signal.SIGKILL
    box.wait_for(lambda: len(box.daemon_pids()) == 1, what="one daemon")


def test_sigterm_ends_the_running_command_and_removes_staged_keys(make_sandbox):
    box = make_sandbox().start(env={"NB_SIM_DELAY_UP": "30", "NB_SIM_STOP_WAIT": "3"})
    for i in range(3):
        in_background(box.post, "/up", body={"setup_key": f"KEY-{i}"}, timeout=60)
    box.wait_for(lambda: box.reports_for("up"), what="the first up running")
    assert len(list(box.data.glob("setup-key-*"))) == 3
    box.proc.send_signal(signal.SIGTERM)
    # While NetBird takes its time to stop, requests are still answered, but nothing new is queued.
    box.wait_for_log("Asked the VPN service to stop")
    assert box.post("/up", body={"setup_key": "LATE-KEY"}, timeout=10).status == 503
    assert box.wait_exit() == 0
    box.wait_for(lambda: not box.command_lines(str(box.app_dir)), timeout=5, what="no process left")
    assert list(box.data.glob("setup-key-*")) == []


def test_links_planted_where_files_are_written_are_replaced_not_followed(make_sandbox, tmp_path):
    box = make_sandbox()
    (victim := tmp_path / "victim").write_text("keep me\n")
    today = time.strftime("%Y-%m-%d")
    box.logs.mkdir()
    for name in (f"app_{today}.log", f"netbird_{today}.log"):
        (box.logs / name).symlink_to(victim)
    (box.data / "netbird-daemon.pid").symlink_to(victim)
    box.start()
    box.wait_for(box.daemon_pids, what="the daemon")
    pid_file = box.data / "netbird-daemon.pid"
    box.wait_for(lambda: not pid_file.is_symlink() and pid_file.read_text().strip().isdigit(), what="the pid file")
    assert victim.read_text() == "keep me\n"
    assert not (box.logs / f"app_{today}.log").is_symlink() and not (box.logs / f"netbird_{today}.log").is_symlink()
    assert f"Replaced a symbolic link or special file at app_{today}.log" in box.app_log()
    assert f"Replaced the symbolic link {pid_file} with a regular file" in box.app_log()

    # A logs directory that is a link is replaced by a real one: nothing is written, compressed or pruned there.
    box.stop()
    (elsewhere := tmp_path / "elsewhere").mkdir()
    (elsewhere / "important_2000-01-01.log").write_text("important\n")
    (elsewhere / "app_2000-01-02.log").write_text("not ours\n")
    box.logs.rename(box.data / "logs.before")
    box.logs.symlink_to(elsewhere)
    box.start()
    assert box.logs.is_dir() and not box.logs.is_symlink()
    assert sorted(p.name for p in elsewhere.iterdir()) == ["app_2000-01-02.log", "important_2000-01-01.log"]
    assert f"Replaced the symbolic link {box.logs} (to {elsewhere}) with a real directory" in box.app_log()


def test_pipes_and_links_to_pipes_planted_for_data_files_neither_hang_nor_are_followed(make_sandbox, tmp_path):
    # No other end of these pipes ever opens: an open or read that waits for one waits for ever.
    box = make_sandbox()
    today = time.strftime("%Y-%m-%d")
    box.logs.mkdir()
    read = ["app.json", "env.json", "tunnel.json", "netbird-daemon.pid", "history.jsonl"]
    elsewhere = tmp_path / "pipe"
    os.mkfifo(elsewhere)
    for planted in ("pipe", "link"):
        for name in read + [f"logs/app_{today}.log", f"logs/netbird_{today}.log"]:
            (box.data / name).unlink(missing_ok=True)
            if planted == "link" and name in read:
                (box.data / name).symlink_to(elsewhere)
            else:
                os.mkfifo(box.data / name)
        box.start()  # waits START_TIMEOUT for the socket: over ten times a start-up (well under 1 s)
        assert box.get("/config").json() == DEFAULTS and f"Ignored {box.data / 'app.json'}: " in box.app_log()
        box.stop()


def test_a_start_up_failure_after_the_daemon_started_exits_1(make_sandbox):
    # Too little address space fails start-up after the daemon's start: logged, exit 1, no daemon left, never abort.
    if not make_sandbox().runs_natively():
        pytest.skip("the address space of a sanitizer build or an emulated binary cannot be limited")
    outcomes = set()
    for mib in range(16, 44, 4):
        box = make_sandbox()
        box.start(wait=False, address_space_kib=mib * 1024)
        try:
            status = box.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            status = "running"  # enough memory after all
        outcomes.add(status)
        if status == 1:
            assert "[E] Exiting after error" in box.app_log() + box.output_path.read_text(errors="replace")
            box.wait_for(lambda: not box.daemon_pids(), what="no daemon left")
        box.stop()
    assert outcomes <= {1, "running"} and 1 in outcomes, outcomes


def test_bad_or_unsaveable_values_are_refused_control_characters_escaped_and_overrides_bounded(sandbox):
    for field, value in [("mtu", "abc"), ("external_ip_map", "1.2.3.4 --evil")]:  # up refuses as config does
        refused = sandbox.post("/config", body={"name": field, "value": value})
        r = sandbox.post("/up", body={field: value, "setup_key": "KEY"})
        assert refused.status == 400 and (r.status, r.json()) == (400, refused.json()), field
    assert not (sandbox.data / "app.json").exists() and list(sandbox.data.glob("setup-key-*")) == []

    # A change that cannot be saved (flash read-only or full: the data directory remounted read-only) is refused.
    sandbox.in_namespace("mount", "--bind", str(sandbox.data), str(sandbox.data))
    sandbox.in_namespace("mount", "-o", "remount,bind,ro", str(sandbox.data))
    try:
        for suffix, form, message in [
                ("/config", {"name": "mtu", "value": "1400"}, "Could not save the settings"),
                ("/up", {"mtu": "1400", "setup_key": "K"}, "Could not save the settings"),
                ("/env", {"name": "NB_LOG_LEVEL", "value": "debug"}, "Could not save the env overrides")]:
            r = sandbox.post(suffix, body=form)
            assert (r.status, r.json()) == (500, {"error": message}), suffix
        assert sandbox.get("/config").json()["mtu"] == 1280 and not sandbox.reports_for("up")
        assert [e for e in sandbox.get("/env").json()["entries"] if not e["system"]] == []
    finally:
        sandbox.in_namespace("umount", "--lazy", str(sandbox.data))  # a status poll's command may hold a file there
    assert sandbox.post("/config", body={"name": "mtu", "value": "1400"}).json()["mtu"] == 1400

    # Control characters cannot forge log records.
    url = "https://x\n[2026-01-01 00:00:00.000] [E] forged"
    assert sandbox.post("/config", body={"name": "management_url", "value": url}).status == 400
    assert sandbox.post("/env", body={"name": "NB_NOTE", "value": "a\r\n[E] forged"}).status == 200
    assert sandbox.post("/down").status == 200
    sandbox.post("/up", body={"setup_key": "K"})
    sandbox.wait_for_log("--management-url")
    log = sandbox.app_log()
    assert not [line for line in log.splitlines() if line.startswith(("[2026-01-01", "[E] forged"))]
    assert "a\\x0d\\n[E] forged" in log

    for i in range(63):  # 64 with NB_NOTE
        assert sandbox.post("/env", body={"name": f"NB_K{i:02}", "value": "x" * 4096}).status == 200
    r = sandbox.post("/env", body={"name": "NB_ONE_MORE", "value": "1"})
    assert (r.status, r.json()) == (400, {"error": "At most 64 env overrides are allowed"})
    assert sandbox.post("/env", body={"name": "NB_NOTE", "value": "x" * 4096}).status == 200  # a change at the limit
    assert len(json.loads((sandbox.data / "env.json").read_text())) == 64
    # The composed environment still fits: every NetBird command starts.
    assert sandbox.post("/down").json()["exit_code"] == 0


def test_watchdog_restart_and_deregister_leave_no_stale_state(make_sandbox):
    box = make_sandbox().start(env={"NB_SIM_DAEMON_EXIT_AFTER": "4"})
    assert box.post("/env", body={"name": "NB_LOG_LEVEL", "value": "debug"}).json()["restart_required"]
    assert box.get("/status").json()["pending_restart"] is True
    box.wait_for_log("VPN service exited, restarting", timeout=90)  # exit after 4 s, seen at the next 5 s poll
    box.wait_for(lambda: box.get("/status").json()["pending_restart"] is False, what="pending_restart cleared")

    # An up queued behind a deregistration that did not reach its server runs after the wipe, with its key.
    box = make_sandbox().start(env={"NB_SIM_DELAY_DEREGISTER": "1", "NB_SIM_DEREGISTER_UNREACHABLE": "1"})
    with ThreadPoolExecutor(1) as pool:
        deregister = pool.submit(box.post, "/deregister", timeout=60)
        time.sleep(0.3)
        up = box.post("/up", body={"setup_key": "NEW-KEY"}, timeout=60).json()
        failed = deregister.result().json()
    assert up["ok"] and (box.data / "config.json").exists(), up
    assert not failed["ok"] and "may still list this peer" in failed["output"], failed


def test_frame_edges_continue_malformed_chunks_and_long_lines(make_sandbox):
    box = make_sandbox()
    box.fake_netbird("#!/usr/bin/python3\nimport sys, time\nif sys.argv[-2:] == ['service', 'run']:\n    sys.stderr"
                     ".write('x' * 100000 + '\\nafter\\n'); sys.stderr.flush(); time.sleep(600)\nsys.exit(1)\n")
    box.start()
    with connect(box) as sock:
        body = b"name=mtu&value=1400"
        sock.sendall(request_bytes("POST", CONFIG, body, headers=[("Expect", "100-continue")])[:-len(body)])
        sock.settimeout(5)  # the answer comes at once; without it a client waits about a second
        assert sock.recv(100).startswith(b"HTTP/1.1 100 Continue\r\n\r\n")
        sock.sendall(body)
        [(status, _, _)], _ = read_responses(sock, 1)
        assert status == 200
    with connect(box) as sock:
        sock.sendall(request_bytes("POST", CONFIG, headers=[("Transfer-Encoding", "chunked")]) + b"zz\r\n")
        [(status, headers, _)], rest = read_responses(sock, 1)
        assert (status, headers.get("connection"), rest) == (400, "close", b"")
    lines = box.wait_for(lambda: [l for l in box.netbird_log().split(b"\n") if b"xxxx" in l], what="the long line")
    assert len(lines[0]) < 17 * 1024 and lines[0].endswith(b" [line truncated]")
    assert b"after" in box.netbird_log()
