// The fixture of the assign dialog, responder and list-action tests: an appliance without an
// address listed from its own request, its row double-clicked, the dialog driven as a user
// drives it; the appliance's side played by plain sockets (requests to the workstation's
// port 67 from appliance 9, the broadcast replies caught on port 68).
//
// Replies are read at the offsets of RFC 951 written out here, never through proto/: the
// program writes them with proto/, and a wrong offset there must not be read back by the
// same wrong offset.
#pragma once

#include "assign/AddressAssignDlg.h"
#include "tests/support/discovery_session.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testlab {

// The appliance the tests give an address to: the host name of its requests, and the text of
// the hardware address that BootpRequest puts into chaddr unless told otherwise.
inline constexpr const char* kNimbus = "Nimbus";
inline constexpr const char* kNimbusHw = "00-0A-1B-FF-20-3C";

// Addresses on the private LAN that nothing ever answers, not even with the host-unreachable
// that the kernel sends a few seconds after a failed neighbour lookup (which a later probe
// would take for an answer): the dialog's echo probe finds them free.
inline constexpr const char* kFreeAddress = "10.200.0.50";
inline constexpr const char* kOtherFreeAddress = "10.200.0.5";
// Answered by the kernel: it is one of the workstation's own addresses.
inline constexpr const char* kTakenAddress = "10.200.0.11";

// The four bytes of a dotted address, by the C library (never by the program's parser).
std::array<std::uint8_t, 4> Ipv4(const std::string& dotted);

// BOOTP/DHCP reply fields (RFC 951, RFC 2131), at their offsets.
namespace reply {
inline constexpr std::size_t kSize = 300;
// op, htype, hlen, hops, xid, secs, flags, ciaddr, yiaddr, siaddr, giaddr; then chaddr, sname,
// file and the cookie up to the options.
inline constexpr std::size_t kOp = 0, kHtype = 1, kXid = 4, kSecs = 8, kFlags = 10, kYiaddr = 16,
                             kSiaddr = 20, kGiaddr = 24, kOptions = 240;
// The bytes [offset, offset + n).
Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t n);
std::array<std::uint8_t, 4> Quad(const Bytes& bytes, std::size_t offset);
// The value of option 53 in the options area, or nothing.
std::optional<std::uint8_t> MessageType(const Bytes& bytes);
// The value of the first option with this code in the options area, or nothing.
std::optional<Bytes> OptionValue(const Bytes& bytes, std::uint8_t code);
} // namespace reply

// Permanent neighbour entries on the device for these addresses: packets to them leave (and
// are dropped by the veth whose peer is down) instead of failing a neighbour lookup, so no
// host-unreachable ever comes back for the echo probe to take as an answer.
void SilenceAddresses(const std::string& device, const std::vector<std::string>& addresses);

class AssignSession : public DiscoverySession {
protected:
    void BeforeStart() override;

    // Search; the appliance's request listed as a "No IP" row; one tick of the search's
    // sweep (the status icon away from its resting picture); that row double-clicked: the
    // assign dialog is open.
    ::testing::AssertionResult OpenAssignDialog(const std::string& hostName = kNimbus);
    // Selects the row that shows this host name and double-clicks the list.
    ::testing::AssertionResult DoubleClickHost(const std::string& hostName);
    // Types the three fields and presses "Assign IP"; the echo probe runs inside.
    void Assign(const std::string& ip, const std::string& mask = "",
                const std::string& gateway = "");
    // Assign, accepted: "Assign IP" disabled, the responder armed. A subnet warning, if one
    // comes, gets its default answer, OK.
    ::testing::AssertionResult Arm(const std::string& ip, const std::string& mask = "",
                                   const std::string& gateway = "");
    // A request to the responder from the appliance; returns once the responder has read it.
    ::testing::AssertionResult SendToResponder(const Bytes& request);
    // The same request broadcast from one of the namespace's own addresses, as an appliance
    // behind that address's interface broadcasts it: it comes in by that interface.
    ::testing::AssertionResult BroadcastToResponder(const std::string& fromAddress,
                                                    const Bytes& request);
    // The next reply broadcast to port 68, with the port it came from; and, when asked, the
    // address it came from and the index of the interface it left by.
    std::optional<Bytes> NextReply(int* fromPort = nullptr, int timeoutMs = 3000,
                                   std::string* fromAddress = nullptr, unsigned* leftBy = nullptr);
    // The main window's rows, whichever dialog is on top.
    std::vector<std::vector<std::string>> MainRows();
    std::vector<headless::BoxRecord> Boxes() { return driver->Snapshot().boxes; }
    // How the last run of the dialog ended, -1 while none has ended.
    INT_PTR LastResult(int templateId);
    // The assign dialog's window; user-interface thread only.
    static HWND AssignDialogNow();

private:
    ::testing::AssertionResult AwaitResponderRead(const Bytes& request,
                                                  const std::function<bool()>& send);

    std::unique_ptr<UdpPeer> m_port68;
};

// The assign dialog run on its own, as the double-click runs it, for names and hardware-
// address texts that no listed row can carry (the list keeps names of at most 19 characters,
// and the listing writes hardware addresses in upper case).
class LoneAssignDialog : public AssignSession {
protected:
    void SetUp() override;
    ::testing::AssertionResult RunAlone(const std::string& deviceName, const std::string& hwText);
};

} // namespace testlab
