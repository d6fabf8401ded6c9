"""The HTTP frame on the API socket: routing, body limit, keep-alive, header limit."""

import socket
import time

import pytest

from conftest import API_PREFIX

CONFIG = API_PREFIX + "/config"


def request_bytes(method, path, body=b"", headers=()):
    head = f"{method} {path} HTTP/1.1\r\nHost: localhost\r\n"
    head += "".join(f"{name}: {value}\r\n" for name, value in headers)
    if method == "POST" and not any(name.lower() == "transfer-encoding" for name, _ in headers):
        head += f"Content-Length: {len(body)}\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    return head.encode() + b"\r\n" + body


def read_responses(sock, count, timeout=15):
    """Reads up to `count` Content-Length framed responses; returns them and any bytes beyond."""
    sock.settimeout(timeout)
    data, out = b"", []
    while len(out) < count:
        head_end = data.find(b"\r\n\r\n")
        if head_end >= 0:
            lines = data[:head_end].decode("latin-1").split("\r\n")
            headers = {k.strip().lower(): v.strip() for k, v in (line.split(":", 1) for line in lines[1:])}
            end = head_end + 4 + int(headers.get("content-length", "0"))
            if len(data) >= end:
                out.append((int(lines[0].split()[1]), headers, data[head_end + 4:end]))
                data = data[end:]
                continue
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        data += chunk
    return out, data


def connect(sandbox):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(str(sandbox.sock_path))
    return sock


@pytest.mark.parametrize("method, path, status, allow", [
    ("GET", API_PREFIX + "/nope", 404, None),
    ("GET", API_PREFIX + "/config/", 404, None),
    ("GET", "/local/vantrel_vpn/api/vpnx/status", 404, None),
    ("GET", API_PREFIX + "/up", 405, "POST"),
    ("POST", API_PREFIX + "/status", 405, "GET"),
    ("DELETE", CONFIG, 405, "GET, POST"),
])
def test_unrouted_requests_get_json_errors(sandbox, method, path, status, allow):
    r = sandbox.request(method, "", raw_path=path, body=b"" if method == "POST" else None)
    assert r.status == status
    assert r.header("Content-Type") == "application/json"
    assert r.json() == {"error": "Not found" if status == 404 else "Method not allowed"}
    if allow:
        assert [m.strip() for m in r.header("Allow").split(",")] == allow.split(", ")


def test_query_string_does_not_stop_route_matching(sandbox):
    assert sandbox.get("/config", query="x=1&y").json()["mtu"] == 1280


BIG = b"name=mtu&value=1400&pad=" + b"x" * (9000 - 24)


def chunked(body, size):
    pieces = [body[i:i + size] for i in range(0, len(body), size)]
    return [f"{len(p):x}\r\n".encode() + p + b"\r\n" for p in pieces] + [b"0\r\n\r\n"]


@pytest.mark.parametrize("mode", [
    "length-at-once", "length-in-pieces", "chunked-at-once",
    "chunked-in-pieces",
])
def test_oversize_body_gets_one_413_and_connection_goes_on(sandbox, mode):
    with connect(sandbox) as sock:
        if mode.endswith("at-once"):
            chunks = b"".join(chunked(BIG, 700)) if mode.startswith("chunked") else b""
            te = [("Transfer-Encoding", "chunked")] if chunks else []
            sock.sendall(request_bytes("POST", CONFIG, chunks or BIG, headers=te))
        else:
            if mode == "chunked-in-pieces":
                sock.sendall(request_bytes("POST", CONFIG, headers=[("Transfer-Encoding", "chunked")]))
                pieces = chunked(BIG, 700)
            else:
                head = request_bytes("POST", CONFIG, BIG)[:-len(BIG)]
                sock.sendall(head)
                pieces = [BIG[i:i + 1000] for i in range(0, len(BIG), 1000)]
            for piece in pieces:
                sock.sendall(piece)
                time.sleep(0.02)  # lets the server see the body as separate reads
        sock.sendall(request_bytes("GET", CONFIG))
        # A working server answers within milliseconds; 8 s allows for a loaded machine.
        responses, rest = read_responses(sock, 2, timeout=8)
    if len(responses) < 2:
        sandbox.proc.kill()  # a wedged event loop would not answer SIGTERM either
    assert [status for status, _, _ in responses] == [413, 200], responses
    _, headers, body = responses[0]
    assert headers["cache-control"] == "no-store"
    assert headers["content-type"] == "application/json"
    assert body == b'{"error":"Payload too large"}'
    assert rest == b""
    assert b'"mtu":1280' in responses[1][2]  # nothing of the refused body was stored


@pytest.mark.parametrize("size, status", [(8192, 200), (8193, 413)])
def test_body_limit_is_8192_bytes(sandbox, size, status):
    body = b"name=mtu&value=1400&pad="
    r = sandbox.post("/config", body=body + b"x" * (size - len(body)),
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert r.status == status
    assert sandbox.get("/config").json()["mtu"] == (1400 if status == 200 else 1280)


def test_pipelined_requests_are_answered_in_order(sandbox):
    with connect(sandbox) as sock:
        sock.sendall(request_bytes("GET", CONFIG) + request_bytes("POST", CONFIG, b"name=mtu&value=1400")
                     + request_bytes("GET", API_PREFIX + "/nope") + request_bytes("GET", CONFIG))
        responses, _ = read_responses(sock, 4)
    assert [status for status, _, _ in responses] == [200, 200, 404, 200]
    assert [b'"mtu":1400' in body for _, _, body in responses] == [False, True, False, True]
    assert all("close" not in headers.get("connection", "") for _, headers, _ in responses)


@pytest.mark.parametrize("pad, status", [(3000, 200), (5000, 431)])
def test_request_header_limit(sandbox, pad, status):
    with connect(sandbox) as sock:
        sock.sendall(request_bytes("GET", CONFIG, headers=[("X-Pad", "a" * pad)]))
        responses, _ = read_responses(sock, 1)
    assert responses and responses[0][0] == status


@pytest.mark.slow
def test_idle_connections_are_closed_but_pending_answers_are_not(make_sandbox):
    box = make_sandbox().start(env={"NB_SIM_DELAY_DOWN": "13"})
    idle, half, waiting = connect(box), connect(box), connect(box)
    half.sendall(b"GET " + CONFIG.encode() + b" HTTP/1.1\r\nHost: x\r\n")  # header never finished
    waiting.sendall(request_bytes("POST", API_PREFIX + "/down"))  # answered after 13 s
    started = time.monotonic()
    for sock in (idle, half):
        sock.settimeout(25)  # closed after 10 s of silence; 25 s allows for a loaded machine
        assert sock.recv(100) == b""
    assert 9 <= time.monotonic() - started < 25
    # Waiting for its own answer is not idleness.
    [(status, _, body)], _ = read_responses(waiting, 1, timeout=30)
    assert status == 200 and b'"ok":true' in body
    for sock in (idle, half, waiting):
        sock.close()
    assert box.get("/config").status == 200
