#!/usr/bin/env python3
"""tavisol-cli assign and open against simulated appliances and real DHCP clients.

    python3 tests/network/cli_assign_test.py BUILD_DIR CASE

Each case builds a throw-away lab with tools/netlab (needs root) and runs the real
command-line program in the workstation namespace with the real clock. Exit 0 on success,
1 on failure, 77 when network namespaces are not available here (ctest reports a skip).
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_search_test as lab_tools  # noqa: E402  (the Lab helper and the checks)

check = lab_tools.check
NEW_ADDRESS = "10.199.0.77"
MASK = "255.255.255.0"
GATEWAY = "10.199.0.254"
SHARED_HW = "02:0A:1B:FF:20:3C"


class Lab(lab_tools.Lab):
    def assign(self, host, *extra, prefix=()):
        return subprocess.run(
            [lab_tools.NETLAB, "exec", self.name, "ws", "--", *prefix, lab_tools.CLI, "assign",
             host, *extra], capture_output=True, timeout=90)

    def run_in(self, node, *cmd):
        return subprocess.run([lab_tools.NETLAB, "exec", self.name, node, "--", *cmd],
                              capture_output=True, text=True, timeout=30)


def wait_for(predicate, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


# ---- cases ----------------------------------------------------------------------------------

def case_simulated_appliance():
    """The whole road: listed, assigned, searched again under its address, page opened."""
    with Lab(2) as lab, tempfile.TemporaryDirectory() as tmp:
        status = os.path.join(tmp, "status")
        lab.sim("n1", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300", "--status-file", status)
        result = lab.assign("NEW-BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--gateway", GATEWAY,
                            "--wait", "5")
        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        check(result.stdout.decode().split() == [NEW_ADDRESS, "NEW-BOX"],
              f"assign printed {result.stdout!r}")
        wait_for(lambda: read(status).startswith("configured"), 5, "the appliance to configure")
        check(read(status).split() == ["configured", f"{NEW_ADDRESS}/24", "gw", GATEWAY],
              f"status {read(status)!r}")

        rows, _ = lab_tools.search_json(lab, "--seconds", "2")
        check({"address": NEW_ADDRESS, "host": "NEW-BOX", "hw": ""} in rows, f"rows {rows}")

        opened = lab.cli("open", "NEW-BOX", "--wait", "3")
        url = f"http://{NEW_ADDRESS}/admin/"
        check(opened.returncode == 0 and opened.stdout.decode().strip() == url,
              f"open: {opened.returncode} {opened.stdout!r} {opened.stderr!r}")
        page = lab.run_in("ws", "python3", "-c",
                          f"import urllib.request;print(urllib.request.urlopen('{url}',"
                          "timeout=5).read().decode())")
        check("NEW-BOX" in page.stdout, f"page {page.stdout!r} {page.stderr!r}")


def case_refusals():
    """An address that answers the echo is refused; an appliance that never takes the offer
    ends in "Setting IP ERROR"; a host that is not listed is not found."""
    with Lab(2) as lab:
        lab.sim("n1", "--unconfigured", "--name", "SHY-BOX", "--ignore-offers",
                "--interval", "300")
        taken = lab.addr("n2")  # the kernel of node 2 answers echo requests for it
        result = lab.assign("SHY-BOX", "--ip", taken, "--mask", MASK, "--wait", "5")
        stderr = result.stderr.decode()
        check(result.returncode == 1 and "in use" in stderr and "maybe is in used" in stderr,
              f"in use: {result.returncode} {stderr!r}")

        result = lab.assign("SHY-BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--wait", "5")
        stderr = result.stderr.decode()
        check(result.returncode == 1 and "[Setting ERROR] Setting IP ERROR" in stderr,
              f"time-out: {result.returncode} {stderr!r}")

        result = lab.assign("NOBODY", "--ip", NEW_ADDRESS, "--wait", "2")
        check(result.returncode == 1 and b"NOBODY" in result.stderr, f"{result.stderr!r}")
        result = lab.assign("SHY-BOX", "--ip", "300.1.1.1", "--wait", "5")
        check(result.returncode == 1 and b"The IP address is invalid!" in result.stderr,
              f"{result.stderr!r}")
        for bad in (["assign"], ["assign", "X"], ["assign", "X", "--ip"], ["open"]):
            result = lab.cli(*bad)
            check(result.returncode == 2, f"{bad}: {result.returncode}")


def case_trailing_blank():
    """An appliance whose host name ends in a blank is listed under that name and takes its
    address like any other: the responder compares the row and the request as the list does."""
    with Lab(1) as lab, tempfile.TemporaryDirectory() as tmp:
        status = os.path.join(tmp, "status")
        lab.sim("n1", "--unconfigured", "--name", "BOX ", "--interval", "300",
                "--status-file", status)
        rows, _ = lab_tools.search_json(lab, "--seconds", "2")
        check(any(r["address"] == "No IP" and r["host"] == "BOX " for r in rows), f"rows {rows}")
        result = lab.assign("BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--wait", "5")
        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        check(result.stdout.decode().split() == [NEW_ADDRESS, "BOX"],
              f"assign printed {result.stdout!r}")
        wait_for(lambda: read(status).startswith("configured"), 5, "the appliance to configure")
        check(read(status).split()[:2] == ["configured", f"{NEW_ADDRESS}/24"],
              f"status {read(status)!r}")


def case_long_host_name():
    """A workstation host name far longer than 16 characters does not break assignment."""
    with Lab(1) as lab, tempfile.TemporaryDirectory() as tmp:
        status = os.path.join(tmp, "status")
        lab.sim("n1", "--unconfigured", "--name", "NEW-BOX", "--interval", "300",
                "--status-file", status)
        long_name = "workstation-" + "x" * 50
        renamed = ("unshare", "--uts", "sh", "-c", f'hostname {long_name} && exec "$0" "$@"')
        # The workstation's own address is found under the long name: an address off its
        # subnet is warned about (nothing is, when the address cannot be looked up), and
        # without --yes the warning is declined.
        result = lab.assign("NEW-BOX", "--ip", "10.198.0.77", "--mask", MASK, "--wait", "5",
                            prefix=renamed)
        stderr = result.stderr.decode()
        check(result.returncode == 1 and "[Subnet Warning!]" in stderr,
              f"off the subnet: {result.returncode} {stderr!r}")
        result = lab.assign("NEW-BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--wait", "5",
                            prefix=renamed)
        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        wait_for(lambda: read(status).startswith("configured"), 5, "the appliance to configure")


def case_no_gateway():
    """A workstation cabled to its appliances with no default gateway, where Linux has no
    route for 255.255.255.255: the probe and the offers still reach the LAN, so the search
    lists both appliances and the assignment goes through."""
    with Lab(2) as lab, tempfile.TemporaryDirectory() as tmp:
        dropped = lab.run_in("ws", "ip", "route", "del", "default")
        check(dropped.returncode == 0, f"ip route del default: {dropped.stderr!r}")
        status = os.path.join(tmp, "status")
        lab.sim("n1", "--configured", "--name", "STORE-A")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300", "--status-file", status)
        rows, stderr = lab_tools.search_json(lab, "--seconds", "2")
        check(stderr == "", f"search complained: {stderr!r}")
        check({"address": lab.addr("n1"), "host": "STORE-A", "hw": ""} in rows and
              {"address": "No IP", "host": "NEW-BOX", "hw": "00-0A-1B-FF-20-3C"} in rows,
              f"rows {rows}")
        result = lab.assign("NEW-BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--wait", "5")
        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        wait_for(lambda: read(status).startswith("configured"), 5, "the appliance to configure")
        check(read(status).split()[:2] == ["configured", f"{NEW_ADDRESS}/24"],
              f"status {read(status)!r}")


def case_unprivileged_icmp():
    """Without raw sockets the kernel's echo socket still runs the in-use check; where even
    that is not allowed the ARP half still runs, and stderr says the echo did not."""
    nobody = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
    with Lab(2) as lab, tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o777)
        status = os.path.join(tmp, "status")
        # Ports below 1024 open to everyone in this namespace, so only the ICMP socket is
        # missing for an ordinary user.
        lab.run_in("ws", "sysctl", "-qw", "net.ipv4.ip_unprivileged_port_start=0")
        lab.run_in("ws", "sysctl", "-qw", "net.ipv4.ping_group_range=0 2147483647")
        lab.sim("n1", "--unconfigured", "--name", "NEW-BOX", "--interval", "300",
                "--status-file", status)
        taken = lab.addr("n2")
        result = lab.assign("NEW-BOX", "--ip", taken, "--mask", MASK, "--wait", "5",
                            prefix=nobody)
        stderr = result.stderr.decode()
        check(result.returncode == 1 and "maybe is in used" in stderr,
              f"echo socket: {result.returncode} {stderr!r}")

        lab.run_in("ws", "sysctl", "-qw", "net.ipv4.ping_group_range=1 0")
        result = lab.assign("NEW-BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--wait", "5",
                            prefix=nobody)
        stderr = result.stderr.decode()
        check(result.returncode == 0 and "echo request could not be sent" in stderr
              and "in-use check could not run" not in stderr,
              f"no ICMP socket: {result.returncode} {stderr!r}")


# One echo request by the kernel's echo socket; prints whether an answer came within a second.
ECHO = """import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_ICMP)
s.settimeout(1)
s.sendto(b"\\x08\\x00\\x00\\x00\\x00\\x00\\x00\\x01", (sys.argv[1], 0))
try:
    s.recv(100)
    print("answered")
