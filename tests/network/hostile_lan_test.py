#!/usr/bin/env python3
"""tavisol-cli on a hostile LAN: malformed replies and requests, spoofed sources, an impostor
with the chosen appliance's hardware address, a flood, and faults of the workstation's side.

    python3 tests/network/hostile_lan_test.py BUILD_DIR CASE

Each case builds a throw-away lab with tools/netlab (needs root) and runs the real
command-line program in the workstation namespace with the real clock. The datagrams are
written here, byte by byte, and put on the wire by `tavisol-sim --hostile`, which can send
from any source address. Exit 0 on success, 1 on failure, 77 when network namespaces are not
available here (ctest reports a skip).
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
from cli_assign_test import GATEWAY, MASK, NEW_ADDRESS, read, wait_for  # noqa: E402

check = lab_tools.check
WORKSTATION = "10.199.0.1"
TARGET_HW = "02:0A:1B:00:00:01"
MARKER = b"Kestova Vellumcrest2"


class Lab(lab_tools.Lab):
    """Lab names of this file start with "h", so they never meet another test's labs."""

    def __init__(self, nodes):
        self.name = f"h{os.getpid() % 1000000}"
        self.procs = []
        subprocess.run([lab_tools.NETLAB, "create", self.name, str(nodes)], check=True)

    def hostile(self, node, port, *args):
        return self.sim(node, "--hostile", "--port", str(port), *args)

    def run_in(self, node, *cmd):
        return subprocess.run([lab_tools.NETLAB, "exec", self.name, node, "--", *cmd],
                              capture_output=True, text=True, timeout=30)

    def measured(self, *args):
        """tavisol-cli ARGS in the workstation; (result, peak resident set in KiB)."""
        wrapper = ("import resource, subprocess, sys\n"
                   "r = subprocess.run(sys.argv[1:])\n"
                   "sys.stderr.write('maxrss %d\\n' % "
                   "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
                   "sys.exit(r.returncode)\n")
        result = self.cli(*args, prefix=("python3", "-c", wrapper))
        lines = result.stderr.decode(errors="replace").splitlines()
        rss = [int(line.split()[1]) for line in lines if line.startswith("maxrss ")]
        check(rss, f"no peak memory figure: {result.stderr!r}")
        return result, rss[-1]


def sanitizer_build():
    """Whether the programs under test come from a sanitizer build (make test SANITIZE=1)."""
    cache = os.path.join(os.path.dirname(os.path.dirname(lab_tools.CLI)), "CMakeCache.txt")
    try:
        with open(cache) as f:
            return "TAVISOL_SANITIZE:BOOL=ON" in f.read()
    except OSError:
        return False


def sends(*payloads):
    """--send arguments for payloads; a payload longer than its bytes is given as (bytes, n)."""
    out = []
    for p in payloads:
        if isinstance(p, tuple):
            out += ["--send", f"{p[0].hex()}/{p[1]}"]
        else:
            out += ["--send", p.hex()]
    return out


# ---- the datagrams --------------------------------------------------------------------------

def reply(name, length=46, hw=b"\x02\x0a\x1b\x00\x00\x99"):
    """A probe reply: the host name in a 40-byte field, the hardware address behind it; cut
    or zero-extended to length."""
    return (name.ljust(40, b"\0")[:40] + hw).ljust(length, b"\0")[:length]


def request(hw_last, name=None, length=548, marker_at=108, options=None):
    """A BOOTP/DHCP request of an appliance without an address (RFC 951 fixed part, RFC 2131
    cookie), as an appliance of the family sends it; everything it does not set is zero."""
    b = bytearray(1500)
    b[0], b[1], b[2] = 1, 1, 6              # op BOOTREQUEST, Ethernet, 6-byte address
    b[4:8] = bytes([0x5a, 0x5a, 0, hw_last])  # xid
    b[10] = 0x80                            # broadcast flag
    b[28:34] = bytes([0x02, 0x0a, 0x1b, 0xee, 0x00, hw_last])
    b[236:240] = bytes([99, 130, 83, 99])
    if options is None:
        options = bytes([53, 1, 1]) + bytes([12, len(name)]) + name + b"\xff"
    b[240:240 + len(options)] = options
    if marker_at is not None:
        b[marker_at:marker_at + len(MARKER)] = MARKER
    return bytes(b[:length])


