// tavisol-cli's confirmation of an assignment: the discovery probe by the interface that faces
// the appliance, until the appliance answers from its new address under its host name.
//
// The probe and its answer are the search's own: "VX2" to UDP 1212, broadcast on the segment;
// the answer comes to UDP 1211 of the prober with the host name in its first 40 bytes and the
// appliance's address as its source.
#include "cli/confirm.h"

#include "cli/progress.h"
#include "app/VellumcrestUIDlg.h"
#include "platform/ifsocket.h"
#include "platform/posix_sockets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

namespace cli {
namespace {

constexpr std::size_t kHostNameField = 40;
// What the "No IP" listing keeps of a host name.
constexpr int kListedNameLength = 19;
constexpr auto kProbeInterval = std::chrono::milliseconds(500);
// Any answer fits; a longer datagram is no appliance's and is dropped by the receive.
constexpr int kAnswerBuffer = 2048;

// Each kind of failure once: the probe goes out every half second, and one refusal says it.
class FailureReport {
public:
    FailureReport() {
        tvposix::SetFailureObserver([this](const tvposix::SocketFailure& f) { Report(f); });
    }
    ~FailureReport() { tvposix::SetFailureObserver(nullptr); }

private:
    void Report(const tvposix::SocketFailure& f) {
        // Time-outs of the receive are how the wait is paced; other failed receives are the
        // LAN's doing.
        if (f.call == "recvfrom")
            return;
        if (!m_seen.insert(f.call + "|" + f.local + "|" + std::to_string(f.error)).second)
            return;
        const char* why = f.detail.empty() ? tvposix::WsaErrorName(f.error) : f.detail.c_str();
        progress::Clear();
        if (f.call == "bind" && f.port == CLIENT_PORT)
            std::fprintf(stderr,
                         "tavisol-cli: cannot listen on UDP port %d for the appliance's answer: "
                         "%s (%s)\n",
                         CLIENT_PORT, why, tvposix::WsaErrorName(f.error));
        else if (f.call == "sendto")
            std::fprintf(stderr,
                         "tavisol-cli: the confirmation probe could not go out%s%s: %s (%s)\n",
                         f.local.empty() ? "" : " from ", f.local.c_str(), why,
                         tvposix::WsaErrorName(f.error));
        else
            std::fprintf(stderr, "tavisol-cli: confirmation: %s failed: %s (%s)\n", f.call.c_str(),
                         why, tvposix::WsaErrorName(f.error));
    }

    std::set<std::string> m_seen;
};

// The reply port, bound on every address: the appliance answers the prober's address
// whichever interface the probe left by.
SOCKET OpenAnswerSocket() {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    int nBroadcast = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&nBroadcast),
               sizeof nBroadcast);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(CLIENT_PORT);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void SendProbes(SOCKET s, const std::vector<NET_INTERFACE>& facing) {
    static const char kProbe[] = "VX2";
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(SERVER_PORT);
    dest.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    const auto* pDest = reinterpret_cast<const sockaddr*>(&dest);
    if (facing.empty()) {
        sendto(s, kProbe, 3, 0, pDest, sizeof dest);
        return;
    }
    for (const NET_INTERFACE& entry : facing)
        SendToInterface(s, kProbe, 3, 0, pDest, sizeof dest, entry.dwIndex, entry.dwAddr);
}

} // namespace

bool IsAppliancesAnswer(const char* pData, int nLength, DWORD dwFrom, const ConfirmTarget& target) {
    if (dwFrom != target.dwAddress || nLength <= 0)
        return false;
    const std::size_t nField = std::min(static_cast<std::size_t>(nLength), kHostNameField);
    CString strAnswered(pData, static_cast<int>(strnlen(pData, nField)));
    strAnswered.TrimRight();
    CString strListed(target.host.c_str());
    strListed.TrimRight();
    if (strAnswered.CompareNoCase(strListed) == 0)
        return true;
    return strListed.GetLength() == kListedNameLength &&
           strAnswered.Left(kListedNameLength).CompareNoCase(strListed) == 0;
}

