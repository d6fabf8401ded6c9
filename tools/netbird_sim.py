#!/usr/bin/python3
# netbird_sim.py - a SIMULATOR of the NetBird client (v0.72.4), for development and tests.
#
# This is NOT the real NetBird client. It imitates the parts of its command line,
# its daemon and its outputs that the vantrel_vpn supervisor relies on, so the
# supervisor can be developed and tested where the real client cannot run. It is
# installed in place of the real executable (as lib/netbird). It behaves like the
# real client where that matters to a caller, including the awkward parts: a daemon
# that writes its configuration before anyone enrolled, reconnects by itself after
# a restart, an `up` that does nothing while connected, an `up` that waits for a
# browser sign-in that never comes, and the ways it fails on the paths a camera
# lives with (management outages, refused logins, signals, a corrupt file).
#
# Usage (flags may stand before or after the verb, as with the real client):
#   netbird_sim.py --config CFG --log-file console,LOG --daemon-addr unix://SOCK service run
#   netbird_sim.py [--log-file LOG] --daemon-addr unix://SOCK VERB ...
#     up [--management-url URL] [--setup-key KEY | --setup-key-file PATH]
#        [--enable-lazy-connection[=BOOL]] [--wireguard-port N] [--mtu N]
#        [--interface-name NAME] [--external-ip-map LIST] [--disable-auto-connect[=BOOL]]
#        [--no-browser] [--profile NAME] [-F | --foreground-mode]
#     down | deregister (alias logout) | version
#     status [--json | --detail | --ipv4]
#     debug bundle [--upload-bundle] [--anonymize]
#
# Command line, as NetBird (cobra/pflag) parses it:
#   - "--flag value", "--flag=value", shorthands (-c -l -m -k -n -A -d -U -S -F); a
#     boolean flag takes no separate value ("--enable-lazy-connection false" sets it
#     to true and "false" is an ignored argument), only "--flag=false".
#   - --mtu and --wireguard-port are uint16 (base prefixes 0x, 0o, 0b, 0 allowed);
#     --external-ip-map and --log-file are comma-separated lists ("" = empty list).
#   - Every NB_<FLAG> (and the older WT_<FLAG>) environment variable sets that flag
#     after the command line was read, so it wins; for a list flag already given on
#     the command line the variable's entries are appended, as pflag does. A value
#     the flag cannot take is logged ("unable to configure flag ...") and ignored.
#     The root flags (config, log-file, log-level, daemon-addr, management-url,
#     setup-key, setup-key-file, ...) are read this way by every verb; up also reads
#     its own (NB_MTU, NB_WIREGUARD_PORT, NB_INTERFACE_NAME, NB_EXTERNAL_IP_MAP,
#     NB_ENABLE_LAZY_CONNECTION, NB_DISABLE_AUTO_CONNECT, NB_PROFILE,
#     NB_FOREGROUND_MODE, ...).
#   - A setup key both given directly (--setup-key or NB_SETUP_KEY) and by file
#     (--setup-key-file or NB_SETUP_KEY_FILE) is refused with cobra's
#     mutually-exclusive-flags error.
#   - --log-level must be a logrus level (panic fatal error warn warning info debug
#     trace, any case); otherwise every verb, the daemon too, fails at start.
#   - Every error, usage errors included, is "Error: ..." on stderr and exit 1.
#
# Daemon ("service run"): serves a Unix socket, created with mode 0666 as NetBird
# does (only the folder around it keeps other local users out). Each CLI step is
# one connection: the daemon greets with one JSON line, the CLI sends one JSON
# request line and reads one JSON reply line. A CLI that gets no greeting within
# NB_SIM_DAEMON_WAIT seconds (no socket, nobody accepting, or a daemon that accepts
# but never answers) fails the way NetBird fails to dial its daemon. `up` takes
# several steps, like the real one: status, set config, login, wait for SSO, up.
#
# The daemon's state: at its first start with a missing --config FILE it creates
# FILE (mode 0600, directories too) with a new WireGuard-style private key and
# defaults; it is then not enrolled, reports NeedsLogin and does not connect. A
# daemon whose FILE existed runs its connect loop by itself at start, enrolled or
# not, unless the file says DisableAutoConnect (then it stays Idle, enrolled or
# not; an `up` under NB_DISABLE_AUTO_CONNECT writes that). The loop of an
# enrolled daemon is Connecting for NB_SIM_CONNECT_DELAY seconds, then Connected;
# an unenrolled one gets NeedsLogin as soon as the management server answers.
# `down` ends the loop and stores nothing: the daemon is Idle (one never enrolled
# still reports NeedsLogin here, where NetBird says Idle). `up` while Connected
# says "Already connected" and applies nothing. `up` with a key enrols and
# connects at once; a key given to a peer the server already knows is ignored
# (the login returns at once). Without a key, on a daemon that needs a login, it
# prints NetBird's sign-in text and waits (status Connecting meanwhile) for the
# person (NB_SIM_SSO_ANSWER): signed in, it enrols and connects; refused, or once
# NB_SIM_SSO_WAIT runs out, it fails and the daemon reports LoginFailed.
# `deregister` forgets the enrolment.
#
# Management outages (NB_SIM_MGMT_DISCONNECTED; NB_SIM_SIGNAL_DISCONNECTED alike):
#   - Once the loop has connected (since the daemon started, or since the last
#     `up`), an outage does not take the tunnel down: daemonStatus stays Connected,
#     management.connected turns false with an error, peers stay connected.
#   - A loop that has not connected yet stays Connecting and retries, enrolled or
#     not, and never reports NeedsLogin. Each attempt lasts NB_SIM_MGMT_ATTEMPT
#     seconds (10, the client's connect time-out); between attempts it waits as
#     NetBird's back-off does (1 s, then 1.7 times longer each time, at most 15 s;
#     without NetBird's random spread) or NB_SIM_MGMT_RETRY_WAIT seconds. While it
#     waits, every status call fails: `status` exits 1 with "Error: status failed:
#     failed connecting to Management Service : context deadline exceeded". The
#     cycle counts from the loop's start, so the share of failing polls is
#     deterministic (0 with NB_SIM_MGMT_RETRY_WAIT=0, all of them with
#     NB_SIM_MGMT_ATTEMPT=0).
#   - `up` first asks for the status and waits until the loop is ready: while the
#     loop has not connected, it prints nothing and waits for ever (if it arrives
#     while the loop waits between retries it fails at once, with "Error: unable
#     to get daemon status: rpc error: code = FailedPrecondition desc = failed
#     connecting to Management Service : ..."). A `down` ends the loop and lets the
#     waiting `up` go on: it applies its flags and logs in, and a login that cannot
#     reach the server takes two attempts in the daemon and is retried by `up` for
#     NB_SIM_LOGIN_RETRY seconds (30) before "Error: daemon up failed: login backoff
#     cycle failed: rpc error: code = DeadlineExceeded desc = context deadline
#     exceeded" (about 40 s with the defaults). `deregister` fails too.
#   - The outage starts, as far as the daemon knows, with the first request that
#     carries the knob (or at its start, when its own environment has it), and
#     ends with the first request without it: removing the override ends it for a
#     daemon started without it. A daemon whose own environment has the knob keeps
#     it for its life; to end such an outage, give the knob a file's absolute path
#     as value: the server is unreachable while that file exists.
#
# The order of `up`, which decides what a failing `up` has already done: the
# external IP map is checked and the current user looked up before the daemon is
# asked anything; then "Already connected" ends it (so even a bad --mtu passes
# then); then the new settings are saved; only then is the key file read, the MTU
# checked (a bad one is not saved) and the login made. A login that failed for a
# reason other than a refusal (InvalidArgument, PermissionDenied, NotFound,
# Unimplemented) is tried again (NetBird's 1 s back-off, 1.5 times longer each
# time, at most 10 s) until NB_SIM_LOGIN_RETRY seconds have passed, each retry
# logged on stderr. --profile NAME (NB_PROFILE) switches the daemon to another
# configuration file, DIR/profiles/NAME.json beside --config, for the rest of its
# life ("default" is --config itself), and an `up` with it takes a connected
# tunnel down and logs in again. --foreground-mode (NB_FOREGROUND_MODE) runs the
# client inside the CLI: it asks the daemon nothing, prints nothing and never
# returns.
#
# Signals: on SIGTERM (or SIGINT) the daemon takes the tunnel down (its status
# would say Idle), stops serving and removes its socket, sleeps NB_SIM_STOP_WAIT
# seconds (2) and exits 0. SIGKILL leaves everything, the socket included. A
# configuration file that is not JSON, or not in NetBird's shape (a member of the
# wrong type, a top level that is no object), makes every start log NetBird's
# fatal line ("FATA ... failed to start daemon: failed to get config: ...") and
# exit 1 at once, after the socket was created (it is left behind).
#
# Outputs: up "Connected" / "Already connected"; down "Disconnected"; deregister
# "Deregistered successfully"; status --json one compact JSON line WITHOUT a final
# newline (NetBird prints it that way); debug bundle "Local file:" and the path,
# then "Upload file key:" and the key, both printed when the daemon has answered,
# that is after its upload. The sign-in text of `up --no-browser` is "Use this URL
# to log in:", a blank line, the URL and " and enter the code CODE to
# authenticate." when the URL does not carry the code (else a space), then a blank
# line; without --no-browser it is NetBird's longer text, followed by the setup-key
# hint because no browser can be opened. `up` looks up its user as a static build
# does: from /etc/passwd, else from $USER and $HOME; with neither it fails with
# "Error: get current user: user: Current requires cgo or $USER, $HOME set in
# environment" (naming only what is missing).
#
# Config file members written by the daemon (NetBird's names, a subset):
#   PrivateKey, PreSharedKey, ManagementURL and AdminURL (Go url.URL objects, as
#   NetBird writes them), WgIface, WgPort, MTU, NATExternalIPs,
#   DisableAutoConnect, LazyConnectionEnabled, and SimEnrolled: true while the
#   peer is enrolled. SimEnrolled is the simulator's stand-in for the management
#   server's record of this peer (the real client keeps no such flag); it is
#   removed by `deregister`. A setup key is never written anywhere.
#
# Scenario knobs (environment variables). "CLI" = read by each command from its
# own environment; "daemon" = read by `service run` from its environment; "either"
# = the command's value if set, else the daemon's (on/off knobs: on if either is).
# On/off knobs are off when unset, empty, "0" or "false".
#   NB_SIM_MGMT_DISCONNECTED=1   either. The management server cannot be reached
#                                (see "Management outages" above). The value may be
#                                an absolute file path: unreachable while that file
#                                exists. Default off.
#   NB_SIM_SIGNAL_DISCONNECTED=1 either. The signal server cannot be reached: a
#                                connected daemon stays Connected with
#                                signal.connected false and an error; a loop that
#                                has not connected retries as for the management
#                                server. File path values as above. Default off.
#   NB_SIM_MGMT_ATTEMPT=S        either. How long one attempt to reach an
#                                unreachable server lasts, in the loop and in a
#                                login. Default 10.
#   NB_SIM_MGMT_RETRY_WAIT=S     either. A fixed wait between the loop's attempts.
#                                Default: NetBird's back-off (1 s x 1.7^n, <= 15 s).
#   NB_SIM_LOGIN_RETRY=S         CLI. How long `up` retries a failed login before
#                                "login backoff cycle failed". Default 30.
#   NB_SIM_REFUSE_KEY=1          either. The management server refuses every setup
#                                key ("couldn't add peer: setup key is invalid",
#                                FailedPrecondition): a first enrolment leaves
#                                LoginFailed and `up` retries it for
#                                NB_SIM_LOGIN_RETRY seconds, then fails. A key for
#                                a peer already registered is ignored anyway.
#                                Default off.
#   NB_SIM_LOGIN_STATE=STATE     either. STATE LoginFailed or SessionExpired: an
#                                enrolled daemon reports that daemonStatus (never
#                                Connected, management not connected); SessionExpired
#                                is reported by one status call, NeedsLogin by the
#                                later ones. `up` without a key then asks for SSO;
#                                `up` with a key clears it for the rest of this
#                                daemon's life. Default unset.
#   NB_SIM_CONNECT_DELAY=S       daemon. Seconds an enrolled daemon stays Connecting
#                                after it starts before it is Connected. Default 1.
#   NB_SIM_SSO_WAIT=S            either. How long `up` waits for the SSO sign-in
#                                before it fails ("context deadline exceeded"):
#                                the identity provider's code lifetime. Default 900.
#   NB_SIM_SSO_ANSWER=PATH       either. A file a test writes to answer a waiting
#                                sign-in: "approve" (the person signed in: the peer
#                                is enrolled, `up` goes on and connects), "deny"
#                                (the provider refuses: LoginFailed) or "expire"
#                                (the code ran out now). Consumed when read.
#   NB_SIM_SSO_CODE_APART=1      either. The sign-in URL does not carry the user
#                                code, so `up` prints "and enter the code CODE to
#                                authenticate." after it. Default off.
#   NB_SIM_DAEMON_WAIT=S         CLI. How long a command tries to reach the daemon
#                                before "failed to connect to daemon error: context
#                                deadline exceeded". Default 10.
#   NB_SIM_STOP_WAIT=S           daemon. How long the daemon sleeps after SIGTERM
#                                before it exits 0. Default 2.
#   NB_SIM_NO_PASSWD_ENTRY=1     CLI. The process's uid is taken as absent from
#                                /etc/passwd: `up` then needs $USER and $HOME.
#                                Default off.
#   NB_SIM_DEREGISTER_UNREACHABLE=1  either. `deregister` fails as if the
#                                management server could not be reached; nothing
#                                changes. Default off.
#   NB_SIM_UPLOAD_FAIL=1         either. `debug bundle --upload-bundle` prints the
#                                local file, then fails with an upload error. Default off.
#   NB_SIM_UPLOAD_HANG=S         either. `debug bundle --upload-bundle`: the daemon
#                                writes the archive, then its upload hangs S seconds;
#                                the CLI prints nothing until the daemon answers (as
#                                NetBird, whose daemon uploads before it replies), so
#                                a command killed meanwhile leaves the archive behind
#                                without having named it. Default 0.
#   NB_SIM_EXIT_<VERB>=CODE      CLI. VERB in UP, DOWN, STATUS, DEREGISTER, DEBUG:
#                                print "Error: simulated failure" and exit CODE, no
#                                work (after NB_SIM_DELAY_<VERB>). Default unset.
#   NB_SIM_DELAY_<VERB>=S        CLI. Sleep S seconds (float) first. Default unset.
#   NB_SIM_DAEMON_EXIT_AFTER=S   daemon. Exit with status 1 after S seconds. Default unset.
#   NB_SIM_NON_UTF8=1            CLI and daemon. Invalid UTF-8 bytes in the text output
#                                of up/down/deregister/status (status --json: on
#                                stderr) and in the daemon's start lines. Default off.
#   NB_SIM_BUNDLE_NO_LABEL=1     CLI. `debug bundle` prints the path without
#                                "Local file:". Default off.
#   NB_SIM_PEERS=N               either. Status lists N remote peers (0..20000) while
#                                Connected. For the first minute after connecting
#                                every third peer is Idle, every tenth Connecting,
#                                the others Connected, alternately direct (P2P) and
#                                Relayed; after that each peer changes state and
#                                connection type every 1 to 5 minutes. Latencies
#                                jitter, handshakes renew every 2 minutes and byte
#                                counters grow. All of it is a function of the peer's
#                                name and the time. Default 0.
#   NB_SIM_PEER_MARKUP=1         either. One more peer whose name is the HTML markup
#                                <img src=x onerror=alert(1)> (escaping tests). Default off.
#   NB_SIM_REPORT_DIR=DIR        every invocation, first thing: writes
#                                DIR/<time_ns>-<pid>-<verb>.json with argv, env, open
#                                fds, pid, verb (for up with a key file also
#                                setup_key_file_mode and setup_key_file_existed; for
#                                a command line error usage_error). Default unset.
import base64
import csv
import datetime
import hashlib
import ipaddress
import json
import os
import platform
import re
import secrets
import select
import signal
import socket
import stat
import sys
import tempfile
import threading
import time
import urllib.parse
import zipfile