def request_hw(hw_last):
    return f"02-0A-1B-EE-00-{hw_last:02X}"


# Replies to UDP 1211: (payload, the host name of the row it must make, or None for no row).
# A reply is listed under its host name up to the first NUL, or under the whole 40-byte name
# field when it has none there; one longer than the 100-byte receive buffer fails to be
# received and is not listed at all.
FORTY = b"R-FORTY-NON-NUL-BYTES-OF-HOST-NAME-FIELD"
NOTERM = b"R-NO-TERMINATOR-AT-ALL-IN-THIS-NAME-FIEL"
BAD_UTF8 = b"R\xc3\x28\xff\xfe\x80"
REPLIES = [
    (b"", ""),
    (b"1", "1"),
    (reply(b"R-45", 45), "R-45"),
    (reply(b"R-46"), "R-46"),
    (reply(b"R-100", 100), "R-100"),
    (reply(b"R-101", 101), None),
    ((reply(b"R-65507"), 65507), None),
    (NOTERM + b"ABCDEF", NOTERM.decode()),
    (FORTY + b"\x00\x0a\x1b\x00\x00\x01", FORTY.decode()),
    (reply(b"R%s%n%x%p"), "R%s%n%x%p"),
    (reply(b"<script>alert('R')</script>&amp;\"x"), "<script>alert('R')</script>&amp;\"x"),
    (reply(BAD_UTF8), "R\ufffd(\ufffd\ufffd\ufffd"),
]

# Requests to UDP 67 from 0.0.0.0: (payload, the host name of its "No IP" row or None); the
# k-th carries the hardware address 02-0A-1B-EE-00-k.
# Only exactly 548 bytes with the marker among bytes 108..547 make a row, under the last
# complete option 12 cut to 19 characters; an option that runs past the buffer ends the walk.
PAD_TO_538 = bytes([53, 1, 1]) + bytes(538 - 243)
PAD_TO_530 = bytes([53, 1, 1, 12, 7]) + b"Q-EARLY" + bytes(530 - 252)
REQUESTS = [
    (request(1, b"Q-547", length=547), None),
    (request(2, b"Q-549", length=549), None),
    (request(3, b"Q-1400", length=1400), None),
    (request(4, options=PAD_TO_538 + bytes([12, 20]) + b"Q-OVERRUN"), None),
    (request(5, options=PAD_TO_530 + bytes([60, 255]) + b"x" * 18), "Q-EARLY"),
    (request(6, b"Q-SPLIT", marker_at=530), None),
    (request(7, b"Q-EDGE", marker_at=529), "Q-EDGE"),
    (request(8, b"Q-NAME-OF-FORTY-BYTES-WITHOUT-ANY-NUL-IN"), "Q-NAME-OF-FORTY-BYT"),
    (request(9, b"Q%s%n%x"), "Q%s%n%x"),
    (request(10, b"<i>Q</i>&lt;"), "<i>Q</i>&lt;"),
    (request(11, b"Q\xc3\x28\xff"), "Q\ufffd(\ufffd"),
    (request(12, b"Q-NO-MARKER", marker_at=None), None),
]


def accept_own_source(lab):
    """A datagram that claims the workstation's own address as its source is dropped by the
    Linux kernel before any program sees it; let it through so the program meets it."""
    for conf in ("all", "eth0"):
        lab.run_in("ws", "sysctl", "-qw", f"net.ipv4.conf.{conf}.accept_local=1")
        lab.run_in("ws", "sysctl", "-qw", f"net.ipv4.conf.{conf}.rp_filter=0")


