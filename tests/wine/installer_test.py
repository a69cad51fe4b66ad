#!/usr/bin/env python3
"""The Windows installer (make package-windows) as an administrator's deployment tool uses it,
under Wine.

    installer_test.py WIN_BUILD_DIR BUILD_DIR

In a copy of the Wine suite's prefix, inside the workstation namespace of a throw-away lab with
one configured appliance: a silent install must put tavisol.exe under Program Files, the
Start-menu entry in place and the program with its version and publisher into the list of
installed programs, and ask for the two inbound firewall rules; the program started from
that entry must open its main window and search the lab; a silent uninstall must remove the
rules, the files, the entry and the registration, and leave nothing else behind.

Wine's own netsh accepts every firewall command and does nothing, so the prefix gets a
netsh.exe that records its command lines and fails, as netsh does where the firewall cannot
be configured: the installer must go on all the same.

Exit 0 on success, 1 on failure, 77 (skipped, with the reason) when Wine, Xvfb, xdotool, the
packages or network namespaces are missing.
"""

import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, HERE)
import wine_suite  # noqa: E402  (the Wine session and the lab)

SKIP = 77
lab_tools = wine_suite.lab_tools
CONFIGURED = ("STORE-ONE", "00:0A:1B:00:00:01")
INSTALL_DIR = ("drive_c", "Program Files", "Tavisol")
SHORTCUT = ("drive_c", "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
            "Tavisol.lnk")
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavisol"
PROGRAM = r"C:\Program Files\Tavisol\tavisol.exe"
# Where temporary files live; the uninstaller runs from a copy of itself in there, which
# Windows removes at the next start.
TEMPORARY = re.compile(r"drive_c/(windows/temp|users/[^/]+/(AppData/Local/)?Temp)(/|$)", re.I)


def release():
    """The version and the publisher, read from res/version.h as the packages must take them."""
    text = open(os.path.join(ROOT, "res", "version.h")).read()
    parts = [re.search(rf"#define TAVISOL_VERSION_{p} (\d+)", text).group(1)
             for p in ("MAJOR", "MINOR", "PATCH", "TWEAK")]
    return ".".join(parts), re.search(r'#define TAVISOL_PUBLISHER "([^"]+)"', text).group(1)


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


# ---- inside the workstation namespace -------------------------------------------------------

class Run:
    def __init__(self, env, prefix, log):
        self.env, self.prefix, self.log = env, prefix, log
        self.failures = []

    def path(self, parts):
        return os.path.join(self.prefix, *parts)

    def check(self, ok, message):
        if not ok:
            self.failures.append(message)
        return ok

    def wine(self, *args, timeout=60):
        """Runs a Wine program; its output through a file, not a pipe, since the helpers
        that Wine starts inherit it and would keep a pipe open after the program ends."""
        with tempfile.TemporaryFile("w+", errors="replace") as out:
            code = subprocess.run(["wine", *args], env=self.env, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout).returncode
            out.seek(0)
            return code, out.read()

    def netsh_calls(self):
        try:
            return open(self.log, encoding="utf-8").read().splitlines()
        except FileNotFoundError:
            return []

    def uninstall_entry(self):
        code, output = self.wine("reg", "query", UNINSTALL_KEY)
        if code != 0:
            return None
        return dict(re.findall(r"^\s+(\w+)\s+REG_\w+\s+(.*?)\s*$", output, re.M))

    def main_window(self, title):
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=self.env,
                              capture_output=True, text=True).stdout
        return f'"{title}"' in tree


def drive_files(prefix):
    """Every file and folder of drive C:, the temporary ones left out."""
    found = set()
    for folder, dirs, files in os.walk(os.path.join(prefix, "drive_c")):
        rel = os.path.relpath(folder, prefix)
        found.update(f"{rel}/{name}" for name in dirs + files
                     if not TEMPORARY.match(f"{rel}/{name}"))
    return found


def registry_keys(prefix):
    """The names of the registry keys that mention the program, from the prefix's files."""
    keys = set()
    for hive in ("system.reg", "user.reg"):
        path = os.path.join(prefix, hive)
        if not os.path.exists(path):  # a new prefix whose wineserver has not saved it yet
            continue
        for line in open(path, encoding="utf-8", errors="replace"):
            if line.startswith("[") and "tavisol" in line.lower():
                keys.add(line.split("]")[0] + "]")
    return keys


