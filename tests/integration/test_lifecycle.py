"""Start-up, daily log upkeep, syslog records and shutdown of the supervisor."""

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
def test_signal_shuts_down_cleanly_while_commands_are_logged(make_sandbox, signum):
    # Commands are being logged as the signal arrives: ending the process must not race with it (two tries each).
    for _ in range(2):
        box, stop = make_sandbox().start(env={"NB_SIM_STOP_WAIT": "0.2"}), threading.Event()

        def hammer():
            while not stop.is_set():
                try:
                    box.post("/down", timeout=5)
                except OSError:
                    return
        clients = [threading.Thread(target=hammer) for _ in range(3)]
        for client in clients:
            client.start()
        try:
            box.wait_for(lambda: box.app_log().count("Running command") >= 5, what="commands running")
            box.proc.send_signal(signum)
            assert box.wait_exit() == 0
        finally:
            stop.set()
            for client in clients:
                client.join()
        log = box.app_log()
        assert f"[I] Signal {int(signum)} received, shutting down" in log and "Exiting gracefully" not in log
        assert box.daemon_pids() == []  # stopped before the supervisor exits, not after


def test_start_replaces_a_stale_socket_keeps_data_private_and_compresses_and_prunes_logs(make_sandbox):
    # The naming, cut-off and wrong-clock rules are unit-tested; this checks when they are applied.
    box = make_sandbox()
    box.logs.mkdir()
    box.sock_path.parent.mkdir()
    box.sock_path.write_text("left over from an earlier run")
    box.data.chmod(0o755)  # as an older version left it: NetBird's control socket in it is open to everyone
    day = lambda back: datetime.date.today() - datetime.timedelta(days=back)  # noqa: E731
    (box.data / "app.json").write_text(json.dumps({"log_retention_days": 3}))
    plain = {f"app_{day(1)}.log": b"app yesterday\n" * 500, f"netbird_{day(2)}.log": b"daemon\n",
             "app_1970-01-02.log": b"unset clock\n"}
    doomed = {f"app_{day(3)}.log.gz": b"old", f"netbird_{day(8)}.log": b"old"}
    for name, data in {**plain, **doomed}.items():
        (box.logs / name).write_bytes(data)
    os.utime(box.logs / "app_1970-01-02.log", (86400, 86400))  # written by the unset clock: its age starts now
    box.start(umask=0o077)
    # The API socket replaces the stale file and is world-writable; the data stays private.
    mode = box.sock_path.stat().st_mode
    assert stat.S_ISSOCK(mode) and stat.S_IMODE(mode) == 0o666
    assert stat.S_IMODE(box.data.stat().st_mode) == 0o700
    for name, data in plain.items():
        assert gzip.decompress((box.logs / (name + ".gz")).read_bytes()) == data
    assert not any((box.logs / name).exists() for name in [*plain, *doomed])
    assert box.post("/config", body={"name": "log_retention_days", "value": "2"}).json()["log_retention_days"] == 2
    assert sorted(p.name for p in box.logs.glob("*.gz")) == ["app_1970-01-02.log.gz", f"app_{day(1)}.log.gz"]


def test_syslog_records_carry_level_letter_and_priority(make_sandbox):
    box = make_sandbox()
    (box.data / "logs").write_text("not a directory")  # file logging degrades to syslog only
    box.start(syslog=True)
    expected = [(6, "[I] -------------------- Application start --------------------"),
                (6, "[I] API server listening on /run/http/vantrel_vpn/api.sock")]
    box.wait_for(lambda: all(record in box.syslog.parsed() for record in expected), what="syslog records")
    warnings = [(p, m) for p, m in box.syslog.parsed() if m.startswith("[W] ")]
    assert warnings[0][1].startswith(f"[W] Unable to create log directory {box.logs}: ")
    assert {p for p, _ in warnings} == {4}
    assert box.get("/config").status == 200


# An unusable data directory is fatal (1); a socket that cannot be made ends gracefully (0); no daemon is left.
@pytest.mark.parametrize("blocked, status, records", [
    ("app/localdata", 1, [(3, "[E] Standard exception: Unable to create localdata directory"),
                          (3, "[E] Exiting after error")]),
    ("run_http/vantrel_vpn", 0, [(3, "[E] Failed to listen on /run/http/vantrel_vpn/api.sock"),
                                 (6, "[I] Exiting gracefully")]),
])
def test_start_failure_exit_status(make_sandbox, blocked, status, records):
    box = make_sandbox()
    if (box.root / blocked).exists():
        (box.root / blocked).rmdir()
    (box.root / blocked).write_text("not a directory")
    box.start(syslog=True, wait=False)
    try:
        code = box.wait_exit(timeout=8)  # exiting takes milliseconds; 8 s allows for a loaded machine
    except subprocess.TimeoutExpired:
        box.proc.kill()  # SIGTERM would not help a process stuck in a destructor
        code = None
    box.wait_for(lambda: records[-1] in box.syslog.parsed(), what="closing record")
    assert [r for r in box.syslog.parsed() if r in records or r[1].startswith("[E] ")] == records
    assert (code, box.daemon_pids()) == (status, [])