std::vector<NET_INTERFACE> FacingInterfaces(const std::vector<NET_INTERFACE>& interfaces,
                                            const ConfirmTarget& target) {
    auto pick = [&](auto wanted) {
        std::vector<NET_INTERFACE> picked;
        std::set<DWORD> setSeen;
        for (const NET_INTERFACE& entry : interfaces) {
            // Once per interface, by its primary address (the first the system lists).
            if (!entry.CarriesBroadcast() || !setSeen.insert(entry.dwIndex).second)
                continue;
            if (wanted(entry))
                picked.push_back(entry);
        }
        return picked;
    };
    if (target.dwInterface != 0) {
        auto picked = pick([&](const NET_INTERFACE& e) { return e.dwIndex == target.dwInterface; });
        if (!picked.empty())
            return picked;
    }
    // Any of an interface's addresses may be the one whose subnet holds the new address.
    std::set<DWORD> setHolding;
    for (const NET_INTERFACE& entry : interfaces)
        if (entry.CarriesBroadcast() && entry.SubnetHolds(target.dwAddress, target.dwMask))
            setHolding.insert(entry.dwIndex);
    auto picked = pick([&](const NET_INTERFACE& e) { return setHolding.count(e.dwIndex) != 0; });
    if (!picked.empty())
        return picked;
    return pick([](const NET_INTERFACE&) { return true; });
}

std::optional<double> ParseConfirmSeconds(const char* pszText) {
    char* pEnd = nullptr;
    double seconds = std::strtod(pszText, &pEnd);
    if (pEnd == pszText || *pEnd != '\0' || !std::isfinite(seconds) || seconds < 0 ||
        seconds > 3600)
        return std::nullopt;
    return seconds;
}

ConfirmOutcome ConfirmAssignment(const ConfirmTarget& target, double seconds,
                                 std::chrono::steady_clock::time_point started) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = started + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    FailureReport report;
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 1), &wsaData) != 0)
        return ConfirmOutcome::CannotListen;
    SOCKET s = OpenAnswerSocket();
    if (s == INVALID_SOCKET) {
        WSACleanup();
        return ConfirmOutcome::CannotListen;
    }

    ConfirmOutcome outcome = ConfirmOutcome::TimedOut;
    auto nextProbe = Clock::now();
    char answer[kAnswerBuffer];
    while (Clock::now() < deadline) {
        auto now = Clock::now();
        if (now >= nextProbe) {
            // The list is read again for every probe: an interface may come or go meanwhile.
            SendProbes(s, FacingInterfaces(GetNetInterfaces(), target));
            nextProbe = now + kProbeInterval;
        }
        auto wait = std::min(nextProbe, deadline) - Clock::now();
        DWORD dwWaitMs = static_cast<DWORD>(
            std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwWaitMs),
                   sizeof dwWaitMs);
        sockaddr_in from{};
        int nFromLen = sizeof from;
        int n =
            recvfrom(s, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&from), &nFromLen);
        if (n != SOCKET_ERROR && IsAppliancesAnswer(answer, n, from.sin_addr.s_addr, target)) {
            outcome = ConfirmOutcome::Confirmed;
            break;
        }
        if (n == SOCKET_ERROR && WSAGetLastError() != WSAETIMEDOUT &&
            WSAGetLastError() != WSAEMSGSIZE)
            // Not paced by the receive's time-out (an ICMP error queued on the socket, say):
            // pace it here.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    closesocket(s);
    WSACleanup();
    return outcome;
}

ConfirmTarget TargetOf(const std::string& strAddress, const std::string& strHost, DWORD dwInterface,
                       const std::string& strMask) {
    ConfirmTarget target;
    target.dwAddress = inet_addr(strAddress.c_str());
    target.host = strHost;
    target.dwInterface = dwInterface;
    const DWORD dwMask = inet_addr(strMask.c_str());
    target.dwMask = strMask.empty() || dwMask == INADDR_NONE ? 0 : dwMask;
    return target;
}

bool ConfirmAndSay(const ConfirmTarget& target, double seconds,
                   std::chrono::steady_clock::time_point started) {
    in_addr address{};
    address.s_addr = target.dwAddress;
    const std::string strAddress = inet_ntoa(address);
    const char* pszHost = target.host.c_str();
    const ConfirmOutcome outcome = ConfirmAssignment(target, seconds, started);
    progress::Clear();
    switch (outcome) {
    case ConfirmOutcome::Confirmed:
        std::fprintf(
            stderr, "tavisol-cli: %s answers from %s, %.1f s after the acknowledgement\n", pszHost,
            strAddress.c_str(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        return true;
    case ConfirmOutcome::TimedOut:
        std::fprintf(stderr,
                     "tavisol-cli: %s took the acknowledgement but did not answer from %s within "
                     "%g seconds\n",
                     pszHost, strAddress.c_str(), seconds);
        return false;
    case ConfirmOutcome::CannotListen:
        std::fprintf(stderr,
                     "tavisol-cli: %s took the acknowledgement, but no answer from %s can be heard "
                     "here; not confirmed\n",
                     pszHost, strAddress.c_str());
        return false;
    }
    return false;
}

} // namespace cli
