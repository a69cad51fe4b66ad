#!/usr/bin/env python3
"""tavisol-cli assign --plan and --all --range against simulated appliances.

    python3 tests/network/cli_batch_test.py BUILD_DIR CASE

Each case builds a throw-away lab with tools/netlab (needs root) and runs the real
command-line program in the workstation namespace with the real clock. What went out on the
wire is read from a tshark capture on the workstation. Exit 0 on success, 1 on failure, 77
when network namespaces or tshark are not available here (ctest reports a skip).
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_search_test as lab_tools  # noqa: E402  (the Lab helper and the checks)
from cli_assign_test import read, wait_for  # noqa: E402

check = lab_tools.check
MASK = "255.255.255.0"
SWITCH = "10.199.0.254"  # the lab's switch holds it and answers echo requests
# Each appliance answers from its new address at once; --confirm waits for that answer.
CONFIRM = ("--confirm", "20")


class Lab(lab_tools.Lab):
    def batch(self, *args, timeout=150, text=True):
        return subprocess.run(
            [lab_tools.NETLAB, "exec", self.name, "ws", "--", lab_tools.CLI, "assign", *args],
            capture_output=True, text=text, timeout=timeout)

    def appliance(self, node, name, tmp):
        status = os.path.join(tmp, name)
        self.sim(node, "--unconfigured", "--name", name, "--interval", "300",
                 "--status-file", status)
        return status

    def run_in(self, node, *cmd):
        return subprocess.run([lab_tools.NETLAB, "exec", self.name, node, "--", *cmd],
                              capture_output=True, text=True, timeout=30)


class Capture:
    """tshark on the workstation's segment while a command runs; `frames(filter)` then
    lists what the workstation sent."""

    def __init__(self, lab, tmp, label):
        self.path = os.path.join(tmp, label + ".pcap")
        self.proc = subprocess.Popen(
            [lab_tools.NETLAB, "exec", lab.name, "ws", "--", shutil.which("tshark"), "-q", "-i",
             "eth0", "-w", self.path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lab.procs.append(self.proc)
        wait_for(lambda: os.path.exists(self.path), 60, "tshark to start")
        time.sleep(0.5)

    def stop(self):
        time.sleep(1)  # let the capture write out
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(10)

    def frames(self, display_filter):
        out = subprocess.run(["tshark", "-r", self.path, "-Y", display_filter],
                             capture_output=True, text=True)
        return [line for line in out.stdout.splitlines() if line.strip()]


def write_plan(tmp, text, name="plan.csv"):
    path = os.path.join(tmp, name)
    with open(path, "w", newline="") as f:
        f.write(text)
    return path


def lines_by_host(stdout):
    """The per-appliance lines: "[i/n] HOST: result, address, S s[: reason]"."""
    rows = {}
    for line in stdout.splitlines():
        if line.startswith("["):
            host, rest = line.split("] ", 1)[1].split(": ", 1)
            rows[host] = rest
    return rows


# What the workstation itself sends that an assignment would add to a bare search: BOOTP
# replies, the in-use check's echo request and ARP probe.
SENT_TO_APPLIANCES = ("ip.src == 10.199.0.1 && (udp.srcport == 67 || icmp.type == 8)"
                      " || arp.opcode == 1 && arp.src.proto_ipv4 == 10.199.0.1")


# ---- cases ----------------------------------------------------------------------------------

def case_plan():
    """Five rows: three appliances confirmed, one whose address the switch holds refused with
    the box's text, one absent not found; exit 1. The second run leaves the three alone
    ("already", nothing sent to them) and the finished rows alone exit 0."""
    with Lab(4) as lab, tempfile.TemporaryDirectory() as tmp:
        status = {name: lab.appliance(node, name, tmp)
                  for node, name in (("n1", "RACK-A"), ("n2", "RACK-B"), ("n3", "rack-c"),
                                     ("n4", "RACK-D"))}
        plan = write_plan(tmp, "host,ip,mask\r\n# the first shelf\r\nRACK-A,10.199.0.71,\r\n"
                               "\"RACK-B\",10.199.0.72,255.255.0.0\r\n\r\nRACK-C,10.199.0.73,\r\n"
                               f"RACK-D,{SWITCH},\r\nGHOST,10.199.0.75,\r\n")
        first = lab.batch("--plan", plan, "--mask", MASK, "--wait", "3", *CONFIRM)
        lines = lines_by_host(first.stdout)
        check(first.returncode == 1, f"first run: {first.returncode} {first.stderr}")
        for host, address in (("RACK-A", "10.199.0.71"), ("RACK-B", "10.199.0.72"),
                              ("RACK-C", "10.199.0.73")):
            check(lines.get(host, "").startswith(f"confirmed, {address}, "),
                  f"{host}: {lines} {first.stderr}")
        check(lines.get("RACK-D", "").startswith(f"refused, {SWITCH}, ") and
              "maybe is in used" in lines["RACK-D"], f"RACK-D: {lines}")
        check(lines.get("GHOST", "").startswith("not found, 10.199.0.75, "), f"GHOST: {lines}")
        check(list(lines) == ["RACK-A", "RACK-B", "RACK-C", "RACK-D", "GHOST"],
              f"not in plan order: {list(lines)}")
        table = [line.split() for line in first.stdout.splitlines() if not line.startswith("[")]
        check(table[0][:4] == ["HOST", "HARDWARE", "ADDRESS", "ADDRESS"] and len(table) == 6,
              f"summary table:\n{first.stdout}")
        for node, name, address, prefix in (("n1", "RACK-A", "10.199.0.71", 24),
                                            ("n2", "RACK-B", "10.199.0.72", 16),
                                            ("n3", "rack-c", "10.199.0.73", 24)):
            wait_for(lambda: read(status[name]).startswith("configured"), 5, name)
            check(read(status[name]).split()[:2] == ["configured", f"{address}/{prefix}"],
                  f"{name}: {read(status[name])!r}")
        check(not read(status["RACK-D"]).startswith(("acknowledged", "configured")),
              f"RACK-D: {read(status['RACK-D'])!r}")

        capture = Capture(lab, tmp, "second")
        second = lab.batch("--plan", plan, "--mask", MASK, "--wait", "3", "--json", *CONFIRM)
        capture.stop()
        report = json.loads(second.stdout)
        results = {row["host"]: (row["result"], row["address"]) for row in report["appliances"]}
        check(second.returncode == 1 and report["ok"] is False, f"second run: {second.returncode}")
        check(results == {"RACK-A": ("already", "10.199.0.71"),
                          "RACK-B": ("already", "10.199.0.72"),
                          "RACK-C": ("already", "10.199.0.73"),
                          "RACK-D": ("refused", SWITCH), "GHOST": ("not found", "10.199.0.75")},
              f"second run: {results}")
        check("[1/5] RACK-A: already" in second.stderr, f"lines on stderr: {second.stderr}")
        # RACK-D's in-use check still asks for the switch's address; nothing goes to the rest.
        to_three = capture.frames("udp.srcport == 67 || ip.dst in {10.199.0.71 10.199.0.72 "
                                  "10.199.0.73} || arp.dst.proto_ipv4 in {10.199.0.71 "
                                  "10.199.0.72 10.199.0.73}")
        check(to_three == [], f"sent to the finished appliances: {to_three}")
        check(capture.frames(f"icmp.type == 8 && ip.dst == {SWITCH}") != [],
              "the capture did not see RACK-D's in-use check")

        finished = write_plan(tmp, "RACK-A,10.199.0.71\nRACK-B,10.199.0.72\nrack-c,10.199.0.73\n",
                              "finished.csv")
        third = lab.batch("--plan", finished, *CONFIRM)
        check(third.returncode == 0, f"finished plan: {third.returncode} {third.stdout}")
        check(sorted(lines_by_host(third.stdout).values()) ==
              ["already, 10.199.0.71", "already, 10.199.0.72", "already, 10.199.0.73"],
              f"finished plan: {third.stdout}")


def case_range():
    """--all --range: four appliances in host-name order take the range's addresses; the
    address a listed appliance holds is passed over without a word to it, those plain hosts
    hold (the nodes n6 and n7, not yet appliances) are found by the in-use check and passed
    over; all four confirmed."""
    with Lab(7) as lab, tempfile.TemporaryDirectory() as tmp:
        status = {name: lab.appliance(node, name, tmp)
                  for node, name in (("n1", "SHELF-C"), ("n2", "shelf-a"), ("n3", "SHELF-D"),
                                     ("n4", "SHELF-B"))}
        lab.sim("n5", "--configured", "--name", "STORE")  # listed at 10.199.0.15

        dry = lab.batch("--all", "--range", "10.199.0.15-10.199.0.19", "--mask", MASK,
                        "--dry-run")
        check(dry.returncode == 0, f"dry run: {dry.returncode} {dry.stderr}")
        check(lines_by_host(dry.stdout) == {
            "shelf-a": "would assign, 10.199.0.16", "SHELF-B": "would assign, 10.199.0.17",
            "SHELF-C": "would assign, 10.199.0.18", "SHELF-D": "would assign, 10.199.0.19"},
            f"dry run: {dry.stdout}")

        capture = Capture(lab, tmp, "range")
        result = lab.batch("--all", "--range", "10.199.0.15-10.199.0.21", "--mask", MASK,
                           "--wait", "3", *CONFIRM)
        capture.stop()
        check(result.returncode == 0, f"range: {result.returncode} {result.stdout} "
                                      f"{result.stderr}")
        want = {"shelf-a": "10.199.0.18", "SHELF-B": "10.199.0.19", "SHELF-C": "10.199.0.20",
                "SHELF-D": "10.199.0.21"}
        lines = lines_by_host(result.stdout)
        check(list(lines) == list(want), f"not in host-name order: {list(lines)}")
        for name, address in want.items():
            check(lines[name].startswith(f"confirmed, {address}, "), f"{name}: {lines}")
            check(read(status[name]).split()[:2] == ["configured", f"{address}/24"],
                  f"{name}: {read(status[name])!r}")
        check("10.199.0.16 is in use; shelf-a tries the next address" in result.stderr and
              "10.199.0.17 is in use; shelf-a tries the next address" in result.stderr,
              f"stderr: {result.stderr}")
        check(capture.frames("icmp.type == 8 && ip.dst == 10.199.0.15") == [],
              "the listed appliance's address was checked as if it might be free")
        # Out of addresses: the one appliance still without one is told so.
        shelf_e = lab.appliance("n6", "SHELF-E", tmp)
        full = lab.batch("--all", "--range", "10.199.0.18-10.199.0.21", "--wait", "3",
                         *CONFIRM)
        check(full.returncode == 1 and lines_by_host(full.stdout).get("SHELF-E", "")
              .startswith("no address left"), f"out of addresses: {full.stdout} {full.stderr}")
        # A range off the workstation's subnet without --yes: the declined warning refuses the
        # appliance once; it does not walk the range as if each address were in use.
        off = lab.batch("--all", "--range", "10.198.0.50-10.198.0.52", "--wait", "3", *CONFIRM)
        line = lines_by_host(off.stdout).get("SHELF-E", "")
        check(off.returncode == 1 and line.startswith("refused, 10.198.0.50, ") and
              "--yes accepts it" in line and off.stderr.count("[Subnet Warning!]") == 1,
              f"off the subnet: {off.stdout} {off.stderr}")
        # An appliance that is gone by its turn is not found, and the address nobody was
        # offered goes to the next one. Without --mask each takes the mask of the
        # workstation's interface whose subnet holds the address (a /24 here).
        lab.sim("n7", "--unconfigured", "--name", "AAA-GONE", "--interval", "300",
                "--duration", "6000")
        gone = lab.batch("--all", "--range", "10.199.0.30-10.199.0.31", "--wait", "3",
                         *CONFIRM)
        lines = lines_by_host(gone.stdout)
        check(lines.get("AAA-GONE", "").startswith("not found, 10.199.0.30, ") and
              lines.get("SHELF-E", "").startswith("confirmed, 10.199.0.30, "),
              f"gone appliance: {gone.stdout} {gone.stderr}")
        wait_for(lambda: read(shelf_e).startswith("configured"), 5, "SHELF-E")
        check(read(shelf_e).split()[:2] == ["configured", "10.199.0.30/24"],
              f"SHELF-E without --mask: {read(shelf_e)!r}")


# Each bad plan with the line its refusal names.
BAD_PLANS = [
    ("a bad address", "host,ip\nRACK-A,10.199.0.71\nRACK-B,10.199.0.300\n", 3),
    ("a wrong column count", "RACK-A,10.199.0.71\n\nRACK-B\n", 3),
    ("a duplicate host", "RACK-A,10.199.0.71\n# again\nrack-a,10.199.0.72\n", 3),
    ("a duplicate address", "RACK-A,10.199.0.71\nRACK-B,10.199.0.071\n", 2),
    ("an empty host", "RACK-A,10.199.0.71\n,10.199.0.72\n", 2),
    ("an unterminated quote", "RACK-A,10.199.0.71\n\"RACK-B,10.199.0.72\n", 2),
    ("a bad mask", "RACK-A,10.199.0.71,255.0.255.0\n", 1),
]


def case_bad_plans():
    """Every kind of bad row is refused with its file and line, exit 2, and nothing is sent:
    not even the search's probe. So is bad usage of the batch forms."""
    with Lab(1) as lab, tempfile.TemporaryDirectory() as tmp:
        status = lab.appliance("n1", "RACK-A", tmp)
        capture = Capture(lab, tmp, "bad")
        for why, text, line in BAD_PLANS:
            plan = write_plan(tmp, text)
            result = lab.batch("--plan", plan, "--wait", "2", *CONFIRM)
            check(result.returncode == 2 and result.stdout == "" and
                  f"{plan}:{line}: line {line} is refused: " in result.stderr and
                  "nothing was sent" in result.stderr,
                  f"{why}: {result.returncode} {result.stdout!r} {result.stderr!r}")
        result = lab.batch("--plan", os.path.join(tmp, "missing.csv"))
        check(result.returncode == 2 and "cannot read" in result.stderr, f"{result.stderr!r}")
        plan = write_plan(tmp, "RACK-A,10.199.0.71\n")
        for args, reason in (
                (["--plan", plan, "RACK-A"], "takes no HOST and no --ip"),
                (["--plan", plan, "--ip", "10.199.0.71"], "takes no HOST and no --ip"),
                (["--range", "10.199.0.20-10.199.0.30"], "--range needs --all"),
                (["--all"], "--all needs --range"),
                (["--all", "--range", "10.199.0.30-10.199.0.20"], "lies above the last"),
                (["--all", "--range", "10.199.0.20-30"], "not an address"),
                (["--plan", plan, "--all", "--range", "10.199.0.20-10.199.0.30"],
                 "exclude each other"),
                (["--plan", plan, "--mask", "255.255.0.255"], "--mask: "),
                (["--plan"], "required FILE missing"),
                (["RACK-A", "--ip", "10.199.0.71", "--dry-run"], "apply to --plan or --all")):
            result = lab.batch(*args)
            check(result.returncode == 2 and result.stderr.startswith("tavisol-cli: ") and
                  reason in result.stderr.splitlines()[0],
                  f"{args}: {result.returncode} {result.stderr!r}")
        capture.stop()
        sent = capture.frames("ip.src == 10.199.0.1 || arp.src.proto_ipv4 == 10.199.0.1")
        check(sent == [], f"a refused plan sent: {sent}")
        check(read(status).startswith("discovering"), f"appliance: {read(status)!r}")


