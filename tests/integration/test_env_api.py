"""GET/POST /env: the NetBird environment overrides kept in env.json."""

import json

import pytest


def env_file(box):
    return json.loads((box.data / "env.json").read_text())


def set_env(box, name, value=None):
    body = {"name": name} if value is None else {"name": name, "value": value}
    return box.post("/env", body=body)


def pending_restart(box):
    return box.get("/status").json()["pending_restart"]


def test_get_env_lists_visible_system_entries_and_presets(sandbox):
    r = sandbox.get("/env")
    assert r.status == 200
    assert r.header("Content-Type") == "application/json"
    body = r.json()
    data = str(sandbox.data)
    # HOME and XDG_CONFIG_HOME are applied to NetBird but not shown.
    assert body["entries"] == [
        {"name": "NB_USE_NETSTACK_MODE", "value": "true", "system": True},
        {"name": "NB_ENABLE_NETSTACK_LOCAL_FORWARDING", "value": "true", "system": True},
        {"name": "NB_LOG_MAX_SIZE_MB", "value": "5", "system": True},
        {"name": "NB_STATE_DIR", "value": data, "system": True},
    ]
    assert body["presets"] == [
        {"name": "NB_LOG_LEVEL", "description": "Set NetBird log level.", "default_value": "info"},
        {"name": "NB_FORCE_RELAY", "description": "Force relay connections.", "default_value": "true"},
        {"name": "NB_LAZY_CONN_INACTIVITY_THRESHOLD",
         "description": "Idle timeout before a lazy connection closes.", "default_value": "15m"},
    ]
    # Compact, keys sorted.
    assert r.text.startswith('{"entries":[{"name":"NB_USE_NETSTACK_MODE","system":true,"value":"true"}')


def test_override_set_repeat_change_and_remove_while_daemon_runs(sandbox):
    set_line = "NetBird env override set: NB_LOG_LEVEL="
    assert not pending_restart(sandbox)

    r = set_env(sandbox, "NB_LOG_LEVEL", "debug")
    assert r.status == 200
    assert r.text == '{"env":{"NB_LOG_LEVEL":"debug"},"ok":true,"restart_required":true}'
    assert (sandbox.data / "env.json").read_text() == '{\n  "NB_LOG_LEVEL": "debug"\n}\n'
    sandbox.wait_for_log(set_line + "debug")
    assert pending_restart(sandbox)

    # A restart clears the flag; repeating the same value neither logs nor sets it again.
    assert sandbox.post("/restart").json() == {"running": True}
    assert not pending_restart(sandbox)
    r = set_env(sandbox, "NB_LOG_LEVEL", "debug")
    assert r.json() == {"env": {"NB_LOG_LEVEL": "debug"}, "ok": True, "restart_required": True}
    assert not pending_restart(sandbox)
    assert sandbox.app_log().count(set_line) == 1

    r = set_env(sandbox, "NB_LOG_LEVEL", "trace")
    assert r.json()["env"] == {"NB_LOG_LEVEL": "trace"}
    sandbox.wait_for_log(set_line + "trace")
    assert pending_restart(sandbox)

    entries = sandbox.get("/env").json()["entries"]
    assert entries[-1] == {"name": "NB_LOG_LEVEL", "value": "trace", "system": False}

    # An empty value removes; so does a missing value field (nothing left to remove then).
    sandbox.post("/restart")
    r = set_env(sandbox, "NB_LOG_LEVEL", "")
    assert r.json() == {"env": {}, "ok": True, "restart_required": True}
    assert env_file(sandbox) == {}
    sandbox.wait_for_log("NetBird env override removed: NB_LOG_LEVEL")
    assert pending_restart(sandbox)
    sandbox.post("/restart")
    assert set_env(sandbox, "NB_LOG_LEVEL").json()["env"] == {}
    assert sandbox.app_log().count("NetBird env override removed:") == 1
    assert not pending_restart(sandbox)


def test_override_without_daemon_requires_no_restart(make_sandbox):
    box = make_sandbox()
    (box.lib / "netbird").unlink()
    box.start()
    r = set_env(box, "NB_LOG_LEVEL", "debug")
    assert r.json() == {"env": {"NB_LOG_LEVEL": "debug"}, "ok": True, "restart_required": False}
    assert not pending_restart(box)


@pytest.mark.parametrize("name,message", [
    ("", "Missing env name"),
    ("nb_log_level", "Invalid env key"),
    ("NB-LOG", "Invalid env key"),
    ("NB", "Invalid env key"),
    ("HOME", "Invalid env key"),
    ("NB_LOG.LEVEL", "Invalid env key"),
    ("NB_MTU", "Use Tunnel settings for this NetBird flag"),
    ("NB_WIREGUARD_PORT", "Use Tunnel settings for this NetBird flag"),
    ("NB_CONFIG", "Env key is read-only"),
    ("NB_STATE_DIR", "Env key is read-only"),
])
def test_refused_keys_store_nothing(sandbox, name, message):
    before = sandbox.get("/env").text
    r = set_env(sandbox, name, "x")
    assert r.status == 400
    assert r.header("Content-Type") == "application/json"
    assert r.json() == {"error": message}
    assert sandbox.get("/env").text == before
    assert not (sandbox.data / "env.json").exists()
    assert "NetBird env override" not in sandbox.app_log()


def test_form_decoding_and_shortest_valid_key(sandbox):
    r = sandbox.post("/env", body="name=NB_&value=a%3Db+c%2F%zz")
    assert r.status == 200
    assert r.json()["env"] == {"NB_": "a=b c/%zz"}
    assert env_file(sandbox) == {"NB_": "a=b c/%zz"}


def test_oversized_body_is_refused(sandbox):
    r = sandbox.post("/env", body="name=NB_X&value=" + "v" * 9000)
    assert r.status == 413
    assert r.json() == {"error": "Payload too large"}
    assert not (sandbox.data / "env.json").exists()


def test_secret_values_are_not_logged(make_sandbox):
    box = make_sandbox().start(syslog=True)
    names = ["NB_SETUP_KEY", "NB_API_TOKEN", "NB_CLIENT_SECRET", "NB_PROXY_PASSWORD"]
    for i, name in enumerate(names):
        r = set_env(box, name, f"hush{i}value")
        assert r.json()["env"][name] == f"hush{i}value"
    box.wait_for(lambda: box.app_log().count("=<redacted>") == len(names), what="redacted lines")
    for name in names:
        assert f"NetBird env override set: {name}=<redacted>" in box.app_log()

    def syslog_text():
        return "\n".join(msg for _, msg in box.syslog.parsed())

    box.wait_for(lambda: "NB_PROXY_PASSWORD=<redacted>" in syslog_text(), what="syslog record")
    assert "hush" not in box.app_log() and "hush" not in syslog_text()
