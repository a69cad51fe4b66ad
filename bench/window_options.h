// The command line of the window benches' drivers (tavisol-bench-qt on Linux,
// tavisol_win32_bench.exe under Wine), which bench/windows.py runs alike:
//   --expect N --prefix P [--idle-ms MS] [--timeout-ms MS]
#pragma once

#include <cstdlib>
#include <string>

namespace windowbench {

struct Options {
    long expect = 0;    // rows of the burst
    std::string prefix; // what their host names start with
    long idleMs = 3000; // nothing new listed or shown for this long: the burst is done
    long timeoutMs = 60000;
};

// False, with the usage to print, when the words are off.
inline bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        long value = std::strtol(argv[i + 1], nullptr, 10);
        if (opt == "--expect")
            o.expect = value;
        else if (opt == "--prefix")
            o.prefix = argv[i + 1];
        else if (opt == "--idle-ms")
            o.idleMs = value;
        else if (opt == "--timeout-ms")
            o.timeoutMs = value;
        else
            return false;
    }
    return argc % 2 == 1 && o.expect > 0 && !o.prefix.empty() && o.idleMs > 0 && o.timeoutMs > 0;
}

inline const char kUsage[] = "--expect N --prefix P [--idle-ms MS] [--timeout-ms MS]";

} // namespace windowbench
