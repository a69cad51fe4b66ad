#!/usr/bin/env python3
"""The Windows program as shipped: build-win/tavisol.exe (make windows).

    tavisol_exe_test.py PATH/TO/tavisol.exe

It must be a stripped 64-bit GUI executable that imports nothing but Windows' own DLLs
(a stray libstdc++-6.dll would make it fail on a clean machine; IP Helper is one of
Windows' own), and its
resources must have survived the way from res/templates.cpp through rcgen and windres:
string 101 as UTF-16 Chinese, not as bytes of some code page, and the manifest that asks
for common controls 6. Exit 77 (skipped) when the exe or the MinGW tools are missing.
"""
import os
import re
import shutil
import subprocess
import sys

SKIP = 77
PREFIX = "x86_64-w64-mingw32-"
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll",
               "ws2_32.dll", "wsock32.dll", "iphlpapi.dll", "msvcrt.dll",
               "ucrtbase.dll"}


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def run(*cmd):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True).stdout


def main():
    exe = sys.argv[1]
    if not os.path.isfile(exe):
        skip(f"{exe} not built (make windows)")
    for tool in ("objdump", "windres"):
        if not shutil.which(PREFIX + tool):
            skip(f"{PREFIX}{tool} not installed (scripts/deps.sh windows)")
    if not shutil.which("file"):
        skip("file not installed")
    failures = []

    kind = run("file", "-b", exe)
    if not kind.startswith("PE32+ executable (GUI) x86-64"):
        failures.append(f"not a 64-bit GUI executable: {kind.strip()}")

    headers = run(PREFIX + "objdump", "-p", exe)
    dlls = [d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)]
    foreign = [d for d in dlls
               if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-crt-")]
    if foreign:
        failures.append(f"imports non-system DLLs: {foreign}")
    for needed in ("kernel32.dll", "user32.dll", "comctl32.dll", "ws2_32.dll"):
        if needed not in dlls:
            failures.append(f"does not import {needed}; imports read: {dlls}")
    if "no symbols" not in run(PREFIX + "objdump", "-t", exe):
        failures.append("not stripped: the symbol table is still there")

    # windres reads the resources back as a script; a text it cannot show in ASCII comes
    # out as L"..." with UTF-16 code units.
    try:
        script = run(PREFIX + "windres", "-i", exe, "-O", "rc")
    except subprocess.CalledProcessError as e:
        script = ""
        failures.append(f"resources unreadable: {e.stdout.strip()}")
    if not re.search(r'101, L"\\x95dc\\x65bc Tavisol\(&A\)\.\.\."', script):
        failures.append("string 101 is not the UTF-16 text of its UTF-8 source")
    for dialog in ("100 DIALOGEX 0, 0, 266, 155", "102 DIALOGEX 0, 0, 252, 159",
                   "138 DIALOGEX 0, 0, 181, 123"):
        if dialog not in script:
            failures.append(f"missing dialog: {dialog}")
    if "Microsoft.Windows.Common-Controls" not in script:
        failures.append("no manifest asking for common controls 6")
    groups = set(re.findall(r"^(\d+) 14 /\* RT_GROUP_ICON \*/", script, re.M))
    if groups != {"128", "130", "131", "132", "133", "134", "135", "136"}:
        failures.append(f"icon groups are {sorted(groups)}")

    for f in failures:
        print("FAIL:", f)
    if failures:
        return 1
    print(f"ok: {os.path.basename(exe)} imports {', '.join(dlls)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
