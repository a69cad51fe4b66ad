#include "tests/support/assign_session.h"

#include "platform/winapi.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

namespace testlab {

std::array<std::uint8_t, 4> Ipv4(const std::string& dotted) {
    std::array<std::uint8_t, 4> bytes{};
    ::inet_pton(AF_INET, dotted.c_str(), bytes.data());
    return bytes;
}

namespace reply {
Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t n) {
    Bytes out(n, 0);
    for (std::size_t i = 0; i < n && offset + i < bytes.size(); ++i)
        out[i] = bytes[offset + i];
    return out;
}

std::array<std::uint8_t, 4> Quad(const Bytes& bytes, std::size_t offset) {
    Bytes b = Slice(bytes, offset, 4);
    return {b[0], b[1], b[2], b[3]};
}

std::optional<Bytes> OptionValue(const Bytes& bytes, std::uint8_t wanted) {
    for (std::size_t at = kOptions; at + 1 < bytes.size();) {
        std::uint8_t code = bytes[at];
        if (code == 0) {
            ++at;
            continue;
        }
        if (code == 255)
            break;
        std::size_t length = bytes[at + 1];
        if (code == wanted)
            return Slice(bytes, at + 2, std::min(length, bytes.size() - (at + 2)));
        at += 2u + length;
    }
    return std::nullopt;
}

std::optional<std::uint8_t> MessageType(const Bytes& bytes) {
    std::optional<Bytes> value = OptionValue(bytes, 53);
    if (!value || value->empty())
        return std::nullopt;
    return value->front();
}
} // namespace reply

void SilenceAddresses(const std::string& device, const std::vector<std::string>& addresses) {
    std::string cmd = "(";
    for (const std::string& address : addresses)
        cmd += "ip neigh replace " + address + " lladdr 02:00:00:00:00:fe dev " + device +
               " nud permanent; ";
    cmd += ") >/dev/null 2>&1";
    [[maybe_unused]] int rc = std::system(cmd.c_str());
}

namespace {
// 10.200.0.254 is the default gateway, which carries every address off the /24.
void SilenceFreeAddresses() {
    SilenceAddresses("tvd0", {kFreeAddress, kOtherFreeAddress, "10.200.0.254"});
}
} // namespace

void AssignSession::BeforeStart() {
    // A fresh program run: nothing assigned yet.
    g_bAssigned = 0;
    std::memset(g_szAssignIP, 0, sizeof g_szAssignIP);
    SilenceFreeAddresses();
    // Bound to the broadcast address itself, so only datagrams sent to 255.255.255.255
    // arrive here.
    m_port68 = std::make_unique<UdpPeer>("255.255.255.255", 68);
    ASSERT_TRUE(m_port68->ok()) << "cannot bind 255.255.255.255:68";
}

::testing::AssertionResult AssignSession::OpenAssignDialog(const std::string& hostName) {
    if (!Search())
        return ::testing::AssertionFailure() << "Search is not enabled";
    if (!SendRequest(BootpRequest().HostName(hostName).Build()))
        return ::testing::AssertionFailure() << "cannot send the appliance's request";
    if (!WaitForHost(hostName))
        return ::testing::AssertionFailure() << hostName << " was not listed";
    // The request put the resting icon into the status control; one tick of the search
    // sweeps it on, so that what the double-click puts there shows.
    driver->StepTime(kTickMs);
    if (driver->ShownIcon(IDC_STATUS_ICON) != IDI_STATUS_LEFT)
        return ::testing::AssertionFailure() << "the search's sweep did not go on";
    return DoubleClickHost(hostName);
}

::testing::AssertionResult AssignSession::DoubleClickHost(const std::string& hostName) {
    std::vector<std::vector<std::string>> rows = MainRows();
    auto row = std::find_if(rows.begin(), rows.end(),
                            [&](const auto& r) { return r.size() > 1 && r[1] == hostName; });
    if (row == rows.end())
        return ::testing::AssertionFailure() << "no row for " << hostName;
    driver->SelectRows(IDC_DEVICE_LIST, {static_cast<int>(row - rows.begin())});
    if (!driver->DoubleClickList(IDC_DEVICE_LIST))
        return ::testing::AssertionFailure() << "the list cannot be double-clicked";
    if (!driver->WaitForDialog(IDD_ADDRESS_ASSIGN))
        return ::testing::AssertionFailure() << "the assign dialog did not open";
    return ::testing::AssertionSuccess();
}

