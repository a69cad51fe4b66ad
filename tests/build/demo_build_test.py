#!/usr/bin/env python3
"""`make demo` from a clean tree builds what the demo runs and no test.

    demo_build_test.py SOURCE_DIR

Runs the Makefile's demo-build step into a fresh build folder with record_build.py before
every compile and link, so that the whole graph runs in seconds and says what it built:
without a display exactly tavisol-cli and tavisol-sim are linked, and with one (when the Qt
desktop program is configured) tavisol as well; no source under tests/ is compiled.
"""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDER = os.path.join(HERE, "record_build.py")


def demo_build(source, build, record, display):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    env.update(TAVISOL_BUILD_RECORD=record)
    # A compiler cache from the caller's environment would stand in front of the recorder.
    for var in ("CMAKE_CXX_COMPILER_LAUNCHER", "CMAKE_C_COMPILER_LAUNCHER"):
        env.pop(var, None)
    if display:
        env["DISPLAY"] = ":99"  # only looked at, never connected to
    # The test programs' lists are read when the tests run rather than after each link: an
    # empty test program that got built must show up in the record, not fail the build.
    flags = (f"-DCMAKE_CXX_COMPILER_LAUNCHER={RECORDER} "
             f"-DCMAKE_CXX_LINKER_LAUNCHER={RECORDER} "
             "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST")
    result = subprocess.run(["make", "-C", source, "demo-build", f"BUILD_DIR={build}",
                             f"CMAKE_FLAGS={flags}"],
                            env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError(f"make demo-build failed:\n{result.stdout}\n{result.stderr}")
    if not os.path.exists(record):  # nothing was built
        return set(), []
    with open(record) as f:
        entries = [line.split(" ", 1) for line in f.read().splitlines()]
    os.remove(record)
    return ({os.path.basename(path) for kind, path in entries if kind == "link"},
            [path for kind, path in entries if kind == "compile"])


def check(where, built, want, tests, failures):
    linked, compiled = built
    if linked != want:
        failures.append(f"{where}: linked {sorted(linked)}, not {sorted(want)}")
    test_code = [c for c in compiled if c.startswith(tests)]
    if test_code:
        failures.append(f"{where}: compiled test code: {test_code}")


def main(argv):
    source = os.path.abspath(argv[1])
    tests = os.path.join(source, "tests") + os.sep
    failures = []
    with tempfile.TemporaryDirectory(prefix="tavisol-demo-build.") as tmp:
        build, record = os.path.join(tmp, "build"), os.path.join(tmp, "record")
        check("without a display", demo_build(source, build, record, display=False),
              {"tavisol-cli", "tavisol-sim"}, tests, failures)
        if "TAVISOL_QT:BOOL=ON" in open(os.path.join(build, "CMakeCache.txt")).read():
            # The same folder once more: only what the display adds is built now.
            check("with a display", demo_build(source, build, record, display=True),
                  {"tavisol"}, tests, failures)
        else:
            print("no Qt 6 here: the demo with a display is not looked at")
    for f in failures:
        print("FAIL:", f)
    if failures:
        return 1
    print("demo-build: tavisol-cli and tavisol-sim, and tavisol with a display; no test")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
