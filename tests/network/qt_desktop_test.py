#!/usr/bin/env python3
"""The Qt program on a real X server, driven by the mouse as a user would.

    python3 tests/network/qt_desktop_test.py BUILD_DIR [bare|openbox]

On a private LAN with one configured and one unconfigured appliance, build/tavisol runs on an
Xvfb of the workstation namespace. xdotool clicks "Search" where the window shows it (worked
out from the window's size and the dialog template, as the program lays it out); a capture
on the workstation's interface must hold the 3-byte probe to UDP 1212, sent only after the
click. Then each row is selected in turn and double-clicked: one opens
http://<appliance>/admin/ through the desktop's URL handler (xdg-open, with a recorder that
only writes the URL down as the user's handler of http links), the other opens the assign
dialog of its appliance ("NEW-BOX[Setting]"), as a "No IP" row does. "Web Browser.." opens
the selected configured row's page as well. "Close" ends the program; every click must act
the first time.

"bare" (the default) runs no window manager, as on a kiosk or under xvfb-run; "openbox" runs
one, so the windows are framed, placed and activated by it as on a desktop. Exit 0 on
success, 1 on failure, 77 (skip) without Xvfb, xdotool, xwininfo, dumpcap, the window
manager or namespaces.
"""

import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_search_test as net  # noqa: E402

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
TOOLS = ("Xvfb", "xdotool", "xwininfo", "dumpcap")


class DesktopLab(net.Lab):
    def __init__(self, nodes):
        self.name = f"xdo{os.getpid() % 100000}"
        self.procs = []
        subprocess.run([net.NETLAB, "create", self.name, str(nodes)], check=True)

    def ws(self, *cmd):
        return [net.NETLAB, "exec", self.name, "ws", "--", *cmd]


# ---- where the program puts things --------------------------------------------------------

def version_text():
    with open(os.path.join(ROOT, "res", "version.h")) as f:
        text = f.read()
    return ".".join(re.search(rf"#define TAVISOL_VERSION_{part} (\d+)", text).group(1)
                    for part in ("MAJOR", "MINOR", "PATCH", "TWEAK"))


def templates():
    """The main and assign dialogs' sizes and the controls this test uses, in dialog units,
    read from the same table the program lays its windows out from."""
    with open(os.path.join(ROOT, "res", "templates.cpp")) as f:
        text = f.read()

    def dialog(name):
        # A caption may end in the version, which res/version.h writes.
        m = re.search(r"\{" + name + r', "([^"]*)"( TAVISOL_VERSION_TEXT)?, (\d+), (\d+)', text)
        caption = m.group(1) + (version_text() if m.group(2) else "")
        return caption, int(m.group(3)), int(m.group(4))

    def controls(table):
        body = re.search(table + r"\[\] = \{(.*?)\n\};", text, re.S).group(1)
        found = {}
        for m in re.finditer(r"\{(\w+), ControlKind::\w+, \"[^\"]*\", \w+, "
                             r"(\d+), (\d+), (\d+), (\d+)", body):
            found.setdefault(m.group(1), tuple(int(v) for v in m.groups()[1:]))
        return found

    return (dialog("IDD_VELLUMCRESTUI_DIALOG"), controls("kMainControls"),
            dialog("IDD_ADDRESS_ASSIGN"), controls("kAssignControls"))


