"""A request answers the same whole or cut at random positions with pauses between the pieces
(one connection each, and all pipelined on one connection, cut across their boundaries)."""

import os
import random
import time

from conftest import API_PREFIX, connect, read_responses, request_bytes

CHUNKED = [("Transfer-Encoding", "chunked")]
BIG = b"name=mtu&value=1400&pad=" + b"x" * 9000

# (method, path below the API prefix, body, headers, whether the answer's body is always the same).
TABLE = [
    ("GET", "/config", b"", (), True),
    ("GET", "/config?x=1&y", b"", (), True),
    ("POST", "/config", b"name=mtu&value=1400", (), True),
    ("POST", "/config", b"name=mtu&value=9000", (), True),
    ("POST", "/config", b"c\r\nname=mtu&val\r\n7\r\nue=1400\r\n0\r\n\r\n", CHUNKED, True),
    ("POST", "/config", BIG, (), True),
    ("GET", "/env", b"", (), True),
    ("POST", "/env", b"name=NB_LOG_LEVEL&value=debug", (), True),
    ("POST", "/env", b"name=NB_CONFIG&value=x", (), True),
    ("GET", "/status", b"", (), False),
    ("POST", "/up", b"mtu=abc&setup_key=K", (), True),
    ("GET", "/logs/list", b"", (), False),
    ("GET", "/logs/tail?source=app", b"", (), True),
    ("GET", "/logs/download?source=app&name=..%2Fapp.json", b"", (), True),
    ("GET", "/storage", b"", (), False),
    ("GET", "/iperf/server/status", b"", (), True),
    ("POST", "/iperf/server/start", b"port=80", (), True),
    ("GET", "/nope", b"", (), True),
    ("DELETE", "/config", b"", (), True),
    ("GET", "/up", b"", (), True),
]


def encode(method, path, body, headers):
    data = request_bytes(method, API_PREFIX + path, body if not headers else b"", list(headers))
    return data + body if headers else data


def send_in_pieces(sock, data, rng):
    cuts = sorted(rng.sample(range(1, len(data)), min(len(data) - 1, rng.randint(1, 4))))
    for start, end in zip([0] + cuts, cuts + [len(data)]):
        sock.sendall(data[start:end])
        time.sleep(rng.uniform(0.01, 0.06))  # the server reads each piece on its own


def answers(box, data, count, rng=None):
    with connect(box) as sock:
        if rng:
            send_in_pieces(sock, data, rng)
        else:
            sock.sendall(data)
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
