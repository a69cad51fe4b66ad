// Confirmation of an assignment: after the DHCPACK, tavisol-cli probes the appliance's segment
// until the appliance answers the discovery probe from its new address under its host name.
// The acknowledgement only says that the appliance was told; an appliance takes seconds to
// bring the address up, and one that fails to never does.
//
// It runs after the program's windows have closed, with a probe socket of its own on the
// reply port: the main window's reply listener holds that port for the whole window session,
// and the windows behave exactly as without confirmation.
#pragma once

#include "platform/netif.h"
#include "platform/winapi.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct ConfirmTarget {
    DWORD dwAddress = 0;   // the assigned address, network order
    std::string host;      // the host name as the list showed it
    DWORD dwInterface = 0; // the interface the acknowledgement left by, 0 when not known
    DWORD dwMask = 0;      // the typed mask, network order; 0 when none was typed
};

// Whether a datagram on the reply port is the appliance's answer: from the assigned address,
// carrying the host name (NUL-terminated within its first 40 bytes) in any letter case, blanks
// at the end aside. The list keeps 19 characters of a "No IP" appliance's name, so a listed
// name of that length also matches a longer answered one that begins with it.
bool IsAppliancesAnswer(const char* pData, int nLength, DWORD dwFrom, const ConfirmTarget& target);

// The interfaces the confirmation probes by, from the workstation's list: the one the
// acknowledgement left by; else those whose subnet holds the address (under the typed mask
// where one was typed); else every interface that can carry a broadcast, as a search does.
// Each interface once, by its primary address. Empty: no interface to name, the system picks.
std::vector<NET_INTERFACE> FacingInterfaces(const std::vector<NET_INTERFACE>& interfaces,
                                            const ConfirmTarget& target);

// "--confirm S": whole or decimal seconds, 0 (no confirmation) up to an hour.
std::optional<double> ParseConfirmSeconds(const char* pszText);

enum class ConfirmOutcome {
    Confirmed,    // the appliance answered from its address under its name
    TimedOut,     // it did not within the limit
    CannotListen, // the reply port could not be opened (held by another program, say)
};

// Probes every half second until the answer comes or `seconds` have passed since `started`
// (the moment of the acknowledgement). Socket failures go to stderr, each kind once.
ConfirmOutcome ConfirmAssignment(const ConfirmTarget& target, double seconds,
                                 std::chrono::steady_clock::time_point started);

// The target of an assignment as the command line has it: the row's address and host name,
// the interface of the acknowledgement and the typed mask text ("" for none).
ConfirmTarget TargetOf(const std::string& strAddress, const std::string& strHost, DWORD dwInterface,
                       const std::string& strMask);

// ConfirmAssignment, and a line on stderr that says how it ended: true when confirmed.
bool ConfirmAndSay(const ConfirmTarget& target, double seconds,
                   std::chrono::steady_clock::time_point started);

} // namespace cli