def case_dry_run_json():
    """--dry-run --json: the search runs, nothing is assigned, and the report holds every row;
    an appliance absent from the search, or listed at another address, would not be found."""
    with Lab(3) as lab, tempfile.TemporaryDirectory() as tmp:
        status = lab.appliance("n1", "RACK-A", tmp)
        lab.sim("n2", "--configured", "--name", "RACK-B")
        lab.sim("n3", "--configured", "--name", "RACK-C")
        plan = write_plan(tmp, f"RACK-A,10.199.0.71\nRACK-B,{lab.addr('n2')}\nGHOST,10.199.0.75\n"
                               "RACK-C,10.199.0.76\n")
        capture = Capture(lab, tmp, "dry")
        result = lab.batch("--plan", plan, "--dry-run", "--json", *CONFIRM)
        # A host name that is not UTF-8 still gives valid JSON, written as the search writes it.
        odd = os.path.join(tmp, "odd.csv")
        with open(odd, "wb") as f:
            f.write(b"GH\xffST,10.199.0.77\n")
        odd_result = lab.batch("--plan", odd, "--dry-run", "--json", text=False)
        capture.stop()
        odd_report = json.loads(odd_result.stdout.decode("utf-8", errors="strict"))
        check(odd_result.returncode == 1 and
              [(r["host"], r["result"]) for r in odd_report["appliances"]] ==
              [("GH\ufffdST", "not found")], f"odd name: {odd_result!r}")
        report = json.loads(result.stdout)
        rows = [(r["host"], r["address"], r["result"]) for r in report["appliances"]]
        check(rows == [("RACK-A", "10.199.0.71", "would assign"),
                       ("RACK-B", lab.addr("n2"), "already"),
                       ("GHOST", "10.199.0.75", "not found"),
                       ("RACK-C", "10.199.0.76", "not found")] and report["dry_run"] is True,
              f"report: {report}")
        check(report["appliances"][3]["reason"] == f"it is listed at {lab.addr('n3')}",
              f"report: {report}")
        check(result.returncode == 1 and report["ok"] is False, f"exit {result.returncode}")
        check(report["appliances"][0]["hw"] != "", f"no hardware address: {report}")
        sent = capture.frames(SENT_TO_APPLIANCES)
        check(sent == [], f"the dry run sent more than the search: {sent}")
        check(capture.frames("udp.dstport == 1212") != [], "the dry run did not search")
        check(read(status).startswith("discovering"), f"appliance: {read(status)!r}")


CASES = {
    "plan": case_plan,
    "range": case_range,
    "bad_plans": case_bad_plans,
    "dry_run_json": case_dry_run_json,
}


if __name__ == "__main__":
    if not shutil.which("tshark"):
        print("SKIPPED: tshark is not installed")
        sys.exit(77)
    sys.exit(lab_tools.run_case(CASES))