except socket.timeout:
    print("silent")
"""


def case_echo_ignored():
    """A host that drops echo requests, as desktop firewalls do, still holds its address:
    the ARP half of the check finds it, for root (a packet socket) and for an ordinary user
    without capabilities or a usable helper (the kernel's neighbour resolution), with and
    without the echo socket. A free address still passes."""
    nobody = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
    with Lab(3, "--ignore-echo", "2") as lab, tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o777)
        status = os.path.join(tmp, "status")
        lab.run_in("ws", "sysctl", "-qw", "net.ipv4.ip_unprivileged_port_start=0")
        lab.sim("n1", "--unconfigured", "--name", "NEW-BOX", "--interval", "300",
                "--status-file", status)
        firewalled = lab.addr("n2")
        echo = {node: lab.run_in("ws", "python3", "-c", ECHO, lab.addr(node)).stdout.strip()
                for node in ("n2", "n3")}
        check(echo == {"n2": "silent", "n3": "answered"}, f"echo requests: {echo}")

        for label, prefix, ping_range in (("root", (), "0 2147483647"),
                                          ("nobody, echo socket", nobody, "0 2147483647"),
                                          ("nobody, no ICMP at all", nobody, "1 0")):
            lab.run_in("ws", "sysctl", "-qw", f"net.ipv4.ping_group_range={ping_range}")
            # Nothing the kernel learnt in an earlier round may decide this one.
            lab.run_in("ws", "ip", "neigh", "flush", "all")
            result = lab.assign("NEW-BOX", "--ip", firewalled, "--mask", MASK, "--wait", "5",
                                prefix=prefix)
            stderr = result.stderr.decode()
            check(result.returncode == 1 and "in use" in stderr and "maybe is in used" in stderr,
                  f"{label}: {result.returncode} {stderr!r}")
            check("ARP probe" not in stderr, f"{label}: {stderr!r}")

        result = lab.assign("NEW-BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--wait", "5",
                            prefix=nobody)
        stderr = result.stderr.decode()
        check(result.returncode == 0 and "ARP probe" not in stderr,
              f"free address: {result.returncode} {stderr!r}")
        wait_for(lambda: read(status).startswith("configured"), 5, "the appliance to configure")


def case_confirmation():
    """assign exits 0 only once the appliance answers from its new address: one that brings
    the address up 3 s after the acknowledgement is confirmed and the very next search lists
    it there; one that never does gives exit 3 once --confirm has passed, with the reason;
    --confirm 0 returns at the acknowledgement as before; with the reply port held by another
    program exit 3 comes at once, with the reason; bad --confirm values are usage."""
    with Lab(4) as lab, tempfile.TemporaryDirectory() as tmp:
        late, never, unchecked = (os.path.join(tmp, n) for n in ("late", "never", "unchecked"))
        lab.sim("n1", "--unconfigured", "--name", "LATE-BOX", "--interval", "300",
                "--up-delay", "3000", "--status-file", late)
        lab.sim("n2", "--unconfigured", "--name", "DEAD-BOX", "--interval", "300",
                "--up-delay", "never", "--status-file", never)
        lab.sim("n3", "--unconfigured", "--name", "QUICK-BOX", "--interval", "300",
                "--up-delay", "never", "--status-file", unchecked)

        result = lab.assign("LATE-BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--wait", "5")
        status = read(late)
        check(result.returncode == 0, f"late: {result.returncode} {result.stderr!r}")
        check(result.stdout.decode().split() == [NEW_ADDRESS, "LATE-BOX"],
              f"late: printed {result.stdout!r}")
        check(status.startswith("configured"), f"confirmed while the appliance was {status!r}")
        check(f"LATE-BOX answers from {NEW_ADDRESS}".encode() in result.stderr,
              f"late: {result.stderr!r}")
        rows, _ = lab_tools.search_json(lab, "--seconds", "2")
        check({"address": NEW_ADDRESS, "host": "LATE-BOX", "hw": ""} in rows, f"rows {rows}")

        started = time.monotonic()
        result = lab.assign("DEAD-BOX", "--ip", "10.199.0.78", "--mask", MASK, "--wait", "5",
                            "--confirm", "4")
        took = time.monotonic() - started
        stderr = result.stderr.decode()
        check(result.returncode == 3 and result.stdout == b"", f"never up: {result.returncode} "
              f"{result.stdout!r} {stderr!r}")
        check("DEAD-BOX took the acknowledgement but did not answer from 10.199.0.78 within 4 "
              "seconds" in stderr, f"never up: {stderr!r}")
        check(read(never).startswith("acknowledged"), f"never up: status {read(never)!r}")
        check(took >= 4, f"gave up after {took:.1f} s, before the limit")

        result = lab.assign("QUICK-BOX", "--ip", "10.199.0.79", "--mask", MASK, "--wait", "5",
                            "--confirm", "0")
        check(result.returncode == 0 and result.stdout.decode().split() == ["10.199.0.79",
                                                                           "QUICK-BOX"],
              f"--confirm 0: {result.returncode} {result.stdout!r} {result.stderr!r}")
        # It returned at the acknowledgement, which the appliance may still be reading.
        wait_for(lambda: read(unchecked).startswith("acknowledged"), 5,
                 "the unchecked appliance to take the acknowledgement")

        # Another program holds the reply port: nothing can be heard, and that is said at
        # once, not after the limit.
        lab.sim("n4", "--unconfigured", "--name", "HELD-BOX", "--interval", "300")
        holder = subprocess.Popen(
            [lab_tools.NETLAB, "exec", lab.name, "ws", "--", "python3", "-c",
             "import socket, time\n"
             "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
             "s.bind(('0.0.0.0', 1211))\nprint('held', flush=True)\ntime.sleep(120)\n"],
            stdout=subprocess.PIPE)
        lab.procs.append(holder)
        check(holder.stdout.readline() == b"held\n", "the holder could not bind port 1211")
        started = time.monotonic()
        result = lab.assign("HELD-BOX", "--ip", "10.199.0.80", "--mask", MASK, "--wait", "5",
                            "--confirm", "30")
        took = time.monotonic() - started
        stderr = result.stderr.decode()
        check(result.returncode == 3 and result.stdout == b"" and
              "cannot listen on UDP port 1211 for the appliance's answer" in stderr and
              "WSAEADDRINUSE" in stderr and "HELD-BOX took the acknowledgement" in stderr,
              f"port held: {result.returncode} {result.stdout!r} {stderr!r}")
        check(took < 30, f"waited {took:.1f} s for an answer it could not hear")
        holder.kill()

        for bad in ("-1", "x", "", "3601", "nan"):
            result = lab.cli("assign", "X", "--ip", NEW_ADDRESS, "--confirm", bad)
            check(result.returncode == 2 and b"usage:" in result.stderr,
                  f"--confirm {bad!r}: {result.returncode} {result.stderr!r}")
        result = lab.cli("assign", "X", "--ip", NEW_ADDRESS, "--confirm")
        check(result.returncode == 2, f"--confirm without a value: {result.returncode}")


CLIENTS = {
    # Each has its hook script print "ip mask router" when it has bound the address.
    "udhcpc": lambda host, script, tmp: [
        "busybox", "udhcpc", "-i", "eth0", "-f", "-n", "-t", "40", "-T", "1",
        "-s", script, "-x", f"hostname:{host}"],
    "dhclient": lambda host, script, tmp: [
        "dhclient", "-4", "-d", "-1", "-cf", os.path.join(tmp, "dhclient.conf"), "-sf", script,
        "-pf", os.path.join(tmp, "dhclient.pid"), "-lf", os.path.join(tmp, "leases"), "eth0"],
    "dhcpcd": lambda host, script, tmp: [
        "dhcpcd", "-B", "-1", "-4", "-A", "-L", "-t", "40", "-h", host, "-c", script,
        "--config", os.path.join(tmp, "dhcpcd.conf"), "eth0"],
}

# The clients run their hook with an environment of their own, so the output path is
# written into the script.
CLIENT_SCRIPT = """#!/bin/sh
# udhcpc: $1 = bound with ip/subnet/router; dhclient and dhcpcd: $reason = BOUND
# with new_ip_address/new_subnet_mask/new_routers.
case "$1$reason" in
  bound*) echo "$ip $subnet $router" > "{out}" ;;
  BOUND|REBOOT) echo "$new_ip_address $new_subnet_mask $new_routers" > "{out}" ;;
