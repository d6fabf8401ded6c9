"""The HTTP frame on the API socket: routing, body limit, keep-alive, header limit, idle time-out, memory."""

import contextlib
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

from conftest import API_PREFIX, REPO, connect, read_responses, request_bytes, rss_kib
from test_vpn_control import daemon_ready

CONFIG = API_PREFIX + "/config"
BIG = b"name=mtu&value=1400&pad=" + b"x" * (9000 - 24)


@contextlib.contextmanager
def input_at_once(box):
    """Whatever the client sends meanwhile is all there when the supervisor next looks."""
    box.proc.send_signal(signal.SIGSTOP)
    try:
        yield
    finally:
        box.proc.send_signal(signal.SIGCONT)


def used_connection(box):
    sock = connect(box)
    sock.sendall(request_bytes("GET", CONFIG))
    assert read_responses(sock, 1)[0][0][0] == 200
    return sock


def test_oversize_body_pipelining_errors_header_limit_and_input_that_arrives_together(sandbox):
    # The 8192-byte boundary is unit-tested; here the frame feeds it a chunked body whole or in separate reads.
    head = request_bytes("POST", CONFIG, headers=[("Transfer-Encoding", "chunked")])
    pieces = [f"{len(BIG[i:i + 700]):x}\r\n".encode() + BIG[i:i + 700] + b"\r\n" for i in range(0, len(BIG), 700)]
    pieces.append(b"0\r\n\r\n")
    for at_once in (True, False):
        with connect(sandbox) as sock:
            for piece in [head + b"".join(pieces)] if at_once else [head] + pieces:
                sock.sendall(piece)
                time.sleep(0.02)  # lets the server see the body as separate reads
            sock.sendall(request_bytes("GET", CONFIG + "?x=1&y"))  # the query string does not stop route matching
            responses, rest = read_responses(sock, 2, timeout=8)  # milliseconds when it works; 8 s for load
        if len(responses) < 2:
            sandbox.proc.kill()  # a wedged event loop would not answer SIGTERM either
        assert [status for status, _, _ in responses] == [413, 200], (at_once, responses)
        _, headers, body = responses[0]
        assert (headers["cache-control"], headers["content-type"]) == ("no-store", "application/json")
        assert body == b'{"error":"Payload too large"}' and rest == b""
        assert b'"mtu":1280' in responses[1][2]  # nothing of the refused body was stored

    with connect(sandbox) as sock:
        sock.sendall(b"".join([
            request_bytes("GET", CONFIG), request_bytes("POST", CONFIG, b"name=mtu&value=1400"),
            request_bytes("GET", API_PREFIX + "/nope"), request_bytes("GET", CONFIG + "/"),
            request_bytes("GET", API_PREFIX + "/up"), request_bytes("DELETE", CONFIG), request_bytes("GET", CONFIG)]))
        responses, _ = read_responses(sock, 7)
    assert [status for status, _, _ in responses] == [200, 200, 404, 404, 405, 405, 200]
    assert [b'"mtu":1400' in body for _, _, body in responses] == [False, True, False, False, False, False, True]
    assert all("close" not in headers.get("connection", "") for _, headers, _ in responses)
    for status, headers, body in responses[2:6]:
        assert headers["content-type"] == "application/json"
        assert body == (b'{"error":"Not found"}' if status == 404 else b'{"error":"Method not allowed"}')
    assert [re.split(r", *", h["allow"]) for _, h, _ in responses[4:6]] == [["POST"], ["GET", "POST"]]
    # Far more header than the limit: a client that sends it all still reads the answer.
    for pad, status in [(3000, 200), (5000, 431), (256 << 10, 431)]:
        with connect(sandbox) as sock:
            sock.sendall(request_bytes("GET", CONFIG, headers=[("X-Pad", "a" * pad)]))
            responses, _ = read_responses(sock, 1)
        assert responses and responses[0][0] == status, pad

    # Requests followed at once by the client's end (as `nc -U` sends them): all answered, then closed at once.
    for sock in (connect(sandbox), used_connection(sandbox)):
        with sock:
            with input_at_once(sandbox):
                sock.sendall(request_bytes("GET", CONFIG) + request_bytes("GET", API_PREFIX + "/nope"))
                sock.shutdown(socket.SHUT_WR)
            t0 = time.monotonic()
            responses, rest = read_responses(sock, 2)
            sock.settimeout(30)
            end = sock.recv(1)
        assert [status for status, _, _ in responses] == [200, 404] and rest == end == b""
        assert time.monotonic() - t0 < 5  # milliseconds when it works; 5 s is still half the idle time-out
    # A read stops at descriptors passed along with the input: the rest of the request, already there, is still read.
    request = request_bytes("GET", CONFIG)
    with used_connection(sandbox) as sock, open("/dev/null") as passed:
        with input_at_once(sandbox):
            socket.send_fds(sock, [request[:10]], [passed.fileno()])
            sock.sendall(request[10:])
        responses, _ = read_responses(sock, 1, timeout=5)
    assert responses and responses[0][0] == 200
    # And at a byte sent out of band: it is read in its place, what follows is not left for the idle time-out.
    with used_connection(sandbox) as sock:
        with input_at_once(sandbox):
            try:
                sock.send(request[:-1])
                sock.send(request[-1:], socket.MSG_OOB)
            except OSError:
                pytest.skip("this kernel has no out-of-band data on Unix sockets")
            sock.sendall(request)
        responses, _ = read_responses(sock, 2, timeout=5)
    assert [status for status, _, _ in responses] == [200, 200]


