#!/usr/bin/env python3
"""make bench: thousands of appliances in one burst, on a simulated LAN of our own.

    python3 bench/run.py BUILD_DIR [--sizes 256,1024,4096] [--exchanges 1000]
                         [--sort-rows 4096] [--two-segments 1024] [--batch 16]
                         [--seconds S] [--out FILE] [--quick] [--only batch]
                         [--win-build DIR] [--windows qt,wine]

Lab (tools/netlab, needs root): the workstation ws runs `tavisol-cli search`; n1 runs one
`tavisol-sim --swarm N`, which stands for the whole segment; n2 runs the bare baseline
(tavisol-bench-drain) on the same port. ws and n2 get a second address in 10.198.0.0/18, the
subnet the swarm's appliances answer from.

For each N and each kind of burst (replies to the probe on UDP 1211; "No IP" requests on
UDP 67) the CLI's search sends the probe and the swarm answers it at once with N frames; each
reply goes to ws and, right after it, the same reply to n2, so the baseline drains the same
burst at the same moments (requests are broadcasts and reach both anyway). Measured:
  rows   rows listed by the CLI / N (loss = N - rows)
  time   from the swarm's first frame on the wire to the last row listed (the CLI's --timing)
         or to the last datagram drained (baseline); one CLOCK_MONOTONIC for every namespace
  cpu    user + system CPU time of the whole `tavisol-cli search` run (getrusage of the child)
  peak   its peak resident memory
  drops  datagrams the kernel dropped for a full receive buffer (Udp RcvbufErrors) in ws
A workstation with two interfaces (tools/netlab --segment2): one swarm of N configured
appliances on each segment, answering from addresses in neither of the workstation's subnets;
the CLI's search must list all 2N, and the bare baseline, in the workstation beside it on a
port of its own, drains the same 2N replies from both interfaces (each swarm mirrors its burst
to the workstation's address on its segment).
Then the responder: `tavisol-sim --exchanges K` times K DISCOVER -> OFFER exchanges with
`tavisol-cli assign`'s responder (median, 99th percentile); tavisol-bench-sort times the
heading-click sort of a list of 4096 rows; and tavisol-bench-inuse times the assign dialog's
in-use check on a free address, the echo alone and the echo with its ARP probe, interleaved.
Last, in a lab of its own, `tavisol-cli assign --plan` of --batch appliances against single
`assign` runs (seconds per appliance; `--only batch` runs that part alone and replaces its
section of the results). Nothing here asserts on speed: the numbers are
written to bench/results.md (or --out) and printed. Exit 0 when every part ran, 1 when one
failed to run, 77 when namespaces are unavailable.

The windows take the same bursts in the same lab, after the command line's (bench/windows.py:
build/tavisol on Xvfb and tavisol.exe under Wine; --windows picks them, "" for none; not with
--quick, whose window form is a test of its own).
"""

import argparse
import datetime
import json
import os
import platform
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import windows

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NETLAB = os.path.join(ROOT, "tools", "netlab")

WS = "10.199.0.1"
N2 = "10.199.0.12"
SWARM_NET_WS = "10.198.0.1/18"
SWARM_NET_N2 = "10.198.0.2/18"
SWARM_FIRST = "10.198.1.0"
# The receive buffer the program asks for on its listeners; the baseline gets the same.
RCVBUF = 4 * 1024 * 1024


class BenchError(Exception):
    pass


