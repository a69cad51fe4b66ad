#!/usr/bin/env python3
"""The Debian package of `make package`, as a user installs and removes it.

    python3 tests/network/deb_package_test.py BUILD_DIR CASE

  contents   the package as built: the one version, dependencies computed from the
             binaries, every file of the install rules (compared with a staged install of
             them), the documentation folder; lintian finds no error, and no warning but
             the ones kept (KEPT_WARNINGS)
  installed  apt-get install ./tavisol_*.deb on this machine: the capabilities on the helper
             alone (root:tavisol, mode 0750), none on the programs; nobody, added to the
             group tavisol, lists a configured and a "No IP" appliance on a private LAN with
             the installed /usr/bin/tavisol-cli; the postinst warns and goes on where
             capabilities cannot be had; apt-get purge removes every file it installed, the
             group and dpkg's record of the helper's owner
The installed case purges the package again whatever happens, puts back a group tavisol
that was there before, and never touches a tavisol package it did not install itself.
Exit 0 on success, 1 on failure, 77 (skip) without the package, root or namespaces.
"""

import glob
import grp
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_search_test as net  # noqa: E402
from install_test import QtLab  # noqa: E402

check = net.check
SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGE = "tavisol"
GROUP = "tavisol"
HELPER = "/usr/libexec/tavisol/tavisol-sockets"
PROGRAMS = ("/usr/bin/tavisol", "/usr/bin/tavisol-cli")
CAPABILITIES = "cap_net_bind_service,cap_net_raw=ep"

# The lintian warnings the package keeps, and why. Any other warning, and any error, fails.
KEPT_WARNINGS = set()
# What a user reads and what bash completes with, besides the programs.
MANUAL_PAGES = ("/usr/share/man/man1/tavisol.1.gz", "/usr/share/man/man1/tavisol-cli.1.gz")
COMPLETION = "/usr/share/bash-completion/completions/tavisol-cli"


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def version():
    """The version as res/version.h writes it."""
    with open(os.path.join(SOURCE, "res", "version.h")) as f:
        parts = dict(re.findall(r"#define TAVISOL_VERSION_([A-Z]+) (\d+)", f.read()))
    return ".".join(parts[p] for p in ("MAJOR", "MINOR", "PATCH", "TWEAK"))


def deb_path(build):
    arch = run("dpkg", "--print-architecture").stdout.strip()
    return os.path.join(build, f"{PACKAGE}_{version()}_{arch}.deb")


def package_state():
    """dpkg's word for the package: installed, config-files, ... or not-installed."""
    result = run("dpkg-query", "-W", "-f=${db:Status-Status}", PACKAGE)
    return result.stdout.strip() if result.returncode == 0 else "not-installed"


def apt_get(*args, cwd=None):
    # Another apt on this machine may hold the lock for a while: wait for it.
    return run("apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=120",
               "-o", "Dpkg::Use-Pty=0", *args, cwd=cwd,
               env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})


def group_entry():
    try:
        return grp.getgrnam(GROUP)
    except KeyError:
        return None


# What a package or its scripts may leave anywhere: the paths under these folders after the
# purge must be those that were there before. Not compared: the package manager's own
# records, the backups that every change of /etc/group leaves, the icon cache that the
# desktop's trigger rewrites for every package with icons, and the leases of the DHCP
# clients that other tests run in their labs.
SNAPSHOT_ROOTS = ("/usr", "/etc", "/var/lib", "/opt")
NOT_COMPARED = re.compile(r"^(/var/lib/(dpkg|apt|dhcp|dhcpcd)(/|$)"
                          r"|/etc/(group|gshadow|passwd|shadow)-$"
                          r"|.*/icon-theme\.cache$)")


def snapshot():
    found = run("find", *SNAPSHOT_ROOTS, "-xdev").stdout.splitlines()
    return {p for p in found if not NOT_COMPARED.match(p)}


def statoverride():
    """dpkg's record of the helper's owner and mode, as its fields."""
    return run("dpkg-statoverride", "--list", HELPER).stdout.split()


def regular_files(paths):
    return [p for p in paths if os.path.isfile(p) and not os.path.islink(p)]


# ---- cases ----------------------------------------------------------------------------------

