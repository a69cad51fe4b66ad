// tavisol-sockets' own capabilities, through the capget/capset and prctl system calls.
//
// The installed file carries cap_net_bind_service and cap_net_raw, effective from the start.
// main() lowers them at once, raises the one a socket needs only around the socket and bind
// calls, and drops everything for good before it says a word to the caller.
#pragma once

#include <initializer_list>
#include <string>

namespace tvhelper {

// Whether the permitted set holds the capability (CAP_NET_RAW, ...).
bool Permitted(int capability);

// Makes the effective set exactly the given capabilities that are permitted (none: lowers
// them all). False when the system refuses.
bool SetEffective(std::initializer_list<int> capabilities);

// Empties the effective, permitted and inheritable sets (the ambient set follows), sets
// no_new_privs so that nothing executed later can gain any, and checks both took hold.
// False with the reason when they did not.
bool DropAllCapabilities(std::string* why);

} // namespace tvhelper
