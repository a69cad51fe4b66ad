// The appliance without an address (--unconfigured): it broadcasts DHCPDISCOVERs from
// 0.0.0.0:68 with the family's marker through a packet socket, takes the address it is
// offered (OFFER -> REQUEST, then the ACK or a plain BOOTP reply), puts it on its interface
// and from then on answers probes and serves /admin/ on TCP 80.
#pragma once

#include "loop.hpp"
#include "net.hpp"
#include "options.hpp"

namespace sim {

int run_unconfigured(const Options& o, const Identity& id, const Interface& iface);

} // namespace sim