def case_contents(build, deb):
    fields = {name: run("dpkg-deb", "-f", deb, name).stdout.strip()
              for name in ("Package", "Version", "Depends", "Recommends")}
    check(fields["Package"] == PACKAGE, f"package {fields['Package']!r}")
    check(fields["Version"] == version(), f"version {fields['Version']!r}, not {version()}")
    depends = {d.split()[0] for d in fields["Depends"].split(", ")}
    # From dpkg-shlibdeps, with the versions the binaries need; and those no binary links.
    for needed in ("libc6", "libstdc++6", "libqt6core6", "libqt6widgets6", "qt6-qpa-plugins",
                   "adduser"):
        check(needed in depends, f"Depends lacks {needed}: {fields['Depends']!r}")
    check(re.search(r"libqt6widgets6 \(>= [0-9.]+\)", fields["Depends"]),
          f"no computed version of Qt: {fields['Depends']!r}")
    check("libcap2-bin" in fields["Recommends"], f"Recommends {fields['Recommends']!r}")

    listing = run("dpkg-deb", "--contents", deb).stdout.splitlines()
    entries = {line.split()[-1].lstrip(".") for line in listing}
    modes = {line.split()[-1].lstrip("."): (line.split()[0], line.split()[1]) for line in listing}
    files = {p for p in entries if not p.endswith("/")}

    # Everything the install rules put down, under /usr, is in the package: stage them the
    # way CPack does (the files alone, no component "system") and compare. A rule in a
    # component of its own would be left out of both.
    components = set()
    for root, _, names in os.walk(build):
        if "cmake_install.cmake" in names:
            with open(os.path.join(root, "cmake_install.cmake")) as f:
                components |= set(re.findall(r'CMAKE_INSTALL_COMPONENT STREQUAL "([^"]+)"',
                                             f.read()))
    check(components <= {"Unspecified", "system"},
          f"install components that the package does not stage: {components}")
    with tempfile.TemporaryDirectory() as staged:
        result = run("cmake", "--install", build, "--prefix", "/usr", "--component",
                     "Unspecified", env={**os.environ, "DESTDIR": staged})
        check(result.returncode == 0, f"staging install: {result.stderr}")
        rules = {os.path.join("/", os.path.relpath(os.path.join(root, name), staged))
                 for root, _, names in os.walk(staged) for name in names}
    # Manual pages go in compressed.
    rules = {p + ".gz" if p.startswith("/usr/share/man/") and not p.endswith(".gz") else p
             for p in rules}
    check(rules - files == set(), f"installed by make install, not in the package: "
                                  f"{sorted(rules - files)}")
    docs = {f"/usr/share/doc/{PACKAGE}/{name}" for name in ("copyright", "changelog.gz",
                                                            "README.md")}
    check(files - rules == docs, f"in the package beyond the install rules: "
                                 f"{sorted(files - rules)}")
    for program in PROGRAMS + (HELPER,):
        check(program in rules, f"the install rules lack {program}")
        check(modes[program] == ("-rwxr-xr-x", "root/root"),
              f"{program} in the package: {modes[program]}")
    for path in MANUAL_PAGES + (COMPLETION,):
        check(path in files and modes[path] == ("-rw-r--r--", "root/root"),
              f"{path} in the package: {modes.get(path)}")

    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["dpkg-deb", "--control", deb, tmp], check=True)
        for script in ("postinst", "postrm"):
            path = os.path.join(tmp, script)
            check(os.path.exists(path) and os.stat(path).st_mode & 0o777 == 0o755,
                  f"maintainer script {script} missing or not 0755")

    result = run("lintian", "--display-info", "--pedantic", deb)
    print(result.stdout, result.stderr)
    tags = re.findall(r"^([EW]): \S+: (\S+)", result.stdout, re.M)
    errors = [tag for kind, tag in tags if kind == "E"]
    warnings = {tag for kind, tag in tags if kind == "W"} - KEPT_WARNINGS
    check(not errors, f"lintian errors: {errors}")
    check(not warnings, f"lintian warnings not kept: {sorted(warnings)}")
    check(result.returncode == 0, f"lintian exit {result.returncode}")