class Units:
    """Dialog units to pixels. The window is exactly cx*x/4 by cy*y/8 pixels, whole numbers
    rounded down, so its size gives back the base units of the font it was laid out in."""

    def __init__(self, width, height, cx, cy):
        xs = [x for x in range(1, 64) if cx * x // 4 == width]
        ys = [y for y in range(1, 64) if cy * y // 8 == height]
        net.check(xs and ys, f"a {width}x{height} window is no {cx}x{cy} dialog")
        self.x, self.y = xs[0], ys[0]

    def rect(self, x, y, cx, cy):
        return (x * self.x // 4, y * self.y // 8, cx * self.x // 4, cy * self.y // 8)

    def centre(self, rect):
        left, top, width, height = self.rect(*rect)
        return left + width // 2, top + height // 2


# ---- X -------------------------------------------------------------------------------------

class Desktop:
    def __init__(self, lab, display, framebuffer):
        self.lab = lab
        self.env = {"DISPLAY": f":{display}"}
        self.framebuffer = framebuffer

    def run(self, *cmd, timeout=10):
        env = dict(os.environ, **self.env)
        result = subprocess.run(self.lab.ws(*cmd), capture_output=True, timeout=timeout, env=env)
        net.check(result.returncode == 0, f"{cmd}: exit {result.returncode} {result.stderr!r}")
        return result.stdout

    def find(self, name, timeout=10):
        """The first window whose title matches NAME, waiting for it to be mapped."""
        try:
            out = self.run("xdotool", "search", "--sync", "--onlyvisible", "--name", name,
                           timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"no window {name!r} within {timeout} s; "
                                 f"shown: {self.shown()}")
        return out.split()[0].decode()

    def geometry(self, window):
        out = self.run("xdotool", "getwindowgeometry", "--shell", window).decode()
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["WIDTH"]), int(values["HEIGHT"])

    def click(self, window, point, repeat=1):
        self.run("xdotool", "mousemove", "--window", window, str(point[0]), str(point[1]),
                 "click", "--repeat", str(repeat), "--delay", "80", "1")

    def key(self, *keys):
        self.run("xdotool", "key", "--delay", "50", *keys)

    def shown(self):
        """The titles of the windows on the screen."""
        return [self.run("xdotool", "getwindowname", w).decode().strip() for w in
                self.run("xdotool", "search", "--onlyvisible", "--name", "").split()]

    def position(self, window):
        """Where the window's inside is on the screen. xwininfo, not xdotool, which counts a
        window manager's frame twice."""
        out = self.run("xwininfo", "-id", window).decode()
        values = dict(line.strip().split(":", 1) for line in out.splitlines() if
                      line.strip().startswith("Absolute upper-left"))
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]))

    def snapshot(self):
        """The screen as one bytes object per scan line: Xvfb keeps its frame buffer in an
        XWD file (-fbdir)."""
        with open(self.framebuffer, "rb") as f:
            data = f.read()
        header = struct.unpack(">25I", data[:100])
        size, height, line, ncolors = header[0], header[5], header[12], header[19]
        pixels = data[size + 12 * ncolors:]
        return [pixels[i * line:(i + 1) * line] for i in range(height)], header[11] // 8

    def band(self, before, rect, settle=2.0):
        """The scan lines within RECT (screen pixels) that have changed since BEFORE, once
        the window has stopped redrawing them."""
        deadline = time.monotonic() + settle
        last = None
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now = changed_band(before, self.snapshot(), rect)
            if now and now == last:
                return now
            last = now
        return last


def write_png(snapshot, path):
    """A snapshot as an RGB PNG, left behind when the test fails."""
    lines, bpp = snapshot
    width = len(lines[0]) // bpp
    raw = b"".join(b"\0" + bytes(v for px in range(width) for v in
                                 (line[px * bpp + 2], line[px * bpp + 1], line[px * bpp]))
                   for line in lines)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body)))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", width, len(lines), 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


# The rows' icons blink while a search runs: the comparisons leave them out.
ICONS = 32


def differs(before, after, rect, band):
    """Whether the scan lines FIRST..LAST of RECT differ between two snapshots."""
    (lines0, bpp), (lines1, _) = before, after
    left, _, width, _ = rect
    return any(lines0[y][(left + ICONS) * bpp:(left + width - 2) * bpp]
               != lines1[y][(left + ICONS) * bpp:(left + width - 2) * bpp]
               for y in range(band[0], band[1] + 1))


def changed_band(before, after, rect):
    """The first run of scan lines within RECT that differ between two snapshots."""
    (lines0, bpp), (lines1, _) = before, after
    left, top, width, height = rect
    rows = [y for y in range(top + 2, top + height - 2)
            if lines0[y][(left + ICONS) * bpp:(left + width - 2) * bpp]
            != lines1[y][(left + ICONS) * bpp:(left + width - 2) * bpp]]
    if not rows:
        return None
    end = rows[0]
    while end + 1 in rows:
        end += 1
    return rows[0], end


