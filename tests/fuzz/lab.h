// Shared by the fuzz targets that drive the program's own handlers: the process moves into
// a private network namespace of its own before any thread starts (so every datagram stays
// on this machine), the program runs on the headless back end, and datagrams reach it
// through real sockets, exactly as an appliance's would.
#pragma once

#include "platform/headless/driver.h"
#include "tests/support/netns.h"
#include "tests/support/udp_peer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace fuzzlab {

using testlab::Bytes;

// A violated invariant: says which, then aborts so that libFuzzer keeps the input.
void Require(bool condition, const char* what);

// Moves the process into its private network, or exits with 77 (skipped) and the reason
// when it cannot have one. Call from LLVMFuzzerInitialize.
void EnterLabOrSkip();

// The driver of the program's user-interface thread, started with uiMain. libFuzzer ends
// the process with exit(): before the program's globals go, its windows are closed (Escape
// until uiMain returns), so no handler runs on torn-down state. A uiMain that runs dialogs
// in a loop ends it once Stopping() is true.
headless::Driver& StartProgram(std::function<int()> uiMain);
bool Stopping();

// Returns once everything that has reached the program's sockets has been handled: local
// datagrams are queued by the time sendto returns, and the loop polls its sockets before it
// goes idle.
void Settle(headless::Driver& driver);

// Sends a datagram from `from` to the workstation's port and waits until it is handled.
void Deliver(headless::Driver& driver, testlab::UdpPeer& from, int port,
             std::span<const std::uint8_t> datagram);

// The program of the targets that feed the search's listeners: its main window with a search
// under way, and appliance N's socket to send from.
struct Searching {
    headless::Driver* driver = nullptr;
    std::unique_ptr<testlab::UdpPeer> appliance;

    // Clicks "Search" and lets its whole search window pass on the virtual clock.
    void NewSearch();
    // The rows listed; when `limit` or more are, a new search first, which must empty the
    // list, so that one long run does not slow down with thousands of rows.
    std::vector<std::vector<std::string>> RowsStartingOverAt(std::size_t limit);
};
Searching& StartSearching(std::function<int()> uiMain, int applianceNumber);

// The largest datagram UDP over IPv4 can carry.
inline constexpr std::size_t kMaxDatagram = 65507;

// The text of a buffer up to its first NUL, at most `limit` bytes.
std::string TextUpToNul(std::span<const std::uint8_t> bytes, std::size_t limit);

// Without trailing blanks, tabs, CR, LF, VT and FF.
std::string TrimmedRight(std::string text);

bool EqualsIgnoringCase(const std::string& a, const std::string& b);

} // namespace fuzzlab
