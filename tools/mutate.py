#!/usr/bin/python3
"""Mutation testing: shows that the tests catch deliberate faults in the rules
that matter most (atomic settings, private descriptors and keys, the body
limit, the queue bound, the watchdog, redaction, log retention and paths).

The repository is only read: its files (tracked ones and new ones git does
not ignore) are copied to a scratch directory with one build directory (-O0,
vantrel_vpn and unit_tests only). The tests named below must first pass
unchanged; then each mutation edits one file, rebuilds, runs its tests and
restores the file: "caught" when it builds and a named test fails, "missed"
when all pass, "build failed" otherwise. An edit whose text does not occur
exactly once stops the run: the code moved, so the mutation needs updating.

Usage (as root, like the black-box tests; not part of the test command):
    /usr/bin/python3 tools/mutate.py [--only NAME,NAME] [--scratch DIR] [--list]

Exits 1 when a mutation was not caught. Output goes to SCRATCH/logs/NAME.log.
"""

import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import time
from collections import namedtuple

# edits: (old, new) replacements within `file`; unit: a gtest filter;
# pytest: files of tests/integration; k: an optional pytest -k expression.
Mutation = namedtuple("Mutation", "name breaks file edits unit pytest k", defaults=(None, (), None))

MUTATIONS = [
    Mutation("atomic-write", "settings written in place: a failed write loses app.json", "app/core/application.cpp",
             [("    const int fd = open_temporary_beside(file, temporary);\n",
               "    temporary = file;\n"
               "    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);\n")],
             unit="JsonFiles.*"),
    Mutation("child-fds", "children inherit the supervisor's descriptors", "app/netbird/child_process.cpp",
             [("if (::syscall(SYS_close_range, FIRST_INHERITED_FD, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {",
               "if (false) {")], pytest=["test_netbird_processes.py"]),
    Mutation("key-file", "staged setup-key file left behind after up", "app/api/vpn_endpoints.cpp",
             [("            remove_quietly(key_file);\n            m_staged_key_files.erase(key_file);\n"
               "            mark_flags_applied(result);",
               "            m_staged_key_files.erase(key_file);\n            mark_flags_applied(result);")],
             pytest=["test_vpn_control.py"]),
    Mutation("body-413", "chunks after a refused body accepted, 413 answered again", "app/api/api_json.cpp",
             [("    if (rejected) return false;\n", "")], unit="AccumulateBody.*", pytest=["test_http_frame.py"]),
    Mutation("queue-bound", "one job more than the bound queued instead of 503 busy", "app/netbird/command_queue.cpp",
             [("m_command_queue.size() >= MAX_QUEUED_COMMANDS", "m_command_queue.size() > MAX_QUEUED_COMMANDS")],
             pytest=["test_vpn_control.py"]),
    Mutation("daemon-exit", "a daemon that exited is not restarted", "app/netbird/service_supervisor.cpp",
             [("    if (m_shutting_down || m_daemon_stopping) return;\n    const auto now",
               "    return;\n    const auto now")], pytest=["test_vpn_control.py"]),
    Mutation("crash-loop", "a daemon that keeps exiting is restarted at once, every time",
             "app/netbird/service_supervisor.cpp", [("if (m_quick_exits >= 2) {", "if (false) {")],
             pytest=["test_netbird_processes.py"], k="crash_loop"),
    Mutation("watchdog-mgmt", "lasting loss of management logged but no restart", "app/netbird/watchdog.cpp",
             [("        if (!queue_daemon_restart(", "        if (false && !queue_daemon_restart(")],
             pytest=["test_watchdog.py"]),
    Mutation("sign-in-queue", "NetBird commands are taken while a sign-in waits for its person", "app/api/routes.cpp",
             [("if (what == effect::commands && refuse_during_sign_in(res)) return;", "")],
             pytest=["test_sign_in.py"]),
    Mutation("redaction", "secret env overrides logged in clear (wrong predicate)", "app/settings/application_env.cpp",
             [("env_overrides::is_secret_env_key(name) ?", "env_overrides::is_protected_env_key(name) ?")],
             pytest=["test_vpn_control.py"]),
    Mutation("retention", "cut-off one day early: one daily log too many kept", "app/logs/log_maintenance.cpp",
             [("now.tm_mday -= keep - 1;", "now.tm_mday -= keep;")],
             unit="RetentionCutoff.*:LogMaintenance.*:Heartbeat.*", pytest=["test_lifecycle.py"]),
    # The name checks and the directory check guard each other; only
    # dropping all of them lets '/' and '..' through.
    Mutation("log-path", "download names with '/' or '..' resolved outside logs/", "app/logs/log_files.cpp",
             [("byte == '/' || ", ""),
              ('    if (name.find("..") != std::string_view::npos) return std::nullopt;\n', ""),
              ("candidate.parent_path() != base || ", "")],
             unit="LogFiles.*", pytest=["test_logs_api.py"]),
    Mutation("symlinks", "the log list follows symbolic links", "app/logs/log_files.cpp",
             [("const auto status = entry.symlink_status(ec);", "const auto status = entry.status(ec);")],
             pytest=["test_hardening.py"]),
    Mutation("env-limit", "a 65th environment override accepted", "app/settings/application_env.cpp",
             [("updated.size() >= env_overrides::MAX_ENV_OVERRIDES",
               "updated.size() > env_overrides::MAX_ENV_OVERRIDES")],
             pytest=["test_hardening.py"]),
    Mutation("connection-cap", "connections not capped below the descriptor limit", "app/http/http_server.cpp",
             [("m_max_connections(connection_cap())", "m_max_connections(MAX_CONNECTIONS)")],
             pytest=["test_hardening.py"]),
]