class InstalledPackage:
    """The package installed from the build folder, purged again on exit whatever happened;
    a group tavisol that was there before is put back. A marker in the build folder tells a
    package left by a killed run of this test from one that the machine's owner installed."""

    def __init__(self, build, deb):
        self.build = build
        self.deb = deb
        self.marker = os.path.join(build, "deb-test-installed")
        self.group_before = group_entry()
        self.override_before = statoverride()

    def __enter__(self):
        try:
            if package_state() != "not-installed":  # left by a killed run: all of it goes
                self.purge()
                self.group_before, self.override_before = group_entry(), statoverride()
            with open(self.marker, "w") as f:
                f.write("installed by tests/network/deb_package_test.py\n")
            self.install = apt_get("install", "--no-install-recommends",
                                   "./" + os.path.basename(self.deb), cwd=self.build)
            print(self.install.stdout, self.install.stderr)
            check(self.install.returncode == 0,
                  f"apt-get install: {self.install.stdout[-2000:]} {self.install.stderr}")
        except BaseException:
            # A half-done installation goes as well.
            self.__exit__()
            raise
        return self

    def files(self):
        return run("dpkg", "-L", PACKAGE).stdout.split("\n")

    def purge(self):
        result = apt_get("purge", PACKAGE)
        print(result.stdout, result.stderr)
        return result

    def __exit__(self, *exc):
        if package_state() != "not-installed":
            self.purge()
        if package_state() != "not-installed":
            print(f"the package {PACKAGE} could not be purged ({package_state()}): "
                  f"dpkg --purge {PACKAGE} by hand")
        if statoverride() and not self.override_before:
            run("dpkg-statoverride", "--remove", HELPER)
        if group_entry() and self.group_before is None:
            run("groupdel", GROUP)
        if self.group_before and group_entry() is None:
            run("groupadd", "--system", "--gid", str(self.group_before.gr_gid), GROUP)
        if self.group_before:
            run("gpasswd", "--members", ",".join(self.group_before.gr_mem), GROUP)
        if os.path.exists(self.marker):
            os.remove(self.marker)


def postinst_without_capabilities(control):
    """The postinst run again where setcap is missing, and where it fails as on a file
    system without extended attributes: it must warn and succeed."""
    with tempfile.TemporaryDirectory() as tmp:
        failing = os.path.join(tmp, "setcap")
        with open(failing, "w") as f:
            f.write("#!/bin/sh\necho \"Failed to set capabilities on file '$2' "
                    "(Operation not supported)\" >&2\nexit 1\n")
        os.chmod(failing, 0o755)
        for label, path in (("no setcap", "/usr/bin:/bin"),
                            ("setcap refused", f"{tmp}:/usr/sbin:/usr/bin:/sbin:/bin")):
            result = run(os.path.join(control, "postinst"), "configure", version(),
                         env={"PATH": path})
            check(result.returncode == 0, f"{label}: postinst failed: {result.stderr!r}")
            check("warning" in result.stderr and HELPER in result.stderr,
                  f"{label}: no warning: {result.stderr!r}")
            check("Operation not supported" in result.stderr or label == "no setcap",
                  f"{label}: the reason is not given: {result.stderr!r}")