esac
exit 0
"""


def real_client(name):
    """A real DHCP client with the listed appliance's hardware address and host name takes
    the offer and the acknowledgement and ends up with exactly the typed values. Every reply
    on the wire decodes cleanly."""
    if not shutil.which(CLIENTS[name]("x", "x", "/tmp")[0]):
        print(f"SKIPPED: {name} is not installed")
        return 77
    tshark = shutil.which("tshark")
    with Lab(2) as lab, tempfile.TemporaryDirectory() as tmp:
        host = "REAL-BOX"
        out = os.path.join(tmp, "bound")
        script = os.path.join(tmp, "hook.sh")
        with open(script, "w") as f:
            f.write(CLIENT_SCRIPT.replace("{out}", out))
        os.chmod(script, 0o755)
        with open(os.path.join(tmp, "dhclient.conf"), "w") as f:
            f.write(f'send host-name "{host}";\ntimeout 40;\ninitial-interval 1;\n')
        with open(os.path.join(tmp, "dhcpcd.conf"), "w") as f:
            f.write("noipv6\nnoarp\n")
        # The appliance is listed from its own request, then the real client asks with its
        # hardware address and host name.
        lab.sim("n1", "--unconfigured", "--name", host, "--hw", SHARED_HW, "--count", "40",
                "--interval", "300", "--no-request")
        lab.run_in("n2", "ip", "link", "set", "dev", "eth0", "address", SHARED_HW)
        capture = os.path.join(tmp, "replies.pcap")
        if tshark:
            sniffer = subprocess.Popen(
                [lab_tools.NETLAB, "exec", lab.name, "ws", "--", tshark, "-q", "-i", "eth0",
                 "-f", "udp port 68", "-w", capture], stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE)
            lab.procs.append(sniffer)
            wait_for(lambda: os.path.exists(capture), 60, "tshark to start")
        # dhcpcd keeps leases in one folder for every namespace; an earlier run's lease would
        # make it skip the offer.
        for stale in ("/var/lib/dhcpcd/eth0.lease", "/var/lib/dhcpcd/eth0-REAL-BOX.lease"):
            if os.path.exists(stale):
                os.remove(stale)
        client = subprocess.Popen(
            [lab_tools.NETLAB, "exec", lab.name, "n2", "--", *CLIENTS[name](host, script, tmp)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lab.procs.append(client)

        # The client's hook only writes the values down: nothing answers from the address.
        result = lab.assign(host, "--ip", NEW_ADDRESS, "--mask", MASK, "--gateway", GATEWAY,
                            "--wait", "5", "--confirm", "0")
        check(result.returncode == 0, f"assign: {result.returncode} {result.stderr!r}")
        wait_for(lambda: read(out).strip() != "", 15, f"{name} to bind")
        check(read(out).split() == [NEW_ADDRESS, MASK, GATEWAY], f"{name} got {read(out)!r}")

        if tshark:
            time.sleep(1)  # let the capture write out
            sniffer.send_signal(signal.SIGINT)
            sniffer.wait(10)
            decoded = subprocess.run([tshark, "-r", capture, "-V", "-Y", "dhcp.option.dhcp"],
                                     capture_output=True, text=True)
            check("DHCP: ACK" in decoded.stdout or "(5) ACK" in decoded.stdout
                  or "DHCP ACK" in decoded.stdout, f"no ACK decoded:\n{decoded.stdout[-2000:]}")
            bad = subprocess.run([tshark, "-r", capture, "-Y",
                                  "_ws.malformed || _ws.expert.severity >= \"error\""],
                                 capture_output=True, text=True)
            check(bad.stdout.strip() == "", f"malformed or erroneous replies:\n{bad.stdout}")
    return 0


def case_udhcpc():
    return real_client("udhcpc")


def case_dhclient():
    return real_client("dhclient")


def case_dhcpcd():
    return real_client("dhcpcd")


CASES = {
    "simulated_appliance": case_simulated_appliance,
    "refusals": case_refusals,
    "trailing_blank": case_trailing_blank,
    "long_host_name": case_long_host_name,
    "no_gateway": case_no_gateway,
    "unprivileged_icmp": case_unprivileged_icmp,
    "echo_ignored": case_echo_ignored,
    "confirmation": case_confirmation,
    "udhcpc": case_udhcpc,
    "dhclient": case_dhclient,
    "dhcpcd": case_dhcpcd,
}


if __name__ == "__main__":
    sys.exit(lab_tools.run_case(CASES))
