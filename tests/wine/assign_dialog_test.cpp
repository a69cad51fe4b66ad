// The assign dialog on the real windows and the real socket layer: opened by a double-click
// on a "No IP" row, modal over the main window; its refusals in the system's boxes; the ways
// it is cancelled; the time limit, during which the responder's offer is read off the wire;
// and the assignment that the simulated appliance takes, its acknowledgement read as well.
#include "tests/wine/wine_session.h"

#include <cstdio>
#include <fstream>

namespace winetest {
namespace {

constexpr const char* kGhost = "GHOST-BOX"; // a "No IP" row whose appliance is the test
const Bytes kGhostHw{0x02, 0x00, 0x00, 0x00, 0x0A, 0x01};
const Bytes kOtherHw{0x02, 0x00, 0x00, 0x00, 0x0A, 0x09};

// Offsets of a BOOTP message (RFC 951) and of the options after the cookie (RFC 2131).
constexpr std::size_t kOp = 0, kHtype = 1, kXid = 4, kSecs = 8, kFlags = 10, kYiaddr = 16,
                      kSiaddr = 20, kGiaddr = 24, kChaddr = 28, kOptions = 240, kReplySize = 300;

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t n) {
    if (offset + n > bytes.size())
        return {};
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

Bytes Quad(const std::string& dotted) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    return Bytes{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                 static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)};
}