def test_pipelining_behind_a_pending_answer(make_sandbox):
    # Requests behind a command's pending answer wait their turn: each answered once, in order, however much waits.
    box = make_sandbox().start(env={"NB_SIM_DELAY_DOWN": "1"})
    down = request_bytes("POST", API_PREFIX + "/down")
    big = b"name=mtu&value=1400&pad=" + b"x" * (3 << 20)  # more than the frame buffers while waiting
    with connect(box) as sock:
        sock.sendall(down + request_bytes("GET", CONFIG + "?first"))
        first, _ = read_responses(sock, 2, timeout=20)
        sock.sendall(request_bytes("GET", API_PREFIX + "/env"))
        env, _ = read_responses(sock, 1, timeout=10)
        sock.sendall(down)
        sender = threading.Thread(target=sock.sendall, args=(request_bytes("POST", CONFIG, big),))
        sender.start()
        behind_big, rest = read_responses(sock, 2, timeout=20)
        sender.join()
    assert [status for status, _, _ in first + env + behind_big] == [200, 200, 200, 200, 413]
    assert b'"ok":true' in first[0][2] and b'"mtu":1280' in first[1][2]
    assert b'"presets"' in env[0][2] and rest == b""


def test_busy_connections_waiting_together_miss_no_request_and_no_end(sandbox, tmp_path):
    # 16 clients each send their next request the moment an answer arrives: one missed hangs its client
    # (2 s of requests; 60 s tells a hang from a slow machine).
    client = tmp_path / "load"
    subprocess.run(["gcc", "-O2", "-pthread", "-o", str(client), str(REPO / "tools" / "bench_load.c")], check=True)
    out = subprocess.run([str(client), str(sandbox.sock_path), CONFIG, "16", "2", "0"],
                         capture_output=True, text=True, check=True, timeout=60).stdout
    figures = {k: float(v) for k, v in (f.split("=") for f in out.split())}
    assert figures["errors"] == 0 and figures["requests"] > 100, figures
    # Between requests, several open: requests sent together are all answered; an end is seen at once.
    socks = [connect(sandbox) for _ in range(5)]
    for sock in socks:
        sock.sendall(request_bytes("GET", CONFIG))
        assert read_responses(sock, 1)[0][0][0] == 200
    socks[0].sendall(request_bytes("GET", CONFIG) * 2)
    assert [status for status, _, _ in read_responses(socks[0], 2, timeout=10)[0]] == [200, 200]
    socks[1].shutdown(socket.SHUT_WR)
    socks[1].settimeout(10)
    assert socks[1].recv(100) == b""
    socks[2].sendall(request_bytes("GET", CONFIG))  # the others still wait after one ended
    assert read_responses(socks[2], 1, timeout=10)[0][0][0] == 200
    for sock in socks:
        sock.close()


