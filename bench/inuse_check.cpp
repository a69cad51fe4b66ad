// Times the assign dialog's in-use check on an address nobody holds: the dialog's own
// IsAddressInUse, called ROUNDS times with the ARP half and ROUNDS times with the ARP half
// kept from going out (the echo alone, as before the ARP probe existed), interleaved so that
// both see the same load.
//
//   tavisol-bench-inuse ADDRESS [ROUNDS]
//
// Run in the lab's workstation namespace. Prints "inuse echo_median_ms=... echo_max_ms=...
// both_median_ms=... both_max_ms=... rounds=R echo_in_use=E both_in_use=B", the last two
// the rounds that found the address in use after all (any ICMP message that reaches the
// workstation within the echo's wait counts as an answer).
#include "assign/AddressAssignDlg.h"
#include "platform/headless/engine.h"
#include "platform/posix_sockets.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

class TimedDialog : public CAddressAssignDlg {
public:
    TimedDialog() { m_pPacket = m_packetBuf; }
    using CAddressAssignDlg::IsAddressInUse;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (argc < 2 || rounds < 1) {
        std::fputs("usage: tavisol-bench-inuse ADDRESS [ROUNDS]\n", stderr);
        return 2;
    }
    // The real clock, as tavisol-cli has it: the dialog's GetTickCount must move.
    headless::Engine::Get().Reset(false);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    TimedDialog dialog;
    std::vector<double> echo, both;
    int echoInUse = 0, bothInUse = 0;
    for (int i = 0; i < 2 * rounds; ++i) {
        const bool arp = i % 2 == 1;
        if (!arp)
            tvposix::InjectFailure("ARP probe", WSAENETDOWN, -1);
        auto start = std::chrono::steady_clock::now();
        const bool inUse = dialog.IsAddressInUse(argv[1]);
        (arp ? bothInUse : echoInUse) += inUse ? 1 : 0;
        auto ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        tvposix::ClearInjectedFailures();
        (arp ? both : echo).push_back(ms);
    }
    std::printf("inuse echo_median_ms=%.1f echo_max_ms=%.1f both_median_ms=%.1f "
                "both_max_ms=%.1f rounds=%d echo_in_use=%d both_in_use=%d\n",
                Median(echo), *std::max_element(echo.begin(), echo.end()), Median(both),
                *std::max_element(both.begin(), both.end()), rounds, echoInUse, bothInUse);
    return 0;
}