VERSION = "0.72.4"
DEFAULT_MGMT = "https://api.netbird.io:443"
DEFAULT_ADMIN = "https://app.netbird.io:443"
DEFAULT_CONFIG = "/etc/netbird/config.json"
SIGNAL_URL = "https://signal.netbird.io:443"
RELAY_URL = "rels://relay.netbird.io:443"
SSO_URL = "https://sso.netbird-sim.invalid/device?user_code=%s"
SSO_URL_WITHOUT_CODE = "https://sso.netbird-sim.invalid/device"
NEVER = "0001-01-01T00:00:00Z"
BAD_BYTES = b"\xff\xfe"
REPLY_TIMEOUT = 30.0        # a daemon that greeted but never replies
LOG_LEVELS = ("panic", "fatal", "error", "warn", "warning", "info", "debug", "trace")
DAEMON_HINT = ("\nIf the daemon is not running please run: "
               "\nnetbird service install \nnetbird service start\n")
SIGN_IN_TEXT = (
    "Daemon status: %s\n\n"
    "Run UP command to log in with SSO (interactive login):\n\n"
    " netbird up \n\n"
    "If you are running a self-hosted version and no SSO provider has been configured in your Management Server,\n"
    "you can use a setup-key:\n\n netbird up --management-url <YOUR_MANAGEMENT_URL> --setup-key <YOUR_SETUP_KEY>\n\n"
    "More info: https://docs.netbird.io/how-to/register-machines-using-setup-keys\n\n")
MGMT_UNREACHABLE = "simulated: management server unreachable: connection refused"
SIGNAL_UNREACHABLE = "simulated: signal server unreachable: connection refused"
# What NetBird's connect loop records when an attempt could not reach a server
# (client/internal/connect.go), and what a login that cannot reach it returns.
MGMT_ATTEMPT_FAILED = "failed connecting to Management Service : context deadline exceeded"
SIGNAL_ATTEMPT_FAILED = "failed connecting to Signal Service : context deadline exceeded"
LOGIN_UNREACHABLE = "context deadline exceeded"
KEY_REFUSED = "couldn't add peer: setup key is invalid"
# What an identity provider says when the person refuses the sign-in.
SSO_DENIED = "access_denied: the user denied the device sign-in request"
# The connect loop's timing against an unreachable server: each attempt ends at
# the client's connect time-out, then NetBird's back-off waits (without its
# random spread).
MGMT_ATTEMPT_S = 10.0
RETRY_FIRST_WAIT_S = 1.0
RETRY_MULTIPLIER = 1.7
RETRY_MAX_WAIT_S = 15.0
# The CLI's own back-off around a failed login (client/cmd/root.go).
LOGIN_RETRY_LIMIT_S = 30.0
LOGIN_RETRY_FIRST_S = 1.0
LOGIN_RETRY_MULTIPLIER = 1.5
LOGIN_RETRY_MAX_S = 10.0
# Login errors the CLI does not retry.
LOGIN_FINAL_CODES = ("InvalidArgument", "PermissionDenied", "NotFound", "Unimplemented")
STOP_WAIT_S = 2.0           # the daemon's pause after SIGTERM (service_controller.go)
POLL_S = 0.2                # how often a waiting request looks again
SOCKET_MODE = 0o666
LOGIN_STATE_ERRORS = {
    "LoginFailed": "simulated: login failed: peer is not registered",
    "SessionExpired": "simulated: peer login has expired, please log in once more",
}


# ---------------------------------------------------------------- small helpers

def env_on(value):
    return value not in ("", "0", "false")


def out(data, stream=None):
    """Write bytes or text to a binary stream and flush."""
    stream = stream or sys.stdout
    if isinstance(data, str):
        data = data.encode()
    try:
        stream.buffer.write(data)
        stream.buffer.flush()
    except (OSError, ValueError):
        pass


def fail(msg, code=1):
    """End the command the way cobra reports a command's error."""
    out("Error: %s\n" % msg, sys.stderr)
    sys.exit(code)


def go_quote(text):
    """Go's %q of a string, near enough for error messages."""
    return json.dumps(text, ensure_ascii=False)


def go_errno(err):
    """An OSError of reading a file as Go prints it: 'open /x: no such file or directory'."""
    reason = err.strerror or str(err)
    op = "read" if isinstance(err, IsADirectoryError) else "open"
    return "%s %s: %s" % (op, err.filename, reason[:1].lower() + reason[1:])


def log_info_before_init(msg):
    """logrus' default text line on stderr, used before NetBird set up its log."""
    now_ns = time.time_ns()
    when = GoClock(now_ns).format(now_ns - now_ns % 1_000_000_000)
    out('time="%s" level=info msg=%s\n' % (when, go_quote(msg)), sys.stderr)


def go_json(obj):
    """Compact JSON as Go's encoding/json writes it (HTML characters escaped)."""
    text = json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
    for raw, esc in (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026"),
                     ("\u2028", "\\u2028"), ("\u2029", "\\u2029")):
        text = text.replace(raw, esc)
    return text