# ---- the probe on the wire -----------------------------------------------------------------

def probes(pcap):
    """(time, destination, payload) of every UDP datagram to port 1212 in a pcap file of
    Ethernet frames."""
    with open(pcap, "rb") as f:
        data = f.read()
    net.check(len(data) >= 24 and data[:4] == b"\xd4\xc3\xb2\xa1", "not a pcap capture")
    found, at = [], 24
    while at + 16 <= len(data):
        sec, usec, caplen, _ = struct.unpack("<IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + caplen]
        at += 16 + caplen
        if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
            continue
        ihl = (frame[14] & 0x0F) * 4
        udp = frame[14 + ihl:]
        if struct.unpack(">H", udp[2:4])[0] != 1212:
            continue
        length = struct.unpack(">H", udp[4:6])[0]
        found.append((sec + usec / 1e6, ".".join(str(b) for b in frame[30:34]), udp[8:length]))
    return found


# ---- the test -------------------------------------------------------------------------------

def pattern(title):
    """A title as an extended regular expression that matches it alone."""
    return "^" + re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", title) + "$"


def free_display():
    for display in [100 + (os.getpid() + i) % 800 for i in range(50)]:
        if not os.path.exists(f"/tmp/.X{display}-lock") and \
                not os.path.exists(f"/tmp/.X11-unix/X{display}"):
            return display
    raise AssertionError("no free X display number")


def stop(proc, sig=signal.SIGTERM):
    if proc.poll() is None:
        proc.send_signal(sig)
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def desktop_case(build, tmp, window_manager):
    (title, main_cx, main_cy), main, (_, assign_cx, assign_cy), assign = templates()
    # The desktop's URL handler: xdg-open, with a recorder that only writes the URL down
    # registered as this user's handler of http links. Without xdg-open, a stand-in of that
    # name records it instead.
    url_file = os.path.join(tmp, "urls")
    bin_dir = os.path.join(tmp, "bin")
    os.mkdir(bin_dir)
    recorder = os.path.join(tmp, "record-url")
    with open(recorder, "w") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$*" >> "{url_file}"\n')
    os.chmod(recorder, stat.S_IRWXU)
    if not shutil.which("xdg-open"):
        shutil.copy(recorder, os.path.join(bin_dir, "xdg-open"))
    xdg_data, xdg_config = os.path.join(tmp, "data"), os.path.join(tmp, "config")
    os.makedirs(os.path.join(xdg_data, "applications"))
    os.mkdir(xdg_config)
    with open(os.path.join(xdg_data, "applications", "record-url.desktop"), "w") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Recorder\n"
                f"Exec={recorder} %u\nMimeType=x-scheme-handler/http;\n")
    with open(os.path.join(xdg_config, "mimeapps.list"), "w") as f:
        f.write("[Default Applications]\nx-scheme-handler/http=record-url.desktop\n")
    runtime = os.path.join(tmp, "runtime")
    os.mkdir(runtime, 0o700)

    with DesktopLab(2) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300")
        pcap = os.path.join(tmp, "ws.pcap")
        capture = subprocess.Popen(lab.ws("dumpcap", "-q", "-P", "-i", "eth0", "-f", "udp",
                                          "-w", pcap),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lab.procs.append(capture)
        display = free_display()
        xvfb = subprocess.Popen(lab.ws("Xvfb", f":{display}", "-nolisten", "tcp", "-screen",
                                       "0", "1024x768x24", "-fbdir", tmp),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lab.procs.append(xvfb)
        deadline = time.monotonic() + 10
        framebuffer = os.path.join(tmp, "Xvfb_screen0")
        while not all(os.path.exists(path) for path in
                      (f"/tmp/.X11-unix/X{display}", framebuffer, pcap)):
            net.check(time.monotonic() < deadline and xvfb.poll() is None
                      and capture.poll() is None, "Xvfb or dumpcap did not start")
            time.sleep(0.05)
        x = Desktop(lab, display, framebuffer)
        if window_manager:
            wm = subprocess.Popen(lab.ws(window_manager), env=dict(os.environ, **x.env),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            lab.procs.append(wm)
            # It has taken the screen once it is the root window's window manager.
            deadline = time.monotonic() + 10
            while b"_NET_SUPPORTING_WM_CHECK(WINDOW)" not in x.run("xprop", "-root"):
                net.check(time.monotonic() < deadline and wm.poll() is None,
                          f"{window_manager} did not start")
                time.sleep(0.1)

        env = dict(os.environ, DISPLAY=f":{display}", QT_QPA_PLATFORM="xcb",
                   PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""), BROWSER="false",
                   XDG_DATA_HOME=xdg_data, XDG_CONFIG_HOME=xdg_config,
                   XDG_RUNTIME_DIR=runtime)
        # No desktop session of the caller's: xdg-open takes its generic, per-user handlers.
        for name in ("QT_ACCESSIBILITY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION",
                     "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"):
            env.pop(name, None)
        log = os.path.join(tmp, "tavisol.log")
        with open(log, "wb") as out:
            gui = subprocess.Popen(lab.ws(os.path.join(build, "tavisol")), env=env,
                                   stdout=out, stderr=subprocess.STDOUT)
        lab.procs.append(gui)

        def drive():
            window = x.find(pattern(title))
            units = Units(*x.geometry(window), main_cx, main_cy)
            list_rect = units.rect(*main["IDC_DEVICE_LIST"])
            clicked = time.time()
            x.click(window, units.centre(main["IDC_SEARCH"]))

            # Each row's place is where the selection shows: a click on the list's empty lower
            # part (above its scroll bar) gives it the keyboard and selects nothing, then Page
            # Up and Page Down select the first and the last row. Both rows are there once
            # those are two bands of one height.
            inside = (list_rect[0] + list_rect[2] // 2, list_rect[1] + list_rect[3] * 3 // 4)
            window_x, window_y = x.position(window)
            on_screen = (window_x + list_rect[0], window_y + list_rect[1], list_rect[2],
                         list_rect[3])
            deadline = time.monotonic() + 8
            while True:
                time.sleep(0.3)
                x.click(window, inside)
                time.sleep(0.3)
                none = x.snapshot()
                x.key("Prior")
                row0 = x.band(none, on_screen)
                x.key("Next")
                row1 = x.band(none, on_screen)
                if row0 and row1 and row0[1] < row1[0] and \
                        abs((row0[1] - row0[0]) - (row1[1] - row1[0])) <= 2:
                    break
                net.check(time.monotonic() < deadline, f"two rows never listed: {row0} {row1}")

            stop(capture, signal.SIGINT)
            sent = probes(pcap)
            vx2 = [p for p in sent if p[2] == b"VX2"]
            net.check(vx2, f"no probe after the click: {sent}")
            net.check(all(t >= clicked - 0.05 for t, _, _ in vx2),
                      f"a probe before the click at {clicked}: {vx2}")
            net.check(all(dst == "10.199.0.255" or dst == "255.255.255.255" for _, dst, _ in vx2),
                      f"the probe is not broadcast: {vx2}")

            # Each row double-clicked: the configured one opens its page, the other the assign
            # dialog of its appliance. Every click must act the first time: a row is selected
            # by one click, checked on the screen, before its double-click, and one click on
            # "Cancel" or "Close" closes its window.
            def select(band, other):
                x.click(window, (list_rect[0] + 20, (band[0] + band[1]) // 2 - window_y))
                time.sleep(0.3)
                now = x.snapshot()
                # The other row's edges may take the selection's frame.
                net.check(differs(none, now, on_screen, band) and
                          not differs(none, now, on_screen, (other[0] + 4, other[1] - 4)),
                          f"the row at {band} is not selected by a click: "
                          f"{changed_band(none, now, on_screen)}")

            def press(window, point, gone):
                x.click(window, point)
                deadline = time.monotonic() + 5
                while not gone():
                    net.check(time.monotonic() < deadline, f"a click at {point} in {window} "
                              f"did nothing; shown: {x.shown()}")
                    time.sleep(0.1)

            outcomes = []
            for band, other in ((row0, row1), (row1, row0)):
                select(band, other)
                x.click(window, (list_rect[0] + 20, (band[0] + band[1]) // 2 - window_y),
                        repeat=2)
                deadline = time.monotonic() + 5
                while not os.path.exists(url_file) and "NEW-BOX[Setting]" not in x.shown():
                    net.check(time.monotonic() < deadline, f"a double-click at {band} did nothing")
                    time.sleep(0.1)
                time.sleep(0.3)
                if os.path.exists(url_file):
                    with open(url_file) as f:
                        outcomes.append(f.read().split())
                    os.unlink(url_file)
                    configured = (band, other)
                    continue
                dialog = x.find(pattern("NEW-BOX[Setting]"))
                dialog_units = Units(*x.geometry(dialog), assign_cx, assign_cy)
                outcomes.append("assign dialog")
                press(dialog, dialog_units.centre(assign["IDCANCEL"]),
                      lambda: "NEW-BOX[Setting]" not in x.shown())
            net.check(sorted(map(str, outcomes)) == sorted(
                [str([f"http://{lab.addr('n1')}/admin/"]), "assign dialog"]),
                f"the rows opened {outcomes}")

            # "Web Browser.." opens the selected row's page too.
            select(*configured)
            x.click(window, units.centre(main["IDC_WEB_BROWSER"]))
            deadline = time.monotonic() + 5
            while not os.path.exists(url_file):
                net.check(time.monotonic() < deadline, "Web Browser.. opened nothing")
                time.sleep(0.1)
            time.sleep(0.3)
            with open(url_file) as f:
                opened = f.read().split()
            net.check(opened == [f"http://{lab.addr('n1')}/admin/"],
                      f"Web Browser.. opened {opened}")
            os.unlink(url_file)

            # On a "No IP" row it hands the browser that text as it stands, as Windows does.
            select(configured[1], configured[0])
            x.click(window, units.centre(main["IDC_WEB_BROWSER"]))
            deadline = time.monotonic() + 5
            while not os.path.exists(url_file):
                net.check(time.monotonic() < deadline,
                          f"Web Browser.. on No IP opened nothing; shown: {x.shown()}")
                time.sleep(0.1)
            time.sleep(0.3)
            with open(url_file) as f:
                opened = f.read().strip()
            net.check(opened == "http://No IP/admin/", f"Web Browser.. opened {opened!r}")

            press(window, units.centre(main["IDCANCEL"]), lambda: gui.poll() is not None)
            net.check(gui.returncode == 0, f"exit {gui.returncode}")

        try:
            drive()
        except BaseException:
            # The screen as it was at the failure, for whoever reads the log.
            shot = os.path.join(build, f"qt_desktop_test-{window_manager or 'bare'}-failure.png")
            write_png(x.snapshot(), shot)
            print(f"the screen at the failure: {shot}")
            with open(log, errors="replace") as f:
                print(f"tavisol's output:\n{f.read()[-4000:]}")
            raise
        stop(xvfb)


def main():
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["bare"], ["openbox"]):
        print(f"usage: {sys.argv[0]} BUILD_DIR [bare|openbox]", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    window_manager = sys.argv[2] if sys.argv[2:] == ["openbox"] else None
    tools = TOOLS + ((window_manager, "xprop") if window_manager else ())
    missing = [tool for tool in tools if not shutil.which(tool)]
    if missing:
        print(f"SKIPPED: not installed: {' '.join(missing)}")
        return 77
    check = subprocess.run([net.NETLAB, "check"], capture_output=True, text=True)
    if check.returncode != 0:
        print(f"SKIPPED: network namespaces unavailable: {check.stdout}{check.stderr}")
        return 77
    net.SIM = os.path.join(build, "sim", "tavisol-sim")
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as tmp:
        desktop_case(build, tmp, window_manager)
    print(f"ok ({time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (AssertionError, subprocess.TimeoutExpired) as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
