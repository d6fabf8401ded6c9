"""GET /status with a query: the light form and pages of peers, of a network a page is a small part of."""

import json
import re

from test_vpn_control import daemon_ready

PEERS = 1200


def aged_alike(network, suffix):
    """The answer with the report's age set to 0: it grows between two reads of one poll."""
    return re.sub(rb'"report_age_ms":\d+,', b'"report_age_ms":0,', network.get(suffix).body, count=1)


def test_queries_keep_the_answer_trim_only_the_peers_and_refuse_bad_values(make_sandbox):
    network = daemon_ready(make_sandbox().start(env={"NB_SIM_PEERS": str(PEERS)}))
    assert network.post("/up", {"setup_key": "k-network"}).json()["ok"] is True
    network.wait_for(lambda: len((network.get("/status").json().get("status") or {}).get("peers", {})
                                 .get("details") or []) == PEERS, 30, what=f"{PEERS} peers in the report")
    # Fetched in a row, they describe one poll unless one ends between them: retry until the full answer holds.
    for _ in range(10):
        full = aged_alike(network, "/status")
        light = aged_alike(network, "/status?peers=none")
        page = aged_alike(network, "/status?peers=page&offset=10&limit=25&sort=name")
        if aged_alike(network, "/status") == full:
            break
    full_doc, light_doc, page_doc = (json.loads(b) for b in (full, light, page))
    assert len(light) < len(full) / 50 and len(page) < len(full) / 20

    peers = full_doc["status"]["peers"]
    del peers["details"]
    assert light_doc == full_doc
    # Key order and spacing are those of the full answer.
    assert light == json.dumps(full_doc, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()

    assert page_doc.pop("peers_page") == {"limit": 25, "matched": PEERS, "offset": 10, "total": PEERS}
    shown = page_doc["status"]["peers"].pop("details")
    assert page_doc == full_doc
    natural = lambda n: [int(t) if t.isdigit() else t.lower() for t in re.split(r"(\d+)", n)]  # numbers as numbers
    names = sorted((p["fqdn"].split(".")[0] for p in json.loads(full)["status"]["peers"]["details"]), key=natural)
    assert [p["fqdn"].split(".")[0] for p in shown] == names[10:35]

    # Filters, sorts and every refusal: the unit tests of status_view and the peers' page test.

    for query, message in [("peers=some", "peers must be all, none or page"),
                           ("peers=page&limit=0", "limit must be a whole number from 1 to 500")]:
        r = network.get("/status?" + query)
        assert (r.status, r.json()["error"]) == (400, message), query
        assert r.header("Cache-Control") == "no-store"
