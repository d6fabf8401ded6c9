"""Start-up, persisted state, daily log upkeep, syslog records and shutdown of the supervisor."""

import datetime
import gzip
import json
import os
import signal
import stat
import subprocess
import threading

import pytest


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_signal_shuts_down_cleanly(sandbox, signum):
    sandbox.wait_for(sandbox.daemon_pids, what="NetBird daemon")
    sandbox.signal(signum)
    assert sandbox.wait_exit() == 0
    log = sandbox.app_log()
    assert f"[I] Signal {int(signum)} received, shutting down" in log
    assert "Exiting gracefully" not in log
    assert sandbox.daemon_pids() == []  # stopped before the supervisor exits, not after


def test_shutdown_exits_zero_while_other_threads_log(make_sandbox):
    # The command worker logs "Running command" for every queued /down while
    # the signal arrives; ending the process must not race with it.
    for _ in range(4):
        box = make_sandbox().start()
        stop = threading.Event()

        def hammer():
            while not stop.is_set():
                try:
                    box.post("/down", timeout=5)
                except OSError:
                    return

        clients = [threading.Thread(target=hammer) for _ in range(3)]
        for client in clients:
            client.start()
        box.wait_for(lambda: box.app_log().count("Running command") >= 5, what="commands running")
        box.signal(signal.SIGTERM)
        try:
            assert box.wait_exit() == 0
        finally:
            stop.set()
            for client in clients:
                client.join()
        assert box.daemon_pids() == []


@pytest.mark.parametrize("stale_file", [False, True])
def test_api_socket_is_world_writable_and_replaces_stale_file(make_sandbox, stale_file):
    box = make_sandbox()
    if stale_file:
        box.sock_path.parent.mkdir()
        box.sock_path.write_text("left over from an earlier run")
    box.start(umask=0o077)
    mode = box.sock_path.stat().st_mode
    assert stat.S_ISSOCK(mode) and stat.S_IMODE(mode) == 0o666
    assert box.get("/config").status == 200


def test_setup_key_is_dropped_from_settings_at_start(make_sandbox):
    box = make_sandbox()
    secret = "SETUPKEY-7F3A9C11-DO-NOT-KEEP"
    settings = {"mtu": 1400, "theme": {"colours": ["dark", 2]}, "log_level": "info"}
    (box.data / "app.json").write_text(json.dumps({**settings, "setup_key": secret}))
    box.start(syslog=True)
    assert json.loads((box.data / "app.json").read_text()) == settings
    assert box.get("/config").json()["mtu"] == 1400
    box.stop()
    everything = box.app_log() + box.netbird_log().decode("utf-8", "replace")
    everything += "".join(message for _, message in box.syslog.parsed())
    assert secret not in everything


@pytest.mark.parametrize("content, kept", [
    ({"NB_LOG_LEVEL": "debug", "NB_STATE_DIR": "/elsewhere", "NB_MTU": "1400", "NB_COUNT": 5},
     {"NB_LOG_LEVEL": "debug"}),
    ({"NB_LOG_LEVEL": "debug", "NB_COUNT": 5}, None),
])
def test_refused_env_overrides_are_dropped_at_start(make_sandbox, content, kept):
    box = make_sandbox()
    env_path = box.data / "env.json"
    env_path.write_text(json.dumps(content))
    os.utime(env_path, (1_000_000_000, 1_000_000_000))
    box.start()
    if kept is None:
        assert env_path.stat().st_mtime == 1_000_000_000 and json.loads(env_path.read_text()) == content
    else:
        assert env_path.read_text() == json.dumps(kept, indent=2) + "\n"
    assert box.get("/env").status == 200


@pytest.mark.parametrize("retention", [None, 3])
def test_start_compresses_past_days_and_prunes_old_ones(make_sandbox, retention):
    box = make_sandbox()
    box.logs.mkdir()
    keep = retention or 30
    day = lambda back: datetime.date.today() - datetime.timedelta(days=back)  # noqa: E731
    if retention:
        (box.data / "app.json").write_text(json.dumps({"log_retention_days": retention}))
    plain = {f"app_{day(1)}.log": b"app yesterday\n" * 500, f"netbird_{day(keep - 1)}.log": b"daemon\n"}
    doomed = [f"app_{day(keep)}.log.gz", f"netbird_{day(keep + 5)}.log"]
    for name, data in plain.items():
        (box.logs / name).write_bytes(data)
    for name in doomed:
        (box.logs / name).write_bytes(b"old")
    client_log = box.data / "client.log"
    client_log.write_bytes(b"daemon's own log\n")
    (box.data / f"client-{day(keep + 40)}.log.gz").write_bytes(b"archive")
    box.start()
    for name, data in plain.items():
        assert not (box.logs / name).exists()
        assert gzip.decompress((box.logs / (name + ".gz")).read_bytes()) == data
    assert not any((box.logs / name).exists() for name in doomed)
    assert not list(box.logs.glob("*.tmp"))
    assert (box.logs / f"app_{day(0)}.log").exists()
    assert client_log.read_bytes().startswith(b"daemon's own log\n")  # the daemon appends; nobody else touches it
    assert (box.data / f"client-{day(keep + 40)}.log.gz").read_bytes() == b"archive"


def test_syslog_records_carry_level_letter_and_priority(make_sandbox):
    box = make_sandbox()
    (box.data / "logs").write_text("not a directory")  # file logging degrades to syslog only
    box.start(syslog=True)
    expected = [(6, "[I] -------------------- Application start --------------------"),
                (6, "[I] API server listening on /run/http/vantrel_vpn/api.sock")]
    box.wait_for(lambda: all(record in box.syslog.parsed() for record in expected), what="syslog records")
    warnings = [m for p, m in box.syslog.parsed() if m.startswith("[W] ")]
    assert warnings and warnings[0].startswith(f"[W] Unable to create log directory {box.logs}: ")
    assert all(p == 4 for p, m in box.syslog.parsed() if m.startswith("[W] "))
    assert box.get("/config").status == 200


def test_uncreatable_data_directory_is_fatal(make_sandbox):
    box = make_sandbox()
    box.data.rmdir()
    box.data.write_text("a file where the data directory belongs")
    box.start(syslog=True, wait=False)
    assert box.wait_exit() == 1
    box.wait_for(lambda: any("Exiting after error" in m for _, m in box.syslog.parsed()), what="syslog")
    errors = [(p, m) for p, m in box.syslog.parsed() if m.startswith("[E] ")]
    assert errors == [(3, "[E] Standard exception: Unable to create localdata directory"),
                      (3, "[E] Exiting after error")]
    assert box.daemon_pids() == []


def test_listen_failure_exits_gracefully(make_sandbox):
    box = make_sandbox()
    (box.run_http / "vantrel_vpn").write_text("not a directory")
    box.start(wait=False)
    box.wait_for(lambda: "Exiting gracefully" in box.app_log(), what="closing line")
    log = box.app_log()
    failed = log.find("[E] Failed to listen on /run/http/vantrel_vpn/api.sock")
    assert 0 <= failed < log.find("[I] Exiting gracefully")
    assert box.daemon_pids() == []
    try:
        status = box.wait_exit(timeout=8)  # exiting takes milliseconds; 8 s allows for a loaded machine
    except subprocess.TimeoutExpired:
        box.proc.kill()  # SIGTERM would not help a process stuck in a destructor
        status = None
    assert status == 0