@pytest.mark.slow
def test_idle_connections_are_closed_but_pending_answers_are_not(make_sandbox):
    box = make_sandbox().start(env={"NB_SIM_DELAY_DOWN": "13"})
    half, waiting, trickle = connect(box), connect(box), connect(box)
    idle = used_connection(box)  # between requests among four: waits with the others
    half.sendall(b"GET " + CONFIG.encode() + b" HTTP/1.1\r\nHost: x\r\n")  # header never finished
    waiting.sendall(request_bytes("POST", API_PREFIX + "/down"))  # answered after 13 s
    # A body that would take 50 s: a byte each 0.5 s is progress, but a request must arrive within 10 s + 1 s/KiB.
    trickle.sendall(request_bytes("POST", CONFIG, b"x" * 100)[:-100])

    def drip():
        with contextlib.suppress(OSError):
            for _ in range(100):
                time.sleep(0.5)
                trickle.send(b"x")
    threading.Thread(target=drip, daemon=True).start()
    started = time.monotonic()
    for sock in (idle, half, trickle):
        sock.settimeout(100)  # closed after 10 s, never before; 100 s only tells "late" from "never"
        with contextlib.suppress(ConnectionResetError):  # closed with input unread
            assert sock.recv(100) == b""
        assert 9 <= time.monotonic() - started
    # Waiting for its own answer is not idleness.
    [(status, _, body)], _ = read_responses(waiting, 1, timeout=30)
    assert status == 200 and b'"ok":true' in body
    for sock in (idle, half, waiting, trickle):
        sock.close()
    assert box.get("/config").status == 200


def test_slow_readers_hold_a_bounded_amount_of_memory(make_sandbox):
    # 200 clients read nothing of 250 kB answers (3x the 16 MiB bound): those with least progress are dropped.
    box = make_sandbox()
    if not box.runs_natively():
        pytest.skip("the RSS of a sanitized or emulated build says nothing of the frame's own memory")
    peers, readers, bound = 5000, 200, 16 << 20
    daemon_ready(box.start(env={"NB_SIM_PEERS": str(peers)}))
    assert box.post("/up", {"setup_key": "k-memory"}).json()["ok"] is True
    box.wait_for(lambda: b'"matched":%d' % peers in box.get("/status?peers=page&limit=1").body,
                 30, what=f"{peers} peers in the report")
    snapshot = len(box.get("/status").body)
    page = API_PREFIX + "/status?peers=page&limit=500&sort=name&offset="
    idle = rss_kib(box.proc.pid) << 10
    peak, socks = idle, []
    try:
        for i in range(readers):
            socks.append(connect(box))
            socks[-1].sendall(request_bytes("GET", page + str(i)))
        # Each answer has begun: all are made, and all but what its socket took waits in the supervisor.
        for sock in socks[:-1]:
            sock.settimeout(10)
            assert sock.recv(16).startswith(b"HTTP/1.1 200")
            peak = max(peak, rss_kib(box.proc.pid) << 10)
        # The last one made the most progress: it is kept, and reads its whole answer.
        [(status, _, body)], _ = read_responses(socks[-1], 1, timeout=10)
        assert status == 200 and body.count(b'"iceCandidateType"') == 500
        peak = max(peak, rss_kib(box.proc.pid) << 10)
    finally:
        for sock in socks:
            sock.close()
    # Idle, the bound, two snapshots (next and kept), each connection's buffers, 4 MiB allocator (unbounded: 50 MB).
    limit = idle + bound + 2 * snapshot + readers * (32 << 10) + (4 << 20)
    assert peak <= limit, f"RSS {peak >> 20} MiB, idle {idle >> 20} MiB, limit {limit >> 20} MiB"
