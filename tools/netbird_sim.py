#!/usr/bin/python3
# netbird_sim.py - a SIMULATOR of the NetBird client, for development and tests.
#
# This is NOT the real NetBird client. It only imitates the parts of its command
# line that the vantrel_vpn supervisor uses, so the supervisor can be developed
# and tested on machines where the real client cannot be installed. It is meant
# to be installed in place of the real executable (as lib/netbird).
#
# Usage (global flags before the verb):
#   netbird_sim.py --config CFG --log-file console,LOG --daemon-addr unix://SOCK service run
#   netbird_sim.py [--log-file LOG] --daemon-addr unix://SOCK VERB ...
#     up --management-url URL [--enable-lazy-connection[=true|false]]
#        --wireguard-port N --mtu N --interface-name NAME --external-ip-map MAP
#        [--setup-key-file PATH]
#     down | deregister | status [--json] | debug bundle [--upload-bundle] [--anonymize]
#     version
# The daemon ("service run") serves a Unix socket; each CLI call sends one JSON
# request line and reads one JSON reply line (30 s timeout). The daemon keeps
# its state in memory and writes the --config file on registration (never the
# setup key). Unknown flags: message on stderr, exit 2.
#
# Scenario knobs (environment variables, read by each invocation):
#   NB_SIM_MGMT_DISCONNECTED=1   status: management not connected, daemonStatus
#                                "Connecting" while up (read by the status call
#                                itself; the daemon's own environment counts too)
#   NB_SIM_EXIT_<VERB>=CODE      VERB in UP, DOWN, STATUS, DEREGISTER, DEBUG: print
#                                "Error: simulated failure" and exit CODE, no work
#   NB_SIM_DELAY_<VERB>=SECONDS  sleep first (float), applied before EXIT and work
#   NB_SIM_DAEMON_EXIT_AFTER=S   the daemon exits with status 1 after S seconds
#   NB_SIM_NON_UTF8=1            invalid UTF-8 bytes in CLI text output and in the
#                                daemon's start lines (status --json: on stderr)
#   NB_SIM_BUNDLE_NO_LABEL=1     debug bundle prints the path without "Local file:"
#   NB_SIM_PEERS=N               status: N remote peers while connected (a fixed mix
#                                of connected and not, direct and relayed, with
#                                latencies and byte counts that grow while up)
#   NB_SIM_PEER_MARKUP=1         status: one more peer whose name is HTML markup
#                                (<img src=x onerror=alert(1)>), for escaping tests
#   NB_SIM_REPORT_DIR=DIR        each invocation writes DIR/<time_ns>-<pid>-<verb>.json
#                                with argv, env, open fds, pid, verb (and for up with
#                                a key file: setup_key_file_mode/_existed)
import base64
import datetime
import hashlib
import json
import os
import secrets
import socket
import stat
import sys
import tempfile
import threading
import time
import zipfile

VERSION = "0.72.4"
DEFAULT_MGMT = "https://api.netbird.io:443"
SIGNAL_URL = "https://signal.netbird.io:443"
BAD_BYTES = b"\xff\xfe"
TIMEOUT = 30.0

GLOBAL_FLAGS = ("--config", "--log-file", "--daemon-addr", "--log-level")
UP_FLAGS = ("--management-url", "--wireguard-port", "--mtu", "--interface-name",
            "--external-ip-map", "--setup-key-file")


class Usage(Exception):
    verb = "none"


def env_on(name):
    return os.environ.get(name, "") not in ("", "0", "false")


def now_iso():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def out(data, stream=None):
    """Write bytes or text (plus nothing else) to a binary stream and flush."""
    stream = stream or sys.stdout
    if isinstance(data, str):
        data = data.encode()
    try:
        stream.buffer.write(data)
        stream.buffer.flush()
    except (OSError, ValueError):
        pass


def fail(msg, code=1):
    out("Error: %s\n" % msg, sys.stderr)
    sys.exit(code)


# ---------------------------------------------------------------- reports

def open_fds():
    """Descriptors open in this process, without the one used to list them."""
    names = os.listdir("/proc/self/fd")
    fds = []
    for n in names:
        try:
            os.readlink("/proc/self/fd/" + n)
            fds.append(int(n))
        except OSError:
            pass
    return sorted(fds)


