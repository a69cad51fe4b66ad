#!/usr/bin/env python3
"""tavisol-cli on a workstation with two network interfaces, each on a segment of its own.

    python3 tests/network/two_segment_test.py BUILD_DIR CASE

Each case builds a throw-away lab with tools/netlab --segment2 (needs root): the workstation's
eth0 10.199.0.1/24 on segment 1 (the default route), eth1 10.198.0.1/24 on segment 2 (no route
but its own subnet's), and appliances on either segment, some with an address in neither
subnet. Captures run in the switch namespace on a segment's bridge, so they see every frame
of that segment. Exit 0 on success, 1 on failure, 77 when network namespaces (or a tool a case
needs) are not available here (ctest reports a skip).
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
from cli_assign_test import CLIENT_SCRIPT, read, wait_for  # noqa: E402

check = lab_tools.check
SEGMENT1, SEGMENT2 = "10.199.0.1", "10.198.0.1"
NEW_ADDRESS, MASK, GATEWAY = "10.198.0.77", "255.255.255.0", "10.198.0.254"


class Lab(lab_tools.Lab):
    """Lab names of this file start with "s"; OPTIONS go to netlab create."""

    def __init__(self, nodes, *options):
        self.name = f"s{os.getpid() % 1000000}"
        self.procs = []
        subprocess.run([lab_tools.NETLAB, "create", self.name, str(nodes), *options], check=True)

    def run_in(self, node, *cmd):
        return subprocess.run([lab_tools.NETLAB, "exec", self.name, node, "--", *cmd],
                              capture_output=True, text=True, timeout=30)

    def assign(self, host, *extra):
        return subprocess.run([lab_tools.NETLAB, "exec", self.name, "ws", "--", lab_tools.CLI,
                               "assign", host, *extra], capture_output=True, timeout=90)


class Capture:
    """dumpcap on one segment's bridge (br0: segment 1, br1: segment 2)."""

    def __init__(self, lab, bridge, path, capture_filter):
        self.path = path
        self.proc = subprocess.Popen(
            [lab_tools.NETLAB, "exec", lab.name, "sw", "--", "dumpcap", "-q", "-i", bridge,
             "-f", capture_filter, "-w", path],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lab.procs.append(self.proc)
        wait_for(lambda: os.path.exists(path), 20, f"dumpcap on {bridge} to start")
        time.sleep(0.5)

    def stop(self):
        time.sleep(1)  # let the capture write out
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(10)

    def fields(self, display_filter, *names):
        """The named fields of every captured packet that passes the display filter."""
        args = ["tshark", "-r", self.path, "-T", "fields", "-E", "separator=|"]
        for name in names:
            args += ["-e", name]
        decoded = subprocess.run(args + ["-Y", display_filter], capture_output=True, text=True,
                                 timeout=60)
        return [tuple(line.split("|")) for line in decoded.stdout.splitlines() if line]


def need_capture():
    if not shutil.which("tshark") or not shutil.which("dumpcap"):
        print("SKIPPED: tshark is not installed")
        return False
    return True


# ---- cases ----------------------------------------------------------------------------------

def case_search():
    """Both segments are listed: appliances in either subnet, with a gateway or without, two
    whose factory addresses lie in neither subnet (one of them with a gateway nobody has), and
    a "No IP" one on segment 2; again after the workstation has lost its default route."""
    with Lab(6, "--segment2", "3,4,5,6", "--no-gateway", "6",
             "--address", "2=192.168.50.20/24", "--gateway", "2=192.168.50.1",
             "--address", "4=172.31.9.9/16") as lab:
        lab.sim("n1", "--configured", "--name", "SEG1-BOX")
        lab.sim("n2", "--configured", "--name", "FOREIGN-1")
        lab.sim("n3", "--configured", "--name", "SEG2-BOX")
        lab.sim("n4", "--configured", "--name", "FOREIGN-2")
        lab.sim("n5", "--unconfigured", "--name", "NEW-SEG2", "--hw", "00:0A:1B:FF:20:5C",
                "--interval", "300")
        lab.sim("n6", "--configured", "--name", "SEG2-NOGW")
        want = [
            {"address": lab.addr("n1"), "host": "SEG1-BOX", "hw": ""},
            {"address": "192.168.50.20", "host": "FOREIGN-1", "hw": ""},
            {"address": lab.addr("n3"), "host": "SEG2-BOX", "hw": ""},
            {"address": "172.31.9.9", "host": "FOREIGN-2", "hw": ""},
            {"address": "No IP", "host": "NEW-SEG2", "hw": "00-0A-1B-FF-20-5C"},
            {"address": lab.addr("n6"), "host": "SEG2-NOGW", "hw": ""},
        ]

        def lists_both_segments(when):
            rows, stderr = lab_tools.search_json(lab, "--seconds", "3")
            check(sorted(rows, key=lambda r: r["host"]) == sorted(want, key=lambda r: r["host"]),
                  f"{when}: rows\n{json.dumps(rows, indent=1)}\nwanted\n{json.dumps(want)}")
            check(stderr == "", f"{when}: search complained: {stderr!r}")

        lists_both_segments("with a default route")
        dropped = lab.run_in("ws", "ip", "route", "del", "default")
        check(dropped.returncode == 0, f"ip route del default: {dropped.stderr!r}")
        lists_both_segments("without a default route")


def case_assign():
    """An appliance on segment 2 is given an address in segment 2's subnet: no subnet warning,
    the offer and the acknowledgement name 10.198.0.1 and go out on segment 2 only, and the
    next search lists the appliance under its address. A capture on segment 1 sees no
    BOOTP/DHCP reply of ours, though an appliance there asks all the while."""
    if not need_capture():
        return 77
    with Lab(2, "--segment2", "2") as lab, tempfile.TemporaryDirectory() as tmp:
        status = os.path.join(tmp, "status")
        lab.sim("n1", "--unconfigured", "--name", "SEG1-NEW", "--hw", "00:0A:1B:FF:20:1C",
                "--interval", "300")
        lab.sim("n2", "--unconfigured", "--name", "SEG2-NEW", "--hw", "00:0A:1B:FF:20:2C",
                "--interval", "300", "--status-file", status)
        segment1 = Capture(lab, "br0", os.path.join(tmp, "segment1.pcap"), "udp src port 67")
        segment2 = Capture(lab, "br1", os.path.join(tmp, "segment2.pcap"), "udp src port 67")
        result = lab.assign("SEG2-NEW", "--ip", NEW_ADDRESS, "--mask", MASK, "--gateway", GATEWAY,
                            "--wait", "5")
        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        check(b"Subnet Warning" not in result.stderr, f"warned: {result.stderr!r}")
        wait_for(lambda: read(status).startswith("configured"), 5, "the appliance to configure")
        check(read(status).split() == ["configured", f"{NEW_ADDRESS}/24", "gw", GATEWAY],
              f"status {read(status)!r}")
        rows, _ = lab_tools.search_json(lab, "--seconds", "2")
        check({"address": NEW_ADDRESS, "host": "SEG2-NEW", "hw": ""} in rows, f"rows {rows}")
        segment1.stop()
        segment2.stop()

        leaked = segment1.fields("udp.srcport == 67", "ip.src", "dhcp.hw.mac_addr")
        check(not leaked, f"replies of ours on segment 1: {leaked}")
        replies = segment2.fields("dhcp.type == 2", "ip.src", "dhcp.ip.server",
                                  "dhcp.option.dhcp_server_id", "dhcp.option.dhcp")
        check({r[3] for r in replies} == {"2", "5"}, f"offer and ack on segment 2: {replies}")
        check(all(r[:3] == (SEGMENT2, SEGMENT2, SEGMENT2) for r in replies),
              f"source, siaddr and server identifier of segment 2: {replies}")


def case_confirm():
    """An appliance on segment 2 that brings its address up 2 s after the acknowledgement is
    confirmed: the confirmation probes go out of eth1, which faces it, though the default
    route leads out of eth0; segment 1 sees the search's one probe and none of them."""
    with Lab(1, "--segment2", "1") as lab, tempfile.TemporaryDirectory() as tmp:
        status = os.path.join(tmp, "status")
        lab.sim("n1", "--unconfigured", "--name", "SEG2-LATE", "--interval", "300",
                "--up-delay", "2000", "--status-file", status)
        segment1 = (Capture(lab, "br0", os.path.join(tmp, "segment1.pcap"), "udp dst port 1212")
                    if need_capture() else None)
        result = lab.assign("SEG2-LATE", "--ip", NEW_ADDRESS, "--mask", MASK, "--gateway",
                            GATEWAY, "--wait", "5", "--confirm", "15")
        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        check(result.stdout.decode().split() == [NEW_ADDRESS, "SEG2-LATE"],
              f"assign printed {result.stdout!r}")
        check(read(status).startswith("configured"), f"confirmed while {read(status)!r}")
        if segment1:
            segment1.stop()
            probes = segment1.fields("udp.dstport == 1212", "ip.src")
            check(probes == [(SEGMENT1,)], f"probes on segment 1: {probes}")


def case_udhcpc():
    """busybox udhcpc on segment 2, with the listed appliance's hardware address and host
    name, binds exactly the typed address, mask and router, from the server 10.198.0.1."""
    if not shutil.which("busybox"):
        print("SKIPPED: busybox is not installed")
        return 77
    with Lab(2, "--segment2", "1,2") as lab, tempfile.TemporaryDirectory() as tmp:
        host, hw = "REAL-BOX", "02:0A:1B:FF:20:3C"
        out = os.path.join(tmp, "bound")
        script = os.path.join(tmp, "hook.sh")
        with open(script, "w") as f:
            # The server identifier as well: the one the client will renew with.
            f.write(CLIENT_SCRIPT.replace("{out}", out).replace(
                '"$ip $subnet $router"', '"$ip $subnet $router $serverid"'))
        os.chmod(script, 0o755)
        lab.sim("n1", "--unconfigured", "--name", host, "--hw", hw, "--count", "40",
                "--interval", "300", "--no-request")
        lab.run_in("n2", "ip", "link", "set", "dev", "eth0", "address", hw)
        lab.spawn("n2", "busybox", "udhcpc", "-i", "eth0", "-f", "-n", "-t", "40", "-T", "1",
                  "-s", script, "-x", f"hostname:{host}")
        # The hook only writes the values down: nothing answers from the address.
        result = lab.assign(host, "--ip", NEW_ADDRESS, "--mask", MASK, "--gateway", GATEWAY,
                            "--wait", "5", "--confirm", "0")
        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        wait_for(lambda: read(out).strip() != "", 15, "udhcpc to bind")
        check(read(out).split() == [NEW_ADDRESS, MASK, GATEWAY, SEGMENT2],
              f"udhcpc got {read(out)!r}")


def case_probe_refused():
    """Where the probe cannot go out of an interface (here a policy of the workstation's
    that blocks what eth1 sends), the search says which interface and why, and still lists
    what the other interface finds."""
    with Lab(2, "--segment2", "2") as lab:
        blocked = lab.run_in("ws", "ip", "xfrm", "policy", "add", "src", f"{SEGMENT2}/32",
                             "dst", "255.255.255.255/32", "proto", "udp", "dir", "out",
                             "action", "block")
        if blocked.returncode != 0:
            print(f"SKIPPED: no IPsec policies here: {blocked.stderr.strip()}")
            return 77
        lab.sim("n1", "--configured", "--name", "SEG1-BOX")
        lab.sim("n2", "--configured", "--name", "SEG2-BOX")
        rows, stderr = lab_tools.search_json(lab, "--seconds", "2")
        check(rows == [{"address": lab.addr("n1"), "host": "SEG1-BOX", "hw": ""}], f"rows {rows}")
        check(f"could not go out of eth1 ({SEGMENT2})" in stderr and "WSAEACCES" in stderr,
              f"stderr {stderr!r}")


def case_firewalled_hosts():
    """Hosts on segment 2 that drop echo requests hold their addresses: one in segment 2's
    subnet (probed on eth1 alone, so segment 1 sees no ARP question for it) and one in
    neither subnet (probed on every interface). Both are refused, for root by the packet
    socket and for an ordinary user by the kernel's neighbour resolution."""
    if not need_capture():
        return 77
    nobody = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
    with Lab(3, "--segment2", "1,2,3", "--ignore-echo", "2,3", "--address", "3=10.197.0.5/24",
             "--no-gateway", "3") as lab, tempfile.TemporaryDirectory() as tmp:
        lab.run_in("ws", "sysctl", "-qw", "net.ipv4.ip_unprivileged_port_start=0")
        lab.sim("n1", "--unconfigured", "--name", "SEG2-NEW", "--interval", "300")
        inside, outside = lab.addr("n2"), "10.197.0.5"
        segment1 = Capture(lab, "br0", os.path.join(tmp, "segment1.pcap"), "arp")
        for label, prefix in (("root", ()), ("nobody", nobody)):
            for address, extra in ((inside, ()), (outside, ("--yes",))):
                lab.run_in("ws", "ip", "neigh", "flush", "all")
                result = subprocess.run(
                    [lab_tools.NETLAB, "exec", lab.name, "ws", "--", *prefix, lab_tools.CLI,
                     "assign", "SEG2-NEW", "--ip", address, "--mask", MASK, "--wait", "5",
                     *extra], capture_output=True, timeout=90)
                stderr = result.stderr.decode()
                check(result.returncode == 1 and "maybe is in used" in stderr and
                      "ARP probe" not in stderr, f"{label} {address}: {result.returncode} "
                      f"{stderr!r}")
        segment1.stop()
        asked = {r[0] for r in segment1.fields("arp.opcode == 1", "arp.dst.proto_ipv4")}
        check(inside not in asked and outside in asked, f"ARP questions on segment 1: {asked}")


CASES = {
    "firewalled_hosts": case_firewalled_hosts,
    "search": case_search,
    "assign": case_assign,
    "confirm": case_confirm,
    "udhcpc": case_udhcpc,
    "probe_refused": case_probe_refused,
}


if __name__ == "__main__":
    sys.exit(lab_tools.run_case(CASES))
