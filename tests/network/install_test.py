#!/usr/bin/env python3
"""make install into a test prefix, then what a normal user can and cannot do with it.

    python3 tests/network/install_test.py BUILD_DIR CASE

Each case installs the build into a prefix under BUILD_DIR (cmake --install; needs root for
the group and the capabilities) and uninstalls it again at the end:
  capabilities       only tavisol-sockets holds capabilities (root:tavisol 0750, nothing
                     dynamic beyond the C library); uninstall leaves nothing behind
  unprivileged_user  on a private LAN `nobody` in the group tavisol lists a configured and a
                     "No IP" appliance and assigns with the in-use check running; outside the
                     group, or with the helper missing, it lists what it did before there was
                     a helper, and says why on stderr
  qt_plugin          a style plug-in in nobody's own folder, slipped into the installed
                     tavisol through QT_PLUGIN_PATH and QT_STYLE_OVERRIDE, runs with no
                     capability
Exit 0 on success, 1 on failure, 77 (skip) without namespaces, root or setcap.
"""

import grp
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_search_test as net  # noqa: E402
from cli_assign_test import read, wait_for  # noqa: E402

check = net.check
GROUP = "tavisol"
NOBODY = 65534
NEW_ADDRESS = "10.199.0.77"
MASK = "255.255.255.0"


class QtLab(net.Lab):
    def __init__(self, nodes):
        self.name = f"qti{os.getpid() % 10000}"
        self.procs = []
        subprocess.run([net.NETLAB, "create", self.name, str(nodes)], check=True)
        # What a fresh namespace has anyway, said outright: no port below 1024 and no
        # echo socket for a normal user, so every privileged socket must come from the helper.
        for setting in ("net.ipv4.ip_unprivileged_port_start=1024",
                        "net.ipv4.ping_group_range=1 0"):
            subprocess.run([net.NETLAB, "exec", self.name, "ws", "--", "sysctl", "-qw", setting],
                           check=True)

    def assign(self, host, *extra, prefix=()):
        return subprocess.run([net.NETLAB, "exec", self.name, "ws", "--", *prefix, net.CLI,
                               "assign", host, *extra], capture_output=True, timeout=90)


class Installation:
    """The build installed into a fresh prefix; uninstalled again on exit. The build
    folder's records of an earlier install are set aside meanwhile and put back."""

    RECORDS = ("install_manifest.txt", "install_made.txt")

    def __init__(self, build):
        self.build = build
        self.prefix = os.path.join(build, "install-test")
        self.group_existed = group_exists()
        self.saved = tempfile.mkdtemp(prefix="tvinstall-")

    def __enter__(self):
        for record in self.RECORDS:
            if os.path.exists(os.path.join(self.build, record)):
                shutil.move(os.path.join(self.build, record), self.saved)
        shutil.rmtree(self.prefix, ignore_errors=True)
        result = subprocess.run(["cmake", "--install", self.build, "--prefix", self.prefix],
                                capture_output=True, text=True)
        print(result.stdout, result.stderr)
        check(result.returncode == 0, "cmake --install failed")
        # The way down to the programs must be open to the normal user.
        for path in (self.prefix, self.bin()):
            os.chmod(path, 0o755)
        return self

    def bin(self, program=""):
        return os.path.join(self.prefix, "bin", program)

    def helper(self):
        return os.path.join(self.prefix, "libexec", "tavisol", "tavisol-sockets")

    def uninstall(self):
        return subprocess.run(["cmake", "--build", self.build, "--target", "uninstall"],
                              capture_output=True, text=True)

    def __exit__(self, *exc):
        if os.path.exists(os.path.join(self.build, "install_manifest.txt")):
            self.uninstall()
        shutil.rmtree(self.prefix, ignore_errors=True)
        for record in self.RECORDS:
            if os.path.exists(os.path.join(self.saved, record)):
                shutil.move(os.path.join(self.saved, record), self.build)
        shutil.rmtree(self.saved, ignore_errors=True)


def group_exists():
    try:
        grp.getgrnam(GROUP)
        return True
    except KeyError:
        return False


def as_nobody(in_group):
    groups = f"--groups={grp.getgrnam(GROUP).gr_gid}" if in_group else "--clear-groups"
    return ("setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", groups)


def sanitized(build):
    return "TAVISOL_SANITIZE:BOOL=ON" in read(os.path.join(build, "CMakeCache.txt"))


# ---- cases ----------------------------------------------------------------------------------