def rule_added(calls, port):
    wanted = ("advfirewall firewall add rule ", "dir=in", "action=allow", "protocol=UDP",
              f"localport={port} ", "profile=any", f'program="{PROGRAM}"')
    return any(all(w in c for w in wanted) for c in calls)


def rule_names(calls):
    return {m for c in calls for m in re.findall(r'add rule name="([^"]+)"', c)}


def exercise(run, installer, built_exe, version, publisher):
    # -- a silent install
    code, output = run.wine(installer, "/S", timeout=120)
    if not run.check(code == 0, f"the silent install exited {code}: {output}"):
        return
    installed = run.path(INSTALL_DIR + ("tavisol.exe",))
    if run.check(os.path.isfile(installed), f"no {PROGRAM} after the install"):
        run.check(open(installed, "rb").read() == open(built_exe, "rb").read(),
                  "the installed tavisol.exe is not the one that was built")
    run.check(os.path.isfile(run.path(SHORTCUT)), "no Start-menu entry: " + "/".join(SHORTCUT))
    entry = run.uninstall_entry() or {}
    for name, want in (("DisplayName", "Tavisol"), ("DisplayVersion", version),
                       ("Publisher", publisher), ("InstallLocation", r"C:\Program Files\Tavisol"),
                       ("UninstallString", r'"C:\Program Files\Tavisol\uninstall.exe"'),
                       ("QuietUninstallString", r'"C:\Program Files\Tavisol\uninstall.exe" /S')):
        run.check(entry.get(name) == want,
                  f"{UNINSTALL_KEY} {name} is {entry.get(name)!r}, not {want!r}")
    calls = run.netsh_calls()
    for port in (67, 1211):
        run.check(rule_added(calls, port),
                  f"no inbound rule for UDP {port} allowing {PROGRAM} on every profile; "
                  f"netsh was called with: {calls}")
    names = rule_names(calls)

    # -- the program from its Start-menu entry, on the lab
    title = f"KESTOVA Tavisol UI  V{version}"
    start_menu_entry = "C:\\" + "\\".join(SHORTCUT[1:])
    launcher = subprocess.Popen(["wine", "start", start_menu_entry], env=run.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while not run.main_window(title) and time.monotonic() < deadline:
        time.sleep(0.2)
    launcher.wait(30)
    if run.check(run.main_window(title),
                 f'the Start-menu entry opened no window "{title}"'):
        time.sleep(1)  # let it settle before the keys
        # The focus starts on "Close"; the list, then "Search".
        subprocess.run(["xdotool", "key", "Tab", "Tab", "space"], env=run.env, check=True)
        time.sleep(1.5)  # the probe goes out at once; the root side reads the appliance's log
        subprocess.run(["xdotool", "key", "alt+F4"], env=run.env, check=True)
        deadline = time.monotonic() + 15
        while run.main_window(title) and time.monotonic() < deadline:
            time.sleep(0.2)
        run.check(not run.main_window(title), "the program did not close on Alt+F4")

    # -- a silent uninstall. The uninstaller runs from a copy of itself in the temporary
    # folder, so that it can delete itself, and returns at once: wait for its work.
    before_uninstall = len(run.netsh_calls())
    code, output = run.wine(r"C:\Program Files\Tavisol\uninstall.exe", "/S")
    run.check(code == 0, f"the silent uninstall exited {code}: {output}")
    install_dir = run.path(INSTALL_DIR)
    deadline = time.monotonic() + 30
    while os.path.exists(install_dir) and time.monotonic() < deadline:
        time.sleep(0.2)
    if os.path.isdir(install_dir):
        run.check(False, f"{PROGRAM}'s folder is still there: {os.listdir(install_dir)}")
    run.check(not os.path.exists(run.path(SHORTCUT)), "the Start-menu entry is still there")
    run.check(run.uninstall_entry() is None, f"{UNINSTALL_KEY} is still there")
    removals = run.netsh_calls()[before_uninstall:]
    for name in names:
        run.check(any(f'advfirewall firewall delete rule name="{name}"' in c for c in removals),
                  f'the uninstall left the firewall rule "{name}"; netsh was called with: '
                  f"{removals}")


def inner(installer, built_exe, recorder, prefix, tmp):
    version, publisher = release()
    files_before = drive_files(prefix) if os.path.isdir(prefix) else None
    keys_before = registry_keys(prefix) if files_before is not None else None
    log = os.path.join(tmp, "netsh.log")
    try:
        with wine_suite.wine_session(prefix, tmp, overrides="netsh.exe=n") as (env, _):
            if files_before is None:  # a prefix of our own, just made
                files_before, keys_before = drive_files(prefix), registry_keys(prefix)
            shutil.copy(recorder, os.path.join(prefix, "drive_c", "windows", "system32",
                                               "netsh.exe"))
            env.update(TAVISOL_NETSH_LOG=wine_suite.windows_path(log), TAVISOL_NETSH_EXIT="1")
            run = Run(env, prefix, log)
            exercise(run, installer, built_exe, version, publisher)
            # The wineserver writes the registry to the prefix's files when it ends.
            subprocess.run(["wineserver", "-k"], env=env)
            subprocess.run(["wineserver", "-w"], env=env)
    except wine_suite.XvfbError as e:
        print(f"installer_test: {e}", file=sys.stderr)
        return 1

    # Nothing left behind: no file of drive C: (the temporary folders aside) and no registry
    # key that the install had added.
    left = drive_files(prefix) - files_before
    run.check(not left, f"the uninstall left files behind: {sorted(left)}")
    keys = registry_keys(prefix) - keys_before
    run.check(not keys, f"the uninstall left registry keys behind: {sorted(keys)}")
    for f in run.failures:
        print("FAIL:", f)
    if run.failures:
        return 1
    print(f"installer_test: {os.path.basename(installer)} installed, ran from its Start-menu "
          "entry and uninstalled silently")
    return 0


# ---- in the root namespace -------------------------------------------------------------------

def main(argv):
    if len(argv) == 7 and argv[1] == "--inner":
        return inner(*argv[2:])
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    win_build, build = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    version, _ = release()
    installer = os.path.join(win_build, f"tavisol-{version}-win64-setup.exe")
    built_exe = os.path.join(win_build, "tavisol.exe")
    recorder = os.path.join(win_build, "tavisol_netsh_recorder.exe")
    sim = os.path.join(build, "sim", "tavisol-sim")
    if os.geteuid() != 0:
        skip("needs root for the lab's network namespaces")
    for tool in ("wine", "wineserver", "Xvfb", "xdotool", "xwininfo"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (make deps-windows)")
    for path, how in ((installer, "make package-windows"), (recorder, "make windows"),
                      (sim, "make build")):
        if not os.path.exists(path):
            skip(f"no {path} ({how})")
    check = subprocess.run([wine_suite.NETLAB, "check"], capture_output=True, text=True)
    if check.returncode != 0:
        skip(f"no network namespaces here: {check.stdout}{check.stderr}".strip())

    lab_tools.SIM = sim
    state = os.path.join(win_build, "wine")
    os.makedirs(state, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tavisol-installer.") as tmp, \
            wine_suite.WineLab(1, prefix="inst") as lab:
        # A copy of the Wine suite's prefix, taken while no run uses it: a fresh one costs a
        # wineboot, and the install must not change the suite's.
        prefix = os.path.join(tmp, "prefix")
        with open(os.path.join(state, "lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            shared = os.path.join(state, "prefix")
            if os.path.exists(os.path.join(shared, ".tavisol-ready")):
                subprocess.run(["cp", "-a", "--reflink=auto", shared, prefix], check=True)
        appliance = lab.sim("n1", "--configured", "--name", CONFIGURED[0], "--hw", CONFIGURED[1],
                            "--verbose")
        result = subprocess.run([wine_suite.NETLAB, "exec", lab.name, "ws", "--", sys.executable,
                                 os.path.abspath(__file__), "--inner", installer, built_exe,
                                 recorder, prefix, tmp])
        appliance.terminate()
        heard = appliance.communicate(timeout=10)[0].decode(errors="replace")
        workstation = lab.addr("ws")
        if not re.search(rf"^probe \d+ bytes from {re.escape(workstation)}:", heard, re.M):
            print("FAIL: the installed program's search did not reach the appliance; it heard:\n"
                  + heard)
            return 1
        return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