def write_report(fds, verb, extra):
    rdir = os.environ.get("NB_SIM_REPORT_DIR", "")
    if not rdir:
        return
    rep = {"argv": sys.argv, "env": dict(os.environ), "fds": fds,
           "pid": os.getpid(), "verb": verb}
    rep.update(extra)
    name = "%d-%d-%s.json" % (time.time_ns(), os.getpid(), verb)
    os.makedirs(rdir, exist_ok=True)
    tmp = os.path.join(rdir, "." + name + ".tmp")
    with open(tmp, "w") as f:
        json.dump(rep, f, indent=2)
    os.replace(tmp, os.path.join(rdir, name))


# ---------------------------------------------------------------- arguments

def take_flag(args, i, names):
    """Parse args[i] as one of names ('--f v' or '--f=v'); return (name, value, next i)."""
    arg = args[i]
    name, eq, val = arg.partition("=")
    if name not in names:
        raise Usage("unknown flag: %s" % arg)
    if eq:
        return name, val, i + 1
    if i + 1 >= len(args):
        raise Usage("flag needs an argument: %s" % name)
    return name, args[i + 1], i + 2


def parse_bool(name, val):
    if val.lower() in ("true", "1", "t"):
        return True
    if val.lower() in ("false", "0", "f"):
        return False
    raise Usage('invalid argument "%s" for "%s" flag' % (val, name))


def parse_int(name, val):
    try:
        return int(val)
    except ValueError:
        raise Usage('invalid argument "%s" for "%s" flag' % (val, name))


def parse_args(argv):
    """Return (globals dict, verb, options dict). Raises Usage; Usage.verb is set."""
    g, i = {}, 0
    while i < len(argv) and argv[i].startswith("-"):
        name, val, i = take_flag(argv, i, GLOBAL_FLAGS)
        g[name] = val
    if i >= len(argv):
        raise Usage("no command given")
    verb, rest = argv[i], argv[i + 1:]
    try:
        return g, verb, parse_verb(verb, rest)
    except Usage as e:
        e.verb = verb if verb.isalpha() else "none"
        raise


def parse_verb(verb, rest):
    opts = {}
    if verb == "service":
        if rest != ["run"]:
            raise Usage("this simulator supports only 'service run'")
    elif verb == "up":
        j = 0
        while j < len(rest):
            a = rest[j]
            if a.split("=", 1)[0] == "--enable-lazy-connection":
                if "=" in a:
                    opts["lazy"] = parse_bool("--enable-lazy-connection", a.split("=", 1)[1])
                    j += 1
                elif j + 1 < len(rest) and rest[j + 1].lower() in ("true", "false"):
                    opts["lazy"] = parse_bool("--enable-lazy-connection", rest[j + 1])
                    j += 2
                else:
                    opts["lazy"] = True
                    j += 1
                continue
            if not a.startswith("--"):
                raise Usage("unexpected argument: %s" % a)
            name, val, j = take_flag(rest, j, UP_FLAGS)
            if name in ("--mtu", "--wireguard-port"):
                val = parse_int(name, val)
            opts[name[2:].replace("-", "_")] = val
    elif verb in ("down", "deregister", "version"):
        if rest:
            raise Usage("unexpected argument: %s" % rest[0])
    elif verb == "status":
        for a in rest:
            if a == "--json":
                opts["json"] = True
            elif a in ("-d", "--detail"):
                pass
            else:
                raise Usage("unknown flag: %s" % a)
    elif verb == "debug":
        if not rest or rest[0] != "bundle":
            raise Usage("this simulator supports only 'debug bundle'")
        for a in rest[1:]:
            if a in ("--upload-bundle", "--anonymize", "--system-info"):
                opts[a[2:].replace("-", "_")] = True
            else:
                raise Usage("unknown flag: %s" % a)
    else:
        raise Usage("unknown command: %s" % verb)
    return opts


def socket_path(g):
    addr = g.get("--daemon-addr", "unix:///var/run/netbird.sock")
    if not addr.startswith("unix://") or len(addr) <= len("unix://"):
        raise Usage("unsupported --daemon-addr (only unix://PATH): %s" % addr)
    return addr[len("unix://"):]


# ---------------------------------------------------------------- daemon

