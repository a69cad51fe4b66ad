// The fixture of the search, listing and sorting tests: the main window open, appliances
// played by plain sockets on the private network, and read access to the window's state
// that no control shows (the "No IP" arrays, the remembered sort, the reply listener).
#pragma once

#include "app/VellumcrestUIDlg.h"
#include "tests/support/app_session.h"
#include "tests/support/appliance_packets.h"
#include "tests/support/udp_peer.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testlab {

// Member pointers to the window's protected members, formed inside a derived class so that
// the program's class needs no friend or accessor. Never instantiated; the pointers are
// applied to the real window, on the user-interface thread only.
struct MainWindowPeek : CVellumcrestUIDlg {
    static auto HostNames() { return &MainWindowPeek::m_arrHostNames; }
    static auto HwAddrs() { return &MainWindowPeek::m_arrHwAddrs; }
    static auto SortColumn() { return &MainWindowPeek::m_nSortColumn; }
    static auto SortAscending() { return &MainWindowPeek::m_bSortAscending; }
    static auto ClientSocket() { return &MainWindowPeek::m_hClientSocket; }
    static auto OpenReplyListener() { return &MainWindowPeek::OpenClientPort; }
};

class DiscoverySession : public AppSession {
protected:
    static constexpr int kSearchTicks = 16; // 15 animated ticks, the 16th ends the window
    static constexpr int kTickMs = 500;

    void TearDown() override;

    // The main window; user-interface thread only.
    static CVellumcrestUIDlg& Window();
    static HWND WindowHandle();

    // An appliance at testlab::ApplianceAddress(n), on a port of the system's choosing.
    UdpPeer& Appliance(int n);
    // The appliance's answer to the probe, to the workstation's port 1211.
    bool SendReply(int n, const Bytes& payload);
    bool SendReply(int n, const std::string& hostName) {
        return SendReply(n, DiscoveryReply(hostName));
    }
    // A request to the workstation's port 67, from appliance 9.
    bool SendRequest(const Bytes& request);

    bool Search() { return driver->Click(IDC_SEARCH); }
    void EndSearchWindow() { driver->StepTime(kSearchTicks * kTickMs); }

    // Waits until a row shows this host name.
    bool WaitForHost(const std::string& hostName, int timeoutMs = 3000);

    // The "No IP" arrays, in order.
    std::vector<std::string> HostNames();
    std::vector<std::string> HwAddrs();

    // A socket notification as the socket layer posts it: the event in the low word of
    // lParam, the error in the high word.
    void PostSocketEvent(UINT message, WORD event, WORD error);

    // Socket calls that fail from now on, as the program saw them.
    void RecordSocketFailures();
    std::vector<tvposix::SocketFailure> SocketFailures();
    bool WaitForSocketFailure(const std::string& call, int error, int timeoutMs = 3000);

private:
    std::map<int, std::unique_ptr<UdpPeer>> m_peers;
    std::shared_ptr<std::mutex> m_failuresMutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<tvposix::SocketFailure>> m_failures =
        std::make_shared<std::vector<tvposix::SocketFailure>>();
};

// Column 1 of every row, top to bottom, read on the user-interface thread.
std::vector<std::string> HostColumnNow();

} // namespace testlab
