"""The connection history: what happened to the tunnel, when and why, kept across restarts and kills."""

import os
import signal
import time

from test_vpn_control import daemon_ready, daemon_status


def history(sb, **query):
    r = sb.get("/history", query=query)
    assert r.status == 200 and r.header("Cache-Control") == "no-store", r
    return r.json()


def wait_for_event(sb, predicate, what, timeout=30):
    return sb.wait_for(lambda: [e for e in history(sb)["events"] if predicate(e)], timeout, what=what)


def test_what_happened_to_the_tunnel_and_why(make_sandbox):
    sb = daemon_ready(make_sandbox().start())
    assert sb.post("/up", {"setup_key": "k"}).json()["ok"]
    sb.wait_for(lambda: daemon_status(sb) == "Connected", what="connected")
    # Nothing is written while nothing changes (a poll every 5 s; two of them).
    size = (sb.data / "history.jsonl").stat().st_size
    time.sleep(11)
    assert (sb.data / "history.jsonl").stat().st_size == size

    # NetBird keeps a connected tunnel without its management server, and so does the supervisor.
    sb.post("/env", {"name": "NB_SIM_MGMT_DISCONNECTED", "value": "1"})
    lost = wait_for_event(sb, lambda e: e["kind"] == "management" and not e["facts"]["connected"], "management lost")
    assert lost[0]["text"] == ("Management server unreachable, tunnel kept: "
                               "simulated: management server unreachable: connection refused")  # NetBird's reason
    sb.post("/env", {"name": "NB_SIM_MGMT_DISCONNECTED"})
    wait_for_event(sb, lambda e: e["id"] > lost[0]["id"] and e["kind"] == "management" and e["facts"]["connected"],
                   "management back")
    killed = sb.daemon_pids()
    for pid in killed:
        os.kill(pid, signal.SIGKILL)
    wait_for_event(sb, lambda e: e["kind"] == "daemon_exited" and e["facts"] == {"signal": 9}, "the daemon's end", 60)
    sb.wait_for(lambda: daemon_status(sb) == "Connected", 30, what="reconnected by itself")
    assert len(sb.daemon_pids()) == 1 and not set(sb.daemon_pids()) & set(killed)  # one new daemon
    # The user's reconnect and restart are theirs, no drop or restart; a new daemon that comes back connected is up
    # at once, not "connecting" until something else changes.
    sb.post("/env", {"name": "NB_SIM_CONNECT_DELAY", "value": "0"})
    assert sb.post("/reconnect").json()["ok"] and sb.post("/restart").json()["running"]
    sb.wait_for(lambda: history(sb)["current"]["state"] == "up", 20, what="up again after the restart")
    assert sb.post("/down").json()["ok"]
    wait_for_event(sb, lambda e: e["kind"] == "daemon_state" and e["facts"]["to"] == "Idle", "down")
    body = history(sb)
    events = [(e["kind"], e["text"]) for e in body["events"]]
    assert ("command", "Connect: done (Connected)") in events and ("command", "Disconnect: done (Disconnected)") in events
    assert ("daemon_exited", "NetBird daemon was killed (signal 9)") in events
    assert ("environment", "Environment override set: NB_SIM_MGMT_DISCONNECTED") in events
    day = body["summary"]["day"]
    assert {s["state"] for s in day["segments"]} >= {"up", "down", "not_wanted"}
    assert day["drops"] == 1 and day["daemon_restarts"] == 1 and 0 < day["up_s"] <= day["wanted_s"] <= day["known_s"]
    assert all(e["facts"]["asked"] for e in body["events"] if e["kind"] == "command")
    assert body["current"]["state"] == "not_wanted" and body["summary"]["week"]["drops"] == day["drops"]
    # Newest first; since and limit page through them.
    ids = [e["id"] for e in body["events"]]
    assert ids == sorted(ids, reverse=True) and body["last_id"] == ids[0]
    assert [e["id"] for e in history(sb, since=ids[3])["events"]] == ids[:3]
    assert [e["id"] for e in history(sb, limit=2)["events"]] == ids[:2]
    for query, message in [({"since": "yesterday"}, "since must be an event id or a UTC time"),
                           ({"limit": "0"}, "limit must be an integer between 1 and 1000"),
                           ({"limit": "12x"}, "limit must be an integer between 1 and 1000")]:
        r = sb.get("/history", query=query)
        assert r.status == 400 and r.json()["error"].startswith(message), query

    # It survives a stop, a kill -9 and the half line a kill leaves, and says how the run before ended.
    sb.stop()
    sb.start()
    started = [e for e in history(sb)["events"] if e["kind"] == "supervisor_started"]
    assert started[0]["facts"]["previous"] == "stopped"
    sb.proc.kill()
    sb.proc.wait()
    with open(sb.data / "history.jsonl", "a") as f:
        f.write('{"facts":{},"id":99999,"kind":"comm')
    sb.start()
    after = history(sb, limit=1000)
    started = [e for e in after["events"] if e["kind"] == "supervisor_started"]
    assert started[0]["facts"]["previous"] == "killed or crashed" and len(started) == 3
    assert started[0]["id"] > ids[0] and 99999 not in [e["id"] for e in after["events"]]
    assert set(ids) <= {e["id"] for e in after["events"]}