std::vector<std::string> Split(const std::string& dotted) {
    std::vector<std::string> parts(1);
    for (char c : dotted) {
        if (c == '.')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Reply bytes 240..299: mask, router, the DHCP type, the server identifier and the three
// times, End, zeros.
Bytes ReplyOptions(const std::string& mask, const std::string& router, std::uint8_t type,
                   const std::string& server) {
    Bytes out = Concat({{1, 4},
                        Quad(mask),
                        {3, 4},
                        Quad(router),
                        {53, 1, type},
                        {54, 4},
                        Quad(server),
                        {51, 4, 0x00, 0x27, 0x8D, 0x00},
                        {58, 4, 0x00, 0x13, 0xC6, 0x80},
                        {59, 4, 0x00, 0x22, 0x9B, 0x60},
                        {255}});
    out.resize(kReplySize - kOptions, 0);
    return out;
}

// The fixed part of a reply against the request it answers.
void ExpectFixedPart(const Bytes& reply, const Bytes& request, const std::string& yiaddr) {
    ASSERT_EQ(reply.size(), kReplySize);
    EXPECT_EQ(reply[kOp], 2);
    EXPECT_EQ(Slice(reply, kHtype, 7), Slice(request, kHtype, 7)); // htype, hlen, hops, xid
    EXPECT_EQ(Slice(reply, kSecs, 2), (Bytes{0, 0}));
    EXPECT_EQ(Slice(reply, kFlags, 6), Slice(request, kFlags, 6)); // flags, ciaddr
    EXPECT_EQ(Slice(reply, kYiaddr, 4), Quad(yiaddr));
    EXPECT_EQ(Slice(reply, kSiaddr, 4), Quad(TheLab().workstation));
    // giaddr, chaddr, sname, file and the cookie.
    EXPECT_EQ(Slice(reply, kGiaddr, kOptions - kGiaddr),
              Slice(request, kGiaddr, kOptions - kGiaddr));
}

class AssignDialog : public ProgramSuite {
protected:
    // Double-clicks the row of this host name; the dialog, or null.
    static HWND OpenFor(const std::string& name) {
        int row = FindRow(MainRows(), {"No IP", name});
        if (row < 0 || !win32::Driver::DoubleClickRow(Main(), IDC_DEVICE_LIST, row))
            return nullptr;
        return Driver().WaitForWindow(Wide(name) + L"[Setting]");
    }

    // Types the three fields and presses "Assign IP".
    static void Assign(HWND dialog, const std::string& ip, const std::string& mask,
                       const std::string& gateway) {
        ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_IP_ADDRESS, ip));
        ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_SUBNET_MASK, mask));
        ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_GATEWAY, gateway));
        ASSERT_TRUE(win32::Driver::Click(dialog, IDOK));
    }

    // The dialog has ended and left the main window as a search leaves it.
    static void ExpectBackInTheMainWindow(HWND dialog) {
        EXPECT_TRUE(win32::Driver::WaitUntil([&] { return !::IsWindow(dialog); }))
            << OtherWindows();
        EXPECT_TRUE(win32::Driver::WaitUntil([] { return ::IsWindowEnabled(Main()) != FALSE; }));
        EXPECT_TRUE(win32::Driver::IsEnabled(Main(), IDC_SEARCH));
    }

    // Gives the segment's simulated appliance its address through the dialog and reads the
    // acknowledgement off the wire: from the workstation's address on that segment, which is also
    // the server identifier and siaddr. No box comes on the way: the address lies in that
    // segment's subnet.
    static void AssignEndToEnd(const Segment& segment, const wchar_t* shot) {
        Peer client("0.0.0.0", 68, true); // hears the exchange beside the appliance
        ASSERT_TRUE(client.ok());
        HWND dialog = OpenFor(segment.unconfiguredName);
        ASSERT_NE(dialog, nullptr) << RowsText(MainRows()) << OtherWindows();
        EXPECT_EQ(win32::Driver::Text(dialog, IDC_HARDWARE_ADDRESS), Wide(segment.unconfiguredHw));

        ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_IP_ADDRESS, segment.newAddress));
        ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_SUBNET_MASK, segment.newMask));
        ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_GATEWAY, segment.newGateway));
        // Owned by the main window, it opens centred over it.
        EXPECT_TRUE(CentredOn(dialog, WindowRect(Main())));
        if (shot)
            Shoot(shot);
        ASSERT_TRUE(win32::Driver::Click(dialog, IDOK));

        // The echo probe, then the appliance's next DISCOVER and REQUEST: a few seconds.
        bool ended = win32::Driver::WaitUntil([&] { return !::IsWindow(dialog); }, 20000);
        ASSERT_TRUE(ended) << "the dialog is still open: " << OtherWindows();

        Rows rows;
        EXPECT_TRUE(WaitForRows(
            [&](const Rows& now) {
                rows = now;
                return HasRow(now, {segment.newAddress, segment.unconfiguredName});
            },
            3000))
            << RowsText(rows) << OtherWindows();
        EXPECT_TRUE(::IsWindowEnabled(Main()));
        EXPECT_TRUE(win32::Driver::IsEnabled(Main(), IDC_SEARCH));

        // The acknowledgement as it went on the wire.
        Bytes hw; // "00-0A-1B-..." as bytes
        for (std::size_t i = 0; i + 2 <= segment.unconfiguredHw.size(); i += 3)
            hw.push_back(static_cast<std::uint8_t>(
                std::stoi(segment.unconfiguredHw.substr(i, 2), nullptr, 16)));
        Bytes ack;
        std::string from;
        int fromPort = 0;
        bool seen = false;
        while (!seen && client.Receive(ack, from, fromPort, 1000))
            seen = ack.size() == kReplySize && ack[kOp] == 2 && Slice(ack, kChaddr, 6) == hw &&
                   Slice(ack, kOptions + 12, 3) == Bytes{53, 1, 5};
        ASSERT_TRUE(seen) << "no acknowledgement for the appliance on port 68";
        EXPECT_EQ(from, segment.workstation);
        EXPECT_EQ(Slice(ack, kYiaddr, 4), Quad(segment.newAddress));
        EXPECT_EQ(Slice(ack, kSiaddr, 4), Quad(segment.workstation));
        EXPECT_EQ(Slice(ack, kOptions, kReplySize - kOptions),
                  ReplyOptions(segment.newMask, segment.newGateway, 5, segment.workstation));

        std::string state;
        EXPECT_TRUE(win32::Driver::WaitUntil(
            [&] {
                std::ifstream in(segment.status);
                std::getline(in, state);
                return state.rfind("configured", 0) == 0;
            },
            5000))
            << "the appliance's state: " << state;
        EXPECT_EQ(Words(state), (std::vector<std::string>{"configured", segment.newAddress + "/24",
                                                          "gw", segment.newGateway}));
    }
};