def case_installed(build, deb):
    if package_state() != "not-installed" and not os.path.exists(
            os.path.join(build, "deb-test-installed")):
        print(f"SKIPPED: the package {PACKAGE} is installed on this machine ({package_state()})"
              ": the test would replace it")
        return 77
    net.SIM = os.path.join(build, "sim", "tavisol-sim")
    net.CLI = PROGRAMS[1]
    before = snapshot()
    with InstalledPackage(build, deb) as package:
        output = package.install.stdout + package.install.stderr
        check("on nothing else" in output and "hold no capability" in output,
              f"the postinst does not say who holds what: {output!r}")
        files = [p for p in package.files() if p]
        for program in PROGRAMS + (HELPER,):
            check(program in files, f"{program} not installed")
        for page in ("tavisol", "tavisol-cli"):
            shown = run("man", "--warnings", page, env=dict(os.environ, MANWIDTH="80"))
            text = re.sub(".\b", "", shown.stdout)  # bold and underline as overstrikes
            check(shown.returncode == 0 and page.upper() + "(1)" in text and
                  "SEE ALSO" in text and shown.stderr == "",
                  f"man {page}: {shown.returncode} {shown.stderr!r} {shown.stdout[:200]!r}")

        # The capabilities on the helper and on no other file of the package.
        held = {}
        for path in regular_files(files):
            caps = run("getcap", path).stdout.strip()
            if caps:
                held[path] = caps
        check(set(held) == {HELPER} and CAPABILITIES in held[HELPER],
              f"capabilities: {held}")
        st = os.stat(HELPER)
        check(st.st_uid == 0 and st.st_gid == group_entry().gr_gid and
              st.st_mode & 0o7777 == 0o750, f"helper {st.st_uid}:{st.st_gid} {oct(st.st_mode)}")
        check(statoverride() == ["root", GROUP, "750", HELPER], f"statoverride {statoverride()}")

        # nobody, a member of the group as a user is made one, with the installed program.
        subprocess.run(["gpasswd", "--add", "nobody", GROUP], check=True, capture_output=True)
        with QtLab(2) as lab:
            lab.sim("n1", "--configured", "--name", "STORE-ALPHA")
            lab.sim("n2", "--unconfigured", "--name", "NEW-BOX", "--hw", "00:0A:1B:FF:20:3C",
                    "--interval", "300")
            member = ("setpriv", "--reuid=nobody", "--regid=nogroup", "--init-groups")
            rows, stderr = net.search_json(lab, "--seconds", "3", prefix=member)
            want = [{"address": lab.addr("n1"), "host": "STORE-ALPHA", "hw": ""},
                    {"address": "No IP", "host": "NEW-BOX", "hw": "00-0A-1B-FF-20-3C"}]
        check(sorted(rows, key=str) == sorted(want, key=str), f"rows {rows} stderr {stderr!r}")
        check("tavisol-sockets" not in stderr, f"stderr {stderr!r}")

        with tempfile.TemporaryDirectory() as control:
            subprocess.run(["dpkg-deb", "--control", deb, control], check=True)
            postinst_without_capabilities(control)

        result = package.purge()
        check(result.returncode == 0, f"apt-get purge failed: {result.stderr}")
        check(package_state() == "not-installed", f"after purge: {package_state()}")
        left = [p for p in files if os.path.lexists(p) and not (
            os.path.isdir(p) and run("dpkg", "-S", p).returncode == 0)]
        check(not left, f"left behind by the purge: {left}")
        if package.group_before is None:
            check(group_entry() is None, "the purge left the group tavisol")
        check(not statoverride(), "the purge left dpkg's record of the helper's owner")
        new = sorted(snapshot() - before)
        check(not new, f"after the purge, and not there before: {new[:20]}")
    return 0


CASES = {"contents": case_contents, "installed": case_installed}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print(f"usage: {sys.argv[0]} BUILD_DIR {{{','.join(CASES)}}}", file=sys.stderr)
        return 2
    # Stopped (a ctest time-out), the test still purges what it installed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    build = os.path.abspath(sys.argv[1])
    deb = deb_path(build)
    if not os.path.exists(deb):
        others = glob.glob(os.path.join(build, f"{PACKAGE}_*.deb"))
        if others:
            print(f"FAILED: make package wrote {others}, not {os.path.basename(deb)} of the "
                  "version in res/version.h")
            return 1
        print(f"SKIPPED: no package {deb} (make package writes it)")
        return 77
    if sys.argv[2] == "contents" and not shutil.which("lintian"):
        print("SKIPPED: lintian is not installed (scripts/deps.sh installs it)")
        return 77
    if sys.argv[2] == "installed":
        if os.geteuid() != 0:
            print("SKIPPED: installing a package needs root")
            return 77
        lab_check = run(net.NETLAB, "check")
        if lab_check.returncode != 0:
            print(f"SKIPPED: network namespaces unavailable: {lab_check.stdout}"
                  f"{lab_check.stderr}")
            return 77
    try:
        if CASES[sys.argv[2]](build, deb) == 77:
            return 77
    except AssertionError as e:
        print(f"FAILED {sys.argv[2]}: {e}")
        print("0 passed, 1 failed")
        return 1
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
