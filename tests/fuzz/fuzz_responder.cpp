// libFuzzer target: the assign dialog's BOOTP/DHCP responder and any request, armed and not
// armed. Each input gets a dialog of its own for the appliance 00-0A-1B-FF-20-3C; requests
// reach the responder's port 67 through the kernel and the platform's receive, and its
// replies are caught where the appliance would catch them, on port 68.
//
// Input: one flag byte, then the datagram.
//   bit 0  arm the responder ("Assign IP" accepted) before the datagram arrives
//   bit 1  the appliance's own request with the name "Nimbus" comes first
//   bit 2  the datagram arrives twice (the second meets the name the first left behind)
//
// Properties checked for every input (a violation aborts):
// - a reply only while armed, and only to a request whose chaddr is the chosen appliance's;
//   at most one reply per request;
// - every reply is exactly 300 bytes, a BOOTREPLY to that hardware address with the
//   accepted address in yiaddr;
// - the remembered host name (32 bytes) never spills over into the fields after it: the
//   accepted address, mask and gateway texts are intact; the remembered hardware address is
//   the chosen one once a request has been taken.
//
//   fuzz_responder -max_len=700 -dict=tests/fuzz/fuzz_bootp.dict [corpus_dir]
#include "app/Globals.h"
#include "assign/AddressAssignDlg.h"
#include "res/resource.h"
#include "tests/fuzz/lab.h"
#include "tests/support/appliance_packets.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char* kChosenHw = "00-0A-1B-FF-20-3C";
constexpr std::array<std::uint8_t, 6> kChosenBytes{0x00, 0x0A, 0x1B, 0xFF, 0x20, 0x3C};
constexpr const char* kAddress = "10.200.0.50";
constexpr const char* kAcceptedText = "10.200..50"; // as the dialog normalises it
constexpr std::array<std::uint8_t, 4> kAddressBytes{10, 200, 0, 50};
constexpr std::size_t kReplySize = 300;
constexpr std::size_t kChaddr = 28;
constexpr std::size_t kYiaddr = 16;

struct Peek : CAddressAssignDlg {
    static auto Info() { return &Peek::m_assignInfo; }
};

// User-interface thread only.
int g_generation = 0;
CAddressAssignDlg* g_dialog = nullptr;
int g_endedGeneration = 0;
ASSIGN_INFO g_endedInfo{};

headless::Driver* g_driver;
std::unique_ptr<testlab::UdpPeer> g_appliance;
std::unique_ptr<testlab::UdpPeer> g_port68;

// One dialog after another, each as the double-click runs it.
int RunDialogs() {
    while (!fuzzlab::Stopping()) {
        g_strDeviceName = "Nimbus";
        CAddressAssignDlg dlg;
        dlg.SetHardwareAddress(kChosenHw);
        g_dialog = &dlg;
        ++g_generation;
        dlg.DoModal();
        g_endedInfo = dlg.*Peek::Info();
        g_endedGeneration = g_generation;
        g_dialog = nullptr;
    }
    return 0;
}

int FreshDialog() {
    int before = 0;
    g_driver->OnUi([&] { before = g_generation; });
    g_driver->PressEscape();
    int generation = 0;
    fuzzlab::Require(g_driver->WaitUntil(
                         [&] {
                             generation = g_generation;
                             return g_dialog && generation > before &&
                                    headless::Driver::TopDialogOnUi() == IDD_ADDRESS_ASSIGN;
                         },
                         10000),
                     "no fresh assign dialog");
    return generation;
}

ASSIGN_INFO InfoOf(int generation) {
    ASSIGN_INFO info{};
    bool found = false;
    g_driver->OnUi([&] {
        if (g_dialog && g_generation == generation) {
            info = (*g_dialog).*Peek::Info();
            found = true;
        } else if (g_endedGeneration == generation) {
            info = g_endedInfo;
            found = true;
        }
    });
    fuzzlab::Require(found, "the dialog's state is lost");
    return info;
}