def start_hostile_datagrams(lab, replies_node, requests_node, spoof_node):
    lab.hostile(replies_node, 1211, "--interval", "60", *sends(*(p for p, _ in REPLIES)))
    lab.hostile(requests_node, 67, "--from", "0.0.0.0", "--interval", "60",
                *sends(*(p for p, _ in REQUESTS)))
    lab.hostile(spoof_node, 1211, "--from", "0.0.0.0", "--interval", "300",
                *sends(reply(b"R-FROM-ZERO")))
    lab.hostile(spoof_node, 1211, "--from", WORKSTATION, "--interval", "300",
                *sends(reply(b"R-FROM-SELF")))
    lab.hostile(spoof_node, 67, "--from", WORKSTATION, "--interval", "300",
                *sends(request(13, b"Q-FROM-SELF")))


def hostile_rows(lab, replies_node):
    """The rows the hostile datagrams must make, as (address, host, hw)."""
    rows = {(lab.addr(replies_node), name, "") for _, name in REPLIES if name is not None}
    rows |= {("No IP", name, request_hw(i + 1))
             for i, (_, name) in enumerate(REQUESTS) if name is not None}
    rows |= {("0.0.0.0", "R-FROM-ZERO", ""), (WORKSTATION, "R-FROM-SELF", ""),
             ("No IP", "Q-FROM-SELF", request_hw(13))}
    return rows


# ---- cases ----------------------------------------------------------------------------------

def case_search():
    """Every hostile datagram is listed exactly as the listing rules say, beside a good
    appliance of each kind; nothing else appears and nothing is listed twice."""
    with Lab(5) as lab:
        accept_own_source(lab)
        lab.sim("n1", "--configured", "--name", "GOOD-ONE")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300", "--no-request")
        start_hostile_datagrams(lab, "n3", "n4", "n5")
        rows, stderr = lab_tools.search_json(lab)

        got = [(r["address"], r["host"], r["hw"]) for r in rows]
        print(f"{len(got)} rows listed")
        want = hostile_rows(lab, "n3") | {(lab.addr("n1"), "GOOD-ONE", ""),
                                          ("No IP", "NEW-BOX", "00-0A-1B-FF-20-3C")}
        check(len(got) == len(set(got)), f"a row twice: {got}")
        check(set(got) == want,
              f"missing {sorted(want - set(got))}\nunexpected {sorted(set(got) - want)}")
        boxes = [line for line in stderr.splitlines() if line.startswith("[")]
        check(not boxes, f"message boxes: {boxes}")


def tshark_replies(capture):
    """(chaddr, yiaddr, DHCP message type) of every BOOTP reply captured."""
    decoded = subprocess.run(
        ["tshark", "-r", capture, "-T", "fields", "-E", "separator=,", "-e", "dhcp.hw.mac_addr",
         "-e", "dhcp.ip.your", "-e", "dhcp.option.dhcp", "-Y", "dhcp.type == 2"],
        capture_output=True, text=True, timeout=60)
    return [tuple(line.split(",")) for line in decoded.stdout.splitlines() if line]


