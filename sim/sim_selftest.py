#!/usr/bin/env python3
"""Checks tavisol-sim's datagrams on a private lab LAN with a decoder of its
own, so the simulator can be trusted as a reference when the application's
discovery code is tested against it.

    python3 sim/sim_selftest.py BUILD/sim/tavisol-sim

Builds a throw-away lab with tools/netlab (needs root), runs every check from
the workstation namespace, and exits 0 on success, 1 on failure, 77 when
network namespaces are unavailable here (so ctest can report a skip).
"""

import html
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
N2 = "10.199.0.12"
WS = "10.199.0.1"
GATEWAY = "10.199.0.254"


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

    def line(self, timeout):
        """The next stdout line, or b"" when none comes in time."""
        if not select.select([self.proc.stdout], [], [], timeout)[0]:
            return b""
        return self.proc.stdout.readline()

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
        # A window of 0 still takes what is already queued (see drain).
        left = max(0.0, end - time.monotonic())
        if not select.select([sock], [], [], left)[0]:
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


# --- unconfigured appliance taking an address --------------------------------
# The workstation's side is played here: replies laid out as the real program
# sends them, broadcast from port 67 to 255.255.255.255:68.

STATUS = f"/tmp/sim-selftest-{os.getpid()}.status"
INTERVAL = 0.15


def node(name, *cmd):
    return subprocess.run([NETLAB, "exec", os.environ["NETLAB"], name, "--", *cmd],
                          capture_output=True, text=True, check=True).stdout


def node_ipv4(name):
    """(addresses with prefix, default gateways) of the node's eth0."""
    addrs = [l.split()[3] for l in node(name, "ip", "-4", "-o", "addr", "show", "dev", "eth0").splitlines()]
    routes = [l.split()[2] for l in node(name, "ip", "-4", "route", "show", "default").splitlines()]
    return addrs, routes


def restore_n2():
    """Puts back the address and route the lab gave n2, whatever a case left."""
    node("n2", "ip", "-4", "addr", "flush", "dev", "eth0")
    node("n2", "ip", "-4", "addr", "add", f"{N2}/24", "dev", "eth0")
    node("n2", "ip", "-4", "route", "replace", "default", "via", GATEWAY, "dev", "eth0")


def status():
    with open(STATUS) as f:
        return f.read()


def msg_type(pkt):
    return dict(options(pkt)[0]).get(53)


def reply_to(req, kind, yiaddr="10.199.0.77", mask="255.255.255.0", router=GATEWAY, **bad):
    """The workstation's 300-byte answer to req. kind: 2 OFFER, 5 ACK, 6 NAK,
    None plain BOOTP. bad: fields to spoil (xid, chaddr, op, cookie, opts)."""
    p = bytearray(300)
    p[0:4] = bytes([bad.get("op", 2)]) + req[1:4]
    p[4:8] = struct.pack("!I", bad["xid"]) if "xid" in bad else req[4:8]
    p[10:16] = req[10:16]                                  # flags, ciaddr
    p[16:24] = socket.inet_aton(yiaddr) + socket.inet_aton(WS)
    p[24:240] = req[24:240]                                # giaddr .. cookie
    if "chaddr" in bad:
        p[28:34] = bad["chaddr"]
    if "cookie" in bad:
        p[236:240] = bad["cookie"]
    opts = bytes([1, 4]) + socket.inet_aton(mask) + bytes([3, 4]) + socket.inet_aton(router)
    if kind is not None:
        opts += bytes([53, 1, kind, 54, 4]) + socket.inet_aton(WS)
        for code, secs in ((51, 2592000), (58, 1296000), (59, 2268000)):
            opts += bytes([code, 4]) + struct.pack("!I", secs)
    opts = bad.get("opts", opts + b"\xff")
    p[240:240 + len(opts)] = opts
    return bytes(p)


def answer(dhcp, req, kind, **kw):
    dhcp.sendto(reply_to(req, kind, **kw), ("255.255.255.255", 68))


def next_message(dhcp, window=1.0):
    got = collect(dhcp, window, limit=1)
    check(got, f"nothing on port 67 within {window}s")
    return got[0][0]