class GoClock:
    """Formats nanosecond times as Go's time.Time in JSON: RFC 3339, nanoseconds
    without trailing zeros, the local offset ("Z" when it is zero)."""

    def __init__(self, now_ns):
        self.offset = time.localtime(now_ns // 1_000_000_000).tm_gmtoff
        if self.offset == 0:
            self.suffix = "Z"
        else:
            sign, off = ("+", self.offset) if self.offset > 0 else ("-", -self.offset)
            self.suffix = "%s%02d:%02d" % (sign, off // 3600, off % 3600 // 60)

    def format(self, ns):
        if ns is None:
            return NEVER
        sec, frac = divmod(ns, 1_000_000_000)
        text = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(sec + self.offset))
        if frac:
            text += ("." + "%09d" % frac).rstrip("0")
        return text + self.suffix


def parse_go_time(text):
    """Nanoseconds of a time written by GoClock (to the second), None for never."""
    if text == NEVER:
        return None
    base = re.sub(r"\.\d+", "", text).replace("Z", "+00:00")
    return int(datetime.datetime.fromisoformat(base).timestamp()) * 10**9


def go_duration(ns):
    """Go's time.Duration.String()."""
    if ns == 0:
        return "0s"
    sign, ns = ("-", -ns) if ns < 0 else ("", ns)

    def frac(value, unit):
        whole, rest = divmod(value, unit)
        digits = ("%0*d" % (len(str(unit)) - 1, rest)).rstrip("0")
        return str(whole) + ("." + digits if digits else "")

    if ns < 1000:
        return "%s%dns" % (sign, ns)
    if ns < 1_000_000:
        return sign + frac(ns, 1000) + "µs"
    if ns < 1_000_000_000:
        return sign + frac(ns, 1_000_000) + "ms"
    hours, rest = divmod(ns, 3600 * 10**9)
    minutes, rest = divmod(rest, 60 * 10**9)
    text = ("%dh" % hours if hours else "") + ("%dm" % minutes if hours or minutes else "")
    return sign + text + frac(rest, 10**9) + "s"


def to_iec(size):
    if size < 1024:
        return "%d B" % size
    div, exp, n = 1024, 0, size // 1024
    while n >= 1024:
        div *= 1024
        exp += 1
        n //= 1024
    return "%.1f %siB" % (size / div, "KMGTPE"[exp])


def time_ago(ns, now_ns):
    """NetBird's "N minutes, M seconds ago" wording of the detailed status."""
    if ns is None or ns == 0:
        return "-"
    sec = (now_ns - ns) / 1e9
    if sec < 1:
        return "Now"

    def two(big, big_name, small, small_name):
        words = "%d %s%s" % (big, big_name, "" if big == 1 else "s")
        if small:
            words += ", %d %s%s" % (small, small_name, "" if small == 1 else "s")
        return words + " ago"

    if sec < 60:
        return "1 second ago" if int(sec) == 1 else "%d seconds ago" % int(sec)
    if sec < 3600:
        return two(int(sec // 60), "minute", int(sec) % 60, "second")
    if sec < 86400:
        return two(int(sec // 3600), "hour", int(sec // 60) % 60, "minute")
    return two(int(sec // 86400), "day", int(sec // 3600) % 24, "hour")


def go_arch():
    machine = platform.machine().lower()
    arch = {"x86_64": "amd64", "amd64": "amd64", "aarch64": "arm64", "arm64": "arm64",
            "i386": "386", "i686": "386", "mips": "mips", "mipsel": "mipsle"}.get(machine)
    if arch is None and machine.startswith("arm"):
        return "arm (ARMv%s)" % os.environ.get("GOARM", "")
    return arch or machine


# ---------------------------------------------------------------- reports

def open_fds():
    """Descriptors open in this process, without the one used to list them."""
    fds = []
    for n in os.listdir("/proc/self/fd"):
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


# ---------------------------------------------------------------- command line

class CliError(Exception):
    """A command line error; verb names the report file."""

    def __init__(self, msg, verb="none", unknown_command_of=None):
        super().__init__(msg)
        self.verb = verb
        self.unknown_command_of = unknown_command_of   # "netbird ..." for cobra's hint


class HelpRequested(Exception):
    def __init__(self, path, verb):
        super().__init__("help")
        self.path, self.verb = path, verb


def parse_go_bool(text):
    if text in ("1", "t", "T", "TRUE", "true", "True"):
        return True
    if text in ("0", "f", "F", "FALSE", "false", "False"):
        return False
    raise ValueError("strconv.ParseBool: parsing %s: invalid syntax" % go_quote(text))


def parse_go_uint(text, bits):
    """strconv.ParseUint(text, 0, bits), the way pflag reads a uint16."""
    syntax = ValueError("strconv.ParseUint: parsing %s: invalid syntax" % go_quote(text))
    base, body = 10, text
    if len(text) > 1 and text[0] == "0":
        prefix = text[1].lower()
        base, body = {"x": (16, text[2:]), "o": (8, text[2:]), "b": (2, text[2:])}.get(prefix, (8, text[1:]))
    digits = "0123456789abcdef"[:base]
    if not body or any(c not in digits for c in body.lower()):
        raise syntax
    value = int(body, base)
    if value >= 1 << bits:
        raise ValueError("strconv.ParseUint: parsing %s: value out of range" % go_quote(text))
    return value


def read_csv(text):
    """pflag's list flags read their value as one CSV record; "" is an empty list."""
    if text == "":
        return []
    try:
        return next(csv.reader([text], strict=True))
    except (csv.Error, StopIteration) as e:
        raise ValueError("parse error on line 1: %s" % e)


class Flag:
    def __init__(self, name, kind, short="", default=None):
        self.name, self.kind, self.short = name, kind, short
        self.value = list(default) if isinstance(default, list) else default
        self.changed = False

    def label(self):
        return "-%s, --%s" % (self.short, self.name) if self.short else "--" + self.name

    def set(self, text):
        """pflag's Value.Set: raises ValueError with Go's parse error text."""
        if self.kind == "bool":
            self.value = parse_go_bool(text)
        elif self.kind == "uint16":
            self.value = parse_go_uint(text, 16)
        elif self.kind == "list":
            items = read_csv(text)
            self.value = (self.value or []) + items if self.changed else items
        else:
            self.value = text
        self.changed = True


# (name, kind, shorthand, default) of the flags this simulator knows, per command.
ROOT_FLAGS = [
    ("admin-url", "string", "", ""), ("anonymize", "bool", "A", False),
    ("config", "string", "c", DEFAULT_CONFIG),
    ("daemon-addr", "string", "", "unix:///var/run/netbird.sock"),
    ("hostname", "string", "n", ""), ("log-file", "list", "", ["/var/log/netbird/client.log"]),
    ("log-level", "string", "l", "info"), ("management-url", "string", "m", ""),
    ("preshared-key", "string", "", ""), ("service", "string", "s", "netbird"),
    ("setup-key", "string", "k", ""), ("setup-key-file", "string", "", ""),
]
UP_FLAGS = [
    ("disable-auto-connect", "bool", "", False), ("enable-lazy-connection", "bool", "", False),
    ("external-ip-map", "list", "", None), ("foreground-mode", "bool", "F", False),
    ("interface-name", "string", "", "wt0"), ("mtu", "uint16", "", 1280),
    ("no-browser", "bool", "", False), ("profile", "string", "", ""),
    ("wireguard-port", "uint16", "", 51820),
]
STATUS_FLAGS = [("detail", "bool", "d", False), ("ipv4", "bool", "", False),
                ("json", "bool", "", False), ("yaml", "bool", "", False)]
DEBUG_FLAGS = [("system-info", "bool", "S", True), ("upload-bundle", "bool", "U", False),
               ("upload-bundle-url", "string", "", "https://upload.debug.netbird.io/upload-url")]

# The command tree: a node is (own flags, subcommands or None for a leaf).
COMMANDS = {
    "up": (UP_FLAGS, None), "down": ([], None), "status": (STATUS_FLAGS, None),
    "deregister": ([], None), "logout": ([], None), "version": ([], None),
    "service": ([], {"run": ([], None)}),
    "debug": (DEBUG_FLAGS, {"bundle": ([], None)}),
}
# Flags that may not be given together: cobra checks the root's group for every
# command, the other only for its own command.
ROOT_EXCLUSIVE = [("setup-key", "setup-key-file")]
EXCLUSIVE_GROUPS = {"status": [("detail", "json", "yaml", "ipv4")]}


class Command:
    """The parsed command line: path (e.g. ["debug", "bundle"]), flags, arguments."""

    def __init__(self, path, flags, args):
        self.path, self.flags, self.args = path, flags, args
        self.verb = path[0]

    def __getitem__(self, name):
        return self.flags[name].value

    def changed(self, name):
        return self.flags[name].changed


def exclusive_error(group, set_names):
    return ("if any flags in the group [%s] are set none of the others can be; [%s] were all set"
            % (" ".join(group), " ".join(sorted(set_names))))


def find_command(argv):
    """Cobra's first pass: the command path, skipping flags and their values."""
    valued = set()
    for name, kind, short, _ in ROOT_FLAGS + UP_FLAGS + STATUS_FLAGS + DEBUG_FLAGS:
        if kind != "bool":
            valued.add("--" + name)
            if short:
                valued.add("-" + short)
    words, i = [], 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            break
        if a.startswith("-") and len(a) > 1:
            if a in valued:
                i += 1
        else:
            words.append(a)
        i += 1
    path, node = [], (None, COMMANDS)
    for w in words:
        subs = node[1]
        if subs is None:
            break
        if w == "help" and not path:
            raise HelpRequested([], "help")
        if w not in subs:
            parent = " ".join(["netbird"] + path)
            raise CliError('unknown command %s for %s' % (go_quote(w), go_quote(parent)),
                           verb=w if w.isalpha() else "none", unknown_command_of=parent)
        path.append(w)
        node = subs[w]
    if not path or node[1] is not None:
        raise HelpRequested(path, path[0] if path else "none")
    return path


def parse_command_line(argv):
    path = find_command(argv)
    verb = path[0]
    known = list(ROOT_FLAGS)
    node = (None, COMMANDS)
    for w in path:
        node = node[1][w]
        known += node[0]
    flags = {entry[0]: Flag(*entry) for entry in known}
    shorts = {f.short: f for f in flags.values() if f.short}
    pending, args, i = list(path), [], 0

    def assign(flag, text):
        try:
            flag.set(text)
        except ValueError as e:
            raise CliError("invalid argument %s for %s flag: %s" % (go_quote(text), go_quote(flag.label()), e), verb)

    while i < len(argv):
        a = argv[i]
        if a == "--":
            args += argv[i + 1:]
            break
        if a.startswith("--") and len(a) > 2:
            name, eq, val = a[2:].partition("=")
            if name == "help":
                raise HelpRequested(path, verb)
            flag = flags.get(name)
            if flag is None:
                raise CliError("unknown flag: --%s" % name, verb)
            if eq:
                assign(flag, val)
            elif flag.kind == "bool":
                assign(flag, "true")
            elif i + 1 < len(argv):
                i += 1
                assign(flag, argv[i])
            else:
                raise CliError("flag needs an argument: %s" % a, verb)
        elif a.startswith("-") and len(a) > 1:
            letters, j = a[1:], 0
            while j < len(letters):
                c = letters[j]
                if c == "h":
                    raise HelpRequested(path, verb)
                flag = shorts.get(c)
                if flag is None:
                    raise CliError("unknown shorthand flag: %r in -%s" % (c, letters), verb)
                if letters[j + 1:j + 2] == "=":
                    assign(flag, letters[j + 2:])
                    break
                if flag.kind == "bool":
                    assign(flag, "true")
                    j += 1
                    continue
                if j + 1 < len(letters):
                    assign(flag, letters[j + 1:])
                elif i + 1 < len(argv):
                    i += 1
                    assign(flag, argv[i])
                else:
                    raise CliError("flag needs an argument: %r in -%s" % (c, letters), verb)
                break
        elif pending and a == pending[0]:
            pending.pop(0)
        else:
            args.append(a)     # cobra lets these commands take (and ignore) arguments
        i += 1
    cmd = Command(path, flags, args)
    for group in ROOT_EXCLUSIVE + EXCLUSIVE_GROUPS.get(verb, []):
        given = [n for n in group if flags[n].changed]
        if len(given) > 1:
            raise CliError(exclusive_error(group, given), verb)
    return cmd


def apply_env_flags(cmd):
    """NetBird's SetFlagsFromEnvVars: WT_<FLAG> then NB_<FLAG> set each flag the
    command reads from the environment; a value the flag refuses is only logged."""
    names = [s[0] for s in ROOT_FLAGS]
    if cmd.verb == "up":
        names += [s[0] for s in UP_FLAGS]
    for name in sorted(names):
        for prefix in ("WT_", "NB_"):
            var = prefix + name.upper().replace("-", "_")
            if var in os.environ:
                try:
                    cmd.flags[name].set(os.environ[var])
                except ValueError as e:
                    log_info_before_init("unable to configure flag %s using variable %s, err: %s" % (name, var, e))
    if cmd.changed("setup-key") and cmd.changed("setup-key-file"):
        fail(exclusive_error(("setup-key", "setup-key-file"), ["setup-key", "setup-key-file"]))
    level = cmd["log-level"]
    if level.lower() not in LOG_LEVELS:
        fail("failed initializing log not a valid logrus Level: %s" % go_quote(level))


def socket_path(cmd):
    addr = cmd["daemon-addr"]
    return addr[len("unix://"):] if addr.startswith("unix://") else None


HELP_TEXT = """NetBird client simulator (not the real client), version %s

Usage:
  netbird [command]

Available Commands:
  debug bundle  Create a debug bundle
  deregister    Deregister from the NetBird management service and delete this peer
  down          Disconnect from the NetBird network
  service run   Runs NetBird as service
  status        Display NetBird client status
  up            Connect to the NetBird network
  version       Print the NetBird's client application version

See the header of tools/netbird_sim.py for flags and the simulator's knobs.
""" % VERSION


# ---------------------------------------------------------------- external IP map

def interface_names():
    try:
        return set(os.listdir("/sys/class/net"))
    except OSError:
        return {name for _, name in socket.if_nameindex()}


def is_go_ip(text):
    """net.ParseIP: IPv4 dotted quad or IPv6, no zone."""
    if "%" in text:
        return False
    try:
        ipaddress.ip_address(text)
        return True
    except ValueError:
        return False


def validate_external_ip_map(entries):
    """NetBird's check of --external-ip-map; returns its error text or None."""
    flag = "external-ip-map"
    ifaces = None
    for entry in entries or []:
        if entry == "":
            return "empty string is not a valid input for %s" % flag
        parts = entry.split("/")
        if len(parts) > 2:
            return '%s is not a valid input for %s. it should be formatted as "String" or "String/String"' % (entry, flag)
        if len(parts) == 1 and not is_go_ip(parts[0]):
            return ('%s is not a valid input for %s. it should be formatted as "IP" or "IP/IP", '
                    'or "IP/Interface Name"' % (entry, flag))
        last = None
        for part in parts:
            if is_go_ip(part):
                kind = "ip"
            else:
                ifaces = interface_names() if ifaces is None else ifaces
                if part not in ifaces:
                    return "%s is not a valid input for %s. it should be an IP string or a network name" % (part, flag)
                kind = "iface"
            if last == "iface" and kind == "iface":
                return "%s is not a valid input for %s. it should not contain two interface names" % (entry, flag)
            last = kind
    return None


def validate_mtu(mtu):
    if mtu < 576:
        return "MTU %d below minimum (576 bytes)" % mtu
    if mtu > 8192:
        return "MTU %d exceeds maximum supported size (8192 bytes)" % mtu
    return None


# ---------------------------------------------------------------- status model

PEER_NAMES = ("nvr-main", "office-laptop", "cam-entrance", "cam-yard", "gateway-berlin",
              "support-desk", "cam-warehouse", "backup-server")
MARKUP_PEER_NAME = "<img src=x onerror=alert(1)>"
MAX_PEERS = 20000
PEER_GRACE_NS = 60 * 10**9     # states keep their first mix this long after connecting
ADDRESS_SPACE = 254 * 254      # 100.92.1.1 .. 100.92.254.254


def overlay_ip(index):
    """A unique address in the account's /16 for peer number index (a fixed
    permutation, so neighbours do not get neighbouring addresses)."""
    v = (index * 40503 + 12345) % ADDRESS_SPACE
    return "100.92.%d.%d" % (1 + v // 254, 1 + v % 254)


def ip_sort_key(ip):
    return tuple(int(x) for x in ip.split("."))


def peer_names(count, markup):
    names = [PEER_NAMES[i] if i < len(PEER_NAMES) else "%s-%d" % (PEER_NAMES[i % len(PEER_NAMES)], i // len(PEER_NAMES))
             for i in range(count)]
    if markup:
        names.append(MARKUP_PEER_NAME)
    return names


def build_peers(count, markup, since_ns, now_ns, clock):
    """The remote peers of a connected daemon, in NetBird's JSON shape."""
    elapsed = max(0, now_ns - since_ns)
    now_s = now_ns // 10**9
    peers = []
    for i, name in enumerate(peer_names(count, markup)):
        h = hashlib.sha256(name.encode()).digest()
        # The state: a fixed mix at first, later one that changes per time slot.
        relayed = i % 2 == 1
        state = "Idle" if i % 3 == 2 else "Connecting" if i % 10 == 7 else "Connected"
        changed_ns = since_ns
        if elapsed >= PEER_GRACE_NS:
            period = (60 + h[4] * 240 // 255) * 10**9
            slot = (elapsed - PEER_GRACE_NS) // period + 1
            changed_ns = since_ns + PEER_GRACE_NS + (slot - 1) * period
            roll = hashlib.sha256(b"%s/%d" % (h, slot)).digest()
            state = "Connected" if roll[0] < 170 else "Idle" if roll[0] < 230 else "Connecting"
            relayed = roll[1] >= 150
        changed_ns = min(changed_ns + h[9] * 3_906_250 + h[10], now_ns)    # a sub-second part, never ahead
        online = state == "Connected"
        p2p_local = ("host", "srflx", "prflx")[h[11] % 3]
        if online:
            base_ms = 20 + h[8] % 150 if relayed else 1 + h[8] % 40
            wobble = ((now_s // 3) * 2654435761 + h[12]) % 1000       # changes every 3 s
            latency = int(base_ms * 1_000_000 * (0.85 + wobble / 3333)) + h[13] * 997
            handshake = now_ns - ((now_s + h[14]) % 120) * 10**9 - h[15] * 1_953_125
            up_s = elapsed / 1e9
            received = 4096 * (h[16] + 1) + int(up_s * (300 + h[17] * 40))
            sent = 2048 * (h[18] + 1) + int(up_s * (150 + h[19] * 25))
        p = {
            "fqdn": name + ".netbird.cloud",
            "netbirdIp": overlay_ip(i),
            "publicKey": base64.b64encode(h).decode(),
            "status": state,
            "lastStatusUpdate": clock.format(changed_ns),
            "connectionType": ("Relayed" if relayed else "P2P") if online else "-",
            "iceCandidateType": {"local": ("relay" if relayed else p2p_local) if online else "",
                                 "remote": ("relay" if relayed else "srflx") if online else ""},
            "iceCandidateEndpoint": {
                "local": "" if relayed or not online else "192.168.1.%d:51820" % (2 + h[20] % 250),
                "remote": "" if relayed or not online else "203.0.113.%d:%d" % (1 + h[21] % 254, 40000 + h[22] * 97)},
            "relayAddress": RELAY_URL if online and relayed else "",
            "lastWireguardHandshake": clock.format(handshake) if online else NEVER,
            "transferReceived": received if online else 0,
            "transferSent": sent if online else 0,
            "latency": latency if online else 0,
            "quantumResistance": False,
            "networks": None,
        }
        peers.append(p)
    peers.sort(key=lambda p: ip_sort_key(p["netbirdIp"]))
    return peers


def status_overview(st, now_ns):
    """NetBird's status overview (client/status) for the daemon state st, as the
    JSON output orders its members."""
    clock = GoClock(now_ns)
    daemon_status = st["daemon_status"]
    connected = daemon_status == "Connected"
    peers = build_peers(st["peers"], st["peer_markup"], st["since_ns"], now_ns, clock) if connected else []
    return {
        "peers": {"total": len(peers), "connected": sum(p["status"] == "Connected" for p in peers),
                  "details": peers or None},
        "cliVersion": VERSION,
        "daemonVersion": VERSION,
        "daemonStatus": daemon_status,
        "management": {"url": st["management_url"], "connected": st["management_connected"],
                       "error": st["management_error"]},
        "signal": {"url": SIGNAL_URL if st["enrolled"] else "", "connected": st["signal_connected"],
                   "error": st["signal_error"]},
        "relays": {"total": 1 if connected else 0, "available": 1 if connected else 0,
                   "details": [{"uri": RELAY_URL, "available": True, "error": ""}] if connected else None},
        "netbirdIp": st["ip"] if connected else "",
        "publicKey": st["public_key"],
        "usesKernelInterface": False,
        "wireguardPort": st["wireguard_port"] if connected else 0,
        "fqdn": st["fqdn"],
        "quantumResistance": False,
        "quantumResistancePermissive": False,
        "networks": None,
        "forwardingRules": 0,
        "dnsServers": [],
        "events": None,
        "lazyConnectionEnabled": st["lazy"] if connected else False,
        "profileName": "default",
        "sshServer": {"enabled": False, "sessions": []},
    }


def status_summary(o):
    """The human-readable status (no flag)."""
    m, s = o["management"], o["signal"]
    mgmt = "Connected" if m["connected"] else "Disconnected" + (", reason: " + m["error"] if m["error"] else "")
    sig = "Connected" if s["connected"] else "Disconnected" + (", reason: " + s["error"] if s["error"] else "")
    ip, itype = (o["netbirdIp"], "Userspace") if o["netbirdIp"] else ("N/A", "N/A")
    return ("OS: %s/%s\nDaemon version: %s\nCLI version: %s\nProfile: %s\nManagement: %s\nSignal: %s\n"
            "Relays: %d/%d Available\nNameservers: 0/0 Available\nFQDN: %s\nNetBird IP: %s\n"
            "Interface type: %s\nWireguard port: %s\nQuantum resistance: false\nLazy connection: %s\n"
            "SSH Server: Disabled\nNetworks: -\nPeers count: %d/%d Connected\n") % (
        platform.system().lower(), go_arch(), o["daemonVersion"], o["cliVersion"], o["profileName"],
        mgmt, sig, o["relays"]["available"], o["relays"]["total"], o["fqdn"], ip, itype,
        o["wireguardPort"] or "N/A", str(o["lazyConnectionEnabled"]).lower(),
        o["peers"]["connected"], o["peers"]["total"])


def status_detail(o, now_ns):
    """The detailed status (--detail): peers, events, then the summary."""
    parts = []
    for p in o["peers"]["details"] or []:
        parts.append(
            "\n %s:\n  NetBird IP: %s\n  Public key: %s\n  Status: %s\n  -- detail --\n"
            "  Connection type: %s\n  ICE candidate (Local/Remote): %s/%s\n"
            "  ICE candidate endpoints (Local/Remote): %s/%s\n  Relay server address: %s\n"
            "  Last connection update: %s\n  Last WireGuard handshake: %s\n"
            "  Transfer status (received/sent) %s/%s\n  Quantum resistance: false\n  Networks: -\n"
            "  Latency: %s\n" % (
                p["fqdn"], p["netbirdIp"], p["publicKey"], p["status"], p["connectionType"],
                p["iceCandidateType"]["local"] or "-", p["iceCandidateType"]["remote"] or "-",
                p["iceCandidateEndpoint"]["local"] or "-", p["iceCandidateEndpoint"]["remote"] or "-",
                p["relayAddress"], time_ago(parse_go_time(p["lastStatusUpdate"]), now_ns),
                time_ago(parse_go_time(p["lastWireguardHandshake"]), now_ns),
                to_iec(p["transferReceived"]), to_iec(p["transferSent"]), go_duration(p["latency"])))
    return "Peers detail:%s\nEvents:%s\n%s" % ("".join(parts), "\n  No events recorded", status_summary(o))


# ---------------------------------------------------------------- config file

def url_object(text):
    """A URL as Go's url.URL marshals to JSON (how NetBird stores its URLs)."""
    u = urllib.parse.urlsplit(text)
    return {"Scheme": u.scheme, "Opaque": "", "User": None, "Host": u.netloc, "Path": u.path,
            "RawPath": "", "OmitHost": False, "ForceQuery": False, "RawQuery": u.query,
            "Fragment": u.fragment, "RawFragment": ""}


def url_text(value, default):
    if isinstance(value, str) and value:
        return value
    if isinstance(value, dict) and value.get("Host"):
        text = "%s://%s%s" % (value.get("Scheme") or "https", value["Host"], value.get("Path") or "")
        return text + ("?" + value["RawQuery"] if value.get("RawQuery") else "")
    return default


def new_private_key():
    """A WireGuard private key: 32 random bytes, clamped, base64."""
    k = bytearray(secrets.token_bytes(32))
    k[0] &= 248
    k[31] = (k[31] & 127) | 64
    return base64.b64encode(bytes(k)).decode()


# What NetBird decodes each member the simulator writes into (its Go type).
CONFIG_MEMBER_TYPES = {
    "PrivateKey": "string", "PreSharedKey": "string", "ManagementURL": "url.URL",
    "AdminURL": "url.URL", "WgIface": "string", "WgPort": "int", "MTU": "uint16",
    "NATExternalIPs": "[]string", "DisableAutoConnect": "bool", "LazyConnectionEnabled": "bool",
}
# Python's JSON error messages and the words Go's decoder uses in their place.
JSON_ERROR_CONTEXTS = {
    "Expecting value": "looking for beginning of value",
    "Expecting ',' delimiter": "after object key:value pair",
    "Expecting ':' delimiter": "after object key",
    "Expecting property name enclosed in double quotes": "looking for beginning of object key string",
    "Extra data": "after top-level value",
}
UINT16_MAX = 65535


def json_kind(value):
    """The JSON kind Go's errors name. Example: [1] -> "array", True -> "bool"."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, (int, float)):
        return "number"
    return {str: "string", list: "array", dict: "object"}[type(value)]


def go_json_syntax_error(text):
    """Parses a configuration file's text as Go's encoding/json would: returns
    (value, None), or (None, Go's error text) when it is not JSON.
    Example: '{"WgPort": 1,}' -> (None, "invalid character '}' looking for beginning
    of object key string"); "" -> (None, "unexpected end of JSON input")."""
    if not text.strip():
        return None, "unexpected end of JSON input"
    try:
        return json.loads(text), None
    except json.JSONDecodeError as e:
        if e.pos >= len(text.rstrip()):
            return None, "unexpected end of JSON input"
        ch = text[e.pos]
        quoted = "'\\''" if ch == "'" else "'%s'" % json.dumps(ch, ensure_ascii=False)[1:-1].replace('\\"', '"')
        context = JSON_ERROR_CONTEXTS.get(e.msg, "looking for beginning of value")
        return None, "invalid character %s %s" % (quoted, context)


def config_shape_error(value):
    """Go's error for decoding a JSON value into NetBird's Config, None when it
    fits (null fits: it leaves the defaults). Members are checked in the file's
    order, as the decoder reports the first mismatch.
    Example: {"WgPort": "51820"} -> "json: cannot unmarshal string into Go struct
    field Config.WgPort of type int"; [] -> "json: cannot unmarshal array into Go
    value of type profilemanager.Config"."""
    if value is None:
        return None
    if not isinstance(value, dict):
        return "json: cannot unmarshal %s into Go value of type profilemanager.Config" % json_kind(value)
    for name, member in value.items():
        gotype = CONFIG_MEMBER_TYPES.get(name)
        if gotype is None or member is None:
            continue
        kind, wanted = json_kind(member), gotype
        if gotype in ("int", "uint16") and kind == "number":
            if isinstance(member, int) and (gotype == "int" or 0 <= member <= UINT16_MAX):
                continue
            kind = "number %s" % json.dumps(member)
        elif gotype == "[]string" and kind == "array":
            odd = [x for x in member if x is not None and not isinstance(x, str)]
            if not odd:
                continue
            kind, wanted = json_kind(odd[0]), "string"
        elif {"string": "string", "bool": "bool", "url.URL": "object"}.get(gotype) == kind:
            continue
        return "json: cannot unmarshal %s into Go struct field Config.%s of type %s" % (kind, name, wanted)
    return None


# ---------------------------------------------------------------- daemon

def outage_value_on(value):
    """An outage knob's value: on for an on value, but a value that is an
    absolute path is on only while that file exists.
    Example: "1" -> True; "/tmp/outage" -> True while /tmp/outage exists."""
    if not env_on(value):
        return False
    return os.path.exists(value) if value.startswith("/") else True


def between_retries(elapsed, attempt, fixed_wait):
    """Whether NetBird's connect loop, `elapsed` seconds after it started against
    a server it cannot reach, waits between two attempts (True) rather than
    attempting (False). Each attempt lasts `attempt` seconds; the waits follow
    NetBird's back-off (1 s, then 1.7 times longer each, at most 15 s) or, when
    `fixed_wait` is not None, last that long each.
    Example: attempt 10, NetBird's waits: 5 -> False, 10.5 -> True, 11.5 -> False,
    22 -> True (the second wait, 21 to 22.7)."""
    wait = RETRY_FIRST_WAIT_S if fixed_wait is None else fixed_wait
    while True:
        period = attempt + wait
        if period <= 0:
            return False
        if fixed_wait is not None or wait >= RETRY_MAX_WAIT_S:
            elapsed %= period        # every later cycle is the same
        if elapsed < attempt:
            return False
        if elapsed < period:
            return True
        elapsed -= period
        wait = min(wait * RETRY_MULTIPLIER, RETRY_MAX_WAIT_S)


class Knobs:
    """The NB_SIM_* knobs of one request: the command's values (sent along with
    the request) first, the daemon's own environment second."""

    def __init__(self, sent):
        self.sent = sent if isinstance(sent, dict) else {}

    def text(self, name):
        value = str(self.sent.get(name, ""))
        return value if value != "" else os.environ.get(name, "")

    def on(self, name):
        return env_on(str(self.sent.get(name, ""))) or env_on(os.environ.get(name, ""))

    def outage(self, name):
        return outage_value_on(str(self.sent.get(name, ""))) or outage_value_on(os.environ.get(name, ""))

    def number(self, name, default, low=0.0, high=None):
        try:
            value = float(self.text(name))
        except ValueError:
            return default
        value = max(low, value)
        return min(high, value) if high is not None else value

    def login_state(self):
        wanted = self.text("NB_SIM_LOGIN_STATE").strip().lower()
        return {"loginfailed": "LoginFailed", "sessionexpired": "SessionExpired"}.get(wanted)


class RpcFailure(Exception):
    """A daemon call that fails, with its gRPC code (as the CLI prints it)."""

    def __init__(self, desc, code="Unknown"):
        super().__init__(desc)
        self.code, self.desc = code, desc


class SsoAttempt:
    def __init__(self, code_apart):
        letters = "BCDFGHJKLMNPQRSTVWXZ"
        self.code = "%s-%s" % ("".join(secrets.choice(letters) for _ in range(4)),
                               "".join(secrets.choice(letters) for _ in range(4)))
        self.url = SSO_URL_WITHOUT_CODE if code_apart else SSO_URL % self.code
        self.cancelled = threading.Event()


OUTAGE_KNOBS = (("mgmt", "NB_SIM_MGMT_DISCONNECTED"), ("signal", "NB_SIM_SIGNAL_DISCONNECTED"))


class Daemon:
    def __init__(self, cmd):
        self.main_config = self.config = cmd["config"]
        self.sock = socket_path(cmd)
        self.default_mgmt = cmd["management-url"] or DEFAULT_MGMT
        self.console, self.log_files = False, []
        # Without --log-file the real daemon logs to /var/log/netbird; the
        # simulator keeps to the console instead.
        for part in cmd["log-file"] if cmd.changed("log-file") else ["console"]:
            if part == "console":
                self.console = True
            elif part and part != "syslog":
                self.log_files.append(part)
        self.lock = threading.Lock()
        self.log_lock = threading.RLock()    # also taken by the signal handler
        self.cfg = {}
        self.enrolled = False
        self.created = False                 # the last load wrote a new file
        # phase: "idle" (Idle; NeedsLogin when not enrolled, unless it started
        # quiet), "loop" (the connect loop runs: Connecting until it connects, then
        # Connected), "login" (a login trying to reach an unreachable server),
        # "sso" (waiting for a browser sign-in) or "login_failed".
        self.phase = "idle"
        self.quiet = False                   # started idle by DisableAutoConnect
        self.loop_ns = 0                     # when the loop started
        self.connect_ns = 0                  # when it connects if nothing stops it
        self.connected_ns = None             # when it connected
        # When the daemon learned that each server is unreachable (None: reachable),
        # and when it last learned that an outage ended.
        self.outage_since = {which: None for which, _ in OUTAGE_KNOBS}
        self.outage_end_ns = 0
        self.login_state_cleared = False     # an up with a key overrode NB_SIM_LOGIN_STATE
        self.expired_told = False            # SessionExpired was reported once
        self.sso = None
        self.stopping = False

    # -- logging and the config file

    def log(self, level, msg, raw=b"", end=b"\n"):
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        data = ("%s %s daemon: %s" % (stamp, level, msg)).encode() + raw + end
        with self.log_lock:
            if self.console:
                out(data, sys.stderr)
            for path in self.log_files:
                try:
                    with open(path, "ab") as f:
                        f.write(data)
                except OSError:
                    pass

    def save_config(self):
        d = os.path.dirname(self.config)
        if d:
            os.makedirs(d, mode=0o700, exist_ok=True)
        tmp = "%s.%d.tmp" % (self.config, os.getpid())
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(json.dumps(self.cfg, indent=4) + "\n")
        os.replace(tmp, self.config)

    def load_config(self):
        """Reads the active config file, or creates it (not enrolled) when it is
        missing. Returns NetBird's error text for a file it cannot use, else None."""
        self.created = False
        try:
            with open(self.config, "rb") as f:
                raw = f.read()
        except FileNotFoundError:
            self.cfg = {
                "PrivateKey": new_private_key(), "PreSharedKey": "",
                "ManagementURL": url_object(self.default_mgmt), "AdminURL": url_object(DEFAULT_ADMIN),
                "WgIface": "wt0", "WgPort": 51820, "MTU": 1280, "NATExternalIPs": None,
                "DisableAutoConnect": False, "LazyConnectionEnabled": False,
            }
            self.enrolled = False
            self.save_config()
            self.created = True
            self.log("INFO", "created new config file %s" % self.config)
            return None
        except OSError as e:
            return go_errno(e)
        value, err = go_json_syntax_error(raw.decode("utf-8", "replace"))
        err = err or config_shape_error(value)
        if err:
            return err
        self.cfg = value if isinstance(value, dict) else {}
        if not self.cfg.get("PrivateKey"):
            self.cfg["PrivateKey"] = new_private_key()
            self.save_config()
        self.enrolled = self.cfg.get("SimEnrolled") is True
        return None

    def public_key(self):
        return base64.b64encode(hashlib.sha256(self.cfg.get("PrivateKey", "").encode()).digest()).decode()

    # -- the connect loop and what the daemon knows of outages

    def start_loop(self, now_ns, delay_s):
        self.phase = "loop"
        self.quiet = False
        self.loop_ns = now_ns
        self.connect_ns = now_ns + int(delay_s * 1e9)
        self.connected_ns = None

    def end_loop(self):
        if self.phase == "loop":
            self.phase = "idle"
        self.connected_ns = None

    def blocked(self):
        return any(since is not None for since in self.outage_since.values())

    def advance_loop(self, now_ns):
        """Lets a loop that has not connected connect, or give up, if no outage
        stops it."""
        if self.phase != "loop" or self.connected_ns is not None or self.blocked():
            return
        if not self.enrolled:
            # The server answers that this peer is not registered: the loop ends.
            self.phase = "idle"
            self.log("WARN", "peer is not registered: the connection needs a login")
        elif now_ns >= self.connect_ns:
            self.connected_ns = max(self.connect_ns, self.outage_end_ns)

    def settle(self, knobs, now_ns):
        """Brings the loop up to now: first with what the daemon knew before this
        request, then with the request's news (an outage it reports began at the
        latest now; one it no longer reports ended now)."""
        self.advance_loop(now_ns)
        for which, name in OUTAGE_KNOBS:
            on = knobs.outage(name)
            if on and self.outage_since[which] is None:
                self.outage_since[which] = now_ns
                self.log("WARN", "%s server unreachable" % ("management" if which == "mgmt" else "signal"))
            elif not on and self.outage_since[which] is not None:
                self.outage_since[which] = None
                self.outage_end_ns = now_ns
        if knobs.login_state() != "SessionExpired":
            self.expired_told = False
        self.advance_loop(now_ns)

    def retry_error(self, knobs, now_ns):
        """The error NetBird's state holds while its loop waits between two
        attempts to reach a server (every status call then fails), else None."""
        if self.phase != "loop" or self.connected_ns is not None or not self.blocked():
            return None
        attempt = knobs.number("NB_SIM_MGMT_ATTEMPT", MGMT_ATTEMPT_S)
        fixed = knobs.number("NB_SIM_MGMT_RETRY_WAIT", None)
        if not between_retries((now_ns - self.loop_ns) / 1e9, attempt, fixed):
            return None
        return MGMT_ATTEMPT_FAILED if self.outage_since["mgmt"] is not None else SIGNAL_ATTEMPT_FAILED

    def forced_state(self, knobs):
        forced = knobs.login_state()
        return forced if forced and self.enrolled and not self.login_state_cleared else None

    def pause(self, conn, seconds):
        """Waits, as a request that takes time does, until its client leaves."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not client_gone(conn):
            time.sleep(min(POLL_S, max(0.0, deadline - time.monotonic())))

    # -- state

    def status_of(self, knobs, now_ns):
        """The daemonStatus this daemon reports, given the request's knobs."""
        if self.phase in ("sso", "login"):
            return "Connecting"
        if self.phase == "login_failed":
            return "LoginFailed"
        forced = self.forced_state(knobs)
        if forced:
            return "NeedsLogin" if forced == "SessionExpired" and self.expired_told else forced
        if self.phase == "idle":
            return "Idle" if self.enrolled or self.quiet else "NeedsLogin"
        return "Connected" if self.connected_ns is not None else "Connecting"

    def state(self, knobs, now_ns):
        status = self.status_of(knobs, now_ns)
        connected = status == "Connected"
        mgmt_out = self.outage_since["mgmt"] is not None
        signal_out = self.outage_since["signal"] is not None
        forced = self.forced_state(knobs)
        err = ""
        if forced and self.phase != "login_failed":
            err = LOGIN_STATE_ERRORS[forced]
        elif connected and mgmt_out:
            err = MGMT_UNREACHABLE
        elif (status == "Connecting" and self.phase == "loop" and self.blocked()
              and now_ns - self.loop_ns >= knobs.number("NB_SIM_MGMT_ATTEMPT", MGMT_ATTEMPT_S) * 1e9):
            # An attempt failed already: the status recorder holds its error.
            err = "rpc error: code = FailedPrecondition desc = " + (
                MGMT_ATTEMPT_FAILED if mgmt_out else SIGNAL_ATTEMPT_FAILED)
        h = hashlib.sha256(self.cfg.get("PrivateKey", "").encode()).digest()
        try:
            peers = max(0, min(int(knobs.text("NB_SIM_PEERS") or 0), MAX_PEERS))
        except ValueError:
            peers = 0
        return {
            "daemon_status": status, "enrolled": self.enrolled,
            "management_url": url_text(self.cfg.get("ManagementURL"), DEFAULT_MGMT),
            "management_connected": connected and not mgmt_out, "management_error": err,
            "signal_connected": connected and not signal_out,
            "signal_error": SIGNAL_UNREACHABLE if connected and signal_out else "",
            "public_key": self.public_key() if self.enrolled else "",
            "fqdn": "vantrel-sim-%s.netbird.cloud" % h[:3].hex() if self.enrolled else "",
            "ip": "%s/16" % overlay_ip(ADDRESS_SPACE - 1 - h[3]),
            "wireguard_port": self.cfg.get("WgPort", 51820), "lazy": bool(self.cfg.get("LazyConnectionEnabled")),
            "since_ns": self.connected_ns or 0, "peers": peers, "peer_markup": knobs.on("NB_SIM_PEER_MARKUP"),
        }

    def cancel_sso(self):
        if self.sso is not None:
            self.sso.cancelled.set()
            self.sso = None
        if self.phase in ("sso", "login_failed"):
            self.phase = "idle"

    # -- requests

    def waiting_for_loop(self, knobs):
        """Whether a status call that waits for the client to be ready still waits:
        while the loop runs and has not connected (NetBird stops waiting when the
        loop ends or the state leaves Idle, Connecting and Connected)."""
        return self.phase == "loop" and self.connected_ns is None and not self.forced_state(knobs)

    def do_status(self, req, knobs, conn):
        if req.get("wait_for_ready"):
            first = True
            while True:
                with self.lock:
                    now_ns = time.time_ns()
                    self.settle(knobs, now_ns)
                    if not self.waiting_for_loop(knobs):
                        break
                    err = self.retry_error(knobs, now_ns)
                    if err and first:
                        raise RpcFailure(err, "FailedPrecondition")
                first = False
                if client_gone(conn):
                    raise RpcFailure("context canceled", "Canceled")
                time.sleep(POLL_S)
        with self.lock:
            now_ns = time.time_ns()
            self.settle(knobs, now_ns)
            err = self.retry_error(knobs, now_ns)
            if err:
                raise RpcFailure(err, "FailedPrecondition")
            st = self.state(knobs, now_ns)
            if st["daemon_status"] == "SessionExpired":
                self.expired_told = True
            return {"state": st}

    def do_setconfig(self, req, knobs, conn):
        c = req.get("config") or {}
        with self.lock:
            if c.get("management_url"):
                self.cfg["ManagementURL"] = url_object(c["management_url"])
            for key, member in (("interface_name", "WgIface"), ("wireguard_port", "WgPort"), ("mtu", "MTU"),
                                ("lazy", "LazyConnectionEnabled"), ("disable_auto_connect", "DisableAutoConnect")):
                if key in c:
                    self.cfg[member] = c[key]
            if "external_ip_map" in c:
                self.cfg["NATExternalIPs"] = c["external_ip_map"] or None
            try:
                self.save_config()
            except OSError as e:
                raise RpcFailure("failed to update config: %s" % e)
        return {}

    def do_switch_profile(self, req, knobs, conn):
        name = str(req.get("profile") or "default")
        with self.lock:
            path = self.main_config if name == "default" else os.path.join(
                os.path.dirname(self.main_config), "profiles", name + ".json")
            if path == self.config:
                return {}
            old = (self.config, self.cfg, self.enrolled)
            self.config = path
            err = self.load_config()
            if err:
                self.config, self.cfg, self.enrolled = old
                raise RpcFailure("failed to get config: %s" % err)
            self.log("INFO", "switching to profile %s (%s)" % (name, path))
        return {}

    def do_login(self, req, knobs, conn):
        key = base64.b64decode(req.get("setup_key_b64") or "")
        with self.lock:
            self.cancel_sso()
            self.end_loop()                # a login ends the connect loop
            self.quiet = False
            forced = self.forced_state(knobs)
            unreachable = self.outage_since["mgmt"] is not None
            if unreachable:
                self.phase = "login"
            elif self.enrolled and not forced:
                return {"needs_sso": False}    # a known peer: a key is ignored
        if unreachable:
            # One attempt as the known peer, one more with the key or for the
            # sign-in flow: both end at the connect time-out.
            self.pause(conn, 2 * knobs.number("NB_SIM_MGMT_ATTEMPT", MGMT_ATTEMPT_S))
            with self.lock:
                if self.phase == "login":
                    self.phase = "login_failed"
            self.log("ERRO", "failed login: %s" % LOGIN_UNREACHABLE)
            raise RpcFailure(LOGIN_UNREACHABLE, "DeadlineExceeded")
        with self.lock:
            if key and knobs.on("NB_SIM_REFUSE_KEY"):
                self.phase = "login_failed"
                self.log("ERRO", "failed login: %s" % KEY_REFUSED)
                raise RpcFailure(KEY_REFUSED, "FailedPrecondition")
            if key:
                self.enrol(forced, "with a setup key")
                return {"needs_sso": False}
            self.sso = SsoAttempt(knobs.on("NB_SIM_SSO_CODE_APART"))
            return {"needs_sso": True, "url": self.sso.url, "user_code": self.sso.code}

    def enrol(self, forced, how):
        """The management server accepted this peer (under self.lock). A new login
        clears a refused one; a state forced later still shows."""
        self.enrolled = self.cfg["SimEnrolled"] = True
        self.login_state_cleared = bool(forced)
        try:
            self.save_config()
        except OSError as e:
            raise RpcFailure("failed to update config: %s" % e)
        self.log("INFO", "peer enrolled %s (management %s)" % (how, url_text(self.cfg.get("ManagementURL"), DEFAULT_MGMT)))

    def do_wait_sso(self, req, knobs, conn):
        wait = knobs.number("NB_SIM_SSO_WAIT", 900.0)
        with self.lock:
            sso = self.sso
            if sso is None or sso.code != req.get("user_code"):
                self.phase = "login_failed"
                raise RpcFailure("sso user code is invalid", "InvalidArgument")
            self.phase = "sso"
        deadline = time.monotonic() + wait
        reason = None
        while reason is None:
            answer = take_sso_answer(knobs.text("NB_SIM_SSO_ANSWER"))
            if sso.cancelled.wait(min(POLL_S, max(0.0, deadline - time.monotonic()))):
                reason = ("Canceled", "context canceled")
            elif answer == "approve":
                with self.lock:
                    if self.sso is not sso:
                        continue               # a down or a new login took it meanwhile
                    self.sso = None
                    self.phase = "idle"
                    self.enrol(self.forced_state(knobs), "by an SSO sign-in")
                return {"email": "installer@example.invalid"}
            elif answer == "deny":
                reason = ("Unknown", SSO_DENIED)
            elif answer == "expire" or time.monotonic() >= deadline:
                reason = ("DeadlineExceeded", "context deadline exceeded")
            elif client_gone(conn):
                reason = ("Canceled", "context canceled")
        with self.lock:
            if self.sso is sso:
                self.sso = None
                self.phase = "login_failed"
        self.log("ERRO", "waiting for browser login failed: %s" % reason[1])
        raise RpcFailure(reason[1], reason[0])

    def do_up(self, req, knobs, conn):
        with self.lock:
            if not self.enrolled:
                raise RpcFailure("config is not defined, please call login command first")
            if self.phase != "loop":
                self.start_loop(time.time_ns(), 0.0)
                self.settle(knobs, time.time_ns())
        return {}

    def do_down(self, req, knobs, conn):
        with self.lock:
            self.cancel_sso()
            self.end_loop()
            self.phase = "idle"
        return {}

    def do_deregister(self, req, knobs, conn):
        if knobs.on("NB_SIM_DEREGISTER_UNREACHABLE"):
            raise RpcFailure("connect to management server: context deadline exceeded")
        with self.lock:
            unreachable = self.outage_since["mgmt"] is not None
        if unreachable:
            self.pause(conn, knobs.number("NB_SIM_MGMT_ATTEMPT", MGMT_ATTEMPT_S))
            raise RpcFailure("connect to management server: context deadline exceeded")
        with self.lock:
            self.cancel_sso()
            self.end_loop()
            self.phase = "idle"
            self.quiet = False
            self.enrolled = self.login_state_cleared = False
            self.cfg.pop("SimEnrolled", None)
            try:
                self.save_config()
            except OSError as e:
                self.log("WARN", "could not rewrite %s: %s" % (self.config, e))
        return {}

    def do_bundle(self, req, knobs, conn):
        fd, path = tempfile.mkstemp(prefix="netbird.debug.", suffix=".zip", dir=tempfile.gettempdir())
        os.close(fd)
        path = os.path.abspath(path)
        with self.lock:
            st = status_overview(self.state(knobs, time.time_ns()), time.time_ns())
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
        rep = {"path": path}
        if req.get("upload_bundle"):
            hang = knobs.number("NB_SIM_UPLOAD_HANG", 0.0)
            if hang > 0:
                # NetBird's daemon uploads before it answers: the CLI learns the
                # path only afterwards.
                self.log("INFO", "uploading debug bundle %s" % path)
                self.pause(conn, hang)
            if knobs.on("NB_SIM_UPLOAD_FAIL"):
                rep["upload_failure_reason"] = "upload debug bundle: get presigned URL: simulated: upload service unreachable"
            else:
                rep["upload_key"] = "%s/%s" % (secrets.token_hex(4), secrets.token_hex(4))
        return rep

    def handle(self, conn):
        verb = "?"
        try:
            conn.settimeout(REPLY_TIMEOUT)
            try:
                conn.sendall(b'{"hello":"netbird-sim"}\n')
                line = read_line(conn, time.monotonic() + REPLY_TIMEOUT)
            except OSError:
                line = None
            if line is None:
                return  # a client that only looked whether the socket accepts
            req = json.loads(line)
            verb = str(req.get("verb", "?"))
            knobs = Knobs(req.get("knobs"))
            try:
                handler = {"status": self.do_status, "setconfig": self.do_setconfig, "login": self.do_login,
                           "waitsso": self.do_wait_sso, "up": self.do_up, "down": self.do_down,
                           "deregister": self.do_deregister, "debug": self.do_bundle,
                           "switchprofile": self.do_switch_profile}.get(verb)
                if handler is None:
                    raise RpcFailure("unknown method %s" % verb, "Unimplemented")
                with self.lock:
                    self.settle(knobs, time.time_ns())
                rep = dict(handler(req, knobs, conn), ok=True)
            except RpcFailure as e:
                rep = {"ok": False, "code": e.code, "error": e.desc}
            self.log("INFO", "handled request verb=%s ok=%s%s" % (
                verb, str(rep["ok"]).lower(), "" if rep["ok"] else " error=%s" % rep["error"]))
            conn.sendall(json.dumps(rep).encode() + b"\n")
        except Exception as e:  # keep serving whatever one client does
            self.log("WARN", "request verb=%s failed: %s" % (verb, e))
        finally:
            conn.close()

    def stop_on_signal(self, srv):
        """NetBird's service stop on SIGTERM: the tunnel down, the server stopped
        (its socket removed), a pause, exit 0."""
        def stop(signum, frame):
            if self.stopping:
                return
            self.stopping = True
            self.log("INFO", "received signal %d, stopping NetBird service" % signum)
            with self.lock:
                self.cancel_sso()
                self.end_loop()
                self.phase = "idle"
            srv.close()
            try:
                if stat.S_ISSOCK(os.lstat(self.sock).st_mode):
                    os.unlink(self.sock)
            except OSError:
                pass
            time.sleep(Knobs({}).number("NB_SIM_STOP_WAIT", STOP_WAIT_S))
            self.log("INFO", "stopped NetBird service")
            os._exit(0)
        for signum in (signal.SIGTERM, signal.SIGINT):
            signal.signal(signum, stop)

    def run(self):
        raw = b" " + BAD_BYTES if env_on(os.environ.get("NB_SIM_NON_UTF8", "")) else b""
        for p in self.log_files:
            if os.path.dirname(p):
                os.makedirs(os.path.dirname(p), exist_ok=True)
        self.log("INFO", 'starting NetBird daemon {"version":"%s-sim"}' % VERSION)
        self.log("INFO", "simulator of the NetBird client, not the real client", raw, b"\r\n")
        if self.sock is None:
            self.log("ERROR", "failed to listen on %s: only unix:// addresses are simulated" % self.sock)
            sys.exit(1)
        # NetBird listens (and opens the socket to everyone) before it reads its
        # configuration.
        try:
            if stat.S_ISSOCK(os.lstat(self.sock).st_mode):
                os.unlink(self.sock)
                self.log("INFO", "removed stale socket %s" % self.sock)
        except FileNotFoundError:
            pass
        srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            srv.bind(self.sock)
            os.chmod(self.sock, SOCKET_MODE)
            srv.listen(64)
        except OSError as e:
            self.log("ERROR", "failed to listen on unix://%s: %s" % (self.sock, e))
            sys.exit(1)
        err = self.load_config()
        if err:
            # log.Fatalf: exit 1 at once, the socket left behind.
            self.log("ERRO", "failed to get active profile config: failed to get config: %s" % err)
            self.log("FATA", "failed to start daemon: failed to get config: %s" % err)
            sys.exit(1)
        now_ns = time.time_ns()
        for which, name in OUTAGE_KNOBS:
            if Knobs({}).outage(name):
                self.outage_since[which] = now_ns
        if self.cfg.get("DisableAutoConnect"):
            self.quiet = True
        elif not self.created:
            self.start_loop(now_ns, Knobs({}).number("NB_SIM_CONNECT_DELAY", 1.0))
        self.log("INFO", "config %s enrolled=%s status=%s" % (
            self.config, str(self.enrolled).lower(), self.status_of(Knobs({}), now_ns)))
        after = os.environ.get("NB_SIM_DAEMON_EXIT_AFTER", "")
        if after:
            def die():
                self.log("ERROR", "simulated daemon exit after %s s" % after)
                os._exit(1)
            t = threading.Timer(float(after), die)
            t.daemon = True
            t.start()
        self.stop_on_signal(srv)
        self.log("INFO", "daemon listening on unix://%s" % self.sock)
        while True:
            try:
                conn, _ = srv.accept()
            except OSError:
                if self.stopping:
                    time.sleep(3600)     # the signal handler ends the process
                raise
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()


def read_line(sock, deadline):
    """One line from sock by deadline (a monotonic time, or None for no limit);
    None if the peer closed first. Raises socket.timeout."""
    buf = b""
    while b"\n" not in buf:
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout()
            sock.settimeout(left)
        else:
            sock.settimeout(None)
        chunk = sock.recv(65536)
        if not chunk:
            return None
        buf += chunk
    return buf.split(b"\n", 1)[0]


def take_sso_answer(path):
    """The person's answer to a waiting sign-in, from the control file a test
    writes ("approve", "deny" or "expire"); the file is consumed when read."""
    if not path:
        return None
    try:
        with open(path) as f:
            answer = f.read().strip().lower()
        if answer:                  # an empty file is one still being written
            os.unlink(path)
    except OSError:
        return None
    return answer or None


def client_gone(conn):
    try:
        readable, _, _ = select.select([conn], [], [], 0)
        return bool(readable) and conn.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


# ---------------------------------------------------------------- CLI

class DaemonUnreachable(Exception):
    pass


class Cli:
    def __init__(self, cmd):
        self.cmd = cmd
        self.sock = socket_path(cmd)
        self.knobs = {k: v for k, v in os.environ.items() if k.startswith("NB_SIM_")}
        try:
            self.wait = max(0.0, float(os.environ.get("NB_SIM_DAEMON_WAIT", "") or 10))
        except ValueError:
            self.wait = 10.0

    def connect(self):
        """Dials the daemon like gRPC with WithBlock: retries until the daemon
        greets or NB_SIM_DAEMON_WAIT runs out."""
        deadline = time.monotonic() + self.wait
        pause = 0.05
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                if self.sock is None:
                    raise ConnectionRefusedError()
                s.settimeout(max(0.01, deadline - time.monotonic()))
                s.connect(self.sock)
                if read_line(s, deadline) is not None:
                    return s
            except socket.timeout:
                s.close()
                raise DaemonUnreachable()
            except OSError:
                pass
            s.close()
            left = deadline - time.monotonic()
            if left <= 0:
                raise DaemonUnreachable()
            time.sleep(min(pause, left))
            pause = min(pause * 2, 0.5)

    def call(self, verb, timeout=REPLY_TIMEOUT, **req):
        """One request; returns the reply or raises RpcFailure / DaemonUnreachable."""
        s = self.connect()
        try:
            s.sendall(json.dumps(dict(req, verb=verb, knobs=self.knobs)).encode() + b"\n")
            line = read_line(s, None if timeout is None else time.monotonic() + timeout)
        except socket.timeout:
            raise RpcFailure("context deadline exceeded", "DeadlineExceeded")
        except OSError as e:
            raise RpcFailure("connection error: %s" % e, "Unavailable")
        finally:
            s.close()
        if line is None:
            raise RpcFailure("error reading from server: EOF", "Unavailable")
        rep = json.loads(line)
        if not rep.get("ok"):
            raise RpcFailure(rep.get("error", ""), rep.get("code", "Unknown"))
        return rep

    def daemon_call(self, verb, **req):
        """A call whose failure to reach the daemon ends the command with
        NetBird's dial error and its hint."""
        try:
            return self.call(verb, **req)
        except DaemonUnreachable:
            fail("failed to connect to daemon error: context deadline exceeded" + DAEMON_HINT)


def rpc_text(e):
    return "rpc error: code = %s desc = %s" % (e.code, e.desc)


def text_result(line):
    if env_on(os.environ.get("NB_SIM_NON_UTF8", "")):
        out(b"simulator note: " + BAD_BYTES + b"\n")
    out(line + "\n")
    sys.exit(0)


def setup_key(cmd):
    """NetBird's getSetupKey: --setup-key wins, else the trimmed file contents."""
    if cmd["setup-key-file"] and not cmd["setup-key"]:
        try:
            with open(cmd["setup-key-file"], "rb") as f:
                data = f.read()
        except OSError as e:
            raise ValueError("failed to read setup key file: %s" % go_errno(e))
        return data.decode("utf-8", "replace").strip()
    return cmd["setup-key"]


def env_number(name, default):
    try:
        return max(0.0, float(os.environ.get(name, "")))
    except ValueError:
        return default


def log_cli_warning(msg):
    """A warning as NetBird's CLI logs it on the console (stderr)."""
    now_ns = time.time_ns()
    when = GoClock(now_ns).format(now_ns - now_ns % 1_000_000_000)
    out("%s WARN client/cmd/root.go: %s\n" % (when, msg), sys.stderr)


def uid_in_passwd(uid, path="/etc/passwd"):
    """Whether a static Go build finds uid in /etc/passwd (a line of at least
    six fields whose third is the uid). Example: "root:x:0:0:root:/root:/bin/sh", 0 -> True."""
    try:
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return False
    return any(len(parts) >= 6 and parts[2] == str(uid)
               for parts in (line.split(":", 6) for line in lines if not line.startswith("#")))


def current_user_error():
    """Go's os/user.Current in a static build: the uid's /etc/passwd entry, else
    $USER and $HOME. Returns Go's error text, or None when the user is known.
    Example: no entry, USER=cam, HOME unset -> "user: Current requires cgo or $HOME
    set in environment"."""
    absent = env_on(os.environ.get("NB_SIM_NO_PASSWD_ENTRY", ""))
    if not absent and uid_in_passwd(os.getuid()):
        return None
    missing = ["$" + name for name in ("USER", "HOME") if not os.environ.get(name)]
    if not missing:
        return None
    return "user: Current requires cgo or %s set in environment" % ", ".join(missing)


def run_in_foreground():
    """`up --foreground-mode` runs the whole client in this process, until killed."""
    while True:
        time.sleep(3600)


def login_with_retries(cli, key):
    """The CLI's login: a refusal ends it; any other failure is retried with
    NetBird's back-off until NB_SIM_LOGIN_RETRY seconds have passed."""
    limit = env_number("NB_SIM_LOGIN_RETRY", LOGIN_RETRY_LIMIT_S)
    started, wait = time.monotonic(), LOGIN_RETRY_FIRST_S
    while True:
        try:
            return cli.daemon_call("login", timeout=None, setup_key_b64=base64.b64encode(key.encode()).decode())
        except RpcFailure as e:
            if e.code in LOGIN_FINAL_CODES:
                fail("daemon up failed: login failed: %s" % rpc_text(e))
            if time.monotonic() - started + wait > limit:
                fail("daemon up failed: login backoff cycle failed: %s" % rpc_text(e))
            log_cli_warning("retrying Login to the Management service in %s due to error %s"
                            % (go_duration(int(wait * 1e9)), rpc_text(e)))
        time.sleep(wait)
        wait = min(wait * LOGIN_RETRY_MULTIPLIER, LOGIN_RETRY_MAX_S)


def sign_in_text(url, code, no_browser):
    """What `up` prints for an interactive sign-in (client/cmd/login.go openURL).
    The setup-key hint follows because no browser can be opened here.
    Example: URL carrying the code, --no-browser -> "Use this URL to log in:\\n\\nURL \\n\\n"."""
    line = url + " " + ("" if code in url else "and enter the code %s to authenticate." % code)
    if no_browser:
        return "Use this URL to log in:\n\n%s\n\n" % line
    return ("Please do the SSO login in your browser. \n"
            "If your browser didn't open automatically, use this URL to log in:\n\n%s\n\n"
            "\nAlternatively, you may want to use a setup key, see:\n\n"
            "https://docs.netbird.io/how-to/register-machines-using-setup-keys\n" % line)


def cli_up(cli):
    cmd = cli.cmd
    err = validate_external_ip_map(cmd["external-ip-map"])
    if err:
        fail(err)
    err = current_user_error()
    if err:
        fail("get current user: %s" % err)
    switched = bool(cmd["profile"])
    if switched:
        name = cmd["profile"]
        if name.startswith(".") or "/" in name or "\0" in name:
            fail("switch profile: invalid profile name %s" % go_quote(name))
        try:
            cli.daemon_call("switchprofile", profile=name)
        except RpcFailure as e:
            fail("switch profile: %s" % rpc_text(e))
    if cmd["foreground-mode"]:
        run_in_foreground()
    try:
        st = cli.daemon_call("status", timeout=None, wait_for_ready=True)["state"]
    except RpcFailure as e:
        fail("unable to get daemon status: %s" % rpc_text(e))
    if st["daemon_status"] == "Connected":
        if not switched:
            text_result("Already connected")
        try:
            cli.daemon_call("down")          # another profile: the tunnel is taken down first
        except RpcFailure as e:
            fail(rpc_text(e))
    # The new settings go to the daemon first, as NetBird's SetConfig call does.
    config = {}
    if cmd["management-url"]:
        config["management_url"] = cmd["management-url"]
    for flag, key in (("interface-name", "interface_name"), ("wireguard-port", "wireguard_port"),
                      ("enable-lazy-connection", "lazy"), ("disable-auto-connect", "disable_auto_connect")):
        if cmd.changed(flag):
            config[key] = cmd[flag]
    if cmd.changed("mtu") and validate_mtu(cmd["mtu"]) is None:
        config["mtu"] = cmd["mtu"]
    if cmd["external-ip-map"] is not None:
        config["external_ip_map"] = cmd["external-ip-map"]
    try:
        cli.daemon_call("setconfig", config=config)
    except RpcFailure as e:
        fail("call service setConfig method: %s" % rpc_text(e))
    try:
        key = setup_key(cmd)
    except ValueError as e:
        fail("daemon up failed: get setup key: %s" % e)
    if cmd.changed("mtu") and validate_mtu(cmd["mtu"]):
        fail("daemon up failed: setup login request: %s" % validate_mtu(cmd["mtu"]))
    rep = login_with_retries(cli, key)
    if rep.get("needs_sso"):
        out(sign_in_text(rep["url"], rep["user_code"], cmd["no-browser"]))
        try:
            cli.daemon_call("waitsso", timeout=None, user_code=rep["user_code"])
        except RpcFailure as e:
            fail("daemon up failed: sso login failed: waiting sso login failed with: %s" % rpc_text(e))
    try:
        cli.daemon_call("up")
    except RpcFailure as e:
        fail("daemon up failed: call service up method: %s" % rpc_text(e))
    text_result("Connected")


def cli_status(cli):
    cmd = cli.cmd
    try:
        st = cli.daemon_call("status")["state"]
    except RpcFailure as e:
        fail("status failed: %s" % e.desc)
    now_ns = time.time_ns()
    note = env_on(os.environ.get("NB_SIM_NON_UTF8", ""))
    if cmd["json"]:
        if note:
            out(b"simulator note: " + BAD_BYTES + b"\n", sys.stderr)
        out(go_json(status_overview(st, now_ns)))       # no newline, as NetBird prints it
        sys.exit(0)
    if cmd["yaml"]:
        fail("status --yaml is not simulated")
    if note:
        out(b"simulator note: " + BAD_BYTES + b"\n")
    if st["daemon_status"] in ("NeedsLogin", "LoginFailed", "SessionExpired"):
        out(SIGN_IN_TEXT % st["daemon_status"])
        sys.exit(0)
    o = status_overview(st, now_ns)
    if cmd["ipv4"]:
        out(o["netbirdIp"].split("/")[0] + "\n" if o["netbirdIp"] else "")
    elif cmd["detail"]:
        out(status_detail(o, now_ns))
    else:
        out(status_summary(o))
    sys.exit(0)


def cli_debug(cli):
    cmd = cli.cmd
    try:
        rep = cli.daemon_call("debug", timeout=None, anonymize=cmd["anonymize"],
                              upload_bundle=cmd["upload-bundle"])
    except RpcFailure as e:
        fail("failed to bundle debug: %s" % e.desc)
    if env_on(os.environ.get("NB_SIM_BUNDLE_NO_LABEL", "")):
        out(rep["path"] + "\n")
        sys.exit(0)
    out("Local file:\n%s\n" % rep["path"])
    if rep.get("upload_failure_reason"):
        fail("upload failed: %s" % rep["upload_failure_reason"])
    if cmd["upload-bundle"]:
        out("Upload file key:\n%s\n" % rep.get("upload_key", ""))
    sys.exit(0)


def run_cli(cmd):
    cli = Cli(cmd)
    if cmd.verb == "up":
        cli_up(cli)
    elif cmd.verb == "status":
        cli_status(cli)
    elif cmd.verb == "debug":
        cli_debug(cli)
    elif cmd.verb == "down":
        try:
            cli.daemon_call("down")
        except RpcFailure as e:
            fail("call service down method: %s" % rpc_text(e))
        text_result("Disconnected")
    elif cmd.verb in ("deregister", "logout"):
        try:
            cli.daemon_call("deregister")
        except RpcFailure as e:
            fail("deregister: %s" % rpc_text(e))
        text_result("Deregistered successfully")


def key_file_report(cmd):
    """For the report of an up: the key file's mode and whether it existed."""
    path = cmd["setup-key-file"] if cmd.changed("setup-key-file") else (
        os.environ.get("NB_SETUP_KEY_FILE") or os.environ.get("WT_SETUP_KEY_FILE"))
    if not path:
        return {}
    try:
        return {"setup_key_file_mode": os.stat(path).st_mode & 0o777, "setup_key_file_existed": True}
    except OSError:
        return {"setup_key_file_mode": None, "setup_key_file_existed": False}


def main():
    fds = open_fds()  # first, before this process opens any other file
    try:
        cmd = parse_command_line(sys.argv[1:])
    except HelpRequested as h:
        write_report(fds, h.verb, {})
        out(HELP_TEXT)
        return
    except CliError as e:
        write_report(fds, e.verb, {"usage_error": str(e)})
        msg = str(e)
        if e.unknown_command_of:
            msg += "\nRun '%s --help' for usage." % e.unknown_command_of
        fail(msg)
    write_report(fds, cmd.verb, key_file_report(cmd) if cmd.verb == "up" else {})
    if cmd.verb == "version":
        out(VERSION + "\n")
        return
    if cmd.verb == "service":
        apply_env_flags(cmd)
        if not (cmd.changed("config") and cmd["config"]):
            fail("service run needs --config (or NB_CONFIG) in this simulator")
        Daemon(cmd).run()
        return
    knob = cmd.verb.upper()
    if knob == "LOGOUT":
        knob = "DEREGISTER"
    delay = os.environ.get("NB_SIM_DELAY_" + knob, "")
    if delay:
        time.sleep(float(delay))
    code = os.environ.get("NB_SIM_EXIT_" + knob, "")
    if code:
        out("Error: simulated failure\n", sys.stderr)
        sys.exit(int(code))
    apply_env_flags(cmd)
    run_cli(cmd)


if __name__ == "__main__":
    main()
