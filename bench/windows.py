#!/usr/bin/env python3
"""The two windows under the bench's bursts: build/tavisol on Xvfb and tavisol.exe under Wine.

    python3 bench/windows.py BUILD_DIR [--win-build DIR] [--faces qt,wine]
                             [--sizes 256,1024,4096] [--out FILE] [--quick]

bench/run.py calls window_cases() in its own lab after the command line's bursts, so that
every figure of `make bench` comes from one run. Run alone (the ctest short form is --quick,
N=64) this makes a lab of its own and prints its table (and writes it to --out).

Each case is one burst of bench/run.py's kind (the swarm in n1 answers the probe with N
replies, or broadcasts N "No IP" requests; the bare baseline in n2 drains the same burst),
with a window in ws instead of tavisol-cli:
  qt    build/bench/tavisol-bench-qt: build/tavisol's own start-up (the xcb platform, on an
        Xvfb of the workstation namespace, no window manager) with a driver thread;
  wine  build-win/tavisol_win32_bench.exe: the Windows program's windows under Wine (its
        own start-up and resources, the Win32 driver beside it), with the Xvfb, wineserver
        and prefix of tests/wine/wine_suite.py in the workstation namespace.
Each driver clicks "Search" once the main window is on the screen and reports what the
program holds: the rows listed out of N (the list's own rows), when the last one went in,
and when the list's paint that first showed the final number of rows ended. That paint is
"shown": the moment the user can see the last row. Measured from the swarm's first frame:
  time      to the last row shown
  listed    to the last row put into the list
  lag       from the burst's last frame to the last row shown
  baseline  to the last datagram the bare baseline drained
  CPU       of the window program, and of the desktop's servers in the namespace (Xvfb, and
            the wineserver, which does Wine's socket and window bookkeeping)
  peak      the window program's peak resident memory (getrusage of the child)
Nothing here asserts on speed. Exit 0 when every case ran (with --quick: and listed and
showed its whole burst), 1 when one did not, 77 when namespaces, or every face's program,
Xvfb or Wine, are unavailable.
"""

import argparse
import contextlib
import datetime
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import wine_suite  # noqa: E402  (the Wine prefix, the wineserver and Xvfb of the Wine suite)

FACES = ("qt", "wine")
FACE_NAMES = {"qt": "Qt window (xcb on Xvfb)", "wine": "tavisol.exe under Wine"}
WIN_EXE = "tavisol_win32_bench.exe"
# How long a window may go without listing or showing anything more before the driver
# takes its burst as done, and how long a case may take in all.
IDLE_MS = 3000
TIMEOUT_MS = 150000
SERVERS = ("Xvfb", "wineserver", "wineserver64")


def missing(face, build, win_build):
    """Why FACE cannot be measured here, or None."""
    need = ["Xvfb", "xprop"] + (["wine", "wineserver"] if face == "wine" else [])
    absent = [tool for tool in need if not shutil.which(tool)]
    if absent:
        return f"not installed: {' '.join(absent)}"
    program = (os.path.join(build, "bench", "tavisol-bench-qt") if face == "qt"
               else os.path.join(win_build, WIN_EXE))
    if not os.path.exists(program):
        return f"no {program} ({'make build' if face == 'qt' else 'make windows'})"
    return None


def rmem_max():
    try:
        with open("/proc/sys/net/core/rmem_max") as f:
            return int(f.read())
    except (OSError, ValueError):
        return None


# ---- the desktops ----------------------------------------------------------------------------

def with_env(env, cmd):
    """CMD with the variables of ENV that differ from ours, through env(1): netlab exec
    passes our own environment on."""
    return ["env", *(f"{k}={v}" for k, v in env.items() if os.environ.get(k) != v), *cmd]


def driver_args(n, prefix):
    return ["--expect", str(n), "--prefix", prefix, "--idle-ms", str(IDLE_MS), "--timeout-ms",
            str(TIMEOUT_MS)]


@contextlib.contextmanager
def qt_desktop(lab, bench, build, tmp):
    """An Xvfb of the workstation namespace for build/tavisol's windows; yields the command
    of one case."""
    wrap = [bench.NETLAB, "exec", lab.name, "ws", "--"]
    xvfb, display = wine_suite.start_xvfb(os.path.join(tmp, "xvfb-qt.log"), wrap)
    try:
        if not display:
            raise bench.BenchError("Xvfb did not start")
        runtime = os.path.join(tmp, "runtime-qt")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, DISPLAY=f":{display}", QT_QPA_PLATFORM="xcb",
                   XDG_RUNTIME_DIR=runtime)
        program = os.path.join(build, "bench", "tavisol-bench-qt")
        yield lambda n, prefix: with_env(env, [program, *driver_args(n, prefix)])
    finally:
        if xvfb.poll() is None:
            xvfb.terminate()
        try:
            xvfb.wait(5)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()


