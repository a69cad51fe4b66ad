#!/usr/bin/env python3
"""Checks tavisol-sim's datagrams on a private lab LAN with a decoder of its
own, so the simulator can be trusted as a reference when the application's
discovery code is tested against it.

    python3 sim/sim_selftest.py BUILD/sim/tavisol-sim

Builds a throw-away lab with tools/netlab (needs root), runs every check from
the workstation namespace, and exits 0 on success, 1 on failure, 77 when
network namespaces are unavailable here (so ctest can report a skip).
"""

import os
import select
import signal
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NETLAB = os.environ.get("NETLAB_TOOL") or os.path.join(HERE, "..", "tools", "netlab")
MARKER = b"Kestova Vellumcrest2"
COOKIE = bytes([99, 130, 83, 99])
HW = "00:0A:1B:FF:20:3C"
HW_BYTES = bytes.fromhex("000A1BFF203C")
N1 = "10.199.0.11"


# --- process plumbing -------------------------------------------------------

class Sim:
    """One simulator process inside a lab node, started and waited for."""

    def __init__(self, node, *args):
        self.proc = subprocess.Popen(
            [NETLAB, "exec", os.environ["NETLAB"], node, "--", SIM, *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 5)
        line = self.proc.stdout.readline() if ready else b""
        if line != b"ready\n":
            self.proc.kill()
            raise AssertionError(f"sim {args} did not get ready: {line!r} {self.proc.stderr.read()!r}")

    def wait(self, timeout=5):
        return self.proc.wait(timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def udp_socket(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", port))
    return s


def collect(sock, window, limit=None):
    """Datagrams (data, source, arrival time) arriving within window seconds."""
    out, end = [], time.monotonic() + window
    while limit is None or len(out) < limit:
        left = end - time.monotonic()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            break
        data, src = sock.recvfrom(65536)
        out.append((data, src, time.monotonic()))
    return out


def drain(sock):
    collect(sock, 0)


# --- independent BOOTP decoder -----------------------------------------------

def options(pkt):
    """(code, value) pairs from offset 240 up to End, and the bytes after End."""
    i, out = 240, []
    while i < len(pkt):
        code = pkt[i]
        if code == 255:
            return out, pkt[i + 1:]
        if code == 0:
            i += 1
            continue
        n = pkt[i + 1]
        out.append((code, pkt[i + 2:i + 2 + n]))
        i += 2 + n
    raise AssertionError("options run off the end without End")


def check(cond, what):
    if not cond:
        raise AssertionError(what)


# --- configured appliance -----------------------------------------------------

def name_field(name):
    return name[:39].ljust(40, b"\0")


CONFIGURED_CASES = [
    # (label, sim args, expected reply bytes, expected number of copies)
    ("basic", ["--name", "NAS-ONE", "--hw", HW], name_field(b"NAS-ONE") + HW_BYTES, 1),
    ("dash mac, 50-byte name cut at 39", ["--name", "ABCDEFGHIJ" * 5, "--hw", "00-0A-1B-FF-20-3C"],
     b"ABCDEFGHIJ" * 3 + b"ABCDEFGHI" + b"\0" + HW_BYTES, 1),
    ("name of exactly 39 bytes", ["--name", "x" * 39, "--hw", HW], b"x" * 39 + b"\0" + HW_BYTES, 1),
    ("empty name", ["--name", "", "--hw", HW], b"\0" * 40 + HW_BYTES, 1),
    ("non-UTF-8 name", ["--raw-name-hex", "c328ff41", "--hw", HW], name_field(bytes.fromhex("c328ff41")) + HW_BYTES, 1),
    ("no NUL anywhere", ["--no-nul", "--name", "AB", "--hw", "11:22:33:44:55:66"],
     b"AB" * 20 + bytes.fromhex("112233445566"), 1),
    ("truncated to 0", ["--reply-length", "0", "--name", "N", "--hw", HW], b"", 1),
    ("truncated to 10", ["--reply-length", "10", "--name", "NAS-ONE", "--hw", HW], b"NAS-ONE\0\0\0", 1),
    ("extended to 100", ["--reply-length", "100", "--name", "NAS-ONE", "--hw", HW],
     name_field(b"NAS-ONE") + HW_BYTES + b"\0" * 54, 1),
    ("repeated 3 times", ["--repeat", "3", "--name", "R", "--hw", HW], name_field(b"R") + HW_BYTES, 3),
]


def test_configured(ws):
    probe = udp_socket(0)
    for label, args, expected, copies in CONFIGURED_CASES:
        with Sim("n1", "--configured", *args) as sim:
            drain(ws)
            probe.sendto(b"VX2", ("255.255.255.255", 1212))
            got = collect(ws, 0.5)
            check(len(got) == copies, f"{label}: {len(got)} replies, want {copies}")
            for data, src, _ in got:
                check(src == (N1, 1212), f"{label}: reply from {src}")
                check(data == expected, f"{label}: reply {data!r}\n  want {expected!r}")
                if "--no-nul" in args:
                    check(b"\0" not in data, f"{label}: NUL in reply")
            check(sim.stop() == 0, f"{label}: exit status on SIGTERM")
        yield label


def test_probe_filter(ws):
    probe = udp_socket(0)
    with Sim("n1", "--configured", "--name", "F", "--hw", HW) as sim:
        drain(ws)
        for junk in [b"", b"VX", b"vx2", b"VX3", b"VX2\0", b"VX2 ", b" VX2", b"VX2" * 2]:
            probe.sendto(junk, (N1, 1212))
            check(not collect(ws, 0.2), f"answered non-probe {junk!r}")
        # Still alive and answering: the silence above was filtering.
        probe.sendto(b"VX2", (N1, 1212))
        check(len(collect(ws, 0.5)) == 1, "no reply to a real probe after junk")
        sim.stop()
    yield "non-probe payloads ignored"


def test_reply_timing_and_count(ws):
    probe = udp_socket(0)
    with Sim("n1", "--configured", "--reply-delay", "400", "--hw", HW):
        drain(ws)
        t0 = time.monotonic()
        probe.sendto(b"VX2", ("255.255.255.255", 1212))
        got = collect(ws, 1.5)
        check(len(got) == 1 and got[0][2] - t0 >= 0.38, f"delayed reply: {[(g[2] - t0) for g in got]}")
    yield "reply delay"

    with Sim("n1", "--configured", "--count", "2", "--hw", HW) as sim:
        drain(ws)
        for _ in range(2):
            probe.sendto(b"VX2", (N1, 1212))
            time.sleep(0.1)
        check(sim.wait() == 0, "did not exit 0 after --count probes")
        check(len(collect(ws, 0.3)) == 2, "wrong number of replies with --count 2")
    yield "count limit"

    t0 = time.monotonic()
    with Sim("n1", "--configured", "--duration", "300") as sim:
        check(sim.wait() == 0 and time.monotonic() - t0 < 2, "duration limit")
    yield "duration limit"


# --- unconfigured appliance ---------------------------------------------------

def dhcp_packets(dhcp, args, n=1, window=2.0):
    drain(dhcp)
    want = n * (2 if "--also-request" in args else 1)
    with Sim("n2", "--unconfigured", "--interval", "100", "--count", str(n), *args) as sim:
        got = collect(dhcp, window, limit=want)
        check(sim.wait() == 0, f"{args}: exit status after --count")
    # The kernel drops datagrams with a bad IPv4 or UDP checksum, so a
    # shortfall here is often a framing fault rather than a lost packet.
    check(len(got) == want, f"{args}: {len(got)} datagrams on port 67, want {want}")
    for data, src, _ in got:
        check(src == ("0.0.0.0", 68), f"{args}: source {src}")
    dhcp_packets.times = [g[2] for g in got]
    return [g[0] for g in got]


def test_discover_layout(dhcp):
    (p,) = dhcp_packets(dhcp, ["--hw", HW, "--name", "FRESH-1"])
    check(len(p) == 548, f"length {len(p)}")
    op, htype, hlen, hops, xid, secs, flags = struct.unpack_from("!BBBBIHH", p, 0)
    check((op, htype, hlen, hops, secs, flags) == (1, 1, 6, 0, 0, 0x8000), "fixed header fields")
    check(p[12:28] == bytes(16), "ciaddr/yiaddr/siaddr/giaddr not zero")
    check(p[28:44] == HW_BYTES + bytes(10), f"chaddr {p[28:44].hex()}")
    check(p[44:108] == bytes(64), "sname not zero")
    check(p[108:236] == MARKER + bytes(108), "file field is not marker + zeros")
    check(p[236:240] == COOKIE, "magic cookie")
    opts, after = options(p)
    check(opts[0] == (53, b"\x01"), f"first option {opts[0]}")
    check([v for c, v in opts if c == 12] == [b"FRESH-1"], f"host name options {opts}")
    check(after == bytes(len(after)), "non-zero bytes after End")
    yield "DISCOVER layout"

    a, b, c = dhcp_packets(dhcp, ["--hw", HW, "--interval", "300"], n=3)
    check(len({a[4:8], b[4:8], c[4:8]}) == 3, "xid repeated between DISCOVERs")
    t = dhcp_packets.times
    check(all(0.25 < t[i + 1] - t[i] < 0.6 for i in range(2)), f"spacing {[t[i + 1] - t[i] for i in range(2)]}")
    name = dict(options(a)[0])[12]
    check(name == b"SIM-FF203C", f"default name {name!r}")
    yield "interval, fresh xid per DISCOVER, default name"


def marker_offsets(p):
    out, i = [], p.find(MARKER)
    while i >= 0:
        out.append(i)
        i = p.find(MARKER, i + 1)
    return out


def test_marker_and_length(dhcp):
    (p,) = dhcp_packets(dhcp, ["--marker-in", "option"])
    opts, _ = options(p)
    check((60, MARKER) in opts, f"marker not in option 60: {opts}")
    check(p[108:236] == bytes(128), "file field not empty with marker in an option")
    check(all(o > 240 for o in marker_offsets(p)), "marker outside the options area")
    yield "marker in vendor option"

    (p,) = dhcp_packets(dhcp, ["--marker-in", "option", "--marker-option", "43"])
    check((43, MARKER) in options(p)[0], "marker not in option 43")
    yield "marker in option 43"

    # (args, expected length, where the whole marker is, or None)
    table = [
        (["--marker-at", "528"], 548, 528),
        (["--marker-at", "529"], 548, None),
        (["--marker-at", "529", "--length", "549"], 549, 529),
        (["--no-marker"], 548, None),
        (["--length", "300"], 300, 108),
        (["--length", "547"], 547, 108),
        (["--length", "600"], 600, 108),
        (["--length", "100"], 100, None),
    ]
    for args, length, where in table:
        (p,) = dhcp_packets(dhcp, args)
        check(len(p) == length, f"{args}: length {len(p)}")
        check(marker_offsets(p) == ([where] if where is not None else []), f"{args}: marker at {marker_offsets(p)}")
        if args == ["--marker-at", "529"]:
            check(p[529:548] == MARKER[:19], "marker cut at 548 not written up to the end")
        if length == 600:
            check(p[548:] == bytes(52), "zero padding beyond 548")
    yield "marker placement and length table"


def test_misbehaviour(dhcp):
    (p,) = dhcp_packets(dhcp, ["--op", "2", "--bad-cookie"])
    check(p[0] == 2 and p[236:240] != COOKIE and p[236:239] == COOKIE[:3], "op / cookie")
    yield "op and bad cookie"

    table = [
        # (args, expected option 12 values before End, expected option 12 after End)
        (["--name", "A", "--name-option-count", "2", "--second-name", "B"], [b"A", b"B"], None),
        (["--no-name-option"], [], None),
        (["--name", "A", "--option-after-end", "--second-name", "LATE"], [b"A"], b"LATE"),
        (["--name", "n" * 255], [b"n" * 255], None),
    ]
    for args, names, late in table:
        (p,) = dhcp_packets(dhcp, args)
        opts, after = options(p)
        check([v for c, v in opts if c == 12] == names, f"{args}: names {[v for c, v in opts if c == 12]}")
        if late is None:
            check(after == bytes(len(after)), f"{args}: data after End")
        else:
            check(after[:2 + len(late)] == bytes([12, len(late)]) + late, f"{args}: after End {after[:12]!r}")
    yield "host name option table"

    d, r = dhcp_packets(dhcp, ["--also-request"])
    check(dict(options(d)[0])[53] == b"\x01" and dict(options(r)[0])[53] == b"\x03", "message types")
    check(d[4:8] == r[4:8], "REQUEST does not share the DISCOVER's xid")
    yield "DISCOVER followed by REQUEST"


def test_frame(dhcp):
    """The IPv4/UDP framing, seen raw on the workstation's interface."""
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800))
    raw.bind(("eth0", 0))
    hw = bytes.fromhex("021122334455")
    dhcp_packets(dhcp, ["--hw", hw.hex(":")])
    frames = [f for f, _, _ in collect(raw, 0.5) if f[23] == 17 and f[36:38] == b"\x00\x43"]
    check(len(frames) == 1, f"{len(frames)} DHCP frames captured")
    f = frames[0]
    check(f[0:6] == b"\xff" * 6 and f[6:12] == hw and f[12:14] == b"\x08\x00", "Ethernet header")
    ip = f[14:34]
    check(ip[0] == 0x45 and ip[8] == 64 and ip[9] == 17, "IPv4 version/TTL/protocol")
    check(ip[12:16] == bytes(4) and ip[16:20] == b"\xff" * 4, "IPv4 addresses")
    check(inet_sum(ip) == 0, "IPv4 header checksum")
    udp = f[34:]
    src, dst, length, csum = struct.unpack_from("!HHHH", udp)
    check((src, dst, length) == (68, 67, 8 + 548) and struct.unpack_from("!H", ip, 2)[0] == 20 + length,
          "UDP ports/lengths")
    pseudo = ip[12:20] + struct.pack("!BBH", 0, 17, length)
    check(csum == 0 or inet_sum(pseudo + udp[:length]) == 0, "UDP checksum")
    yield "Ethernet/IPv4/UDP framing"


def inet_sum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return 0xFFFF - s


# --- command line -------------------------------------------------------------

def test_usage(_):
    table = [
        ["--configured", "--length", "300"],      # knob of the other mode
        ["--unconfigured", "--repeat", "2"],
        ["--configured", "--unconfigured"],
        ["--configured", "--hw", "00:0A:1B:FF:20"],
        ["--configured", "--no-nul", "--hw", HW],  # 00 byte in the MAC
        ["--unconfigured", "--name", "n" * 256],
        ["--unconfigured", "--marker-at", "10", "--no-marker"],
        ["--configured", "--reply-delay", "-1"],
        [],
    ]
    for args in table:
        r = subprocess.run([NETLAB, "exec", os.environ["NETLAB"], "n1", "--", SIM, *args], capture_output=True)
        check(r.returncode == 2 and r.stderr and not r.stdout, f"{args}: status {r.returncode}, stderr {r.stderr!r}")
    yield "bad command lines rejected"


def inner():
    ws = udp_socket(1211)
    dhcp = udp_socket(67)
    failed = 0
    for test, sock in [(test_configured, ws), (test_probe_filter, ws), (test_reply_timing_and_count, ws),
                       (test_discover_layout, dhcp), (test_marker_and_length, dhcp), (test_misbehaviour, dhcp),
                       (test_frame, dhcp), (test_usage, None)]:
        try:
            for label in test(sock):
                print(f"ok   {test.__name__}: {label}", flush=True)
        except Exception as e:  # one broken group must not hide the others
            failed += 1
            print(f"FAIL {test.__name__}: {e}", flush=True)
    print("all passed" if not failed else f"{failed} group(s) failed")
    return 1 if failed else 0


def main():
    global SIM
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    SIM = os.path.abspath(sys.argv[1])
    if os.environ.get("SIM_SELFTEST_INNER"):
        return inner()
    if not os.environ.get("NETLAB"):
        r = subprocess.run([NETLAB, "check"], capture_output=True, text=True)
        if r.returncode != 0:
            print(f"SKIP: {r.stdout.strip() or r.stderr.strip()}")
            return 77
        lab = f"st{os.getpid() % 100000}"
        return subprocess.call([NETLAB, "run", lab, "2", "--", sys.executable, os.path.abspath(__file__), SIM])
    env = dict(os.environ, SIM_SELFTEST_INNER="1")
    return subprocess.call([NETLAB, "exec", os.environ["NETLAB"], "ws", "--",
                            sys.executable, os.path.abspath(__file__), SIM], env=env)


if __name__ == "__main__":
    sys.exit(main())
