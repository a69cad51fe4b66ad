#!/usr/bin/env python3
"""tavisol-cli search against simulated appliances and real DHCP clients on a private LAN.

    python3 tests/network/cli_search_test.py BUILD_DIR CASE

Each case builds its own throw-away lab with tools/netlab (needs root), runs the real
command-line program in the workstation namespace with the real 8-second search window, and
checks the rows it prints. Exit 0 on success, 1 on failure, 77 when network namespaces are
not available here (ctest reports a skip).
"""

import csv
import io
import json
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NETLAB = os.path.join(HERE, "..", "..", "tools", "netlab")


class Lab:
    """A lab of N appliance nodes, removed again on exit whatever happens."""

    def __init__(self, nodes, *options):
        self.name = f"c{os.getpid() % 100000}"
        self.procs = []
        subprocess.run([NETLAB, "create", self.name, str(nodes), *options], check=True)

    def addr(self, node, device=None):
        return subprocess.run([NETLAB, "addr", self.name, node, *([device] if device else [])],
                              check=True, capture_output=True, text=True).stdout.strip()

    def sim(self, node, *args):
        proc = subprocess.Popen([NETLAB, "exec", self.name, node, "--", SIM, *args],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.procs.append(proc)
        ready, _, _ = select.select([proc.stdout], [], [], 5)
        line = proc.stdout.readline() if ready else b""
        if line != b"ready\n":
            raise AssertionError(f"simulator {args} not ready: {line!r}")
        return proc

    def spawn(self, node, *cmd):
        proc = subprocess.Popen([NETLAB, "exec", self.name, node, "--", *cmd],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        return proc

    def cli(self, *args, prefix=()):
        return subprocess.run([NETLAB, "exec", self.name, "ws", "--", *prefix, CLI, *args],
                              capture_output=True, timeout=60)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        for proc in self.procs:
            try:
                proc.wait(3)
            except subprocess.TimeoutExpired:
                proc.kill()
        subprocess.run([NETLAB, "destroy", self.name], check=False)


def search_json(lab, *extra, prefix=()):
    result = lab.cli("search", "--json", *extra, prefix=prefix)
    if result.returncode != 0:
        raise AssertionError(f"exit {result.returncode}: {result.stderr!r}")
    # The output must be valid UTF-8 JSON whatever bytes the LAN sent.
    rows = json.loads(result.stdout.decode("utf-8", errors="strict"))
    return rows, result.stderr.decode("utf-8", errors="replace")


def check(condition, message):
    if not condition:
        raise AssertionError(message)


# ---- cases ----------------------------------------------------------------------------------

def case_mixed_lab():
    """Well-behaved and malformed appliances side by side: exactly the right rows."""
    with Lab(12) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA", "--hw", "00:0A:1B:00:00:01")
        lab.sim("n2", "--configured", "--name", "store-alpha", "--hw", "00:0A:1B:00:00:02",
                "--reply-delay", "300")  # same name in other letters, later: no row
        lab.sim("n3", "--configured", "--name", "too-long", "--reply-length", "200")
        lab.sim("n4", "--configured", "--raw-name-hex", "4172c3ff2d8061", "--hw",
                "00:0A:1B:00:00:04")  # not UTF-8
        lab.sim("n5", "--configured", "--name", "NONUL", "--no-nul", "--hw",
                "11:22:33:44:55:66")
        lab.sim("n6", "--unconfigured", "--name", "NEW-FILE", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300")
        lab.sim("n7", "--unconfigured", "--name", "NEW-OPTION", "--hw", "00:0A:1B:FF:20:3D",
                "--interval", "300", "--marker-in", "option")
        lab.sim("n8", "--unconfigured", "--name", "SHORT-547", "--length", "547",
                "--interval", "300")
        lab.sim("n9", "--unconfigured", "--name", "NO-MARKER", "--no-marker", "--interval", "300")
        lab.sim("n10", "--unconfigured", "--name", "REPLY-OP", "--op", "2", "--bad-cookie",
                "--hw", "00:0A:1B:FF:20:3E", "--interval", "300")
        lab.sim("n11", "--unconfigured", "--name", "A-NAME-OF-THIRTY-CHARACTERS-X",
                "--hw", "00:0A:1B:FF:20:3F", "--interval", "300")
        lab.sim("n12", "--unconfigured", "--name", "LONG-549", "--length", "549",
                "--interval", "300")
        rows, _ = search_json(lab)

        got = {(r["address"], r["host"], r["hw"]) for r in rows}
        n5_name = None
        for r in rows:
            if r["address"] == lab.addr("n5"):
                n5_name = r["host"]
        want = {
            (lab.addr("n1"), "STORE-ALPHA", ""),
            (lab.addr("n4"), "Ar\ufffd\ufffd-\ufffda", ""),
            ("No IP", "NEW-FILE", "00-0A-1B-FF-20-3C"),
            ("No IP", "NEW-OPTION", "00-0A-1B-FF-20-3D"),
            ("No IP", "REPLY-OP", "00-0A-1B-FF-20-3E"),
            ("No IP", "A-NAME-OF-THIRTY-CH", "00-0A-1B-FF-20-3F"),  # cut to 19
        }
        check(n5_name is not None and n5_name.startswith("NONUL"),
              f"a reply without a NUL is listed under its received bytes: {rows}")
        got.discard((lab.addr("n5"), n5_name, ""))
        check(got == want, f"rows:\n{json.dumps(rows, indent=1)}\nwanted {want}")
        check(len(rows) == len(want) + 1, f"a duplicate row: {rows}")


def case_real_dhcp_clients():
    """Real DHCP clients asking for an address are never listed: not 548 bytes, no marker."""
    with Lab(3) as lab, tempfile.TemporaryDirectory() as tmp:
        conf = os.path.join(tmp, "dhclient.conf")
        with open(conf, "w") as f:
            f.write('send host-name "isc-client";\ntimeout 20;\ninitial-interval 1;\n')
        lab.spawn("n1", "busybox", "udhcpc", "-i", "eth0", "-f", "-n", "-t", "20", "-T", "1",
                  "-s", "/bin/true", "-x", "hostname:busybox-client")
        lab.spawn("n2", "dhclient", "-4", "-d", "-1", "-cf", conf, "-sf", "/bin/true",
                  "-pf", os.path.join(tmp, "pid"), "-lf", os.path.join(tmp, "leases"), "eth0")
        lab.sim("n3", "--unconfigured", "--name", "REAL-ONE", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "400")
        rows, _ = search_json(lab)
        check(rows == [{"address": "No IP", "host": "REAL-ONE", "hw": "00-0A-1B-FF-20-3C"}],
              f"rows: {rows}")


def case_no_privilege():
    """Without the right to bind port 67 the probe still works and stderr says why: the
    build tree's tavisol-sockets holds no capability either."""
    with Lab(2) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--interval", "300")
        rows, stderr = search_json(
            lab, prefix=("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"))
        check(rows == [{"address": lab.addr("n1"), "host": "STORE-ALPHA", "hw": ""}],
              f"rows: {rows}")
        check("port 67" in stderr and "WSAEACCES" in stderr and
              "tavisol-sockets not installed or not permitted" in stderr and
              "it holds no cap_net_bind_service" in stderr, f"stderr: {stderr!r}")


def case_options():
    """--seconds waits that long instead; the table is the default; bad usage exits 2."""
    with Lab(1) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        result = lab.cli("search", "--seconds", "1")
        check(result.returncode == 0, f"exit {result.returncode}")
        lines = result.stdout.decode().splitlines()
        check(lines[0].split() == ["IP", "Address", "Host", "name", "Hardware", "address"]
              and lines[1].split() == [lab.addr("n1"), "STORE-ALPHA"], f"table: {lines}")
        for bad in (["find"], ["search", "--seconds"], ["search", "--seconds", "x"],
                    ["search", "--frobnicate"], []):
            result = lab.cli(*bad)
            check(result.returncode == 2 and b"usage:" in result.stderr,
                  f"{bad}: exit {result.returncode} {result.stderr!r}")


# Host names that break naive CSV and JSON writers, each with what a reader must get back.
AWKWARD = [
    (["--name", "RACK,2"], "RACK,2"),
    (["--name", 'say "hi"'], 'say "hi"'),
    (["--name", "TWO\nLINES"], "TWO\nLINES"),
    (["--name", "CR\rONLY"], "CR\rONLY"),
    (["--raw-name-hex", "2c41ff22"], ',A\ufffd"'),  # invalid UTF-8 between a comma and a quote
]


def case_csv():
    """search --csv: awkward host names come back intact through Python's csv module."""
    with Lab(len(AWKWARD) + 1) as lab:
        for k, (args, _) in enumerate(AWKWARD, 1):
            lab.sim(f"n{k}", "--configured", *args)
        n = len(AWKWARD) + 1
        lab.sim(f"n{n}", "--unconfigured", "--name", "NEW,\"BOX\"", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300")
        result = lab.cli("search", "--csv")
        check(result.returncode == 0, f"exit {result.returncode}: {result.stderr!r}")
        text = result.stdout.decode("utf-8", errors="strict")
        check(text.endswith("\r\n") and text.startswith("address,host,hw\r\n"), f"{text!r}")
        rows = list(csv.reader(io.StringIO(text, newline="")))
        want = [[lab.addr(f"n{k}"), name, ""] for k, (_, name) in enumerate(AWKWARD, 1)]
        want.append(["No IP", 'NEW,"BOX"', "00-0A-1B-FF-20-3C"])
        check(rows[0] == ["address", "host", "hw"] and sorted(rows[1:]) == sorted(want),
              f"rows:\n{rows}\nwanted\n{want}\nfrom {text!r}")
        result = lab.cli("search", "--csv", "--json")
        check(result.returncode == 2 and result.stdout == b"" and
              result.stderr.decode().count("\n") == 1, f"--csv --json: {result!r}")


def case_watch():
    """search --watch through a pipe: the first row arrives at once, long before the search
    window ends; every row once, a changed row again; SIGTERM ends it with exit 0."""
    with Lab(2) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300")
        proc = subprocess.Popen([NETLAB, "exec", lab.name, "ws", "--", CLI, "search", "--watch"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lab.procs.append(proc)
        started = time.monotonic()
        ready, _, _ = select.select([proc.stdout], [], [], 8)
        first = proc.stdout.readline() if ready else b""
        took = time.monotonic() - started
        check(first.endswith(b"\n") and took < 4, f"first row after {took:.1f} s: {first!r}")
        check(json.loads(first)["host"] in ("STORE-ALPHA", "NEW-BOX"), f"first: {first!r}")
        # Past the end of the search window (8 s): it goes on watching.
        time.sleep(10)
        check(proc.poll() is None, f"watch ended by itself: {proc.returncode}")
        proc.send_signal(signal.SIGTERM)
        rest, stderr = proc.communicate(timeout=10)
        check(proc.returncode == 0, f"exit {proc.returncode} after SIGTERM: {stderr!r}")
        lines = [first] + rest.splitlines(keepends=True)
        rows = [json.loads(line) for line in lines]
        check(all(line.endswith(b"\n") and line.count(b"\n") == 1 for line in lines), f"{lines}")
        # NEW-BOX asked every 300 ms for 10 s and more, and is printed once.
        want = [{"address": lab.addr("n1"), "host": "STORE-ALPHA", "hw": ""},
                {"address": "No IP", "host": "NEW-BOX", "hw": "00-0A-1B-FF-20-3C"}]
        check(sorted(rows, key=json.dumps) == sorted(want, key=json.dumps), f"rows: {rows}")

        # With --seconds it ends by itself, then also with exit 0.
        started = time.monotonic()
        result = lab.cli("search", "--watch", "--seconds", "2")
        took = time.monotonic() - started
        check(result.returncode == 0 and 2 <= took < 6 and len(result.stdout.splitlines()) == 2,
              f"--seconds 2: exit {result.returncode} after {took:.1f} s: {result.stdout!r}")


def run_on_pty(lab, *args):
    """Runs tavisol-cli with a terminal on stderr; returns (status, stdout, what the terminal
    received)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([NETLAB, "exec", lab.name, "ws", "--", CLI, *args],
                            stdout=subprocess.PIPE, stderr=slave)
    lab.procs.append(proc)
    os.close(slave)
    seen = b""
    out = b""
    while True:
        ready, _, _ = select.select([master, proc.stdout], [], [], 60)
        if not ready:
            break
        if proc.stdout in ready:
            chunk = os.read(proc.stdout.fileno(), 65536)
            out += chunk
        if master in ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: the terminal's last writer has gone
                chunk = b""
            if not chunk:
                break
            seen += chunk
    proc.wait(10)
    out += proc.stdout.read()
    os.close(master)
    return proc.returncode, out, seen


def case_progress():
    """On a terminal stderr shows the search's time left and rows, and an assignment's
    steps, on one line rewritten and cleared at the end; off a terminal, none of it."""
    with Lab(2) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--interval", "300")
        status, out, seen = run_on_pty(lab, "search", "--json")
        text = seen.decode("utf-8", errors="replace")
        check(status == 0 and len(json.loads(out)) == 2, f"exit {status}: {out!r}")
        check("\r\x1b[Ktavisol-cli: searching, 8 s left" in text, f"no time left: {text!r}")
        check("s left, 2 rows" in text and "1 s left" in text, f"rows not counted: {text!r}")
        check(text.endswith("\r\x1b[K") and "\n" not in text,
              f"the line is not cleared at the end: {text[-80:]!r}")

        result = lab.cli("search", "--json")
        check(result.returncode == 0 and result.stderr == b"",
              f"stderr off a terminal: {result.stderr!r}")

        status, out, seen = run_on_pty(lab, "assign", "NEW-BOX", "--ip", "10.199.0.40",
                                       "--mask", "255.255.255.0", "--confirm", "20")
        text = seen.decode("utf-8", errors="replace")
        check(status == 0 and out.split() == [b"10.199.0.40", b"NEW-BOX"],
              f"assign: exit {status} {out!r} {text!r}")
        steps = ["searching for NEW-BOX", "checking that 10.199.0.40 is not in use",
                 "waiting for NEW-BOX to take 10.199.0.40",
                 "confirming: waiting for NEW-BOX to answer from 10.199.0.40"]
        at = [text.find("\r\x1b[Ktavisol-cli: " + step) for step in steps]
        check(all(i >= 0 for i in at) and at == sorted(at), f"steps {at}: {text!r}")
        # The closing line of the confirmation stands on a line of its own, not after a step.
        check("\r\x1b[Ktavisol-cli: NEW-BOX answers from 10.199.0.40" in text, f"{text!r}")


CASES = {
    "csv": case_csv,
    "watch": case_watch,
    "progress": case_progress,
    "mixed_lab": case_mixed_lab,
    "real_dhcp_clients": case_real_dhcp_clients,
    "no_privilege": case_no_privilege,
    "options": case_options,
}


def run_case(cases, configure=None):
    """The command line of every network test script: BUILD_DIR CASE. Exit 0 on success,
    1 on failure, 2 on bad usage, 77 (a skip) when the case or the machine cannot run it."""
    global SIM, CLI
    if len(sys.argv) != 3 or sys.argv[2] not in cases:
        print(f"usage: {sys.argv[0]} BUILD_DIR {{{','.join(cases)}}}", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    SIM = os.path.join(build, "sim", "tavisol-sim")
    CLI = os.path.join(build, "cli", "tavisol-cli")
    check_lab = subprocess.run([NETLAB, "check"], capture_output=True, text=True)
    if check_lab.returncode != 0:
        print(f"SKIPPED: network namespaces unavailable: {check_lab.stdout}{check_lab.stderr}")
        return 77
    try:
        if cases[sys.argv[2]]() == 77:
            return 77
    except AssertionError as failure:
        print(f"FAILED {sys.argv[2]}: {failure}")
        print("0 passed, 1 failed")
        return 1
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(run_case(CASES))
