def test_config_defaults_served(sandbox):
    r = sandbox.get("/config")
    assert r.status == 200
    assert r.json()["mtu"] == 1280
