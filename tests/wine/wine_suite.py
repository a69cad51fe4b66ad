#!/usr/bin/env python3
"""The Windows program's real windows under Wine, on a simulated LAN.

    wine_suite.py WIN_BUILD_DIR BUILD_DIR [--screenshots DIR]

Runs tavisol_win32_ui_test.exe (make windows) in the workstation namespace of a throw-away
lab (tools/netlab) on a virtual X server. The workstation has two interfaces, each on a
segment of its own (eth0 with the default route, eth1 without), and each segment two
simulated appliances, one configured and one that asks for an address; the test plays
further appliances with sockets of its own in the same namespace. A capture on each segment
shows afterwards that the probe left by both interfaces, each from its own address, and that
the replies to the second segment's appliance went out on that segment alone. With
--screenshots the same run photographs the main window after its search, the About box and
the assign dialog into DIR as PNG files.

The Wine prefix is made once and kept in WIN_BUILD_DIR/wine (wineboot takes long); a lock
keeps two runs from sharing it at once. Wine's sockets are made by the wineserver, so the
wineserver is started inside the namespace, and so is the X server. Everything started is
ended by its PID. Exit 0 on success, 1 on failure, 77 (skipped, with the reason) when Wine,
Xvfb, the cross build or network namespaces are missing.
"""

import contextlib
import fcntl
import glob
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NETLAB = os.path.join(HERE, "..", "..", "tools", "netlab")
sys.path.insert(0, os.path.join(HERE, "..", "network"))
import cli_search_test as lab_tools  # noqa: E402  (the lab of the network tests)
from two_segment_test import Capture  # noqa: E402  (a capture of one segment)
SKIP = 77
EXE_NAME = "tavisol_win32_ui_test.exe"

CONFIGURED = ("STORE-ONE", "00:0A:1B:00:00:01")
UNCONFIGURED = ("NEW-BOX", "00:0A:1B:FF:20:3C")
NEW_ADDRESS = ("10.199.0.77", "255.255.255.0", "10.199.0.254")
# The second segment's: n3 and n4, behind the workstation's eth1.
CONFIGURED2 = ("STORE-TWO", "00:0A:1B:00:00:02")
UNCONFIGURED2 = ("SEG2-BOX", "00:0A:1B:FF:20:5C")
NEW_ADDRESS2 = ("10.198.0.77", "255.255.255.0", "10.198.0.254")


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def windows_path(path):
    # Wine's drive Z: is the Unix root.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---- inside the workstation namespace -------------------------------------------------------

def prefix_pids(prefix):
    """The Wine processes of this prefix (the test, the wineserver, wineboot's helpers)."""
    pids = []
    want = f"WINEPREFIX={prefix}".encode()
    for env in glob.glob("/proc/[0-9]*/environ"):
        try:
            with open(env, "rb") as f:
                if want in f.read().split(b"\0"):
                    pids.append(int(env.split("/")[2]))
        except OSError:
            pass
    return [p for p in pids if p != os.getpid()]


class XvfbError(RuntimeError):
    pass


