// The sockets the kernel keeps from an ordinary user, for a program that holds no capability
// of its own: UDP port 67, raw ICMP and ARP packet sockets come from tavisol-sockets
// (platform/posix/sockets-helper), the one installed file with cap_net_bind_service and
// cap_net_raw, which opens the socket asked for, hands it over and exits.
//
// The helper is looked for relative to the running program (/proc/self/exe), never through
// the environment: at <bin>/../libexec/tavisol/tavisol-sockets as installed under any prefix
// (and for build/cli/tavisol-cli and the tests in the build tree), else at
// <bin>/libexec/tavisol/tavisol-sockets (build/tavisol at the build tree's top). It runs with
// an empty environment and only its end of the socket pair open, as standard input.
//
// Called on the thread that opens sockets; each call runs the helper once and waits for it
// (a few milliseconds; five seconds at the very most, then it is killed).
#pragma once

#include "platform/posix/sockets-helper/request.h"

#include <string>

namespace tvposix {

// An AF_PACKET/SOCK_DGRAM/ETH_P_ARP socket bound to interface `ifname`: opened directly
// when the process may, else through tavisol-sockets. -1 with `why` filled on failure.
int OpenArpPacketSocket(const char* ifname, std::string* why);

// What tavisol-sockets made of one request.
struct HelperOutcome {
    int fd = -1;     // the socket, close-on-exec, checked to be of the kind asked for
    int error = 0;   // else the errno with which the system refused to open it, or 0 when
                     // the helper is missing, not permitted, or refused the request
    std::string why; // else why, in words that name tavisol-sockets
};
HelperOutcome OpenThroughSocketsHelper(const tvhelper::SocketRequest& request);

// The helper's path as found now (the first candidate when neither exists).
std::string SocketsHelperPath();

// For tests: run this file as the helper instead (empty: the one beside the program again).
void SetSocketsHelperPath(const std::string& path);

} // namespace tvposix
