// The workstation's IPv4 interfaces, from one platform call on every back end.
//
// A workstation often has more than one: office LAN and appliance switch, a VLAN, a virtual
// adapter. Where the program's broadcasts go, and which of its subnets an address lies in,
// is the program's own choice, made with this list; the platform only reports what the
// system has.
#pragma once

#include "platform/winapi.h"

#include <string>
#include <vector>

struct NET_INTERFACE {
    std::string strName; // the system's name: "eth1" on Linux, the adapter's name on Windows
    DWORD dwIndex;       // the system's interface index
    DWORD dwAddr;        // an IPv4 address of the interface, network order
    DWORD dwMask;        // its subnet mask, network order
    BOOL bUp;            // up: switched on (Linux), operational (Windows)
    BOOL bBroadcast;     // able to send a broadcast
    BOOL bLoopback;

    // Up, able to broadcast and not loopback: an interface that a limited broadcast of
    // ours may leave by.
    BOOL CarriesBroadcast() const { return bUp && bBroadcast && !bLoopback; }
    // Whether dwAddress (network order) lies in this interface's subnet under dwSubnetMask
    // (network order), or under the interface's own mask when dwSubnetMask is 0.
    BOOL SubnetHolds(DWORD dwAddress, DWORD dwSubnetMask = 0) const {
        DWORD dwUse = dwSubnetMask != 0 ? dwSubnetMask : dwMask;
        return (dwAddr & dwUse) == (dwAddress & dwUse);
    }
};

// One entry for each IPv4 address of each interface, in the system's order (an interface with
// two addresses gives two entries with the same index, its primary address first). Empty when
// the system cannot tell; the reason then goes to WSAGetLastError where the system gives one.
std::vector<NET_INTERFACE> GetNetInterfaces();