TEST_F(AssignDialog, SearchListsTheAppliancesWithoutAnAddress) {
    REQUIRE_LAB();
    Peer requester("0.0.0.0");
    ASSERT_TRUE(requester.ok());
    ASSERT_TRUE(StartSearch());
    ASSERT_TRUE(requester.SendTo(
        "255.255.255.255", 67, testlab::BootpRequest().HostName(kGhost).Chaddr(kGhostHw).Build()));
    // Every "No IP" row the suite double-clicks later, of both segments: the first
    // double-click ends the search and with it the listing.
    Rows rows;
    EXPECT_TRUE(WaitForRows(
        [&](const Rows& now) {
            rows = now;
            for (const Segment* segment : Segments())
                if (!HasRow(now, {"No IP", segment->unconfiguredName}))
                    return false;
            return HasRow(now, {"No IP", kGhost});
        },
        8000))
        << RowsText(rows) << OtherWindows();
}

TEST_F(AssignDialog, RefusesBadAddressesInTheSystemsMessageBoxes) {
    REQUIRE_LAB();
    HWND dialog = OpenFor(kGhost);
    ASSERT_NE(dialog, nullptr) << RowsText(MainRows()) << OtherWindows();
    // Modal, owned by the main window, which is disabled until the dialog ends; the
    // double-click ended the search, so "Search" waits for the dialog too.
    EXPECT_EQ(::GetWindow(dialog, GW_OWNER), Main());
    EXPECT_FALSE(::IsWindowEnabled(Main()));
    EXPECT_FALSE(win32::Driver::IsEnabled(Main(), IDC_SEARCH));
    // Opened within the search window, which the double-click ended: the sweep stops.
    HICON idle = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_STATUS_IDLE));
    EXPECT_FALSE(win32::Driver::WaitUntil(
        [&] { return win32::Driver::ShownIcon(Main(), IDC_STATUS_ICON) != idle; }, 1200));
    EXPECT_EQ(win32::Driver::Text(dialog, IDC_HARDWARE_ADDRESS), L"02-00-00-00-0A-01");
    EXPECT_EQ(win32::Driver::Text(dialog, IDOK), L"Assign IP");
    const std::wstring title = Wide(kGhost) + L"[Setting]";
    const std::wstring busy = Wide(kGhost) + L" - ";

    // The boxes have no owner; while one waits the dialog's title says it is busy.
    auto answer = [&](const std::wstring& caption, const std::wstring& text,
                      std::vector<std::wstring> buttons, int press) {
        HWND box = Driver().WaitForWindow(caption);
        ASSERT_NE(box, nullptr) << "no \"" << Narrow(caption) << "\" box; " << OtherWindows();
        EXPECT_EQ(win32::Driver::Title(dialog), busy);
        AnswerBox(caption, text, buttons, nullptr, 0, press);
    };

    ASSERT_NO_FATAL_FAILURE(Assign(dialog, "192.168.1.256", "", ""));
    ASSERT_NO_FATAL_FAILURE(answer(L"IP ERROR", L"The IP address is invalid!", {L"OK"}, IDOK));
    EXPECT_TRUE(win32::Driver::WaitUntil([&] { return win32::Driver::Title(dialog) == title; }))
        << Narrow(win32::Driver::Title(dialog));

    ASSERT_NO_FATAL_FAILURE(Assign(dialog, TheLab().newAddress, "255.255.255.255", ""));
    ASSERT_NO_FATAL_FAILURE(answer(L"MASK ERROR", L"The mask address is invalid!", {L"OK"}, IDOK));
    ASSERT_NO_FATAL_FAILURE(Assign(dialog, TheLab().newAddress, "", "10.200.0.999"));
    ASSERT_NO_FATAL_FAILURE(
        answer(L"GATEWAY ERROR", L"The Gateway address is invalid!", {L"OK"}, IDOK));

    // Outside the workstation's subnets and no mask typed: a warning; refused, the address
    // counts as taken (the text shows it as the program normalised it).
    ASSERT_NO_FATAL_FAILURE(Assign(dialog, "10.197.0.5", "", ""));
    ASSERT_NO_FATAL_FAILURE(
        answer(L"Subnet Warning!",
               L"Assign IP Address maybe in different subnet section!\n Do you want to continue? ",
               {L"OK", L"Cancel"}, IDCANCEL));
    ASSERT_NO_FATAL_FAILURE(
        answer(L"IP ERROR", L"The IP address\n10.197..5\n maybe is in used!\n or Subnet error!",
               {L"OK"}, IDOK));
    EXPECT_TRUE(win32::Driver::WaitUntil([&] { return win32::Driver::Title(dialog) == title; }))
        << Narrow(win32::Driver::Title(dialog));

    // The workstation answers the echo for its own address: taken.
    ASSERT_NO_FATAL_FAILURE(Assign(dialog, TheLab().workstation, "255.255.255.0", ""));
    std::string shown; // as the program normalises it: no leading zeros, so "0" is gone
    std::vector<std::string> parts = Split(TheLab().workstation);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::size_t digits = parts[i].find_first_not_of('0');
        shown += (i ? "." : "") + (digits == std::string::npos ? "" : parts[i].substr(digits));
    }
    ASSERT_NO_FATAL_FAILURE(answer(
        L"IP ERROR", L"The IP address\n" + Wide(shown) + L"\n maybe is in used!\n or Subnet error!",
        {L"OK"}, IDOK));
    EXPECT_FALSE(::IsWindowEnabled(Main()));
    EXPECT_TRUE(win32::Driver::IsEnabled(dialog, IDOK));

    ASSERT_TRUE(win32::Driver::Click(dialog, IDCANCEL));
    ExpectBackInTheMainWindow(dialog);
    EXPECT_TRUE(HasRow(MainRows(), {"No IP", kGhost}));
    EXPECT_EQ(OtherWindows(), "");
}

