#!/usr/bin/env python3
"""tavisol-cli's command line without a LAN: help, version, bad usage, and the bash
completion against the options the program has.

    python3 tests/cli_usage_test.py BUILD_DIR

Every case should end while the command line is read, before any socket is opened. Should a
fault let a command run, it must not reach a real interface: each run is in a network
namespace of its own with nothing but a loopback device that is down (unshare). Exit 0 on
success, 1 on failure, 77 (a skip) where no network namespace can be made.
"""

import os
import re
import subprocess
import sys

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
COMPLETION = os.path.join(SOURCE, "packaging", "bash-completion", "tavisol-cli")

COMMANDS = {
    "search": ["--seconds", "--json", "--csv", "--watch", "--timing"],
    "assign": ["--ip", "--mask", "--gateway", "--yes", "--wait", "--confirm", "--plan", "--all",
               "--range", "--dry-run", "--json"],
    "open": ["--wait"],
}

# Bad usage, and a piece of the one line that must say why.
BAD_USAGE = [
    ([], "no command"),
    (["find"], "unknown command 'find'"),
    (["--frobnicate"], "--frobnicate"),
    (["search", "--frobnicate"], "--frobnicate"),
    (["search", "extra"], "extra"),
    (["search", "--seconds"], "--seconds"),
    (["search", "--seconds", "x"], "'x'"),
    (["search", "--seconds", "-1"], "'-1'"),
    (["search", "--seconds", "nan"], "'nan'"),
    (["search", "--seconds", "86401"], "'86401'"),
    (["search", "--csv", "--json"], "excludes"),
    (["search", "--watch", "--csv"], "excludes"),
    (["search", "--watch", "--json"], "excludes"),
    (["assign"], "HOST"),
    (["assign", "BOX"], "--ip"),
    (["assign", "BOX", "--ip"], "--ip"),
    (["assign", "--ip", "10.199.0.40"], "HOST"),
    (["assign", "BOX", "OTHER", "--ip", "10.199.0.40"], "OTHER"),
    (["assign", "BOX", "--ip", "10.199.0.40", "--confirm", "3601"], "'3601'"),
    (["assign", "BOX", "--ip", "10.199.0.40", "--confirm", ""], "--confirm"),
    (["assign", "BOX", "--ip", "10.199.0.40", "--wait", "soon"], "'soon'"),
    (["assign", "--range", "10.199.0.40-10.199.0.45"], "--range needs --all"),
    (["assign", "--all"], "--all needs --range"),
    (["assign", "--plan", "plan.csv", "--all", "--range", "10.199.0.40-10.199.0.45"],
     "exclude each other"),
    (["assign", "BOX", "--plan", "plan.csv"], "takes no HOST"),
    (["assign", "--dry-run"], "apply to --plan or --all"),
    (["open"], "HOST-OR-ADDRESS"),
    (["open", "BOX", "OTHER"], "OTHER"),
    (["open", "BOX", "--wait", "inf"], "'inf'"),
]


def version():
    with open(os.path.join(SOURCE, "res", "version.h")) as f:
        parts = dict(re.findall(r"#define TAVISOL_VERSION_([A-Z]+) (\d+)", f.read()))
    return ".".join(parts[p] for p in ("MAJOR", "MINOR", "PATCH", "TWEAK"))


def completions(*words):
    """What the bash completion offers after `tavisol-cli WORDS... <TAB>` (the last word is
    the one being completed). bash-completion's own helpers are stood in for."""
    script = (f"_init_completion() {{ cur=${{COMP_WORDS[COMP_CWORD]}}; "
              f"prev=${{COMP_WORDS[COMP_CWORD-1]}}; words=(\"${{COMP_WORDS[@]}}\"); "
              f"cword=$COMP_CWORD; }}\n_filedir() {{ COMPREPLY=(FILES); }}\n"
              f"source {COMPLETION}\n"
              "COMP_WORDS=(tavisol-cli \"$@\"); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))\n"
              "_tavisol_cli; printf '%s\\n' \"${COMPREPLY[@]}\"\n")
    result = subprocess.run(["bash", "-c", script, "complete", *words], capture_output=True,
                            text=True, check=True)
    return set(result.stdout.split())


def isolation():
    """The command that runs a program in an empty network namespace, or None."""
    for prefix in (["unshare", "--net", "--"], ["unshare", "--map-root-user", "--net", "--"]):
        try:
            if subprocess.run([*prefix, "true"], capture_output=True).returncode == 0:
                return prefix
        except FileNotFoundError:
            return None
    return None


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} BUILD_DIR", file=sys.stderr)
        return 2
    cli = os.path.join(os.path.abspath(sys.argv[1]), "cli", "tavisol-cli")
    prefix = isolation()
    if prefix is None:
        print("SKIPPED: no network namespace can be made here (unshare --net)")
        return 77
    failures = []

    def run(*args):
        try:
            return subprocess.run([*prefix, cli, *args], capture_output=True, text=True,
                                  timeout=10)
        except subprocess.TimeoutExpired as e:  # the command ran instead of refusing
            return subprocess.CompletedProcess(e.cmd, None, e.stdout or "", e.stderr or "")

    def expect(ok, message):
        if not ok:
            failures.append(message)

    for args in (["--help"], ["-h"]):
        r = run(*args)
        expect(r.returncode == 0 and r.stderr == "" and
               "Usage: tavisol-cli" in r.stdout and
               all(command in r.stdout for command in COMMANDS),
               f"{args}: {r.returncode} {r.stdout!r} {r.stderr!r}")
    for command, options in COMMANDS.items():
        r = run(command, "--help")
        listed = set(re.findall(r"^\s+(--[a-z-]+)", r.stdout, re.M)) - {"--help"}
        expect(r.returncode == 0 and r.stderr == "" and
               f"Usage: tavisol-cli {command}" in r.stdout and listed == set(options),
               f"{command} --help: {r.returncode} options {sorted(listed)} {r.stderr!r}")
        # Every option the program has is completed, after the command and after a value.
        offered = completions(command, "--")
        expect(set(options) <= offered, f"completion of {command} lacks "
                                        f"{sorted(set(options) - offered)}")
        expect(completions(command, "--wait", "5", "--") == offered,
               f"completion of {command} after a value differs")
    assign = run("assign", "--help").stdout
    expect(all(f"{code} " in assign.split("Exit status:")[-1] for code in "0123"),
           f"assign --help does not give the exit codes: {assign!r}")
    expect(completions("") == {"search", "assign", "open", "--help", "--version"} and
           completions("se") == {"search"} and completions("search", "--seconds", "") == set(),
           "completion of the commands")

    r = run("--version")
    expect(r.returncode == 0 and r.stdout == f"tavisol-cli {version()}\n" and r.stderr == "",
           f"--version: {r.returncode} {r.stdout!r} {r.stderr!r}")

    for args, reason in BAD_USAGE:
        r = run(*args)
        lines = r.stderr.splitlines()
        expect(r.returncode == 2 and r.stdout == "" and len(lines) == 1 and
               lines[0].startswith("tavisol-cli: ") and reason in lines[0],
               f"{args}: exit {r.returncode}, stdout {r.stdout!r}, stderr {r.stderr!r}")

    for failure in failures:
        print(f"FAILED: {failure}")
    print(f"{'0 passed, 1 failed' if failures else '1 passed, 0 failed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
