// The appliance that has an address (--configured): it answers the discovery probe until
// it is stopped, or --count probes or --duration have passed.
#pragma once

#include "loop.hpp"
#include "options.hpp"

namespace sim {

int run_configured(const Options& o, const Identity& id);

} // namespace sim