std::string Text(const char* field, std::size_t size) {
    return std::string(field, strnlen(field, size));
}

int DrainReplies(const char*& problem) {
    int count = 0;
    testlab::Bytes reply;
    std::string from;
    int port = 0;
    while (g_port68->Receive(reply, from, port, 0)) {
        ++count;
        if (reply.size() != kReplySize)
            problem = "a reply that is not 300 bytes";
        else if (reply[0] != 2)
            problem = "a reply that is not a BOOTREPLY";
        else if (!std::equal(kChosenBytes.begin(), kChosenBytes.end(), reply.begin() + kChaddr))
            problem = "a reply to another hardware address";
        else if (!std::equal(kAddressBytes.begin(), kAddressBytes.end(), reply.begin() + kYiaddr))
            problem = "a reply without the accepted address";
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzlab::EnterLabOrSkip();
    g_appliance = std::make_unique<testlab::UdpPeer>(testlab::ApplianceAddress(9));
    g_port68 = std::make_unique<testlab::UdpPeer>("255.255.255.255", 68);
    fuzzlab::Require(g_appliance->ok() && g_port68->ok(), "no appliance sockets");
    g_driver = &fuzzlab::StartProgram(RunDialogs);
    fuzzlab::Require(g_driver->WaitForDialog(IDD_ADDRESS_ASSIGN), "no assign dialog");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size - 1 > fuzzlab::kMaxDatagram)
        return 0;
    const bool armed = data[0] & 1;
    const bool primed = data[0] & 2;
    const int times = (data[0] & 4) ? 2 : 1;
    const std::span<const std::uint8_t> datagram(data + 1, size - 1);

    const int generation = FreshDialog();
    const char* problem = nullptr;
    DrainReplies(problem);

    if (primed) {
        const testlab::Bytes request = testlab::BootpRequest().HostName("Nimbus").Build();
        fuzzlab::Deliver(*g_driver, *g_appliance, 67, request);
    }
    if (armed) {
        // The echo probe cannot leave: nothing answers, so the address counts as free at once.
        g_driver->FailSocketCall("sendto", WSAENETUNREACH, 1);
        g_driver->TypeText(IDC_IP_ADDRESS, kAddress);
        g_driver->Click(IDOK);
        fuzzlab::Require(!g_driver->IsEnabled(IDOK), "the responder could not be armed");
    }
    fuzzlab::Require(DrainReplies(problem) == 0 && !problem, "a reply before the datagram");

    for (int i = 0; i < times; ++i)
        fuzzlab::Deliver(*g_driver, *g_appliance, 67, datagram);
    const int replies = DrainReplies(problem);
    if (problem)
        fuzzlab::Require(false, problem);
    const bool chosen =
        datagram.size() >= kChaddr + kChosenBytes.size() &&
        std::equal(kChosenBytes.begin(), kChosenBytes.end(), datagram.begin() + kChaddr);
    fuzzlab::Require(replies <= times, "more than one reply per request");
    fuzzlab::Require(armed || replies == 0, "a reply while not armed");
    fuzzlab::Require(chosen || replies == 0, "a reply to a request of another appliance");

    const ASSIGN_INFO info = InfoOf(generation);
    fuzzlab::Require(Text(info.szIP, sizeof info.szIP) == (armed ? kAcceptedText : ""),
                     "the accepted address was overwritten");
    fuzzlab::Require(info.szMask[0] == '\0' && info.szGateway[0] == '\0',
                     "the mask or gateway text was overwritten");
    fuzzlab::Require(info.byState == 0 || info.byState == 3, "an unknown responder state");
    if (info.byState == 3)
        fuzzlab::Require(std::equal(kChosenBytes.begin(), kChosenBytes.end(), info.byHwAddr),
                         "another appliance's hardware address was remembered");
    return 0;
}
