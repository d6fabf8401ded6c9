"""GET/POST /config (app.json) and /env (env.json): rules are unit-tested; one case of each kind over the socket."""

import json
import os
import pwd
import random

DEFAULTS = {"external_ip_map": "", "interface_name": "wt0", "log_level": "info", "log_retention_days": 30,
            "management_url": "", "mtu": 1280, "watchdog_enabled": True, "watchdog_timeout": 300,
            "wireguard_port": 51820}


def test_config_and_env_defaults_overrides_and_log_level(make_sandbox):
    # A static NetBird takes its user from /etc/passwd, else from $USER and $HOME: it gets them from the application.
    sandbox = make_sandbox().start(env={"NB_SIM_NO_PASSWD_ENTRY": "1", "USER": "", "LOGNAME": ""}, syslog=True)
    r = sandbox.get("/config")
    assert (r.status, r.header("Content-Type"), r.header("Cache-Control")) == (200, "application/json", None)
    assert r.body == json.dumps(DEFAULTS, separators=(",", ":"), sort_keys=True).encode()
    r = sandbox.get("/env")
    assert r.status == 200 and r.header("Content-Type") == "application/json"
    # HOME, XDG_CONFIG_HOME, USER, LOGNAME and TMPDIR are applied to NetBird but not shown.
    assert r.json()["entries"] == [
        {"name": "NB_USE_NETSTACK_MODE", "value": "true", "system": True},
        {"name": "NB_ENABLE_NETSTACK_LOCAL_FORWARDING", "value": "true", "system": True},
        {"name": "NB_LOG_MAX_SIZE_MB", "value": "5", "system": True},
        {"name": "NB_STATE_DIR", "value": str(sandbox.data), "system": True}]
    assert r.json()["presets"] == [
        {"name": "NB_LOG_LEVEL", "description": "Set NetBird log level.", "default_value": "info"},
        {"name": "NB_FORCE_RELAY", "description": "Force relay connections.", "default_value": "true"},
        {"name": "NB_LAZY_CONN_INACTIVITY_THRESHOLD",
         "description": "Idle minutes before a lazy connection closes.", "default_value": "15"}]

    def set_env(name, value=None):
        return sandbox.post("/env", body={"name": name} if value is None else {"name": name, "value": value})

    def pending_restart():
        return sandbox.get("/status").json()["pending_restart"]

    # NetBird reads every NB_<FLAG> variable as that flag: none of the supervisor's own may be replaced that way.
    refused = [("", "Missing env name"), ("NB_STATE_DIR", "Env key is read-only"),
               ("NB_SETUP_KEY", "A setup key is given once when enrolling, never stored"),
               ("NB_PROFILE", "NB_PROFILE would move NetBird to a configuration this application does not manage"),
               ("NB_LOG_LEVEL", "NB_LOG_LEVEL must be one of panic, fatal, error, warn, warning, info, debug, trace")]
    for name, message in refused:
        r = set_env(name, "x")
        assert (r.status, r.json(), r.header("Content-Type")) == (400, {"error": message}, "application/json")
    assert not (sandbox.data / "env.json").exists() and "NetBird env override" not in sandbox.app_log()
    assert not pending_restart()
    set_line = "NetBird env override set: NB_LOG_LEVEL="
    r = set_env("NB_LOG_LEVEL", "debug")
    assert r.text == '{"applies_at":"restart","env":{"NB_LOG_LEVEL":"debug"},"ok":true,"restart_required":true}'
    assert json.loads((sandbox.data / "env.json").read_text()) == {"NB_LOG_LEVEL": "debug"}
    sandbox.wait_for_log(set_line + "debug")
    assert pending_restart()
    # A restart clears the flag; repeating the same value neither logs nor sets it again.
    assert sandbox.post("/restart").json() == {"running": True}
    assert set_env("NB_LOG_LEVEL", "debug").json()["restart_required"] is True
    assert not pending_restart() and sandbox.app_log().count(set_line) == 1
    # An empty value removes; so does a missing value field (nothing left to remove then).
    assert set_env("NB_LOG_LEVEL", "").json() == {"applies_at": "restart", "env": {}, "ok": True,
                                                  "restart_required": True}
    assert json.loads((sandbox.data / "env.json").read_text()) == {}
    sandbox.wait_for_log("NetBird env override removed: NB_LOG_LEVEL")
    assert pending_restart()
    sandbox.post("/restart")
    assert set_env("NB_LOG_LEVEL").json()["env"] == {}
    assert sandbox.app_log().count("NetBird env override removed:") == 1 and not pending_restart()

    # A flag of up's own is read by up, not by the daemon: it waits for the next connect, and a reconnect applies it.
    assert sandbox.post("/up", body={"setup_key": "K"}, timeout=60).json()["ok"]
    env = sandbox.reports_for("up")[-1]["env"]
    assert env["USER"] == env["LOGNAME"] == pwd.getpwuid(os.geteuid()).pw_name
    r = set_env("NB_BLOCK_INBOUND", "true").json()
    assert (r["applies_at"], r["restart_required"]) == ("next_connect", False)
    st = sandbox.get("/status").json()
    assert (st["pending_reconnect"], st["pending_restart"]) == (True, False)
    assert sandbox.post("/reconnect", timeout=60).json()["ok"]
    assert sandbox.reports_for("up")[-1]["env"]["NB_BLOCK_INBOUND"] == "true"
    assert sandbox.get("/status").json()["pending_reconnect"] is False

    # A secret reaches NetBird but never comes back: the answers say only that it is set.
    assert set_env("NB_PRESHARED_KEY", "psk-S3CRET").json()["env"] == {"NB_BLOCK_INBOUND": "true",
                                                                      "NB_PRESHARED_KEY": None}
    entry = sandbox.get("/env").json()["entries"][-1]
    assert entry == {"name": "NB_PRESHARED_KEY", "secret": True, "system": False, "value": None}
    assert "psk-S3CRET" not in sandbox.app_log() + sandbox.get("/env").text
    assert (sandbox.data / "env.json").stat().st_mode & 0o777 == 0o600  # the file holding it is the owner's alone

    # The log level applies from the next line.
    assert sandbox.post("/config", body={"name": "log_level", "value": "warning"}).status == 200
    sandbox.post("/config", body={"name": "mtu", "value": "1400"})
    sandbox.post("/config", body={"name": "log_level", "value": "debug"})
    log = sandbox.app_log()
    assert "[I] App setting changed: log_level=warning" in log  # still logged under the old level
    assert "mtu=1400" not in log and "log_level=debug" not in log
    # iperf3's output lines are debug records, sent to syslog at priority 6 (whether iperf3 binds does not matter).
    sandbox.post("/iperf/server/start", body={"port": str(random.randint(20000, 60000))})
    sandbox.wait_for(lambda: any(m.startswith("[D] [iperf3] ") for _, m in sandbox.syslog.parsed()),
                     what="debug syslog")
    assert {p for p, m in sandbox.syslog.parsed() if m.startswith("[D] ")} == {6}
    assert not any("mtu=1400" in m for _, m in sandbox.syslog.parsed())


