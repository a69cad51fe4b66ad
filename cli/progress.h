// Progress of a command on a terminal: one line on stderr, rewritten in place with "\r" as
// things move on (the time left of the search window and the rows so far, the step of an
// assignment), and removed when the command ends. When stderr is not a terminal nothing at
// all is written, so logs and scripts see only the command's own lines.
//
// The line is shared by the command's thread and the program's user-interface thread: whoever
// writes another line to stderr calls Clear first, so that it does not land in the middle of
// the progress line (the next Show puts the progress back below it).
#pragma once

#include <string>

namespace cli::progress {

// Whether progress is shown: stderr was a terminal when first asked.
bool Enabled();

// Replaces the progress line with `text` ("tavisol-cli: " in front); nothing when disabled.
void Show(const std::string& text);

// Removes the progress line, if one is shown.
void Clear();

} // namespace cli::progress