def next_of(dhcp, kind, what, skip=3):
    """The next message of type kind; up to skip others may come first, sent
    while our answer was on its way."""
    for _ in range(skip + 1):
        p = next_message(dhcp)
        if msg_type(p) == bytes([kind]):
            return p
    raise AssertionError(f"{what}: no message of type {kind}, got {msg_type(p)}")


def types_within(dhcp, window):
    return [msg_type(d) for d, _, _ in collect(dhcp, window)]


def unconfigured(*args, name="NEW-BOX"):
    return Sim("n2", "--unconfigured", "--hw", HW, "--name", name, "--interval",
               str(int(INTERVAL * 1000)), "--status-file", STATUS, *args)


def http(addr, request_line):
    """(status, body) for one request on a connection of its own."""
    with socket.create_connection((addr, 80), timeout=2) as c:
        c.sendall(request_line.encode() + f"\r\nHost: {addr}\r\n\r\n".encode())
        data = b""
        while chunk := c.recv(4096):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = [int(l.split(b":")[1]) for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")]
    check(length and (length[0] == len(body) or (request_line.startswith("HEAD") and not body)),
          f"{request_line}: Content-Length {length}, body of {len(body)}")
    return int(head.split()[1]), body


# (request line, status, whether the page names the appliance)
HTTP_CASES = [
    ("GET /admin/ HTTP/1.1", 200, True),
    ("GET /admin/index.html HTTP/1.0", 200, True),
    ("GET /admin/?lang=en HTTP/1.1", 200, True),
    ("HEAD /admin/ HTTP/1.1", 200, False),
    ("GET /admin HTTP/1.1", 404, False),
    ("GET / HTTP/1.1", 404, False),
    ("GET /admin/x HTTP/1.1", 404, False),
    ("POST /admin/ HTTP/1.1", 405, False),
    ("GET /admin/", 400, False),
]


EXCHANGE_CASES = [
    # (label, sim args, answer kind, yiaddr, mask, router, configured line, address before)
    ("DHCP replaces the lab address", [], 2, "10.199.0.77", "255.255.255.0", GATEWAY,
     f"10.199.0.77/24 gw {GATEWAY}", [f"{N2}/24"]),
    ("DHCP, /16 without router, marker in option 60, no address before",
     ["--marker-in", "option", "--pre-address", "none"], 2, "10.199.0.78", "255.255.0.0",
     "0.0.0.0", "10.199.0.78/16 gw 0.0.0.0", []),
    ("plain BOOTP answer, address of another subnet before, name with HTML characters",
     ["--pre-address", "10.199.1.5/24", "--name", 'R&D <"7">'],
     None, "10.199.0.79", "255.255.255.128", WS, f"10.199.0.79/25 gw {WS}", ["10.199.1.5/24"]),
    ("DHCP, router outside the granted subnet", [], 2, "10.199.0.81", "255.255.255.128", GATEWAY,
     f"10.199.0.81/25 gw {GATEWAY}", [f"{N2}/24"]),
]


def test_address_exchange(dhcp):
    probe = udp_socket(1211)
    for label, args, kind, yiaddr, mask, router, line, before in EXCHANGE_CASES:
        name = args[args.index("--name") + 1] if "--name" in args else "NEW-BOX"
        try:
            with unconfigured(*args, name=name) as sim:
                check(node_ipv4("n2")[0] == before, f"{label}: start address {node_ipv4('n2')}")
                probe.sendto(b"VX2", ("255.255.255.255", 1212))
                check(not collect(probe, 0.3), f"{label}: probe answered while discovering")
                drain(dhcp)
                disc = next_message(dhcp)
                check(msg_type(disc) == b"\x01" and status() == "discovering\n", f"{label}: not discovering")
                answer(dhcp, disc, kind, yiaddr=yiaddr, mask=mask, router=router)
                if kind == 2:
                    req = next_of(dhcp, 3, label)
                    check(len(req) == 548 and req[:240] == disc[:240],
                          f"{label}: REQUEST header (xid, chaddr, file, cookie...) differs from its DISCOVER's")
                    opts = options(req)[0]
                    check([c for c, _ in opts][:3] == [53, 50, 54] and dict(opts)[53] == b"\x03",
                          f"{label}: REQUEST options {opts}")
                    check((dict(opts)[50], dict(opts)[54]) == (socket.inet_aton(yiaddr), socket.inet_aton(WS)),
                          f"{label}: requested address / server id {opts}")
                    check([v for c, v in opts if c == 12] == [name.encode()], f"{label}: host name {opts}")
                    vendor = [(c, v) for c, v in opts if c == 60]
                    check(vendor == [(c, v) for c, v in options(disc)[0] if c == 60], f"{label}: option 60 {vendor}")
                    check(status() == "requesting\n", f"{label}: status {status()!r}")
                    again = collect(dhcp, 3 * INTERVAL, limit=1)
                    check(again and again[0][0] == req, f"{label}: REQUEST not re-sent unchanged")
                    answer(dhcp, req, 5, yiaddr=yiaddr, mask=mask, router=router)
                got = sim.line(2)
                check(got == f"configured {line}\n".encode(), f"{label}: printed {got!r}")
                check(status() == f"configured {line}\n", f"{label}: status {status()!r}")
                want_routes = [] if router == "0.0.0.0" else [router]
                check(node_ipv4("n2") == ([line.split()[0]], want_routes), f"{label}: node has {node_ipv4('n2')}")
                # What crossed our answer may still be in the kernel's queues.
                time.sleep(2 * INTERVAL)
                crossed = types_within(dhcp, 0)
                check(b"\x03" not in crossed or kind == 2, f"{label}: REQUEST after a BOOTP answer")
                sent = types_within(dhcp, 4 * INTERVAL)
                check(not sent, f"{label}: still sending {sent} after taking the address")

                drain(probe)
                probe.sendto(b"VX2", ("255.255.255.255", 1212))
                got = collect(probe, 0.5)
                check([(d, a) for d, a, _ in got] == [(name_field(name.encode()) + HW_BYTES, (yiaddr, 1212))],
                      f"{label}: probe replies {got}")
                page = f"Admin page of {html.escape(name)} at {yiaddr}".encode()
                for request, code, names in HTTP_CASES:
                    st, body = http(yiaddr, request)
                    check(st == code and (page in body) == names, f"{label}: {request}: {st} {body!r}")
                # A client that says nothing must not hold up the probe answer.
                # (It keeps the connection for seconds; a blocking server would
                # answer nothing meanwhile.)
                with socket.create_connection((yiaddr, 80), timeout=2):
                    probe.sendto(b"VX2", (yiaddr, 1212))
                    check(collect(probe, 1.0, limit=1), f"{label}: probe stalled by a silent client")
                check(sim.stop() == 0, f"{label}: exit status")
        finally:
            restore_n2()
        yield label


def test_reply_filter(dhcp):
    """Answers that are not for this appliance, or unusable: no REQUEST."""
    table = [
        ("xid of another DISCOVER", lambda req: dict(xid=struct.unpack("!I", req[4:8])[0] ^ 1)),
        ("another chaddr", lambda req: dict(chaddr=bytes.fromhex("000A1BFF203D"))),
        ("op 1", lambda req: dict(op=1)),
        ("wrong cookie", lambda req: dict(cookie=bytes([99, 130, 83, 98]))),
        ("no server id", lambda req: dict(opts=bytes([53, 1, 2, 1, 4, 255, 255, 255, 0, 255]))),
        ("option running past the end",
         lambda req: dict(opts=bytes([53, 1, 2, 54, 4]) + socket.inet_aton(WS) + bytes([3, 70]))),
        ("non-contiguous mask", lambda req: dict(mask="255.0.255.0")),
    ]
    try:
        with unconfigured() as sim:
            for label, spoil in table:
                drain(dhcp)
                disc = next_message(dhcp)
                answer(dhcp, disc, 2, **spoil(disc))
                sent = types_within(dhcp, 3 * INTERVAL)
                check(sent and set(sent) == {b"\x01"}, f"{label}: sent {sent}")
            yield "spoiled OFFERs ignored: " + ", ".join(l for l, _ in table)

            drain(dhcp)
            disc = next_message(dhcp)
            answer(dhcp, disc, 5)
            check(set(types_within(dhcp, 3 * INTERVAL)) == {b"\x01"} and status() == "discovering\n",
                  "an ACK without REQUEST was taken")
            yield "ACK while discovering ignored"

            # The last four DISCOVERs are answerable, an answer may cross the
            # next ones; older ones are stale. The third of five stays within
            # the window even if one more leaves meanwhile.
            drain(dhcp)
            discs = [next_message(dhcp) for _ in range(5)]
            answer(dhcp, discs[0], 2)
            answer(dhcp, discs[2], 2, yiaddr="10.199.0.80")
            req = next_of(dhcp, 3, "answer to a recent DISCOVER")
            check(req[4:8] == discs[2][4:8], "REQUEST for a stale xid")

            answer(dhcp, req, 6)
            nxt = next_of(dhcp, 1, "NAK did not restart discovery", skip=1)
            check(nxt[4:8] != req[4:8] and status() == "discovering\n", "discovery after NAK")
            yield "xid window and NAK"

            answer(dhcp, nxt, 2)
            seq = [msg_type(next_of(dhcp, 3, "offer after NAK"))]
            while seq[-1] == b"\x03":
                seq.append(msg_type(next_message(dhcp)))
            check(seq == [b"\x03"] * 8 + [b"\x01"], f"unanswered REQUESTs: {seq}")
            check(sim.line(0) == b"", "printed something while unanswered")
            check(sim.stop() == 0, "exit status")
            yield "REQUEST re-sent 8 times, then discovery again"
    finally:
        restore_n2()


def test_no_answer_knobs(dhcp):
    # (args, answers given, expected final status)
    table = [
        (["--ignore-offers"], [2, 2, 2], "discovering\n"),
        (["--ignore-offers"], [2, None], f"configured 10.199.0.77/24 gw {GATEWAY}\n"),
        (["--no-request"], [2, None, 2], "discovering\n"),
    ]
    for args, kinds, final in table:
        try:
            with unconfigured(*args) as sim:
                drain(dhcp)
                sent = []
                for kind in kinds:
                    disc = next_message(dhcp)
                    answer(dhcp, disc, kind)
                    sent += types_within(dhcp, 0.5 * INTERVAL)
                if final.startswith("configured"):
                    check(sim.line(2).startswith(b"configured"), f"{args}: not configured")
                else:
                    sent += types_within(dhcp, 3 * INTERVAL)
                    check(node_ipv4("n2")[0] == [f"{N2}/24"], f"{args}: address changed")
                check(b"\x03" not in sent, f"{args} {kinds}: sent a REQUEST")
                check(status() == final, f"{args} {kinds}: status {status()!r}")
                check(sim.stop() == 0, f"{args}: exit status")
        finally:
            restore_n2()
    yield "--ignore-offers and --no-request"


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
        ["--configured", "--ignore-offers"],
        ["--configured", "--status-file", "/tmp/x"],
        ["--unconfigured", "--pre-address", "10.199.0.12"],
        ["--unconfigured", "--pre-address", "10.199.0.12/33"],
        ["--unconfigured", "--pre-address", "10.199.0.256/24"],
        ["--unconfigured", "--pre-address", "10.199.0.12/24 "],
        ["--configured", "--up-delay", "100"],
        ["--unconfigured", "--up-delay", "soon"],
        ["--unconfigured", "--up-delay", "-1"],
        [],
    ]
    for args in table:
        # A line that is wrongly taken starts an appliance that runs until stopped.
        r = subprocess.run([NETLAB, "exec", os.environ["NETLAB"], "n1", "--", SIM, *args], capture_output=True,
                           timeout=10)
        check(r.returncode == 2 and r.stderr and not r.stdout, f"{args}: status {r.returncode}, stderr {r.stderr!r}")
    yield "bad command lines rejected"


def inner():
    ws = udp_socket(1211)
    dhcp = udp_socket(67)
    failed = 0
    for test, sock in [(test_configured, ws), (test_probe_filter, ws), (test_reply_timing_and_count, ws),
                       (test_discover_layout, dhcp), (test_marker_and_length, dhcp), (test_misbehaviour, dhcp),
                       (test_frame, dhcp), (test_address_exchange, dhcp), (test_reply_filter, dhcp),
                       (test_no_answer_knobs, dhcp), (test_usage, None)]:
        try:
            for label in test(sock):
                print(f"ok   {test.__name__}: {label}", flush=True)
        except Exception as e:  # one broken group must not hide the others
            failed += 1
            print(f"FAIL {test.__name__}: {e}", flush=True)
    if os.path.exists(STATUS):
        os.unlink(STATUS)
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
