"""A request answers the same whole or cut at random (one connection each, and all pipelined on one). An empty
chunked body cut in its last CRLF (a Boost 1.74 parser assertion) is covered for every cut by test_request_input.cpp."""

import fcntl
import os
import random
import struct
import termios
import time

from conftest import API_PREFIX, connect, read_responses, request_bytes

CHUNKED = [("Transfer-Encoding", "chunked")]
BIG = b"name=mtu&value=1400&pad=" + b"x" * 9000

# (method, path below the API prefix, body, headers, whether the answer's body is always the same).
TABLE = [
    ("GET", "/config", b"", (), True),
    ("GET", "/config?x=1&y", b"", (), True),
    ("POST", "/config", b"name=mtu&value=1400", (), True),
    ("POST", "/config", b"c\r\nname=mtu&val\r\n7\r\nue=1400\r\n0\r\n\r\n", CHUNKED, True),
    ("POST", "/config", BIG, (), True),
    ("POST", "/env", b"name=NB_LOG_LEVEL&value=debug", (), True),
    ("GET", "/status", b"", (), False),
    ("POST", "/up", b"mtu=abc&setup_key=K", (), True),
    ("GET", "/logs/tail?source=app", b"", (), True),
    ("GET", "/logs/download?source=app&name=..%2Fapp.json", b"", (), True),
    ("GET", "/nope", b"", (), True),
    ("DELETE", "/config", b"", (), True),
    ("GET", "/up", b"", (), True),
]


def encode(method, path, body, headers):
    data = request_bytes(method, API_PREFIX + path, body if not headers else b"", list(headers))
    return data + body if headers else data


def wait_until_read(sock):
    """Until the server has read everything sent on `sock` (nothing is left queued for it)."""
    deadline = time.monotonic() + 5  # it reads within milliseconds; 5 s for a loaded machine
    while struct.unpack("i", fcntl.ioctl(sock, termios.TIOCOUTQ, b"\0" * 4))[0] and time.monotonic() < deadline:
        time.sleep(0.002)


def answers(box, data, count, rng=None):
    """The answers to `data` sent whole, or cut at random, each piece read before the next is sent."""
    cuts = sorted(rng.sample(range(1, len(data)), min(len(data) - 1, rng.randint(1, 4)))) if rng else []
    with connect(box) as sock:
        for start, end in zip([0] + cuts, cuts + [len(data)]):
            sock.sendall(data[start:end])
            wait_until_read(sock)
        responses, _ = read_responses(sock, count)
    return [(status, body) for status, _, body in responses]


def test_requests_cut_anywhere_get_the_same_answers(sandbox):
    seed = int(os.environ.get("VANTREL_SPLIT_SEED", time.time_ns() % 1000000))
    rng = random.Random(seed)
    for method, path, body, headers, exact in TABLE:
        data = encode(method, path, body, headers)
        whole = answers(sandbox, data, 1)
        cut = answers(sandbox, data, 1, rng)
        if not exact:
            whole, cut = [s for s, _ in whole], [s for s, _ in cut]
        assert whole and cut == whole, (seed, method, path)

    # All of them on one connection, the cuts falling across requests too.
    stream = [row for row in TABLE if row[4]]
    data = b"".join(encode(m, p, b, h) for m, p, b, h, _ in stream)
    whole = answers(sandbox, data, len(stream))
    assert len(whole) == len(stream) and answers(sandbox, data, len(stream), rng) == whole, seed

