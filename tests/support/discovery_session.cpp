#include "tests/support/discovery_session.h"

#include "platform/winapi.h"

namespace testlab {

void DiscoverySession::TearDown() {
    AppSession::TearDown(); // the program's sockets go before the appliances'
    m_peers.clear();
}

CVellumcrestUIDlg& DiscoverySession::Window() {
    return *static_cast<CVellumcrestUIDlg*>(AfxGetApp()->m_pMainWnd);
}

HWND DiscoverySession::WindowHandle() {
    return Window().m_hWnd;
}

UdpPeer& DiscoverySession::Appliance(int n) {
    std::unique_ptr<UdpPeer>& peer = m_peers[n];
    if (!peer)
        peer = std::make_unique<UdpPeer>(ApplianceAddress(n));
    return *peer;
}

bool DiscoverySession::SendReply(int n, const Bytes& payload) {
    UdpPeer& peer = Appliance(n);
    return peer.ok() && peer.SendTo(kWorkstation, CLIENT_PORT, payload);
}

bool DiscoverySession::SendRequest(const Bytes& request) {
    UdpPeer& peer = Appliance(9);
    return peer.ok() && peer.SendTo(kWorkstation, 67, request);
}

std::vector<std::string> HostColumnNow() {
    HWND list = GetDlgItem(AfxGetApp()->m_pMainWnd->m_hWnd, IDC_DEVICE_LIST);
    int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        char text[256] = "";
        LVITEMA item{};
        item.iSubItem = 1;
        item.pszText = text;
        item.cchTextMax = sizeof text;
        SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&item));
        names.emplace_back(text);
    }
    return names;
}

bool DiscoverySession::WaitForHost(const std::string& hostName, int timeoutMs) {
    return driver->WaitUntil(
        [&] {
            for (const std::string& name : HostColumnNow())
                if (name == hostName)
                    return true;
            return false;
        },
        timeoutMs);
}

namespace {
std::vector<std::string> Texts(const CStringArray& array) {
    std::vector<std::string> texts;
    for (int i = 0; i < array.GetSize(); ++i)
        texts.push_back(array[i].str());
    return texts;
}
} // namespace

std::vector<std::string> DiscoverySession::HostNames() {
    std::vector<std::string> names;
    driver->OnUi([&] { names = Texts(Window().*MainWindowPeek::HostNames()); });
    return names;
}

std::vector<std::string> DiscoverySession::HwAddrs() {
    std::vector<std::string> texts;
    driver->OnUi([&] { texts = Texts(Window().*MainWindowPeek::HwAddrs()); });
    return texts;
}

void DiscoverySession::PostSocketEvent(UINT message, WORD event, WORD error) {
    driver->OnUi(
        [=] { PostMessageA(WindowHandle(), message, 0, WSAMAKESELECTREPLY(event, error)); });
    driver->WaitIdle();
}

void DiscoverySession::RecordSocketFailures() {
    auto mutex = m_failuresMutex;
    auto failures = m_failures;
    tvposix::SetFailureObserver([mutex, failures](const tvposix::SocketFailure& failure) {
        std::lock_guard<std::mutex> lock(*mutex);
        failures->push_back(failure);
    });
}

std::vector<tvposix::SocketFailure> DiscoverySession::SocketFailures() {
    std::lock_guard<std::mutex> lock(*m_failuresMutex);
    return *m_failures;
}

bool DiscoverySession::WaitForSocketFailure(const std::string& call, int error, int timeoutMs) {
    return driver->WaitUntil(
        [&] {
            for (const tvposix::SocketFailure& f : SocketFailures())
                if (f.call == call && f.error == error)
                    return true;
            return false;
        },
        timeoutMs);
}

} // namespace testlab