def start_xvfb(log_path, wrap=()):
    """An X server on a display number of its own, run through WRAP (a command prefix that
    puts it into a namespace, or none); returns the process and the display number, "" when
    it did not start."""
    rfd, wfd = os.pipe()
    # -noreset: the server would start over whenever its last client leaves (and write
    # its number to the pipe again, which ends it if nobody reads there any more).
    xvfb = subprocess.Popen([*wrap, "Xvfb", "-displayfd", str(wfd), "-screen", "0",
                             "1024x768x24", "-nolisten", "tcp", "-noreset"], pass_fds=(wfd,),
                            stderr=open(log_path, "w"))
    os.close(wfd)
    # The number and its newline come in separate writes; the pipe stays open as long as the
    # server runs (kept with its process), since a write into a closed one is fatal to it.
    xvfb.display_pipe = rfd
    display = b""
    deadline = time.monotonic() + 10
    while not display.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([rfd], [], [], 0.5)
        if ready:
            display += os.read(rfd, 64)
    display = display.decode().strip()
    if display:
        # A desktop session loads the X resources (Xsession runs xrdb); with none at all,
        # Xlib reads ~/.Xdefaults again on every look-up, which Wine makes whenever it
        # selects a font: thousands of file opens a second while a window repaints.
        subprocess.run([*wrap, "xprop", "-display", f":{display}", "-root", "-format",
                        "RESOURCE_MANAGER", "8s", "-set", "RESOURCE_MANAGER",
                        "*customization:\t-color\n"], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return xvfb, display


@contextlib.contextmanager
def wine_session(prefix, log_dir, overrides="", wrap=()):
    """Xvfb, a wineserver of this namespace and the prefix, made if it is new; yields the
    environment to run Wine programs in, and ends all of it afterwards. `overrides` are
    further WINEDLLOVERRIDES entries. `wrap` is a command prefix that runs each of those
    programs in the lab's workstation namespace, for a caller outside it (a Wine program run
    there must be wrapped the same way)."""
    dll_overrides = "mscoree,mshtml=" + (f";{overrides}" if overrides else "")
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64",
               WINEDLLOVERRIDES=dll_overrides, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
    started = []
    try:
        xvfb, display = start_xvfb(os.path.join(log_dir, "xvfb.log"), wrap)
        started.append(xvfb)
        if not display:
            raise XvfbError("Xvfb did not start")
        env["DISPLAY"] = f":{display}"

        os.makedirs(prefix, exist_ok=True)
        # A wineserver left over from an interrupted run would serve this prefix from another
        # namespace: Wine's sockets would be made there.
        subprocess.run([*wrap, "wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        server = subprocess.Popen([*wrap, "wineserver", "-f", "-p"], env=env)
        started.append(server)
        marker = os.path.join(prefix, ".tavisol-ready")
        if not os.path.exists(marker):
            t0 = time.monotonic()
            with open(os.path.join(log_dir, "wineboot.log"), "w") as log:
                subprocess.run([*wrap, "wine", "wineboot", "-i"], env=env, stdout=log,
                               stderr=log, timeout=240, check=True)
            # Debian's Wine does not look in its own font folder: without Tahoma and Marlett
            # the dialogs and the caption buttons are drawn with stand-ins.
            fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
            for font in glob.glob("/usr/share/wine/fonts/*"):
                shutil.copy(font, fonts)
            # No window manager runs: Wine frames and places the windows itself.
            subprocess.run([*wrap, "wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver",
                            "/v", "Managed", "/d", "N", "/f"], env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            open(marker, "w").close()
            print(f"wine_suite: new Wine prefix in {time.monotonic() - t0:.0f} s")
        yield env, started
    finally:
        subprocess.run([*wrap, "wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        for proc in started:
            if proc.poll() is None:
                proc.terminate()
        for proc in started:
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
        for pid in prefix_pids(prefix):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


def inner(exe, prefix, log_dir):
    """The test program in a Wine session, its report printed."""
    try:
        with wine_session(prefix, log_dir) as (env, started):
            return run_test_program(exe, env, started, log_dir)
    except XvfbError as e:
        print(f"wine_suite: {e}", file=sys.stderr)
        return 1


def run_test_program(exe, env, started, log_dir):
    t0 = time.monotonic()
    # The program prints one diagnostic line per BOOTP request it examines (a window
    # program's stdout goes nowhere); here they would drown the report, so they are
    # counted, and the count must be the number of datagrams that the test saw the port-67
    # listener receive, which it prints last. A file rather than a pipe: the helpers that
    # Wine starts inherit the test's output and keep a pipe open after the test has ended.
    out_path = os.path.join(log_dir, "test.out")
    with open(out_path, "w") as out:
        test = subprocess.Popen(["wine", exe], env=env, stdout=out, stderr=subprocess.STDOUT)
        started.append(test)
        try:
            code = test.wait(240)
        except subprocess.TimeoutExpired:
            print("wine_suite: the test program ran out of time", file=sys.stderr)
            code = -1
    diagnostics = 0
    received = None
    with open(out_path, errors="replace") as out:
        for line in out:
            counted = re.fullmatch(r"port-67 listener received (\d+) datagrams", line.strip())
            if line.strip() == "BOOTP options":
                diagnostics += 1
            elif counted:
                received = int(counted.group(1))
            else:
                print(line, end="")
    print(f"wine_suite: the test program ran {time.monotonic() - t0:.0f} s, exit {code}, "
          f"{diagnostics} \"BOOTP options\" lines for {received} datagrams received on port 67",
          flush=True)
    if code != 0:
        return 1
    # The suite's searches hear the simulated appliance's requests and its own, so the
    # port-67 listener has always received some.
    if not received or diagnostics != received:
        print("wine_suite: one \"BOOTP options\" line per datagram on port 67 was expected",
              file=sys.stderr)
        return 1
    return 0


# ---- in the root namespace -------------------------------------------------------------------

class WineLab(lab_tools.Lab):
    """The network tests' lab under a name of the Wine suite's own, so that its runs and
    theirs can go on side by side."""

    def __init__(self, nodes, *options, prefix="wine"):
        self.name = f"{prefix}{os.getpid() % 10000}"
        self.procs = []
        subprocess.run([NETLAB, "create", self.name, str(nodes), *options], check=True)


def check_segments(lab, captures):
    """What the captures of the two segments say; a list of faults."""
    faults = []
    workstation = {1: lab.addr("ws"), 2: lab.addr("ws", "eth1")}
    segment2_hw = UNCONFIGURED2[1].lower()
    for segment, capture in captures.items():
        probes = {src for (src,) in capture.fields("udp.dstport == 1212", "ip.src")}
        if probes != {workstation[segment]}:
            faults.append(f"segment {segment}: probes from {sorted(probes)}, wanted only "
                          f"{workstation[segment]}")
        ours = capture.fields(f"udp.srcport == 67 && ip.src == {workstation[segment]}",
                              "dhcp.hw.mac_addr", "dhcp.ip.server", "dhcp.option.dhcp_server_id")
        foreign = capture.fields(f"udp.srcport == 67 && ip.src == {workstation[3 - segment]}",
                                 "dhcp.hw.mac_addr")
        if foreign:
            faults.append(f"segment {segment}: replies from the other interface's address "
                          f"{workstation[3 - segment]}: {foreign}")
        to_segment2 = [r for r in ours if r[0].lower() == segment2_hw]
        if segment == 1 and to_segment2:
            faults.append(f"segment 1: replies to the second segment's appliance: {to_segment2}")
        if segment == 2:
            if not to_segment2:
                faults.append("segment 2: no reply to its appliance")
            wrong = [r for r in to_segment2 if r[1:] != (workstation[2], workstation[2])]
            if wrong:
                faults.append(f"segment 2: siaddr or server identifier not {workstation[2]}: "
                              f"{wrong}")
    return faults


def main(argv):
    if len(argv) >= 2 and argv[1] == "--inner":
        return inner(argv[2], argv[3], argv[4])
    if len(argv) not in (3, 5) or (len(argv) == 5 and argv[3] != "--screenshots"):
        print(__doc__, file=sys.stderr)
        return 2
    win_build, build = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    shots = os.path.abspath(argv[4]) if len(argv) == 5 else None

    exe = os.path.join(win_build, EXE_NAME)
    sim = os.path.join(build, "sim", "tavisol-sim")
    if os.geteuid() != 0:
        skip("needs root for the lab's network namespaces")
    for tool in ("wine", "wineserver", "Xvfb"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (make deps-windows)")
    if shots and not shutil.which("convert"):
        skip("ImageMagick's convert is not installed (make deps-windows)")
    if not os.path.exists(exe):
        skip(f"no {exe} (make windows)")
    if not os.path.exists(sim):
        skip(f"no {sim} (make build)")
    check = subprocess.run([NETLAB, "check"], capture_output=True, text=True)
    if check.returncode != 0:
        skip(f"no network namespaces here: {check.stdout}{check.stderr}".strip())

    lab_tools.SIM = sim
    state = os.path.join(win_build, "wine")
    os.makedirs(state, exist_ok=True)
    prefix = os.path.join(state, "prefix")
    with open(os.path.join(state, "lock"), "w") as lock, \
            tempfile.TemporaryDirectory(prefix="tavisol-wine.") as tmp, \
            WineLab(4, "--segment2", "3,4") as lab:
        fcntl.flock(lock, fcntl.LOCK_EX)
        status, status2 = os.path.join(tmp, "status"), os.path.join(tmp, "status2")
        lab.sim("n1", "--configured", "--name", CONFIGURED[0], "--hw", CONFIGURED[1])
        lab.sim("n2", "--unconfigured", "--name", UNCONFIGURED[0], "--hw", UNCONFIGURED[1],
                "--interval", "300", "--status-file", status)
        lab.sim("n3", "--configured", "--name", CONFIGURED2[0], "--hw", CONFIGURED2[1])
        lab.sim("n4", "--unconfigured", "--name", UNCONFIGURED2[0], "--hw", UNCONFIGURED2[1],
                "--interval", "300", "--status-file", status2)
        env = dict(os.environ,
                   TAVISOL_LAB_WORKSTATION=lab.addr("ws"),
                   TAVISOL_LAB_CONFIGURED=f"{lab.addr('n1')} {CONFIGURED[0]}",
                   TAVISOL_LAB_UNCONFIGURED=f"{UNCONFIGURED[0]} {UNCONFIGURED[1].replace(':', '-')}",
                   TAVISOL_LAB_NEW_ADDRESS=" ".join(NEW_ADDRESS),
                   TAVISOL_LAB_STATUS=windows_path(status),
                   TAVISOL_LAB_SEGMENT2_WORKSTATION=lab.addr("ws", "eth1"),
                   TAVISOL_LAB_SEGMENT2_CONFIGURED=f"{lab.addr('n3')} {CONFIGURED2[0]}",
                   TAVISOL_LAB_SEGMENT2_UNCONFIGURED=(
                       f"{UNCONFIGURED2[0]} {UNCONFIGURED2[1].replace(':', '-')}"),
                   TAVISOL_LAB_SEGMENT2_NEW_ADDRESS=" ".join(NEW_ADDRESS2),
                   TAVISOL_LAB_SEGMENT2_STATUS=windows_path(status2))
        if shots:
            env["TAVISOL_SHOTS"] = windows_path(tmp)
        captures = {}
        if shutil.which("dumpcap") and shutil.which("tshark"):
            traffic = "udp dst port 1212 or udp src port 67"
            captures = {1: Capture(lab, "br0", os.path.join(tmp, "segment1.pcap"), traffic),
                        2: Capture(lab, "br1", os.path.join(tmp, "segment2.pcap"), traffic)}
        else:
            print("wine_suite: tshark is not installed: the segments are not captured")
        result = subprocess.run([NETLAB, "exec", lab.name, "ws", "--", sys.executable,
                                 os.path.abspath(__file__), "--inner", exe, prefix, tmp],
                                env=env)
        for capture in captures.values():
            capture.stop()
        faults = check_segments(lab, captures) if captures else []
        for fault in faults:
            print(f"wine_suite: {fault}", file=sys.stderr)
        if captures and not faults:
            print("wine_suite: the probe left by both interfaces, each from its own address; "
                  "no reply to the second segment reached the first")
        for log in ("wineboot.log", "xvfb.log"):
            path = os.path.join(tmp, log)
            if result.returncode != 0 and os.path.exists(path) and os.path.getsize(path):
                print(f"---- {log}\n{open(path, errors='replace').read()[-3000:]}")
        if shots:
            os.makedirs(shots, exist_ok=True)
            made = []
            for bmp in sorted(glob.glob(os.path.join(tmp, "*.bmp"))):
                png = os.path.join(shots, os.path.basename(bmp)[:-4] + ".png")
                subprocess.run(["convert", bmp, png], check=True)
                made.append(png)
            print("wine_suite: screenshots:", *made, sep="\n  ")
            if len(made) != 3:
                print("wine_suite: expected three screenshots", file=sys.stderr)
                return 1
        return result.returncode or (1 if faults else 0)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