class Lab:
    def __init__(self, nodes, *options, prefix="scale"):
        self.name = f"{prefix}{os.getpid() % 1000}"
        self.procs = []
        subprocess.run([NETLAB, "create", self.name, str(nodes), *options], check=True)

    def addr(self, node, device):
        return subprocess.run([NETLAB, "addr", self.name, node, device], check=True,
                              capture_output=True, text=True).stdout.strip()

    def mac(self, node, device):
        link = self.run(node, "ip", "-j", "link", "show", device, capture_output=True, text=True,
                        check=True)
        return json.loads(link.stdout)[0]["address"]

    def run(self, node, *cmd, **kw):
        return subprocess.run([NETLAB, "exec", self.name, node, "--", *cmd], **kw)

    def start(self, node, *cmd):
        """A process in a node that prints "ready" first."""
        proc = subprocess.Popen([NETLAB, "exec", self.name, node, "--", *cmd],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.procs.append(proc)
        ready, _, _ = select.select([proc.stdout], [], [], 10)
        line = proc.stdout.readline() if ready else b""
        if line != b"ready\n":
            raise BenchError(f"{cmd[0]} not ready: {line!r}")
        return proc

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
                proc.wait()
        subprocess.run([NETLAB, "destroy", self.name], check=False)


def line_of(proc, prefix, timeout):
    """The first stdout line of proc that starts with prefix, as key=value pairs."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        ready, _, _ = select.select([proc.stdout], [], [], max(0.0, end - time.monotonic()))
        if not ready:
            break
        line = proc.stdout.readline().decode()
        if not line:
            break
        if line.startswith(prefix):
            return dict(kv.split("=", 1) for kv in line.split() if "=" in kv)
    raise BenchError(f"no '{prefix}' line: {proc.stderr.read().decode(errors='replace')[-500:]}")


def rcvbuf_errors(lab, node):
    text = lab.run(node, "cat", "/proc/net/snmp", capture_output=True, text=True).stdout
    lines = [l.split() for l in text.splitlines() if l.startswith("Udp:")]
    return int(lines[1][lines[0].index("RcvbufErrors")])


def run_child(lab, node, cmd, out_path, timeout):
    """Runs cmd in node and returns (status, stderr text, rusage); stdout goes to out_path."""
    with open(out_path, "wb") as out, open(out_path + ".err", "wb") as err:
        proc = subprocess.Popen([NETLAB, "exec", lab.name, node, "--", *cmd],
                                stdout=out, stderr=err)
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                proc.returncode = os.waitstatus_to_exitcode(status)
                break
            if time.monotonic() > deadline:
                proc.kill()
                raise BenchError(f"{cmd[0]} did not end within {timeout} s")
            time.sleep(0.02)
    with open(out_path + ".err", errors="replace") as f:
        return proc.returncode, f.read(), usage


def burst_case(lab, build, kind, n, seconds, tmp):
    port = 1211 if kind == "replies" else 67
    prefix = "SW-R" if kind == "replies" else "SW-Q"
    swarm = lab.start("n1", os.path.join(build, "sim", "tavisol-sim"), "--swarm", str(n),
                      f"--{kind}", "--first-address", SWARM_FIRST,
                      "--mirror", f"{N2},{lab.n2_mac}", "--count", "1", "--duration", "120000")
    base = lab.start("n2", os.path.join(build, "bench", "tavisol-bench-drain"),
                     "--port", str(port), "--expect", str(n), "--rcvbuf", str(RCVBUF),
                     "--idle-ms", "3000", "--timeout-ms", "60000")
    drops_before = rcvbuf_errors(lab, "ws")
    cli = [os.path.join(build, "cli", "tavisol-cli"), "search", "--json", "--timing"]
    if seconds is not None:
        cli += ["--seconds", str(seconds)]
    out = os.path.join(tmp, f"search-{kind}-{n}.json")
    status, stderr, usage = run_child(lab, "ws", cli, out, 120)
    if status != 0:
        raise BenchError(f"tavisol-cli search exit {status}: {stderr[-500:]}")
    burst = line_of(swarm, "burst", 10)
    drained = line_of(base, "drained", 70)
    with open(out) as f:
        rows = [r for r in json.load(f) if r["host"].startswith(prefix)]
    timing = re.search(r"timing rows=(\d+) first_row_ns=(\d+) last_row_ns=(\d+)", stderr)
    if not timing:
        raise BenchError(f"no timing line from tavisol-cli: {stderr[-500:]}")
    start = int(burst["start_ns"])
    listed = len(rows)
    return {
        "kind": kind,
        "n": n,
        "rows": listed,
        "loss": n - listed,
        "cli_ms": (int(timing.group(3)) - start) / 1e6 if listed else None,
        "base_rows": int(drained["count"]),
        "base_ms": (int(drained["last_ns"]) - start) / 1e6 if int(drained["count"]) else None,
        "burst_ms": (int(burst["end_ns"]) - start) / 1e6,
        "lag_ms": (int(timing.group(3)) - int(burst["end_ns"])) / 1e6 if listed else None,
        "cpu_s": usage.ru_utime + usage.ru_stime,
        "peak_mb": usage.ru_maxrss / 1024.0,
        "drops": rcvbuf_errors(lab, "ws") - drops_before,
    }


# The swarms of the two segments answer from addresses in neither of the workstation's
# subnets; the baseline drains their mirrored replies in the workstation on this port.
TWO_SEGMENT_FIRST = {1: "10.197.1.0", 2: "10.196.1.0"}
TWO_SEGMENT_DRAIN_PORT = 1311


def two_segment_case(build, n, seconds, tmp):
    with Lab(2, "--segment2", "2", prefix="segs") as lab:
        devices = {1: "eth0", 2: "eth1"}
        base = lab.start("ws", os.path.join(build, "bench", "tavisol-bench-drain"),
                         "--port", str(TWO_SEGMENT_DRAIN_PORT), "--expect", str(2 * n),
                         "--rcvbuf", str(RCVBUF), "--idle-ms", "3000", "--timeout-ms", "60000")
        swarms = {}
        for segment, device in devices.items():
            mirror = (f"{lab.addr('ws', device)},{lab.mac('ws', device)},"
                      f"{TWO_SEGMENT_DRAIN_PORT}")
            swarms[segment] = lab.start(
                f"n{segment}", os.path.join(build, "sim", "tavisol-sim"), "--swarm", str(n),
                "--replies", "--first-address", TWO_SEGMENT_FIRST[segment], "--name-prefix",
                f"S{segment}-", "--mirror", mirror, "--count", "1", "--duration", "120000")
        drops_before = rcvbuf_errors(lab, "ws")
        cli = [os.path.join(build, "cli", "tavisol-cli"), "search", "--json", "--timing"]
        if seconds is not None:
            cli += ["--seconds", str(seconds)]
        out = os.path.join(tmp, f"search-two-segments-{n}.json")
        status, stderr, usage = run_child(lab, "ws", cli, out, 120)
        if status != 0:
            raise BenchError(f"tavisol-cli search exit {status}: {stderr[-500:]}")
        bursts = {segment: line_of(swarm, "burst", 10) for segment, swarm in swarms.items()}
        drained = line_of(base, "drained", 70)
        with open(out) as f:
            rows = json.load(f)
        timing = re.search(r"timing rows=(\d+) first_row_ns=(\d+) last_row_ns=(\d+)", stderr)
        if not timing:
            raise BenchError(f"no timing line from tavisol-cli: {stderr[-500:]}")
        start = min(int(b["start_ns"]) for b in bursts.values())
        end = max(int(b["end_ns"]) for b in bursts.values())
        listed = {segment: sum(1 for r in rows if r["host"].startswith(f"S{segment}-R"))
                  for segment in devices}
        return {
            "n": n,
            "rows": listed,
            "cli_ms": (int(timing.group(3)) - start) / 1e6 if any(listed.values()) else None,
            "base_rows": int(drained["count"]),
            "base_ms": (int(drained["last_ns"]) - start) / 1e6 if int(drained["count"]) else None,
            "burst_ms": (end - start) / 1e6,
            "cpu_s": usage.ru_utime + usage.ru_stime,
            "drops": rcvbuf_errors(lab, "ws") - drops_before,
        }


def responder_case(lab, build, exchanges, tmp):
    sim = lab.start("n1", os.path.join(build, "sim", "tavisol-sim"), "--exchanges",
                    str(exchanges), "--name", "TIMED-1", "--hw", "02:5C:00:00:00:01",
                    "--duration", "120000")
    cli = [os.path.join(build, "cli", "tavisol-cli"), "assign", "TIMED-1", "--ip",
           "10.199.0.77", "--mask", "255.255.255.0", "--yes", "--confirm", "0"]
    status, stderr, _ = run_child(lab, "ws", cli, os.path.join(tmp, "assign.txt"), 150)
    result = line_of(sim, "exchanges", 20)
    if status != 0:
        raise BenchError(f"tavisol-cli assign exit {status}: {stderr[-500:]}")
    return {k: float(v) for k, v in result.items()}


def sort_case(lab, build, rows):
    result = lab.run("ws", os.path.join(build, "bench", "tavisol-bench-sort"), str(rows), "8",
                     capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise BenchError(f"tavisol-bench-sort: {result.stdout}{result.stderr}")
    return dict(kv.split("=", 1) for kv in result.stdout.split() if "=" in kv)


# An address nobody in the lab holds (10.199.0.77 is the one the responder case assigns).
FREE_ADDRESS = "10.199.0.150"


def inuse_case(lab, build, rounds):
    """The assign dialog's in-use check on a free address: the echo alone (the ARP half kept
    from going out) and the echo with the ARP probe, interleaved in one run."""
    result = lab.run("ws", os.path.join(build, "bench", "tavisol-bench-inuse"), FREE_ADDRESS,
                     str(rounds), capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise BenchError(f"tavisol-bench-inuse: {result.stdout}{result.stderr}")
    return dict(kv.split("=", 1) for kv in result.stdout.split() if "=" in kv)


BATCH_MASK = "255.255.255.0"
BATCH_SINGLES = 4  # single assignments, half before the plan and half after it


def batch_case(build, n, tmp):
    """Seconds per appliance: a plan of n simulated appliances that answer from their new
    address at once, against single `tavisol-cli assign` runs in the same lab, interleaved
    around the plan. Each run is timed from its start to its exit, as a user waits for it."""
    cli = os.path.join(build, "cli", "tavisol-cli")
    sim = os.path.join(build, "sim", "tavisol-sim")
    confirm = ("--mask", BATCH_MASK, "--confirm", "20")
    with Lab(n + BATCH_SINGLES, prefix="batch") as lab:
        for k in range(1, n + BATCH_SINGLES + 1):
            lab.start(f"n{k}", sim, "--unconfigured", "--name", f"RACK-{k:02d}",
                      "--interval", "300")

        def single(k):
            started = time.monotonic()
            status, stderr, _ = run_child(
                lab, "ws", [cli, "assign", f"RACK-{k:02d}", "--ip", f"10.199.0.{100 + k}",
                            *confirm], os.path.join(tmp, f"single{k}.txt"), 120)
            if status != 0:
                raise BenchError(f"tavisol-cli assign RACK-{k:02d} exit {status}: "
                                 f"{stderr[-500:]}")
            return time.monotonic() - started

        singles = [single(n + k) for k in range(1, BATCH_SINGLES // 2 + 1)]
        plan = os.path.join(tmp, "plan.csv")
        with open(plan, "w") as f:
            f.write("host,ip\n" + "".join(f"RACK-{k:02d},10.199.0.{100 + k}\n"
                                           for k in range(1, n + 1)))
        started = time.monotonic()
        status, stderr, _ = run_child(lab, "ws", [cli, "assign", "--plan", plan, "--json",
                                                  *confirm], os.path.join(tmp, "batch.json"),
                                      60 + 30 * n)
        batch_s = time.monotonic() - started
        with open(os.path.join(tmp, "batch.json")) as f:
            report = json.load(f) if status in (0, 1) else {}
        if status != 0:
            raise BenchError(f"tavisol-cli assign --plan exit {status}: {stderr[-500:]}")
        singles += [single(n + k) for k in range(BATCH_SINGLES // 2 + 1, BATCH_SINGLES + 1)]
    rows = report["appliances"]
    return {
        "n": n,
        "batch_s": batch_s,
        "confirmed": sum(r["result"] == "confirmed" for r in rows),
        "assign_sum_s": sum(r["seconds"] for r in rows),
        "singles": singles,
    }


BATCH_HEADING = "## Batch assignment"


def batch_table(b):
    per = b["batch_s"] / b["n"]
    single = statistics.median(b["singles"])
    overhead = b["batch_s"] - b["assign_sum_s"]
    return (f"{BATCH_HEADING}\n\n"
            f"A plan of {b['n']} simulated appliances that answer from their new address at "
            f"once (`assign --plan --confirm 20`), against single `assign` runs in the same lab "
            f"({len(b['singles'])}, half before the plan and half after it); each timed from "
            f"its start to its exit.\n\n"
            "| form | appliances | confirmed | total s | s per appliance "
            "| per appliance / single |\n"
            "|---|---:|---:|---:|---:|---:|\n"
            f"| single `assign` (median) | 1 | 1 | {single:.2f} | {single:.2f} | 1.00 |\n"
            f"| `assign --plan` | {b['n']} | {b['confirmed']} | {b['batch_s']:.2f} | {per:.2f} | "
            f"{per / single:.2f} |\n\n"
            f"Single runs: {', '.join(f'{s:.2f}' for s in b['singles'])} s. Of the plan's "
            f"{b['batch_s']:.2f} s, {b['assign_sum_s']:.1f} s went to the assignments and "
            f"{overhead:.2f} s to the rest (start, first search, report), "
            f"{overhead / b['n']:.3f} s per appliance.\n")


def with_section(text, heading, section):
    """The results text with one section (from its heading to the next one) replaced, or
    appended when it is not there yet."""
    start = text.find(heading)
    if start < 0:
        return text.rstrip("\n") + "\n\n" + section
    end = text.find("\n## ", start + len(heading))
    return text[:start] + section + (text[end + 1:] if end >= 0 else "")


def fmt(v, spec=".1f"):
    return "n/a" if v is None else format(v, spec)


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} CPUs, Linux {platform.release()}"


def table(bursts, two_segments, responder, sort, load, inuse=None):
    out = []
    out.append("| burst | N | rows / N | loss | CLI time ms | baseline time ms | CLI / baseline"
               " | baseline rows | CLI CPU s | CLI peak MB | buffer drops | burst on wire ms"
               " | CLI lag after last frame ms |")
    out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for b in bursts:
        ratio = (b["cli_ms"] / b["base_ms"]) if b["cli_ms"] and b["base_ms"] else None
        out.append(f"| {b['kind']} | {b['n']} | {b['rows']}/{b['n']} | {b['loss']} | "
                   f"{fmt(b['cli_ms'])} | {fmt(b['base_ms'])} | {fmt(ratio, '.2f')} | "
                   f"{b['base_rows']} | {b['cpu_s']:.3f} | {b['peak_mb']:.1f} | {b['drops']} | "
                   f"{b['burst_ms']:.1f} | {fmt(b['lag_ms'])} |")
    growth = []
    for kind in ("replies", "requests"):
        by_n = {b["n"]: b for b in bursts if b["kind"] == kind}
        ns = sorted(by_n)
        for small, big in zip(ns, ns[1:]):
            a, c = by_n[small]["cli_ms"], by_n[big]["cli_ms"]
            ba, bc = by_n[small]["base_ms"], by_n[big]["base_ms"]
            wa, wc = by_n[small]["burst_ms"], by_n[big]["burst_ms"]
            if a and c and ba and bc:
                growth.append(f"{kind}: time({big}) / time({small}) = {c / a:.2f} "
                              f"(baseline {bc / ba:.2f}, burst on the wire {wc / wa:.2f})")
    out.append("")
    out.append("Growth: " + ("; ".join(growth) if growth else "n/a"))
    if two_segments:
        t = two_segments
        ratio = (t["cli_ms"] / t["base_ms"]) if t["cli_ms"] and t["base_ms"] else None
        out.append("")
        out.append(f"Two segments, {t['n']} + {t['n']} configured appliances (one swarm behind "
                   f"each interface): rows {t['rows'][1]}/{t['n']} + {t['rows'][2]}/{t['n']}, "
                   f"CLI {fmt(t['cli_ms'])} ms, baseline {fmt(t['base_ms'])} ms "
                   f"({t['base_rows']} drained), CLI / baseline {fmt(ratio, '.2f')}, "
                   f"bursts on the wire {t['burst_ms']:.1f} ms, CLI CPU {t['cpu_s']:.3f} s, "
                   f"buffer drops {t['drops']}")
    if responder:
        out.append("")
        out.append(f"Responder, DISCOVER to OFFER over {int(responder['exchanges'])} exchanges: "
                   f"median {responder['median_us'] / 1000:.3f} ms, "
                   f"99th percentile {responder['p99_us'] / 1000:.3f} ms, "
                   f"max {responder['max_us'] / 1000:.3f} ms, "
                   f"resent {int(responder['resent'])}")
    if sort:
        out.append("")
        out.append(f"Sort of {sort['rows']} rows (heading click, {sort['clicks']} clicks): "
                   f"median {sort['median_ms']} ms, max {sort['max_ms']} ms")
    if inuse:
        echo, both = float(inuse["echo_median_ms"]), float(inuse["both_median_ms"])
        out.append("")
        out.append(f"In-use check on a free address, {inuse['rounds']} rounds each, interleaved: "
                   f"echo alone median {echo:.1f} ms (max {inuse['echo_max_ms']}), echo + ARP "
                   f"probe median {both:.1f} ms (max {inuse['both_max_ms']}), "
                   f"(echo + ARP) / echo {both / echo:.3f}; rounds that found it in use "
                   f"{inuse['echo_in_use']} and {inuse['both_in_use']}")
    out.append("")
    out.append(f"Load average before / after: {load[0]} / {load[1]}")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--sizes", default="256,1024,4096")
    parser.add_argument("--exchanges", type=int, default=1000)
    parser.add_argument("--sort-rows", type=int, default=4096)
    parser.add_argument("--two-segments", type=int, default=1024,
                        help="N appliances on each of two segments (0: not measured)")
    parser.add_argument("--seconds", type=float, default=None,
                        help="search for S seconds instead of the 8-second search window")
    parser.add_argument("--out", default=os.path.join(HERE, "results.md"))
    parser.add_argument("--quick", action="store_true",
                        help="a small run that only shows the bench works (N=64)")
    parser.add_argument("--batch", type=int, default=16,
                        help="appliances in the timed plan (0: not measured)")
    parser.add_argument("--only", choices=["batch"],
                        help="run this part alone and replace its section of --out")
    parser.add_argument("--win-build", default=os.path.join(ROOT, "build-win"))
    parser.add_argument("--windows", default=",".join(windows.FACES),
                        help="the windows to time on the same bursts (bench/windows.py)")
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.exchanges, args.sort_rows, args.two_segments = "64", 50, 256, 64
        args.batch = min(args.batch, 4)
        args.windows = ""  # their short form is a test of its own
        args.seconds = 2 if args.seconds is None else args.seconds
    build = os.path.abspath(args.build)
    sizes = [int(s) for s in args.sizes.split(",")]

    check = subprocess.run([NETLAB, "check"], capture_output=True, text=True)
    if check.returncode != 0:
        print(f"SKIPPED: network namespaces unavailable: {check.stdout}{check.stderr}")
        return 77

    if args.only == "batch":
        with tempfile.TemporaryDirectory() as tmp:
            try:
                batch = batch_case(build, args.batch or 16, tmp)
            except (BenchError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
                print(f"bench failed: {e}")
                return 1
        try:
            with open(args.out) as f:
                text = f.read()
        except OSError:
            text = "# Benchmark results\n"
        # Run alone, the section says when and where, since the page's heading is another run's.
        now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        section = (batch_table(batch).rstrip("\n") +
                   f"\n\nMeasured alone (`--only batch`) on {now}; machine: {machine()}\n")
        with open(args.out, "w") as f:
            f.write(with_section(text, BATCH_HEADING, section))
        print(section)
        return 0

    load_before = open("/proc/loadavg").read().split()[0]
    bursts, two_segments, responder, sort, window_results = [], None, None, None, []
    inuse = None
    with tempfile.TemporaryDirectory() as tmp, Lab(2) as lab:
        try:
            lab.run("ws", "ip", "addr", "add", SWARM_NET_WS, "dev", "eth0", check=True)
            lab.run("n2", "ip", "addr", "add", SWARM_NET_N2, "dev", "eth0", check=True)
            link = lab.run("n2", "ip", "-j", "link", "show", "eth0", capture_output=True,
                           text=True, check=True)
            lab.n2_mac = json.loads(link.stdout)[0]["address"]
            # First, while the lab is quiet: the echo's raw socket counts any ICMP message.
            inuse = inuse_case(lab, build, 3 if args.quick else 10)
            print(f"  in-use check: {inuse}", flush=True)
            for kind in ("replies", "requests"):
                for n in sizes:
                    bursts.append(burst_case(lab, build, kind, n, args.seconds, tmp))
                    print(f"  {kind} N={n}: {bursts[-1]}", flush=True)
            window_results = windows.window_cases(
                lab, sys.modules[__name__], build, os.path.abspath(args.win_build),
                [f for f in args.windows.split(",") if f], sizes, tmp)
            responder = responder_case(lab, build, args.exchanges, tmp)
            sort = sort_case(lab, build, args.sort_rows)
        except (BenchError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
            print(f"bench failed: {e}")
            return 1
    if args.two_segments:
        with tempfile.TemporaryDirectory() as tmp:
            try:
                two_segments = two_segment_case(build, args.two_segments, args.seconds, tmp)
                print(f"  two segments N={args.two_segments}+{args.two_segments}: {two_segments}",
                      flush=True)
            except (BenchError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
                print(f"bench failed: {e}")
                return 1
    batch = None
    if args.batch:
        with tempfile.TemporaryDirectory() as tmp:
            try:
                batch = batch_case(build, args.batch, tmp)
                print(f"  batch of {args.batch}: {batch}", flush=True)
            except (BenchError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
                print(f"bench failed: {e}")
                return 1
    load_after = open("/proc/loadavg").read().split()[0]

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    text = (f"# Benchmark results\n\nMachine: {machine()}\n\nDate: {now}\n\n"
            f"Search window: {'the 8-second window' if args.seconds is None else f'{args.seconds} s'};"
            f" receive buffer of the baseline: {RCVBUF} bytes.\n\n"
            + table(bursts, two_segments, responder, sort, (load_before, load_after), inuse)
            + ("\n\n## The windows on the same bursts\n\n" + windows.table(window_results)
               if window_results else "") + "\n"
            + ("\n" + batch_table(batch) if batch else ""))
    with open(args.out, "w") as f:
        f.write(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
