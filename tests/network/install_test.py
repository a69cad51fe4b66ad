#!/usr/bin/env python3
"""make install, then a normal user searches with the installed programs.

    python3 tests/network/install_test.py BUILD_DIR

Installs the build into a prefix under BUILD_DIR (cmake --install, whose last step gives
both programs cap_net_bind_service and cap_net_raw), checks the capabilities and the
desktop files, and then, on a private LAN, runs the installed tavisol-cli as `nobody`: the
configured appliance answers the probe and the unconfigured one is listed as "No IP", which
needs port 67. Exit 0 on success, 1 on failure, 77 (skip) without namespaces or setcap.
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_search_test as net  # noqa: E402


class QtLab(net.Lab):
    def __init__(self, nodes):
        self.name = f"qti{os.getpid() % 10000}"
        self.procs = []
        subprocess.run([net.NETLAB, "create", self.name, str(nodes)], check=True)


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} BUILD_DIR", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    if not shutil.which("setcap") and not os.path.exists("/usr/sbin/setcap"):
        print("SKIPPED: setcap is not installed (libcap2-bin)")
        return 77
    check = subprocess.run([net.NETLAB, "check"], capture_output=True, text=True)
    if check.returncode != 0:
        print(f"SKIPPED: network namespaces unavailable: {check.stdout}{check.stderr}")
        return 77

    prefix = os.path.join(build, "install-test")
    shutil.rmtree(prefix, ignore_errors=True)
    result = subprocess.run(["cmake", "--install", build, "--prefix", prefix],
                            capture_output=True, text=True)
    print(result.stdout, result.stderr)
    net.check(result.returncode == 0, "cmake --install failed")
    # The way down to the programs must be open to the normal user.
    for path in (prefix, os.path.join(prefix, "bin")):
        os.chmod(path, 0o755)
    for program in ("tavisol", "tavisol-cli"):
        path = os.path.join(prefix, "bin", program)
        caps = subprocess.run(["getcap", path], capture_output=True, text=True).stdout
        net.check("cap_net_bind_service" in caps and "cap_net_raw" in caps and "ep" in caps,
                  f"{program}: {caps!r}")
    for path in ("share/applications/tavisol.desktop",
                 "share/icons/hicolor/48x48/apps/tavisol.png",
                 "share/icons/hicolor/scalable/apps/tavisol.svg"):
        net.check(os.path.exists(os.path.join(prefix, path)), f"missing {path}")

    net.SIM = os.path.join(build, "sim", "tavisol-sim")
    net.CLI = os.path.join(prefix, "bin", "tavisol-cli")
    with QtLab(2) as lab:
        lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
        lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                "--interval", "300")
        rows, stderr = net.search_json(
            lab, "--seconds", "3",
            prefix=("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"))
        expected = [{"address": lab.addr("n1"), "host": "STORE-ALPHA", "hw": ""},
                    {"address": "No IP", "host": "NEW-BOX", "hw": "00-0A-1B-FF-20-3C"}]
        net.check(sorted(rows, key=str) == sorted(expected, key=str),
                  f"rows: {rows} stderr: {stderr!r}")
        net.check("port 67" not in stderr, f"stderr: {stderr!r}")
    shutil.rmtree(prefix, ignore_errors=True)
    print("ok")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
