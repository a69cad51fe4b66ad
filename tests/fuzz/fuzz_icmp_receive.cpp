// libFuzzer target: CIcmp::Receive, the echo probe's reading of whatever comes back, on any
// datagram. The kernel builds the IP header of everything a raw socket delivers, so a raw
// socket could only ever show well-formed headers; here the probe's socket is a UDP socket
// of the platform layer instead, and the datagram's payload plays the whole IP packet. The
// receive itself is the platform's own (buffer sizes, WSAEMSGSIZE), on the user-interface
// thread, with the "Short message!" box answered as a user would.
//
// Properties checked for every input (a violation aborts):
// - a datagram longer than the 2012-byte buffer fails; any other is received whole;
// - one shorter than its IP header length plus 8 shows "Short message!" and is not read;
// - otherwise the ICMP header lies at the header length, and identifier, sequence (of an
//   echo reply) and round-trip time come from the received bytes; bytes past the datagram
//   (the rest of the buffer is filled with a pattern) read as zero, never as the pattern;
// - the probe comes to each receive with an identifier and a sequence of an earlier one
//   (values no datagram here can carry by chance), so that a receive that leaves either
//   alone shows: the identifier is cleared for every receive, the sequence is kept unless
//   an echo reply brings its own.
//
//   fuzz_icmp_receive -max_len=2100 [corpus_dir]
#include "assign/Icmp.h"
#include "res/resource.h"
#include "tests/fuzz/lab.h"

#include <arpa/inet.h>
#include <memory>
#include <vector>

namespace {

constexpr int kBufferSize = 2012; // the assign dialog's packet buffer
constexpr int kPort = 7000;
constexpr std::uint8_t kPattern = 0xA5;
// Out of the 16-bit range, so no datagram's identifier or sequence can equal them.
constexpr int kEarlierIdentifier = 0x5A5A5;
constexpr int kEarlierSequence = 0x3C3C3;

headless::Driver* g_driver;
std::unique_ptr<testlab::UdpPeer> g_sender;
SOCKET g_probeSocket = INVALID_SOCKET; // user-interface thread only
int g_boxes = 0;                       // user-interface thread only

int RunDialog() {
    while (!fuzzlab::Stopping()) {
        CDialog dlg(IDD_ABOUTBOX);
        dlg.DoModal();
    }
    return 0;
}

std::uint32_t LittleEndian(std::span<const std::uint8_t> bytes, std::size_t offset,
                           std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width && offset + i < bytes.size(); ++i)
        value |= std::uint32_t{bytes[offset + i]} << (8 * i);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzlab::EnterLabOrSkip();
    g_sender = std::make_unique<testlab::UdpPeer>("127.0.0.1");
    fuzzlab::Require(g_sender->ok(), "no sender socket");
    g_driver = &fuzzlab::StartProgram(RunDialog);
    fuzzlab::Require(g_driver->WaitForDialog(IDD_ABOUTBOX), "no dialog");
    g_driver->SetBoxObserver([](const headless::BoxRecord& box) {
        if (box.text == "Short message!")
            ++g_boxes;
    });
    bool ready = false;
    g_driver->OnUi([&] {
        WSADATA wsaData;
        WSAStartup(MAKEWORD(2, 1), &wsaData);
        g_probeSocket = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(kPort);
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        DWORD timeout = 1000;
        ready = g_probeSocket != INVALID_SOCKET &&
                bind(g_probeSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                setsockopt(g_probeSocket, SOL_SOCKET, SO_RCVTIMEO,
                           reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0;
    });
    fuzzlab::Require(ready, "no probe socket");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzzlab::kMaxDatagram)
        return 0;
    const std::span<const std::uint8_t> datagram(data, size);
    fuzzlab::Require(
        g_sender->SendTo("127.0.0.1", kPort, testlab::Bytes(datagram.begin(), datagram.end())),
        "the datagram could not be sent");

    const char* problem = nullptr;
    g_driver->OnUi([&] {
        auto buffer = std::make_unique<BYTE[]>(kBufferSize);
        std::fill_n(buffer.get(), kBufferSize, kPattern);
        CIcmp icmp;
        icmp.m_hRawSocket = g_probeSocket;
        icmp.m_nIdentifier = kEarlierIdentifier;
        icmp.m_nSequence = kEarlierSequence;
        const int boxesBefore = g_boxes;
        const int n = icmp.Receive(buffer.get(), kBufferSize);
        icmp.m_hRawSocket = INVALID_SOCKET; // the socket outlives the probe
        const bool shown = g_boxes != boxesBefore;

        if (size > static_cast<std::size_t>(kBufferSize)) {
            if (n != SOCKET_ERROR || shown)
                problem = "a datagram longer than the buffer was taken";
            else if (icmp.m_nIdentifier != 0)
                problem = "a failed receive kept an earlier identifier";
            return;
        }
        if (n != static_cast<int>(size) || icmp.m_nRecvLength != n ||
            icmp.m_pIpHeader != buffer.get()) {
            problem = "the datagram was not received whole";
            return;
        }
        const std::size_t headerLength = size == 0 ? 0 : std::size_t{data[0] & 0x0Fu} * 4;
        if (size < headerLength + 8) {
            if (!shown || icmp.m_nErrorKind != 2)
                problem = "a short datagram was not refused with its box";
            else if (icmp.m_nIdentifier != 0 || icmp.m_nSequence != kEarlierSequence)
                problem = "a short datagram left an earlier identifier or took a sequence";
            return;
        }
        const std::uint32_t stamp = LittleEndian(datagram, headerLength + 8, 4);
        const int sequence = data[headerLength] == 0
                                 ? static_cast<int>(LittleEndian(datagram, headerLength + 6, 2))
                                 : kEarlierSequence;
        if (shown)
            problem = "a box for a datagram long enough";
        else if (icmp.m_pIcmpHeader != buffer.get() + headerLength)
            problem = "the ICMP header is not at the IP header's length";
        else if (icmp.m_nIdentifier !=
                 static_cast<int>(LittleEndian(datagram, headerLength + 4, 2)))
            problem = "the identifier is not the datagram's";
        else if (icmp.m_nSequence != sequence)
            problem = "the sequence is not the echo reply's";
        else if (icmp.m_dwRoundTrip != icmp.m_dwRecvTick - stamp)
            problem = "the time stamp is not the datagram's";
    });
    if (problem)
        fuzzlab::Require(false, problem);
    return 0;
}
