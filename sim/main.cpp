// tavisol-sim: pretends to be one network-storage appliance on a lab LAN, so
// discovery can be tested end to end without hardware. Start one process per
// appliance; each prints "ready" once its sockets are open, then runs until
// SIGTERM/SIGINT/SIGHUP (exit 0) or until --count/--duration is reached.
//
//   --configured    answer "VX2" probes on UDP 1212 with the 46-byte record
//                   (name[40] NUL-terminated, MAC[6]) sent to <prober>:1211
//   --unconfigured  broadcast BOOTP/DHCP DISCOVERs from 0.0.0.0:68 through a
//                   packet socket, as an appliance without an address does,
//                   and take the address it is offered: OFFER -> REQUEST,
//                   then on the ACK (or a plain BOOTP reply) put the address
//                   on the interface, print "configured A/P gw G" and from
//                   then on answer probes and serve /admin/ on TCP 80
//
// Both modes: --name --raw-name-hex --hw --iface --count --duration --verbose.
// --swarm and --exchanges are the load modes of the benchmarks (swarm.cpp).
// --hostile (hostile.cpp) puts arbitrary datagrams and floods on the LAN.
// Misbehaviour knobs exist for each mode so parsers can be tested against
// broken appliances; see --help for the complete list. Exit status: 0 done,
// 1 runtime failure, 2 bad command line.
//
// The jobs live in files of their own: options.cpp (the command line), configured.cpp and
// probe_responder.cpp (the appliance with an address), unconfigured.cpp (the one without),
// http.cpp (its administration page), swarm.cpp and hostile.cpp.
#include "args.hpp"
#include "configured.hpp"
#include "hostile.hpp"
#include "net.hpp"
#include "options.hpp"
#include "swarm.hpp"
#include "unconfigured.hpp"

#include <cstdio>
#include <exception>

namespace {

using namespace sim;

int run(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    const auto iface = find_interface(o.iface);
    if (o.mode == Mode::Unconfigured && !iface)
        throw SysError("no interface '" + o.iface + "' (see --iface)");

    Identity id;
    id.hw = o.hw ? *o.hw : iface ? iface->mac : Mac{0x02, 0, 0, 0, 0, 0x01};
    if (o.name) {
        id.name = *o.name;
    } else {
        char buf[16];
        std::snprintf(buf, sizeof buf, "SIM-%02X%02X%02X", id.hw[3], id.hw[4], id.hw[5]);
        id.name = to_bytes(buf);
    }
    if (o.no_nul) {
        for (auto b : id.hw)
            if (!b)
                throw UsageError("--no-nul: hardware address " + mac_text(id.hw) +
                                 " contains a 00 byte; pick another --hw");
        for (auto b : id.name)
            if (!b)
                throw UsageError("--no-nul: the name contains a 00 byte");
        if (id.name.empty())
            throw UsageError("--no-nul: needs a non-empty name");
    }
    return o.mode == Mode::Configured ? run_configured(o, id) : run_unconfigured(o, id, *iface);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && sim::is_load_mode(argv[1]))
        return sim::run_load_mode(argc, argv);
    if (sim::is_hostile_command(argc, argv))
        return sim::run_hostile(argc, argv);
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProg, e.what(), kProg);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProg, e.what());
        return 1;
    }
}