def wait_for_benchmark():
    # A build on this small machine would spoil a benchmark's figures.
    while subprocess.run(["pgrep", "-f", "tools/bench.py"], stdout=subprocess.DEVNULL).returncode == 0:
        print("waiting for tools/bench.py to finish...", flush=True)
        time.sleep(30)


def run(cmd, log, timeout):
    """Runs cmd with its output appended to log; returns its exit status."""
    with open(log, "a") as out:
        print("\n$", *cmd, file=out, flush=True)
        try:
            return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            print(f"timed out after {timeout} s", file=out)
            return -1


def apply_edits(text, m):
    for old, new in m.edits:
        if text.count(old) != 1:
            sys.exit(f"{m.name}: {old!r} occurs {text.count(old)} times in {m.file}, expected once")
        text = text.replace(old, new)
    return text


class Scratch:
    def __init__(self, repo, root):
        self.src, self.build, self.logs = (os.path.join(root, d) for d in ("src", "build", "logs"))
        listed = subprocess.run(["git", "-C", repo, "ls-files", "--cached", "--others", "--exclude-standard"],
                                check=True, capture_output=True, text=True).stdout.splitlines()
        files = {f for f in listed if os.path.isfile(os.path.join(repo, f))}
        # Only changed files are copied (and so get a new time): the others,
        # and the objects built from them, stay as the last run left them.
        for name in files:
            source, copy = os.path.join(repo, name), os.path.join(self.src, name)
            if not (os.path.isfile(copy) and filecmp.cmp(source, copy, shallow=False)):
                os.makedirs(os.path.dirname(copy), exist_ok=True)
                shutil.copyfile(source, copy)
                shutil.copymode(source, copy)
        for top, _, names in os.walk(self.src):
            for path in (os.path.join(top, n) for n in names):
                if os.path.relpath(path, self.src) not in files:
                    os.remove(path)  # gone from the repository
        os.makedirs(self.logs, exist_ok=True)

    def configure(self):
        return run(["cmake", "-S", self.src, "-B", self.build, "-DCMAKE_BUILD_TYPE=Debug",
                    "-DCMAKE_CXX_FLAGS_DEBUG=-O0"], os.path.join(self.logs, "configure.log"), 600) == 0

    def unit_tests(self, *args):
        return [os.path.join(self.build, "tests", "unit_tests"), *args]

    def build_and_test(self, name, unit, files, k=None):
        """Returns "build failed", "failed", "no tests" or "passed", and the
        tests run: the unit tests first, the black-box files only when the
        unit tests passed."""
        log = os.path.join(self.logs, name + ".log")
        open(log, "w").close()
        wait_for_benchmark()
        if run(["cmake", "--build", self.build, "-j2", "--target", "vantrel_vpn", "unit_tests"], log, 1800):
            return "build failed", []
        ran = [unit] if unit else []
        if unit and run(self.unit_tests("--gtest_filter=" + unit), log, 600):
            return "failed", ran
        if files:
            ran += files + ([f"-k {k}"] if k else [])
            status = run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                          "-c", os.path.join(self.src, "pytest.ini"),
                          *(os.path.join(self.src, "tests", "integration", f) for f in files),
                          "--binary=" + os.path.join(self.build, "vantrel_vpn"),
                          "--simulator=" + os.path.join(self.src, "tools", "netbird_sim.py"),
                          *(["-k", k] if k else [])], log, 1800)
            if status:
                return "no tests" if status == 5 else "failed", ran
        return "passed", ran

    def filter_matches(self, unit):
        listing = subprocess.run(self.unit_tests("--gtest_list_tests", "--gtest_filter=" + unit),
                                 capture_output=True, text=True).stdout
        return any(line.startswith("  ") for line in listing.splitlines())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", help="comma-separated mutation names")
    parser.add_argument("--scratch", default="/tmp/vantrel_mutants", help="scratch directory (default %(default)s)")
    parser.add_argument("--list", action="store_true", help="print the mutations and exit")
    args = parser.parse_args()
    if args.list:
        for m in MUTATIONS:
            print(f"{m.name:15} {m.file:28} {m.breaks}\n{'':15} tests: {', '.join(filter(None, [m.unit, *m.pytest]))}")
        return 0
    names = args.only.split(",") if args.only else [m.name for m in MUTATIONS]
    if set(names) - {m.name for m in MUTATIONS}:
        sys.exit(f"unknown mutation(s): {', '.join(sorted(set(names) - {m.name for m in MUTATIONS}))}")
    chosen = [m for m in MUTATIONS if m.name in names]

    repo, root = os.path.dirname(os.path.dirname(os.path.abspath(__file__))), os.path.abspath(args.scratch)
    if os.path.commonpath([repo, root]) == repo:
        sys.exit("the scratch directory must lie outside the repository, which is only read")
    scratch = Scratch(repo, root)
    originals = {m.file: open(os.path.join(scratch.src, m.file)).read() for m in chosen}
    for m in chosen:
        apply_edits(originals[m.file], m)  # every edit must apply before any time is spent
    wait_for_benchmark()
    if not scratch.configure():
        sys.exit(f"configure failed, see {scratch.logs}/configure.log")

    unit = ":".join(m.unit for m in chosen if m.unit)
    files = sorted({f for m in chosen for f in m.pytest})
    started = time.monotonic()
    outcome, _ = scratch.build_and_test("baseline", unit, files)
    print(f"baseline ({unit or '-'}; {' '.join(files) or '-'}): {outcome}, {time.monotonic() - started:.0f} s",
          flush=True)
    empty = [m.unit for m in chosen if m.unit and outcome == "passed" and not scratch.filter_matches(m.unit)]
    if outcome != "passed" or empty:
        sys.exit(f"the baseline must pass and every filter match a test ({' '.join(empty) or 'all do'}); "
                 f"see {scratch.logs}/baseline.log")

    rows = []
    for m in chosen:
        path, started = os.path.join(scratch.src, m.file), time.monotonic()
        try:
            with open(path, "w") as out:
                out.write(apply_edits(originals[m.file], m))
            outcome, ran = scratch.build_and_test(m.name, m.unit, m.pytest, m.k)
        finally:
            with open(path, "w") as out:
                out.write(originals[m.file])
        result = {"failed": "caught", "passed": "missed"}.get(outcome, outcome)
        rows.append((m.name, m.breaks, ", ".join(ran) or "-", result, f"{time.monotonic() - started:.0f}"))
        print(f"{m.name}: {result} ({rows[-1][4]} s)", flush=True)

    header = ("mutation", "what it breaks", "tests run", "result", "seconds")
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, tuple("-" * w for w in widths), *rows]:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    return 0 if all(row[3] == "caught" for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
