#!/usr/bin/env python3
"""A compiler and linker launcher that records instead of building.

CMake puts it before every compile and link command (CMAKE_CXX_COMPILER_LAUNCHER,
CMAKE_CXX_LINKER_LAUNCHER). It appends "compile SOURCE" or "link OUTPUT" to the file that
TAVISOL_BUILD_RECORD names and writes empty outputs, so that a build's whole graph runs in
seconds and shows what it would have built. Archiving needs no launcher: ar takes the empty
objects as they are.
"""
import os
import sys


def value_of(args, flag):
    return args[args.index(flag) + 1] if flag in args[:-1] else None


def main(args):
    output = value_of(args, "-o")
    if output is None:  # not a build step (a version query, say): let it run for real
        os.execvp(args[0], args)
    source = value_of(args, "-c")
    if source:
        depfile = value_of(args, "-MF")
        if depfile:
            with open(depfile, "w") as f:
                f.write(f"{output}: {source}\n")
        entry = f"compile {os.path.realpath(source)}"
    else:
        entry = f"link {os.path.realpath(output)}"
    open(output, "wb").close()
    with open(os.environ["TAVISOL_BUILD_RECORD"], "a") as record:
        record.write(entry + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