// Escape and the close box are Cancel too, also once an address has been refused.
TEST_F(AssignDialog, EndsByEscapeAndByItsCloseBox) {
    REQUIRE_LAB();
    const struct {
        const char* name;
        bool refuseFirst;
        void (*cancel)(HWND dialog);
    } ways[] = {
        {"Escape", false, [](HWND d) { win32::Driver::PressKey(d, VK_ESCAPE); }},
        {"CloseBox after a refusal", true, [](HWND d) { win32::Driver::SysCommand(d, SC_CLOSE); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        HWND dialog = OpenFor(kGhost);
        ASSERT_NE(dialog, nullptr) << RowsText(MainRows()) << OtherWindows();
        if (way.refuseFirst) {
            ASSERT_NO_FATAL_FAILURE(Assign(dialog, "10.200.50", "", ""));
            ASSERT_NO_FATAL_FAILURE(
                AnswerBox(L"IP ERROR", L"The IP address is invalid!", {L"OK"}, nullptr, 0, IDOK));
        }
        way.cancel(dialog);
        ExpectBackInTheMainWindow(dialog);
        EXPECT_TRUE(HasRow(MainRows(), {"No IP", kGhost}));
    }
    EXPECT_EQ(OtherWindows(), "");
}

// Armed for an appliance that never asks for its address with a DHCPREQUEST: the 51st tick
// of 500 ms ends the dialog. Meanwhile the responder answers only its appliance (the
// hardware address first), with an offer that completes nothing; Enter, with "Assign IP"
// disabled, presses nothing.
TEST_F(AssignDialog, WithoutAnAcknowledgedRequestTheTimeLimitEndsTheDialog) {
    REQUIRE_LAB();
    Peer client("0.0.0.0", 68);
    ASSERT_TRUE(client.ok());
    HWND dialog = OpenFor(kGhost);
    ASSERT_NE(dialog, nullptr) << RowsText(MainRows()) << OtherWindows();

    ASSERT_NO_FATAL_FAILURE(Assign(dialog, "192.168.7.10", "255.255.255.0", "192.168.7.1"));
    ASSERT_NO_FATAL_FAILURE(AnswerBox(
        L"Subnet Warning!",
        L"Assign IP Address maybe in different subnet section!\n Do you want to continue? ",
        {L"OK", L"Cancel"}, nullptr, 0, IDOK));
    // Free: the echo went unanswered for half a second, then "Assign IP" is taken away.
    ASSERT_TRUE(
        win32::Driver::WaitUntil([&] { return !win32::Driver::IsEnabled(dialog, IDOK); }, 3000))
        << OtherWindows();
    DWORD armed = ::GetTickCount();
    EXPECT_EQ(win32::Driver::Title(dialog), Wide(kGhost) + L" - ");

    using testlab::BootpRequest;
    Bytes stranger = BootpRequest().HostName(kGhost).Chaddr(kOtherHw).Xid({0, 0, 0, 0xAA}).Build();
    Bytes discover = BootpRequest()
                         .HostName(kGhost)
                         .Chaddr(kGhostHw)
                         .Xid({0xA1, 0xA2, 0xA3, 0xA4})
                         .Hops(1)
                         .Secs(0x0102)
                         .Ciaddr({10, 200, 0, 77})
                         .Giaddr({10, 200, 0, 254})
                         .Build();
    ASSERT_TRUE(client.SendTo("255.255.255.255", 67, stranger));
    ASSERT_TRUE(client.SendTo("255.255.255.255", 67, discover));
    // Replies leave in the order of the requests: the first one is the offer to the test's
    // appliance, so the other hardware address had none.
    Bytes offer;
    std::string from;
    int fromPort = 0;
    for (;;) {
        ASSERT_TRUE(client.Receive(offer, from, fromPort, 3000)) << "no offer on port 68";
        if (!offer.empty() && offer[kOp] == 2)
            break; // the test's own requests come back too, broadcast as they are
    }
    EXPECT_EQ(from, TheLab().workstation);
    EXPECT_EQ(fromPort, 67);
    EXPECT_EQ(Slice(offer, kXid, 4), (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
    ExpectFixedPart(offer, discover, "192.168.7.10");
    EXPECT_EQ(Slice(offer, kOptions, kReplySize - kOptions),
              ReplyOptions("255.255.255.0", "192.168.7.1", 2, TheLab().workstation));

    ASSERT_TRUE(win32::Driver::SetFocus(dialog, IDC_IP_ADDRESS));
    win32::Driver::PressKey(dialog, VK_RETURN);
    EXPECT_FALSE(win32::Driver::WaitUntil([&] { return Driver().DialogWindows().size() > 2; }, 500))
        << OtherWindows();
    EXPECT_FALSE(win32::Driver::IsEnabled(dialog, IDOK));

    HWND box = Driver().WaitForWindow(L"Setting ERROR", 30000);
    DWORD waited = ::GetTickCount() - armed;
    ASSERT_NE(box, nullptr) << OtherWindows();
    EXPECT_GE(waited, 24500u);
    EXPECT_LE(waited, 28000u);
    ASSERT_NO_FATAL_FAILURE(
        AnswerBox(L"Setting ERROR", L"Setting IP ERROR", {L"OK"}, nullptr, 0, IDOK));
    ExpectBackInTheMainWindow(dialog);
    EXPECT_TRUE(HasRow(MainRows(), {"No IP", kGhost}));
    EXPECT_EQ(OtherWindows(), "");
}

TEST_F(AssignDialog, AssignsAnAddressToTheSimulatedApplianceEndToEnd) {
    REQUIRE_LAB();
    AssignEndToEnd(TheLab(), L"assign-dialog");
}

// The appliance behind the workstation's second interface: the offer and the acknowledgement
// leave by that interface (the runner's captures check that none reached the first segment).
TEST_F(AssignDialog, AssignsAnAddressOnTheSecondSegment) {
    REQUIRE_SECOND_SEGMENT();
    // The echo probe of the case before waits up to 3 s for its neighbour; its appliance
    // answers once it has taken the address, and the probe here, which counts whatever ICMP
    // arrives in its half second, must not be the one to hear that.
    ::Sleep(3500);
    AssignEndToEnd(TheLab().second, nullptr);
}

} // namespace
} // namespace winetest