def test_set_refused_accepted_and_reset_values(make_sandbox):
    box = make_sandbox()
    # Members of others stay; a URL NetBird refuses (an older version took any text) is kept as it is.
    (box.data / "app.json").write_text('{"theme": {"dark": [1, 2]}, "mtu": 1400, "management_url": "m.example:443"}')
    expected = {**DEFAULTS, "mtu": 1400, "management_url": "m.example:443"}
    box.start()
    # ...but named as a problem, and no up runs with it.
    problems = box.get("/status").json()["problems"]
    assert len(problems) == 1 and "management URL" in problems[0]
    r = box.post("/up", body={"setup_key": "K"})
    assert (r.status, r.json()) == (400, {"error": problems[0]}) and box.reports_for("up") == []
    # Each value's message is unit-tested (test_config_utils.cpp): one of them goes over the socket.
    for form, message in [({"name": "mtu", "value": "9000"}, "mtu must be an integer between 576 and 8192"),
                          ({"name": "enable_lazy_connection", "value": "true"}, "Invalid config key"),
                          ({"name": "", "value": "1"}, "Missing config name"), ({"value": "1"}, "Missing config name")]:
        r = box.post("/config", body=form)
        assert (r.status, r.json(), r.header("Content-Type")) == (400, {"error": message}, "application/json")
    assert "App setting" not in box.app_log() and box.get("/config").json() == expected
    assert json.loads((box.data / "app.json").read_text()) == {"theme": {"dark": [1, 2]}, "mtu": 1400,
                                                               "management_url": "m.example:443"}
    for name, value, stored in [("mtu", "1300abc", 1300), ("watchdog_enabled", "false", False),
                                ("management_url", "http://m.example:33073", "http://m.example:33073")]:
        for _ in range(2):  # the same value again is not a change
            r = box.post("/config", body={"name": name, "value": value})
            expected[name] = stored
            assert r.status == 200 and r.json() == expected
        file = json.loads((box.data / "app.json").read_text())
        assert file[name] == stored and type(file[name]) is type(stored)  # 1300, never "1300" or 1300.0
        assert box.app_log().count(f"App setting changed: {name}={value}") == 1
    assert box.app_log().count("App setting changed: ") == 3 and "problems" not in box.get("/status").json()
    # An empty or a missing value resets (erases) the member; nothing left to erase: no second line.
    for form in [{"name": "mtu", "value": ""}, {"name": "mtu"}]:
        assert box.post("/config", body=form).json()["mtu"] == 1280
    assert box.app_log().count("App setting reset: mtu") == 1
    assert json.loads((box.data / "app.json").read_text()) == {
        "theme": {"dark": [1, 2]}, "watchdog_enabled": False, "management_url": "http://m.example:33073"}