class Daemon:
    def __init__(self, config, log_outputs, sock):
        self.config, self.sock = config, sock
        self.console = False
        self.log_files = []
        for part in (log_outputs or "console").split(","):
            if part == "console":
                self.console = True
            elif part:
                self.log_files.append(part)
        self.lock = threading.Lock()
        self.log_lock = threading.Lock()
        self.registered = os.path.exists(config)
        self.up = False
        self.up_since = 0.0
        self.cfg = {}
        if self.registered:
            try:
                with open(config) as f:
                    self.cfg = json.load(f)
            except (OSError, ValueError):
                self.cfg = {}
        if not isinstance(self.cfg, dict):
            self.cfg = {}
        self.mgmt_url = self.cfg.get("ManagementURL") or DEFAULT_MGMT
        self.mtu = self.cfg.get("MTU", 1280)
        self.port = self.cfg.get("WireguardPort", 51820)
        self.iface = self.cfg.get("InterfaceName", "wt0")
        self.ipmap = self.cfg.get("ExternalIPMap", "")
        self.lazy = bool(self.cfg.get("LazyConnectionEnabled", False))

    def log(self, level, msg, raw=b"", end=b"\n"):
        data = ("%s %s daemon: %s" % (now_iso(), level, msg)).encode() + raw + end
        with self.log_lock:
            if self.console:
                out(data, sys.stderr)
            for path in self.log_files:
                try:
                    with open(path, "ab") as f:
                        f.write(data)
                except OSError:
                    pass

    def state(self):
        key = self.cfg.get("PrivateKey", "") if self.registered else ""
        return {"registered": self.registered, "up": self.up, "url": self.mgmt_url,
                "mtu": self.mtu, "port": self.port, "iface": self.iface,
                "lazy": self.lazy, "private_key": key, "up_since": self.up_since,
                "mgmt_disconnected": env_on("NB_SIM_MGMT_DISCONNECTED")}

    def write_config(self):
        d = os.path.dirname(self.config)
        if d:
            os.makedirs(d, mode=0o700, exist_ok=True)
        tmp = self.config + ".tmp"
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            json.dump(self.cfg, f, indent=2)
        os.replace(tmp, self.config)

    def do_up(self, req):
        key = req.get("setup_key_b64")
        if not self.registered:
            if key is None:
                return {"ok": False, "error": "up failed: no setup key provided and the peer is not registered"}
            if not base64.b64decode(key):
                return {"ok": False, "error": "up failed: setup key is empty"}
            self.cfg = {"PrivateKey": base64.b64encode(secrets.token_bytes(32)).decode(),
                        "RegisteredAt": now_iso()}
        self.mgmt_url = req.get("management_url", self.mgmt_url)
        self.mtu = req.get("mtu", self.mtu)
        self.port = req.get("wireguard_port", self.port)
        self.iface = req.get("interface_name", self.iface)
        self.ipmap = req.get("external_ip_map", self.ipmap)
        if req.get("lazy") is not None:
            self.lazy = req["lazy"]
        self.cfg.update({"ManagementURL": self.mgmt_url, "WireguardPort": self.port,
                         "MTU": self.mtu, "InterfaceName": self.iface,
                         "ExternalIPMap": self.ipmap, "LazyConnectionEnabled": self.lazy})
        try:
            self.write_config()
        except OSError as e:
            return {"ok": False, "error": "up failed: write config: %s" % e}
        if not self.up:
            self.up_since = time.time()
        self.registered = self.up = True
        return {"ok": True}

    def do_bundle(self, req):
        fd, path = tempfile.mkstemp(prefix="netbird.debug.", suffix=".zip",
                                    dir=tempfile.gettempdir())
        os.close(fd)
        path = os.path.abspath(path)
        st = status_object(self.state())
        if req.get("anonymize"):
            st["management"]["url"] = "https://anonymized.domain:443"
        tail = b""
        for p in self.log_files[:1]:
            try:
                with open(p, "rb") as f:
                    tail = b"".join(f.readlines()[-200:])
            except OSError as e:
                tail = ("log not readable: %s\n" % e).encode()
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("status.json", json.dumps(st, indent=2) + "\n")
            z.writestr("anonymized.txt", "anonymized: %s\n" % ("yes" if req.get("anonymize") else "no"))
            z.writestr("client.log", tail)
            z.writestr("README.txt", "Debug bundle made by the NetBird simulator (not the real client).\n")
        rep = {"ok": True, "path": path}
        if req.get("upload_bundle"):
            rep["upload_key"] = "%s/%s" % (secrets.token_hex(4), secrets.token_hex(4))
        return rep

    def handle(self, conn):
        verb = "?"
        try:
            conn.settimeout(TIMEOUT)
            buf = b""
            while b"\n" not in buf:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                buf += chunk
            req = json.loads(buf.split(b"\n", 1)[0])
            verb = req.get("verb", "?")
            with self.lock:
                if verb == "up":
                    rep = self.do_up(req)
                elif verb == "down":
                    self.up = False
                    rep = {"ok": True}
                elif verb == "deregister":
                    try:
                        os.unlink(self.config)
                    except FileNotFoundError:
                        pass
                    self.registered = self.up = False
                    self.cfg = {}
                    rep = {"ok": True}
                elif verb == "status":
                    rep = {"ok": True, "state": self.state()}
                elif verb == "debug":
                    rep = self.do_bundle(req)
                else:
                    rep = {"ok": False, "error": "unknown request: %s" % verb}
            self.log("INFO", "handled request verb=%s ok=%s%s" % (
                verb, str(rep["ok"]).lower(), "" if rep["ok"] else " error=%s" % rep["error"]))
            conn.sendall(json.dumps(rep).encode() + b"\n")
        except Exception as e:  # keep serving whatever one client does
            self.log("WARN", "request verb=%s failed: %s" % (verb, e))
        finally:
            conn.close()

    def run(self):
        raw = b" " + BAD_BYTES if env_on("NB_SIM_NON_UTF8") else b""
        self.log("INFO", 'starting NetBird daemon {"version":"%s-sim"}' % VERSION)
        self.log("INFO", "simulator of the NetBird client, not the real client", raw, b"\r\n")
        self.log("INFO", "config %s registered=%s" % (self.config, str(self.registered).lower()))
        for p in self.log_files:
            if os.path.dirname(p):
                os.makedirs(os.path.dirname(p), exist_ok=True)
        after = os.environ.get("NB_SIM_DAEMON_EXIT_AFTER", "")
        if after:
            def die():
                self.log("ERROR", "simulated daemon exit after %s s" % after)
                os._exit(1)
            t = threading.Timer(float(after), die)
            t.daemon = True
            t.start()
        try:
            if stat.S_ISSOCK(os.lstat(self.sock).st_mode):
                os.unlink(self.sock)
                self.log("INFO", "removed stale socket %s" % self.sock)
        except FileNotFoundError:
            pass
        srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            srv.bind(self.sock)
            srv.listen(64)
        except OSError as e:
            self.log("ERROR", "failed to listen on unix://%s: %s" % (self.sock, e))
            sys.exit(1)
        self.log("INFO", "daemon listening on unix://%s" % self.sock)
        while True:
            conn, _ = srv.accept()
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()


