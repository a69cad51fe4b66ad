// What the assign dialog's in-use check needs beyond its ICMP echo socket: an ARP probe on a
// named interface, and an echo for users that may not open a raw socket.
//
// A host whose firewall drops echo requests still answers ARP for its address, so the probe
// finds it where the echo cannot. Which interfaces to probe is the dialog's choice; each
// back end sends by the means an ordinary user may call:
//  - Linux: a packet socket (opened directly with cap_net_raw, else by tavisol-sockets);
//    without either, the kernel's own neighbour resolution, read back by rtnetlink.
//  - Windows: SendARP of IP Helper, which resolves through the system's ARP cache.
//
// Everything runs on the dialog's thread. Send returns at once; Answered waits only for what
// is left of the window counted from the first Send, so the probe runs while the echo's
// receive waits, and the whole check takes the echo's time-out and no longer.
#pragma once

#include "platform/netif.h"
#include "platform/winapi.h"

#include <memory>

class CArpProbe {
public:
    CArpProbe();
    ~CArpProbe();
    CArpProbe(const CArpProbe&) = delete;
    CArpProbe& operator=(const CArpProbe&) = delete;

    // Asks on interface `iface` whether another machine holds dwAddress (network order).
    // FALSE when nothing could be sent there: WSAGetLastError says why, and on Linux the
    // failure goes to the socket failure observer (platform/posix_sockets.h) as call
    // "ARP probe" with the interface's address.
    BOOL Send(const NET_INTERFACE& iface, DWORD dwAddress);
    // Waits until dwWindowMs have passed since the first Send after the last Close (by the
    // system's own clock, which a virtual user-interface clock does not stop), for an answer
    // to the probes sent, and returns as soon as one shows the address taken: TRUE then.
    // FALSE when nothing answered in time, or nothing was sent (on Linux also a failure "ARP
    // probe" without an address for the observer then).
    BOOL Answered(DWORD dwWindowMs);
    // Forgets the probes sent; their late answers are ignored.
    void Close();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// One echo request to dwAddress by the system's own ICMP service (Windows' IcmpSendEcho),
// for a user who may not open a raw ICMP socket. 1 when an echo reply came within
// dwTimeoutMs, 0 when none did, SOCKET_ERROR when the service is not there (WSAGetLastError
// says why). Where the socket layer already stands in for the raw socket (Linux), the
// service is not there.
int EchoWithoutRawSocket(DWORD dwAddress, DWORD dwTimeoutMs);
