// A private network for a test process: its own network namespace with loopback and one
// interface (a veth whose peer stays down) that holds the workstation's address, a few appliance
// addresses and the default route, so that broadcasts have somewhere to go and nothing leaves the
// machine.
#pragma once

#include <string>
#include <vector>

namespace testlab {

constexpr const char* kWorkstation = "10.200.0.1";
// Appliance addresses on the same interface: 10.200.0.11 to 10.200.0.19.
std::string ApplianceAddress(int n);

// Moves the calling process into a fresh network namespace (before any thread starts).
// Returns an empty string on success, else why it could not (for a visible skip).
std::string EnterPrivateNetwork();

// The reason given by EnterPrivateNetwork, empty when the namespace is in place.
const std::string& PrivateNetworkProblem();

// Another interface of the private network, as a second card or a VLAN would be: a veth whose
// peer stays down, with these addresses ("A.B.C.D/P", the first its primary), switched on or
// not. False when it could not be made. RemoveInterface takes it away again (the namespace
// does at the process's end).
bool AddInterface(const std::string& name, const std::vector<std::string>& addresses,
                  bool up = true);
void RemoveInterface(const std::string& name);

} // namespace testlab
