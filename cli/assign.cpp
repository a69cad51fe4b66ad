// One assignment, driven through the program's windows.
#include "cli/assign.h"

#include "app/VellumcrestUIDlg.h"
#include "assign/AddressAssignDlg.h"
#include "cli/confirm.h"
#include "cli/progress.h"
#include "cli/session.h"
#include "res/resource.h"

#include <algorithm>
#include <chrono>

namespace cli {

namespace {

AssignOutcome Outcome(AssignResult result, std::string reason) {
    AssignOutcome outcome;
    outcome.result = result;
    outcome.reason = std::move(reason);
    return outcome;
}

// The hardware address the window keeps for a "No IP" row, "" when it has none.
std::string HardwareAddressOf(headless::Driver& driver, const std::string& host) {
    std::string hw;
    driver.OnUi([&] {
        auto* pDlg = dynamic_cast<CVellumcrestUIDlg*>(AfxGetApp()->m_pMainWnd);
        if (!pDlg)
            return;
        auto addresses = pDlg->HardwareAddresses();
        auto found = addresses.find(host.c_str());
        if (found != addresses.end())
            hw = found->second.str();
    });
    return hw;
}

} // namespace

AssignOutcome AssignOne(const AssignRequest& request) {
    // Whatever the way out, the caller's next line on stderr finds no progress line.
    struct ClearProgress {
        ~ClearProgress() { progress::Clear(); }
    } clearProgress;
    Session session;
    headless::Driver& driver = session.driver();
    // "Subnet Warning!" goes on only when the user said so; every other box takes its
    // default button.
    const bool yes = request.yes;
    driver.SetBoxAnswerer([yes](const headless::BoxRecord& box) {
        if (box.caption == "Subnet Warning!")
            return yes ? IDOK : IDCANCEL;
        return box.answer;
    });
    // A fresh program starts with nothing assigned; a batch runs one program after another in
    // one process, and the responder never clears the flag itself.
    g_bAssigned = 0;
    if (!session.Open())
        return Outcome(AssignResult::Failed, ""); // Open() has said why

    driver.Click(IDC_SEARCH);
    const std::string host = request.host;
    progress::Show("searching for " + host);
    auto isListed = [host] {
        auto rows = RowsNow();
        int row = FindRow(rows, 1, host);
        return row >= 0 && IsNoIp(rows[static_cast<std::size_t>(row)][0]);
    };
    if (!session.WaitForRow(isListed, request.wait)) {
        session.Close();
        return Outcome(AssignResult::NotFound,
                       "no \"No IP\" appliance named " + host + " was found");
    }

    if (!SelectListedRow(driver,
                         [&host](const ListRows& rows) { return FindRow(rows, 1, host); })) {
        session.Close();
        return Outcome(AssignResult::Failed, "the row of " + host + " could not be selected");
    }
    const std::string hw = HardwareAddressOf(driver, host);
    driver.DoubleClickList(IDC_DEVICE_LIST);
    if (!driver.WaitForDialog(IDD_ADDRESS_ASSIGN, 5000)) {
        session.Close();
        return Outcome(AssignResult::Failed, "the assign dialog did not open");
    }
    driver.TypeText(IDC_IP_ADDRESS, request.ip);
    driver.TypeText(IDC_SUBNET_MASK, request.mask);
    driver.TypeText(IDC_GATEWAY, request.gateway);
    std::size_t boxesBefore = driver.Snapshot().boxes.size();
    // "Assign IP" runs the in-use check before the responder starts.
    progress::Show("checking that " + request.ip + " is not in use");
    driver.Click(IDOK);

    // Refused input: the dialog is still open and "Assign IP" still usable.
    if (driver.TopDialog() == IDD_ADDRESS_ASSIGN && driver.IsEnabled(IDOK)) {
        std::vector<headless::BoxRecord> boxes = driver.Snapshot().boxes;
        AssignOutcome outcome = Outcome(AssignResult::Refused, "the input was refused");
        if (boxes.size() > boxesBefore) {
            std::string text = OneLine(boxes.back().text);
            // Declining "Subnet Warning!" ends in the in-use box as well, but says nothing
            // about the address being held: a batch must not pass on to the next address.
            const bool declined =
                std::any_of(boxes.begin() + static_cast<std::ptrdiff_t>(boxesBefore), boxes.end(),
                            [yes](const headless::BoxRecord& box) {
                                return !yes && box.caption == "Subnet Warning!";
                            });
            const bool inUse = !declined && text.find("maybe is in used") != std::string::npos;
            outcome =
                Outcome(inUse ? AssignResult::InUse : AssignResult::Refused,
                        (inUse ? "in use: " : "refused: ") + text +
                            (declined ? " (\"Subnet Warning!\" declined; --yes accepts it)" : ""));
        }
        outcome.hw = hw;
        driver.Click(IDCANCEL);
        session.Close();
        return outcome;
    }
    progress::Show("waiting for " + host + " to take " + request.ip);

    // The responder answers until the DHCPACK or the dialog's 25-second limit.
    // (The dialog has no owner, so the main window stays enabled meanwhile.)
    driver.WaitUntil([] { return headless::Driver::TopDialogOnUi() != IDD_ADDRESS_ASSIGN; }, 40000);
    const auto acknowledged = std::chrono::steady_clock::now();
    DWORD dwAckInterface = 0;
    driver.OnUi([&dwAckInterface] { dwAckInterface = g_dwAssignedInterface; });
    auto rows = driver.Rows(IDC_DEVICE_LIST);
    std::vector<headless::BoxRecord> boxes = driver.Snapshot().boxes;
    bool timedOut = !boxes.empty() && boxes.back().text == "Setting IP ERROR";
    session.Close();
    int assigned = FindRow(rows, 1, host);
    if (assigned < 0 || IsNoIp(rows[static_cast<std::size_t>(assigned)][0])) {
        AssignOutcome outcome =
            timedOut ? Outcome(AssignResult::TimedOut,
                               "Setting IP ERROR: the appliance did not take the address in time")
                     : Outcome(AssignResult::Failed, "the appliance was not given the address");
        outcome.hw = hw;
        return outcome;
    }
    const auto& r = rows[static_cast<std::size_t>(assigned)];
    AssignOutcome outcome;
    outcome.address = r[0];
    outcome.host = r[1];
    outcome.hw = hw;
    outcome.result = AssignResult::Acknowledged;
    if (request.confirm > 0) {
        progress::Show("confirming: waiting for " + host + " to answer from " + r[0]);
        const bool confirmed = ConfirmAndSay(TargetOf(r[0], r[1], dwAckInterface, request.mask),
                                             request.confirm, acknowledged);
        outcome.result = confirmed ? AssignResult::Confirmed : AssignResult::NotConfirmed;
    }
    return outcome;
}

int ExitStatusOf(const AssignOutcome& outcome) {
    switch (outcome.result) {
    case AssignResult::Confirmed:
    case AssignResult::Acknowledged:
        return 0;
    case AssignResult::NotConfirmed:
        return 3;
    default:
        return 1;
    }
}

} // namespace cli
