// `tavisol-cli search`: one search window and the list it leaves, as a table, JSON or CSV;
// or, with --watch, each row as it is listed, one JSON object a line, until interrupted.
#pragma once

#include "cli/options.h"

namespace cli {

// The exit status: 0 when the program ran (an empty list included), 1 when it could not.
int RunSearch(const SearchOptions& options);

} // namespace cli