@contextlib.contextmanager
def wine_desktop(lab, bench, win_build, tmp):
    """The Wine suite's prefix (made once, wineboot takes long, and kept; under its lock),
    with its Xvfb and wineserver in the workstation namespace; yields the command of one
    case."""
    state = os.path.join(win_build, "wine")
    os.makedirs(state, exist_ok=True)
    wrap = [bench.NETLAB, "exec", lab.name, "ws", "--"]
    exe = os.path.join(win_build, WIN_EXE)
    with open(os.path.join(state, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with wine_suite.wine_session(os.path.join(state, "prefix"), tmp,
                                         wrap=wrap) as (env, _):
                yield lambda n, prefix: with_env(env, ["wine", exe, *driver_args(n, prefix)])
        except wine_suite.XvfbError as e:
            raise bench.BenchError(f"Wine's desktop: {e}") from e


def desktop(face, lab, bench, build, win_build, tmp):
    return (qt_desktop(lab, bench, build, tmp) if face == "qt"
            else wine_desktop(lab, bench, win_build, tmp))


def servers_cpu(lab):
    """User and system CPU seconds so far of the desktop's servers in the workstation."""
    pids = subprocess.run(["ip", "netns", "pids", f"tvl-{lab.name}-ws"], capture_output=True,
                          text=True).stdout.split()
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        if name in SERVERS:
            fields = stat[stat.rindex(")") + 2:].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / os.sysconf("SC_CLK_TCK")


# ---- one case --------------------------------------------------------------------------------

def window_case(lab, bench, build, face, command, kind, n, tmp):
    port = 1211 if kind == "replies" else 67
    prefix = "SW-R" if kind == "replies" else "SW-Q"
    swarm = lab.start("n1", os.path.join(build, "sim", "tavisol-sim"), "--swarm", str(n),
                      f"--{kind}", "--first-address", bench.SWARM_FIRST,
                      "--mirror", f"{bench.N2},{lab.n2_mac}", "--count", "1",
                      "--duration", str(TIMEOUT_MS + 30000))
    base = lab.start("n2", os.path.join(build, "bench", "tavisol-bench-drain"),
                     "--port", str(port), "--expect", str(n), "--rcvbuf", str(bench.RCVBUF),
                     "--idle-ms", "3000", "--timeout-ms", str(TIMEOUT_MS))
    drops_before = bench.rcvbuf_errors(lab, "ws")
    servers_before = servers_cpu(lab)
    out = os.path.join(tmp, f"{face}-{kind}-{n}.out")
    status, stderr, usage = bench.run_child(lab, "ws", command(n, prefix), out,
                                            TIMEOUT_MS / 1000 + 60)
    servers = servers_cpu(lab) - servers_before
    # The Windows driver's clock is the wall clock: set it against the monotonic one here.
    wall_offset = time.clock_gettime_ns(time.CLOCK_REALTIME) - time.monotonic_ns()
    with open(out, errors="replace") as f:
        lines = [line for line in f if line.startswith("window ")]
    if status != 0 or not lines:
        raise bench.BenchError(f"{face} window exit {status}: {stderr[-800:]}")
    w = dict(kv.split("=", 1) for kv in lines[-1].split()[1:])
    burst = bench.line_of(swarm, "burst", 10)
    drained = bench.line_of(base, "drained", TIMEOUT_MS / 1000 + 10)
    start, end = int(burst["start_ns"]), int(burst["end_ns"])
    offset = wall_offset if w.get("clock") == "realtime" else 0

    def at(key):
        value = int(w.get(key, 0))
        return value - offset if value else None

    rows, shown = int(w["rows"]), int(w["shown_rows"])
    shown_ns = at("shown_ns") if rows and shown >= rows else None
    return {
        "face": face,
        "kind": kind,
        "n": n,
        "rows": rows,
        "loss": n - rows,
        "shown_rows": shown,
        "time_ms": (shown_ns - start) / 1e6 if shown_ns else None,
        "listed_ms": (at("last_row_ns") - start) / 1e6 if rows and at("last_row_ns") else None,
        "lag_ms": (shown_ns - end) / 1e6 if shown_ns else None,
        "base_rows": int(drained["count"]),
        "base_ms": (int(drained["last_ns"]) - start) / 1e6 if int(drained["count"]) else None,
        "burst_ms": (end - start) / 1e6,
        "cpu_s": usage.ru_utime + usage.ru_stime,
        "servers_cpu_s": servers,
        "peak_mb": usage.ru_maxrss / 1024.0,
        "drops": bench.rcvbuf_errors(lab, "ws") - drops_before,
    }


def window_cases(lab, bench, build, win_build, faces, sizes, tmp, log=print):
    """Every face's bursts in LAB (bench/run.py's lab, with its second subnet and n2_mac).
    BENCH is bench/run.py's module, whose helpers the cases share. Faces that cannot run
    here are reported and left out."""
    results = []
    for face in faces:
        why = missing(face, build, win_build)
        if why:
            log(f"  {FACE_NAMES[face]}: not measured: {why}")
            continue
        with desktop(face, lab, bench, build, win_build, tmp) as command:
            for kind in ("replies", "requests"):
                for n in sizes:
                    results.append(window_case(lab, bench, build, face, command, kind, n, tmp))
                    log(f"  {face} {kind} N={n}: {results[-1]}", flush=True)
    return results


# ---- the table ---------------------------------------------------------------------------------

def fmt(v, spec=".1f"):
    return "n/a" if v is None else format(v, spec)


def table(results):
    """The windows' rows of bench/results.md, with their growth and the receive buffers."""
    if not results:
        return "Windows: not measured."
    out = ["| window | burst | N | rows / N | loss | time to last row shown ms | baseline ms"
           " | window / baseline | last row listed ms | lag after last frame ms | rows shown"
           " | CPU s | X / wine servers CPU s | peak MB | buffer drops | burst on wire ms |",
           "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        ratio = r["time_ms"] / r["base_ms"] if r["time_ms"] and r["base_ms"] else None
        out.append(f"| {FACE_NAMES[r['face']]} | {r['kind']} | {r['n']} | {r['rows']}/{r['n']} | "
                   f"{r['loss']} | {fmt(r['time_ms'])} | {fmt(r['base_ms'])} | "
                   f"{fmt(ratio, '.2f')} | {fmt(r['listed_ms'])} | {fmt(r['lag_ms'])} | "
                   f"{r['shown_rows']} | {r['cpu_s']:.3f} | {r['servers_cpu_s']:.2f} | "
                   f"{r['peak_mb']:.1f} | {r['drops']} | {r['burst_ms']:.1f} |")
    growth = []
    for face in FACES:
        for kind in ("replies", "requests"):
            by_n = {r["n"]: r for r in results if r["face"] == face and r["kind"] == kind}
            ns = sorted(by_n)
            for small, big in zip(ns, ns[1:]):
                a, c = by_n[small]["time_ms"], by_n[big]["time_ms"]
                ba, bc = by_n[small]["base_ms"], by_n[big]["base_ms"]
                if a and c and ba and bc:
                    growth.append(f"{face} {kind}: time({big}) / time({small}) = {c / a:.2f} "
                                  f"(baseline {bc / ba:.2f})")
    out.append("")
    out.append("Window growth: " + ("; ".join(growth) if growth else "n/a"))
    limit = rmem_max()
    if limit is not None:
        out.append("")
        out.append(f"Receive buffers: net.core.rmem_max is {limit} bytes. The programs ask for "
                   "4194304 on their listeners; Wine asks the kernel with plain SO_RCVBUF, so "
                   "under Wine a listener gets at most rmem_max.")
    return "\n".join(out)


# ---- alone -----------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--win-build", default=os.path.join(ROOT, "build-win"))
    parser.add_argument("--faces", default=",".join(FACES))
    parser.add_argument("--sizes", default="256,1024,4096")
    parser.add_argument("--out", default=None)
    parser.add_argument("--quick", action="store_true",
                        help="a small run that only shows the window benches work (N=64)")
    args = parser.parse_args()
    if args.quick:
        args.sizes = "64"
    build = os.path.abspath(args.build)
    win_build = os.path.abspath(args.win_build)
    faces = [f for f in args.faces.split(",") if f]
    if any(f not in FACES for f in faces):
        parser.error(f"faces are {', '.join(FACES)}")
    sizes = [int(s) for s in args.sizes.split(",")]

    sys.path.insert(0, HERE)
    import run as bench  # the lab and the burst helpers of bench/run.py

    check = subprocess.run([bench.NETLAB, "check"], capture_output=True, text=True)
    if check.returncode != 0:
        print(f"SKIPPED: network namespaces unavailable: {check.stdout}{check.stderr}")
        return 77
    reasons = {f: missing(f, build, win_build) for f in faces}
    if all(reasons.values()):
        print("SKIPPED: " + "; ".join(f"{f}: {why}" for f, why in reasons.items()))
        return 77

    load_before = open("/proc/loadavg").read().split()[0]
    with tempfile.TemporaryDirectory() as tmp, bench.Lab(2) as lab:
        try:
            lab.run("ws", "ip", "addr", "add", bench.SWARM_NET_WS, "dev", "eth0", check=True)
            lab.run("n2", "ip", "addr", "add", bench.SWARM_NET_N2, "dev", "eth0", check=True)
            link = lab.run("n2", "ip", "-j", "link", "show", "eth0", capture_output=True,
                           text=True, check=True)
            lab.n2_mac = json.loads(link.stdout)[0]["address"]
            results = window_cases(lab, bench, build, win_build, faces, sizes, tmp)
        except (bench.BenchError, subprocess.CalledProcessError,
                subprocess.TimeoutExpired) as e:
            print(f"window bench failed: {e}")
            return 1
    load_after = open("/proc/loadavg").read().split()[0]
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    text = (f"# Window benchmark\n\nMachine: {bench.machine()}\n\nDate: {now}\n\n"
            + table(results) + f"\n\nLoad average before / after: {load_before} / "
            f"{load_after}\n")
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    print(text)
    if args.quick:
        # A burst this small is listed and shown whole or something is wrong (not slow).
        short = [r for r in results if r["loss"] or r["shown_rows"] < r["rows"]]
        for r in short:
            print(f"FAILED: {FACE_NAMES[r['face']]} {r['kind']}: {r['rows']} of {r['n']} rows "
                  f"listed, {r['shown_rows']} shown")
        if short:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
