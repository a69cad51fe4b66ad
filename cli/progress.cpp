// The progress line on a terminal's stderr.
#include "cli/progress.h"

#include "cli/output.h"

#include <mutex>
#include <string>
#include <unistd.h>

namespace cli::progress {

namespace {

struct Line {
    std::mutex mutex;
    int fd = STDERR_FILENO;
    int enabled = -1; // -1: not decided yet
    bool shown = false;
    std::string text; // what the line shows now
};

Line& State() {
    static Line line;
    return line;
}

bool EnabledLocked(Line& line) {
    if (line.enabled < 0)
        line.enabled = ::isatty(line.fd) ? 1 : 0;
    return line.enabled == 1;
}

// "\r" to the start, the text, and ESC [K to erase what a longer earlier line left.
const char kEraseLine[] = "\r\x1b[K";

} // namespace

bool Enabled() {
    Line& line = State();
    std::lock_guard<std::mutex> lock(line.mutex);
    return EnabledLocked(line);
}

void Show(const std::string& text) {
    Line& line = State();
    std::lock_guard<std::mutex> lock(line.mutex);
    // Rewritten only when it says something new: a terminal over a slow link has no use for
    // the same line four times a second.
    if (!EnabledLocked(line) || (line.shown && line.text == text))
        return;
    WriteAll(line.fd, kEraseLine + ("tavisol-cli: " + text));
    line.shown = true;
    line.text = text;
}

void Clear() {
    Line& line = State();
    std::lock_guard<std::mutex> lock(line.mutex);
    if (line.shown)
        WriteAll(line.fd, kEraseLine);
    line.shown = false;
}

} // namespace cli::progress