def case_capabilities(build):
    with Installation(build) as inst:
        found = subprocess.run(["getcap", "-r", inst.prefix], capture_output=True,
                               text=True).stdout.split("\n")
        found = [line for line in found if line.strip()]
        check(len(found) == 1 and found[0].split()[0] == inst.helper(),
              f"capabilities on other files than the helper: {found}")
        check("cap_net_bind_service,cap_net_raw=ep" in found[0], f"helper: {found[0]!r}")

        st = os.stat(inst.helper())
        check(st.st_uid == 0 and st.st_gid == grp.getgrnam(GROUP).gr_gid, "helper not root:tavisol")
        check(st.st_mode & 0o7777 == 0o750, f"helper mode {oct(st.st_mode)}")
        dynamic = subprocess.run(["readelf", "-d", inst.helper()], capture_output=True,
                                 text=True).stdout
        needed = {line.split("[")[1].rstrip("]") for line in dynamic.splitlines()
                  if "(NEEDED)" in line}
        allowed = {"libc.so.6", "ld-linux-x86-64.so.2"}
        if sanitized(build):
            allowed |= {n for n in needed if n.startswith(("libasan", "libubsan", "libstdc++",
                                                           "libm.", "libgcc_s"))}
        check(needed <= allowed, f"the helper loads {sorted(needed - allowed)}")
        check("RPATH" not in dynamic and "RUNPATH" not in dynamic, "the helper has a run path")
        for path in ("share/applications/tavisol.desktop",
                     "share/icons/hicolor/48x48/apps/tavisol.png",
                     "share/icons/hicolor/scalable/apps/tavisol.svg",
                     "share/bash-completion/completions/tavisol-cli"):
            check(os.path.exists(os.path.join(inst.prefix, path)), f"missing {path}")
        # The manual pages, as man finds them under the prefix and as files.
        for page in ("tavisol", "tavisol-cli"):
            shown = subprocess.run(["man", "--warnings", page], capture_output=True, text=True,
                                   env=dict(os.environ, MANPATH=os.path.join(inst.prefix,
                                                                             "share/man"),
                                            MANWIDTH="80"))
            text = re.sub(".\b", "", shown.stdout)  # bold and underline as overstrikes
            check(shown.returncode == 0 and page.upper() + "(1)" in text and
                  "SEE ALSO" in text and shown.stderr == "",
                  f"man {page}: {shown.returncode} {shown.stderr!r} {shown.stdout[:200]!r}")
        shown = subprocess.run(["man", "-l", os.path.join(inst.prefix, "share/man/man1",
                                                          "tavisol-cli.1")],
                               capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
        check(shown.returncode == 0 and "EXIT STATUS" in re.sub(".\b", "", shown.stdout),
              f"man -l: {shown!r}")

        # A second install over the first changes nothing of that.
        again = subprocess.run(["cmake", "--install", build, "--prefix", inst.prefix],
                               capture_output=True, text=True)
        check(again.returncode == 0, f"second install: {again.stderr}")
        caps = subprocess.run(["getcap", inst.helper()], capture_output=True, text=True).stdout
        check("cap_net_raw" in caps, f"the second install lost the capabilities: {caps!r}")

        result = inst.uninstall()
        check(result.returncode == 0, f"uninstall: {result.stdout} {result.stderr}")
        check(not os.path.exists(inst.prefix), f"left behind: {list(os.walk(inst.prefix))}")
        check(group_exists() == inst.group_existed,
              "uninstall did not leave the group as it found it")


def case_unprivileged_user(build):
    net.SIM = os.path.join(build, "sim", "tavisol-sim")
    with Installation(build) as inst, QtLab(3) as lab, tempfile.TemporaryDirectory() as tmp:
        net.CLI = inst.bin("tavisol-cli")
        status = os.path.join(tmp, "status")
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300", "--status-file", status)
        configured = {"address": lab.addr("n1"), "host": "STORE-ALPHA", "hw": ""}
        unconfigured = {"address": "No IP", "host": "NEW-BOX", "hw": "00-0A-1B-FF-20-3C"}

        member = as_nobody(True)
        rows, stderr = net.search_json(lab, "--seconds", "3", prefix=member)
        check(sorted(rows, key=str) == sorted([configured, unconfigured], key=str),
              f"member: rows {rows} stderr {stderr!r}")
        check("port 67" not in stderr and "tavisol-sockets" not in stderr, f"stderr {stderr!r}")

        # The in-use check runs: the kernel of node 3 answers the echo for its address.
        result = lab.assign("NEW-BOX", "--ip", lab.addr("n3"), "--mask", MASK, "--wait", "5",
                            prefix=member)
        stderr = result.stderr.decode()
        check(result.returncode == 1 and "maybe is in used" in stderr,
              f"address in use: {result.returncode} {stderr!r}")
        # Behind a firewall that drops echo requests, node 3 still holds it: the ARP probe,
        # by the helper's packet socket, finds it.
        subprocess.run([net.NETLAB, "exec", lab.name, "n3", "--", "sysctl", "-qw",
                        "net.ipv4.icmp_echo_ignore_all=1"], check=True)
        result = lab.assign("NEW-BOX", "--ip", lab.addr("n3"), "--mask", MASK, "--wait", "5",
                            prefix=member)
        stderr = result.stderr.decode()
        check(result.returncode == 1 and "maybe is in used" in stderr and "ARP" not in stderr,
              f"firewalled address in use: {result.returncode} {stderr!r}")
        result = lab.assign("NEW-BOX", "--ip", NEW_ADDRESS, "--mask", MASK, "--wait", "5",
                            prefix=member)
        stderr = result.stderr.decode()
        check(result.returncode == 0 and "in-use check could not run" not in stderr,
              f"assign: {result.returncode} {stderr!r}")
        wait_for(lambda: read(status).startswith("configured"), 5, "the appliance to configure")

        # Outside the group, and with the helper gone: what a normal user had before there
        # was a helper, and the reason on stderr.
        lab.sim("n3", "--unconfigured", "--name", "NEXT-BOX", "--interval", "300")
        moved = inst.helper() + ".away"
        try:
            for label, prefix, why in (
                    ("outsider", as_nobody(False), "Permission denied"),
                    ("no helper", member, "No such file or directory")):
                if label == "no helper":
                    os.rename(inst.helper(), moved)
                rows, stderr = net.search_json(lab, "--seconds", "3", prefix=prefix)
                check(all(r["address"] != "No IP" for r in rows) and configured in rows,
                      f"{label}: rows {rows}")
                check("port 67" in stderr and "WSAEACCES" in stderr and
                      "tavisol-sockets not installed or not permitted" in stderr and
                      why in stderr, f"{label}: stderr {stderr!r}")
        finally:
            if os.path.exists(moved):
                os.rename(moved, inst.helper())


def case_qt_plugin(build):
    plugin = os.path.join(build, "tests", "libcapeff_style.so")
    check(os.path.exists(plugin), f"{plugin} is not built")
    with Installation(build) as inst, QtLab(1) as lab, tempfile.TemporaryDirectory() as tmp:
        # nobody's own folder, with its own plug-in in it.
        folder = os.path.join(tmp, "plugins")
        os.makedirs(os.path.join(folder, "styles"))
        shutil.copy(plugin, os.path.join(folder, "styles"))
        os.chmod(tmp, 0o755)
        for root, dirs, files in os.walk(folder):
            for name in [root] + [os.path.join(root, f) for f in files]:
                os.chown(name, NOBODY, NOBODY)
        record = os.path.join(folder, "capeff.txt")
        for in_group in (True, False):
            if os.path.exists(record):
                os.remove(record)
            proc = subprocess.Popen(
                [net.NETLAB, "exec", lab.name, "ws", "--", *as_nobody(in_group), "env", "-i",
                 f"HOME={folder}", "QT_QPA_PLATFORM=offscreen", f"QT_PLUGIN_PATH={folder}",
                 "QT_STYLE_OVERRIDE=capeff", inst.bin("tavisol")],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            lab.procs.append(proc)
            try:
                wait_for(lambda: "CapEff" in read(record), 20, "the plug-in to run")
            finally:
                proc.terminate()
                _, err = proc.communicate(timeout=10)
                print(err.decode(errors="replace")[-2000:])
            lines = dict(line.split(":", 1) for line in read(record).splitlines())
            check(lines["Uid"].split()[1] == str(NOBODY), f"not nobody: {lines}")
            for cap in ("CapEff", "CapPrm"):
                check(int(lines[cap].strip(), 16) == 0,
                      f"the plug-in ran with {cap} {lines[cap].strip()} (in group: {in_group})")


CASES = {
    "capabilities": case_capabilities,
    "unprivileged_user": case_unprivileged_user,
    "qt_plugin": case_qt_plugin,
}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print(f"usage: {sys.argv[0]} BUILD_DIR {{{','.join(CASES)}}}", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        print("SKIPPED: make install with a group and capabilities needs root")
        return 77
    if not shutil.which("setcap") and not os.path.exists("/usr/sbin/setcap"):
        print("SKIPPED: setcap is not installed (libcap2-bin)")
        return 77
    lab_check = subprocess.run([net.NETLAB, "check"], capture_output=True, text=True)
    if lab_check.returncode != 0:
        print(f"SKIPPED: network namespaces unavailable: {lab_check.stdout}{lab_check.stderr}")
        return 77
    try:
        CASES[sys.argv[2]](build)
    except AssertionError as e:
        print(f"FAILED {sys.argv[2]}: {e}")
        print("0 passed, 1 failed")
        return 1
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