# ---------------------------------------------------------------- CLI

PEER_NAMES = ("nvr-main", "office-laptop", "cam-entrance", "cam-yard", "gateway-berlin",
              "support-desk", "cam-warehouse", "backup-server")
MARKUP_PEER_NAME = "<img src=x onerror=alert(1)>"
NEVER = "0001-01-01T00:00:00Z"


def iso(t):
    return datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def peer_details(up_since):
    """The remote peers that NB_SIM_PEERS and NB_SIM_PEER_MARKUP ask for.

    Every third peer is offline and every other online one is relayed, so a
    handful of peers shows each state; byte counts grow with the time up."""
    try:
        count = max(0, min(int(os.environ.get("NB_SIM_PEERS", "0") or 0), 250))
    except ValueError:
        count = 0
    names = ["%s-%d" % (PEER_NAMES[i % len(PEER_NAMES)], i // len(PEER_NAMES)) if i >= len(PEER_NAMES)
             else PEER_NAMES[i] for i in range(count)]
    if env_on("NB_SIM_PEER_MARKUP"):
        names.append(MARKUP_PEER_NAME)
    now = time.time()
    elapsed = max(0.0, now - up_since) if up_since else 0.0
    peers = []
    for i, name in enumerate(names):
        online = i % 3 != 2
        relayed = online and i % 2 == 1
        h = hashlib.sha256(name.encode()).digest()
        p = {
            "fqdn": name + ".netbird.cloud",
            "netbirdIp": "100.64.%d.%d" % (h[0], h[1] or 1),
            "publicKey": base64.b64encode(h).decode(),
            "status": "Connected" if online else "Idle",
            "lastStatusUpdate": iso(up_since or now),
            "connectionType": ("Relayed" if relayed else "P2P") if online else "-",
            "iceCandidateType": {"local": "relay" if relayed else "host" if online else "",
                                 "remote": "relay" if relayed else "srflx" if online else ""},
            "iceCandidateEndpoint": {"local": "", "remote": ""},
            "relayAddress": "rels://relay.netbird.io:443" if relayed else "",
            "lastWireguardHandshake": iso(now - (7 + 13 * i) % 110) if online else NEVER,
            "transferReceived": (4096 * (i + 1) + int(elapsed * 1500 * (i + 1))) if online else 0,
            "transferSent": (2048 * (i + 1) + int(elapsed * 900 * (i + 1))) if online else 0,
            "latency": ((60 + 9 * i) if relayed else (2 + 5 * i)) * 1000000 if online else 0,
            "quantumResistance": False,
            "networks": [],
        }
        peers.append(p)
    return peers


def status_object(s, mgmt_disconnected=False):
    reg, up = s["registered"], s["up"]
    disc = mgmt_disconnected or s.get("mgmt_disconnected", False)
    connected = reg and up and not disc
    pub = ip = fqdn = ""
    if reg and s["private_key"]:
        h = hashlib.sha256(s["private_key"].encode()).digest()
        pub = base64.b64encode(h).decode()
        fqdn = "vantrel-sim-%s.netbird.cloud" % h[:3].hex()
        if up:
            ip = "100.64.%d.%d/16" % (h[3], h[4] or 1)
    if not reg:
        daemon_status = "NeedsLogin"
    elif up:
        daemon_status = "Connecting" if disc else "Connected"
    else:
        daemon_status = "Idle"
    err = "simulated: management server unreachable: connection refused" if disc else ""
    peers = peer_details(s.get("up_since", 0.0)) if connected else []
    return {
        "peers": {"total": len(peers), "connected": sum(p["status"] == "Connected" for p in peers),
                  "details": peers},
        "cliVersion": VERSION,
        "daemonVersion": VERSION,
        "management": {"url": s["url"], "connected": connected, "error": err},
        "signal": {"url": SIGNAL_URL, "connected": connected, "error": ""},
        "relays": {"total": 0, "available": 0, "details": []},
        "netbirdIp": ip,
        "publicKey": pub,
        "usesKernelInterface": False,
        "fqdn": fqdn,
        "quantumResistance": False,
        "quantumResistancePermissive": False,
        "networks": [],
        "forwardingRules": 0,
        "dnsServers": [],
        "events": [],
        "lazyConnectionEnabled": s["lazy"],
        "profileName": "default",
        "daemonStatus": daemon_status,
        "mtu": s["mtu"],
        "interfaceName": s["iface"],
    }


def status_text(st):
    m = st["management"]
    return "\n".join([
        "Daemon status: %s" % st["daemonStatus"],
        "Daemon version: %s" % st["daemonVersion"],
        "CLI version: %s" % st["cliVersion"],
        "Management: %s%s" % ("Connected" if m["connected"] else "Disconnected",
                              ", reason: " + m["error"] if m["error"] else ""),
        "Signal: %s" % ("Connected" if st["signal"]["connected"] else "Disconnected"),
        "Relays: 0/0 Available",
        "FQDN: %s" % st["fqdn"],
        "NetBird IP: %s" % (st["netbirdIp"] or "N/A"),
        "Interface type: Userspace",
        "Quantum resistance: false",
        "Lazy connection: %s" % str(st["lazyConnectionEnabled"]).lower(),
        "Networks: -",
        "Peers count: %d/%d Connected" % (st["peers"]["connected"], st["peers"]["total"]),
    ]) + "\n"


def call_daemon(sock, req):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(TIMEOUT)
    try:
        s.connect(sock)
        s.sendall(json.dumps(req).encode() + b"\n")
        buf = b""
        while b"\n" not in buf:
            chunk = s.recv(65536)
            if not chunk:
                raise ConnectionError("daemon closed the connection")
            buf += chunk
    except socket.timeout:
        fail("failed to connect to daemon error: context deadline exceeded")
    except OSError as e:
        fail("failed to connect to daemon error: %s" % (e.strerror or e))
    finally:
        s.close()
    return json.loads(buf.split(b"\n", 1)[0])


def text_result(line):
    if env_on("NB_SIM_NON_UTF8"):
        out(b"simulator note: " + BAD_BYTES + b"\n")
    out(line + "\n")
    sys.exit(0)


def run_cli(g, verb, opts, key):
    sock = socket_path(g)
    if verb == "up":
        req = dict(opts, verb="up")
        req.pop("setup_key_file", None)
        if key is not None:
            req["setup_key_b64"] = base64.b64encode(key).decode()
        rep = call_daemon(sock, req)
        if not rep.get("ok"):
            fail(rep.get("error", "up failed"))
        text_result("Connected")
    if verb in ("down", "deregister"):
        rep = call_daemon(sock, {"verb": verb})
        if not rep.get("ok"):
            fail(rep.get("error", verb + " failed"))
        text_result("Disconnected" if verb == "down" else "Deregistered")
    if verb == "status":
        rep = call_daemon(sock, {"verb": "status"})
        if not rep.get("ok"):
            fail(rep.get("error", "status failed"))
        st = status_object(rep["state"], env_on("NB_SIM_MGMT_DISCONNECTED"))
        if opts.get("json"):
            if env_on("NB_SIM_NON_UTF8"):
                out(b"simulator note: " + BAD_BYTES + b"\n", sys.stderr)
            out(json.dumps(st, indent=2) + "\n")
        else:
            if env_on("NB_SIM_NON_UTF8"):
                out(b"simulator note: " + BAD_BYTES + b"\n")
            out(status_text(st))
        sys.exit(0)
    if verb == "debug":
        if not env_on("NB_SIM_BUNDLE_NO_LABEL"):
            out("Creating debug bundle...\n")
        rep = call_daemon(sock, dict(opts, verb="debug"))
        if not rep.get("ok"):
            fail("failed to bundle debug: %s" % rep.get("error", ""))
        if env_on("NB_SIM_BUNDLE_NO_LABEL"):
            out(rep["path"] + "\n")
        else:
            out("Local file:\n%s\n" % rep["path"])
            if "upload_key" in rep:
                out("Upload file key:\n%s\n" % rep["upload_key"])
        sys.exit(0)


def main():
    fds = open_fds()  # first, before this process opens any other file
    argv = sys.argv[1:]
    try:
        g, verb, opts = parse_args(argv)
        if verb == "service":
            socket_path(g)
            if "--config" not in g:
                raise Usage("service run needs --config in this simulator")
    except Usage as e:
        write_report(fds, e.verb, {"usage_error": str(e)})
        fail(str(e), 2)
    extra, key = {}, None
    if verb == "up" and "setup_key_file" in opts:
        kf = opts["setup_key_file"]
        try:
            extra["setup_key_file_mode"] = os.stat(kf).st_mode & 0o777
            extra["setup_key_file_existed"] = True
        except OSError:
            extra["setup_key_file_mode"] = None
            extra["setup_key_file_existed"] = False
    write_report(fds, verb, extra)
    if verb == "service":
        Daemon(g["--config"], g.get("--log-file"), socket_path(g)).run()
        return
    if verb == "version":
        out(VERSION + "\n")
        return
    knob = verb.upper()
    delay = os.environ.get("NB_SIM_DELAY_" + knob, "")
    if delay:
        time.sleep(float(delay))
    code = os.environ.get("NB_SIM_EXIT_" + knob, "")
    if code:
        out("Error: simulated failure\n", sys.stderr)
        sys.exit(int(code))
    if verb == "up" and "setup_key_file" in opts:
        try:
            with open(opts["setup_key_file"], "rb") as f:
                key = f.read()
        except OSError as e:
            fail("up failed: read setup key file: %s" % (e.strerror or e))
    run_cli(g, verb, opts, key)


if __name__ == "__main__":
    main()