void AssignSession::Assign(const std::string& ip, const std::string& mask,
                           const std::string& gateway) {
    driver->TypeText(IDC_IP_ADDRESS, ip);
    driver->TypeText(IDC_SUBNET_MASK, mask);
    driver->TypeText(IDC_GATEWAY, gateway);
    driver->Click(IDOK);
}

::testing::AssertionResult AssignSession::Arm(const std::string& ip, const std::string& mask,
                                              const std::string& gateway) {
    std::size_t boxesBefore = Boxes().size();
    Assign(ip, mask, gateway);
    if (driver->TopDialog() == IDD_ADDRESS_ASSIGN && !driver->IsEnabled(IDOK))
        return ::testing::AssertionSuccess();
    std::vector<headless::BoxRecord> boxes = Boxes();
    if (boxes.size() != boxesBefore)
        return ::testing::AssertionFailure()
               << "refused: [" << boxes.back().caption << "] " << boxes.back().text;
    return ::testing::AssertionFailure() << "Assign IP is still enabled";
}

::testing::AssertionResult AssignSession::SendToResponder(const Bytes& request) {
    return AwaitResponderRead(request,
                              [&] { return Appliance(9).SendTo(kWorkstation, 67, request); });
}

::testing::AssertionResult AssignSession::BroadcastToResponder(const std::string& fromAddress,
                                                               const Bytes& request) {
    UdpPeer appliance(fromAddress);
    if (!appliance.ok())
        return ::testing::AssertionFailure() << "cannot bind " << fromAddress;
    return AwaitResponderRead(request,
                              [&] { return appliance.SendTo("255.255.255.255", 67, request); });
}

::testing::AssertionResult AssignSession::AwaitResponderRead(const Bytes& request,
                                                             const std::function<bool()>& send) {
    // The responder clears its buffer and reads every datagram into it, whatever it then
    // makes of it; once the buffer holds these bytes the handler has run to its end.
    Bytes expected(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                          request.size(), sizeof g_bootpRecvBuf)));
    expected.resize(sizeof g_bootpRecvBuf, 0);
    driver->OnUi([] { std::memset(g_bootpRecvBuf, 0, sizeof g_bootpRecvBuf); });
    if (!send())
        return ::testing::AssertionFailure() << "cannot send to port 67";
    if (!driver->WaitUntil(
            [&] { return std::memcmp(g_bootpRecvBuf, expected.data(), expected.size()) == 0; }))
        return ::testing::AssertionFailure() << "the responder did not read the request";
    return ::testing::AssertionSuccess();
}

std::optional<Bytes> AssignSession::NextReply(int* fromPort, int timeoutMs,
                                              std::string* fromAddress, unsigned* leftBy) {
    Bytes payload;
    std::string from;
    int port = 0;
    if (!m_port68->Receive(payload, from, port, timeoutMs, leftBy))
        return std::nullopt;
    if (fromPort)
        *fromPort = port;
    if (fromAddress)
        *fromAddress = from;
    return payload;
}

std::vector<std::vector<std::string>> AssignSession::MainRows() {
    return driver->Rows(IDC_DEVICE_LIST, IDD_VELLUMCRESTUI_DIALOG);
}

INT_PTR AssignSession::LastResult(int templateId) {
    INT_PTR result = -1;
    for (const headless::DialogRun& run : driver->Snapshot().dialogRuns)
        if (run.templateId == templateId)
            result = run.result;
    return result;
}

HWND AssignSession::AssignDialogNow() {
    // The focus always lies on a control of the topmost dialog.
    return ::GetParent(::GetFocus());
}

void LoneAssignDialog::SetUp() {
    if (!PrivateNetworkProblem().empty())
        GTEST_SKIP() << PrivateNetworkProblem();
    driver = std::make_unique<headless::Driver>(true);
    BeforeStart();
}

::testing::AssertionResult LoneAssignDialog::RunAlone(const std::string& deviceName,
                                                      const std::string& hwText) {
    driver->Start([deviceName, hwText] {
        g_strDeviceName = deviceName.c_str();
        CAddressAssignDlg dlg;
        dlg.SetHardwareAddress(hwText.c_str());
        return static_cast<int>(dlg.DoModal());
    });
    if (!driver->WaitForDialog(IDD_ADDRESS_ASSIGN))
        return ::testing::AssertionFailure() << "the assign dialog did not open";
    return ::testing::AssertionSuccess();
}

} // namespace testlab