def start_capture(lab, tmp, port_filter):
    capture = os.path.join(tmp, "replies.pcap")
    sniffer = subprocess.Popen(
        [lab_tools.NETLAB, "exec", lab.name, "ws", "--", "dumpcap", "-q", "-i", "eth0", "-f",
         port_filter, "-w", capture], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    lab.procs.append(sniffer)
    wait_for(lambda: os.path.exists(capture), 20, "dumpcap to start")
    time.sleep(0.5)
    return sniffer, capture


def stop_capture(sniffer):
    time.sleep(1)  # let the capture write out
    sniffer.send_signal(signal.SIGINT)
    sniffer.wait(10)


def case_assign():
    """The address reaches the chosen appliance and nobody else while an impostor with its
    hardware address, malformed datagrams and a flood of 20,000 distinct replies and requests
    a second go on; the program's memory grows with the rows it lists, not beyond."""
    if not shutil.which("tshark") or not shutil.which("dumpcap"):
        print("SKIPPED: tshark is not installed")
        return 77
    with Lab(8) as lab, tempfile.TemporaryDirectory() as tmp:
        accept_own_source(lab)
        # A quiet assignment first: the memory figure to compare with.
        quiet = os.path.join(tmp, "quiet")
        lab.sim("n7", "--unconfigured", "--name", "QUIET-BOX", "--hw", "02:0A:1B:00:00:07",
                "--interval", "300", "--status-file", quiet)
        result, quiet_rss = lab.measured("assign", "QUIET-BOX", "--ip", "10.199.0.78",
                                         "--mask", MASK, "--wait", "5")
        check(result.returncode == 0, f"quiet assign: {result.returncode} {result.stderr!r}")

        target, impostor = os.path.join(tmp, "target"), os.path.join(tmp, "impostor")
        lab.sim("n1", "--unconfigured", "--name", "TARGET", "--hw", TARGET_HW,
                "--interval", "200", "--status-file", target)
        # Same hardware address, another name, and it asks three times as often.
        lab.sim("n2", "--unconfigured", "--name", "IMPOSTOR", "--hw", TARGET_HW,
                "--interval", "70", "--status-file", impostor)
        start_hostile_datagrams(lab, "n3", "n4", "n5")
        sniffer, capture = start_capture(lab, tmp, "udp dst port 68")
        # Every reply is listed; the requests, without the marker, are not (a row each would
        # leave the appliance's own requests little chance on a busy machine), yet the
        # responder has to look at each of them.
        floods = [lab.hostile("n6", 1211, "--flood", "10000", "--flood-name", "FR-"),
                  lab.hostile("n8", 67, "--from", "0.0.0.0", "--flood", "10000",
                              "--flood-name", "FQ-", "--flood-unmarked")]
        started = time.monotonic()
        result, flood_rss = lab.measured("assign", "TARGET", "--ip", NEW_ADDRESS, "--mask", MASK,
                                         "--gateway", GATEWAY, "--wait", "20")
        took = time.monotonic() - started
        # The list under the flood: every row well-formed, and the memory it takes.
        listed, search_rss = lab.measured("search", "--seconds", "2", "--json")
        flooded = 0
        for flood in floods:
            flood.send_signal(signal.SIGTERM)
            out, _ = flood.communicate(timeout=10)
            flooded += int(out.decode().split("sent ")[1].split()[0])
        stop_capture(sniffer)
        rows = json.loads(listed.stdout.decode()) if listed.returncode == 0 else []
        print(f"assign under the flood: {took:.1f} s, {flooded} flood datagrams; peak memory "
              f"{flood_rss} KiB, {search_rss} KiB for a search listing {len(rows)} rows, "
              f"{quiet_rss} KiB quiet")

        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        check(result.stdout.decode().split() == [NEW_ADDRESS, "TARGET"],
              f"assign printed {result.stdout!r}")
        try:
            wait_for(lambda: read(target).startswith("configured"), 5, "the target to configure")
        except AssertionError as e:
            raise AssertionError(f"{e}: target {read(target)!r}, impostor {read(impostor)!r}")
        check(read(target).split() == ["configured", f"{NEW_ADDRESS}/24", "gw", GATEWAY],
              f"target {read(target)!r}")
        check(read(impostor).strip() == "discovering", f"impostor {read(impostor)!r}")

        replies = tshark_replies(capture)
        check(replies, "no reply captured")
        others = [r for r in replies if r[0].upper().replace(":", "-") !=
                  TARGET_HW.replace(":", "-") or r[1] != NEW_ADDRESS]
        check(not others, f"replies to other hardware addresses or of other addresses: {others}")
        check(any(r[2] == "5" for r in replies), f"no DHCPACK among {replies}")

        check(listed.returncode == 0, f"search: {listed.returncode} {listed.stderr!r}")
        flood_from = lab.addr("n6")
        known = {(r, n) for r, n, _ in hostile_rows(lab, "n3")} | {
            (NEW_ADDRESS, "TARGET"), ("10.199.0.78", "QUIET-BOX"), ("No IP", "IMPOSTOR")}
        for r in rows:
            host = r["host"]
            if host.startswith("FR-"):
                good = r["address"] == flood_from and host[3:].isdigit() and r["hw"] == ""
            else:
                good = (r["address"], host) in known
            check(good, f"a row no datagram asked for: {r}")
        check(len({r["host"].lower() for r in rows}) == len(rows), "a host name listed twice")
        # A row costs the list a few hundred bytes; allow 2 KiB a row, and 16 MiB for the
        # socket buffers and the allocator's slack. The assignment lists rows as well, at most
        # one a datagram. Built with AddressSanitizer, the programs hold every allocation in
        # redzones and keep what they free in quarantine: the figures then say nothing of the
        # program's own memory, and that run looks for memory faults instead.
        if sanitizer_build():
            print("peak memory not compared: the programs are built with the sanitizers")
            return
        check(search_rss - quiet_rss <= 2 * len(rows) + 16384,
              f"{search_rss} KiB for {len(rows)} rows, {quiet_rss} KiB quiet")
        check(flood_rss - quiet_rss <= 2 * flooded + 16384,
              f"{flood_rss} KiB after {flooded} flood datagrams, {quiet_rss} KiB quiet")


def case_port67_held():
    """Another program holds UDP 67: the search still lists the configured appliance, and
    the command line says why no "No IP" row can appear."""
    with Lab(2) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--interval", "300")
        holder = subprocess.Popen(
            [lab_tools.NETLAB, "exec", lab.name, "ws", "--", "python3", "-c",
             "import socket, sys, time\n"
             "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
             "s.bind(('0.0.0.0', 67))\nprint('held', flush=True)\ntime.sleep(120)\n"],
            stdout=subprocess.PIPE)
        lab.procs.append(holder)
        check(holder.stdout.readline() == b"held\n", "the holder could not bind port 67")
        rows, stderr = lab_tools.search_json(lab, "--seconds", "3")
        check(rows == [{"address": lab.addr("n1"), "host": "STORE-ALPHA", "hw": ""}],
              f"rows: {rows}")
        check("port 67" in stderr and "WSAEADDRINUSE" in stderr and "will not be listed" in stderr,
              f"stderr: {stderr!r}")


def case_link_flap():
    """The workstation's interface goes down during a search and comes back: no crash, no
    box, and what answers after it is back is listed."""
    with Lab(2) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        late = "R-LATE"
        search = subprocess.Popen(
            [lab_tools.NETLAB, "exec", lab.name, "ws", "--", lab_tools.CLI, "search", "--json"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lab.procs.append(search)
        time.sleep(1.5)
        lab.run_in("ws", "ip", "link", "set", "dev", "eth0", "down")
        time.sleep(1.5)
        # An interface that comes back up has lost its default route; the address stays.
        lab.run_in("ws", "ip", "link", "set", "dev", "eth0", "up")
        lab.run_in("ws", "ip", "route", "replace", "default", "via", GATEWAY, "dev", "eth0")
        lab.hostile("n2", 1211, "--interval", "200", *sends(reply(late.encode())))
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "200", "--no-request")
        out, err = search.communicate(timeout=60)
        check(search.returncode == 0, f"exit {search.returncode}: {err!r}")
        rows = json.loads(out.decode())
        got = {(r["address"], r["host"], r["hw"]) for r in rows}
        want = {(lab.addr("n1"), "STORE-ALPHA", ""), (lab.addr("n2"), late, ""),
                ("No IP", "NEW-BOX", "00-0A-1B-FF-20-3C")}
        check(got == want and len(rows) == len(want), f"rows: {rows}")
        boxes = [line for line in err.decode().splitlines() if line.startswith("[")]
        check(not boxes, f"message boxes: {boxes}")


def case_competing_server():
    """dnsmasq serves the same LAN, a little slower than the appliance asks. The appliance
    takes dnsmasq's offer while the assignment is armed: its DHCPREQUEST names dnsmasq, so the
    program must not acknowledge it (the appliance would keep whichever acknowledgement came
    first while the program showed its own address). Whatever the appliance ends with, the
    program's word must match it: the typed address and success, or "Setting IP ERROR"."""
    dnsmasq = shutil.which("dnsmasq") or "/usr/sbin/dnsmasq"
    if not os.path.exists(dnsmasq) or not shutil.which("dumpcap"):
        print("SKIPPED: dnsmasq or dumpcap is not installed")
        return 77
    with Lab(2) as lab, tempfile.TemporaryDirectory() as tmp:
        status = os.path.join(tmp, "status")
        sniffer, capture = start_capture(lab, tmp, "udp port 67 or udp port 68")
        lab.spawn("n2", dnsmasq, "--keep-in-foreground", "--port=0", "--interface=eth0",
                  "--bind-interfaces", "--dhcp-range=10.199.0.100,10.199.0.150,255.255.255.0",
                  "--dhcp-reply-delay=2", "--no-ping", f"--dhcp-leasefile={tmp}/leases",
                  f"--pid-file={tmp}/dnsmasq.pid", "--conf-file=/dev/null")
        assign = subprocess.Popen(
            [lab_tools.NETLAB, "exec", lab.name, "ws", "--", lab_tools.CLI, "assign", "NEW-BOX",
             "--ip", NEW_ADDRESS, "--mask", MASK, "--gateway", GATEWAY, "--wait", "10"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lab.procs.append(assign)
        time.sleep(1.5)  # the search is listening when the appliance first asks
        lab.sim("n1", "--unconfigured", "--name", "NEW-BOX", "--hw", TARGET_HW,
                "--interval", "5000", "--status-file", status)
        out, err = assign.communicate(timeout=60)
        wait_for(lambda: read(status).startswith("configured"), 10, "the appliance to configure")
        stop_capture(sniffer)
        got = read(status).split()[1]
        stderr = err.decode()
        print(f"the appliance took {got}; the program exited {assign.returncode}: {stderr!r}")
        if got == f"{NEW_ADDRESS}/24":
            check(assign.returncode == 0, f"assigned, yet: {assign.returncode} {stderr!r}")
        else:
            check(assign.returncode == 1 and "Setting IP ERROR" in stderr,
                  f"the appliance took {got}, yet the program said {assign.returncode} "
                  f"{out!r} {stderr!r}")
        decoded = subprocess.run(
            ["tshark", "-r", capture, "-T", "fields", "-E", "separator=,", "-e", "ip.src",
             "-e", "dhcp.id", "-e", "dhcp.option.dhcp", "-e", "dhcp.option.dhcp_server_id"],
            capture_output=True, text=True, timeout=60).stdout.splitlines()
        chosen = {}
        for line in decoded:
            src, xid, kind, server = (line.split(",") + ["", "", "", ""])[:4]
            if kind == "3":
                chosen[xid] = server
            elif kind == "5" and src == WORKSTATION:
                check(chosen.get(xid) in (WORKSTATION, ""),
                      f"an ACK to a request that chose {chosen.get(xid)}:\n" + "\n".join(decoded))


CASES = {
    "search": case_search,
    "assign": case_assign,
    "port67_held": case_port67_held,
    "link_flap": case_link_flap,
    "competing_server": case_competing_server,
}


if __name__ == "__main__":
    sys.exit(lab_tools.run_case(CASES))
