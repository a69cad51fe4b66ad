// What the main window does with a listed appliance: "Web Browser.." and a double-click open
// its administration page; a double-click on a "No IP" row runs the assign dialog for it.
#include "app/Globals.h"
#include "app/VellumcrestUIDlg.h"
#include "assign/AddressAssignDlg.h"
#include "proto/address.h"

CString CVellumcrestUIDlg::FindHardwareAddress(const CString& strHostName) const {
    // Every match is taken in turn, so the last one wins, as when the assign dialog is
    // handed each match.
    CString strHwAddr;
    for (int i = 0; i < m_arrHostNames.GetSize(); ++i) {
        if (m_arrHostNames[i].CompareNoCase(strHostName) == 0)
            strHwAddr = m_arrHwAddrs[i];
    }
    return strHwAddr;
}

std::map<CString, CString, CHostNameLess> CVellumcrestUIDlg::HardwareAddresses() const {
    // Names equal in any letter case are one key, and a later entry replaces the value: the
    // last match wins, as in FindHardwareAddress.
    std::map<CString, CString, CHostNameLess> addresses;
    for (int i = 0; i < m_arrHostNames.GetSize(); ++i)
        addresses[m_arrHostNames[i]] = m_arrHwAddrs[i];
    return addresses;
}

void CVellumcrestUIDlg::OpenAdminPage(const CString& strAddress) {
    CString strUrl = "http://" + strAddress + "/admin/";
    auto nResult = reinterpret_cast<INT_PTR>(
        ShellExecuteA(nullptr, "open", strUrl, nullptr, nullptr, SW_SHOW));
    if (nResult > 32)
        return;
    char szText[1000] = "";
    LoadStringA(AfxGetResourceHandle(), IDS_LINK_FAILED, szText, sizeof szText);
    MessageBoxA(nullptr, szText, nullptr, MB_ICONWARNING);
}

void CVellumcrestUIDlg::OnWebBrowser() {
    if (m_listDevices.GetItemCount() == 0)
        return;
    int nItem = m_listDevices.GetNextItem(-1, LVNI_SELECTED);
    if (nItem == -1)
        nItem = 0;
    CString strAddress = m_listDevices.GetItemText(nItem, 0);
    strAddress.TrimRight();
    OpenAdminPage(strAddress);
}

void CVellumcrestUIDlg::OnDblclkDeviceList(NMHDR*, LRESULT* pResult) {
    int nItem = m_listDevices.GetNextItem(-1, LVNI_SELECTED);
    if (nItem == -1)
        return;
    CString strAddress = m_listDevices.GetItemText(nItem, 0);
    strAddress.TrimRight();

    if (strAddress.CompareNoCase("No IP") == 0) {
        StopSearch();
        ShowStatusIcon(IDI_STATUS_IDLE);
        g_strDeviceName = m_listDevices.GetItemText(nItem, 1);

        CAddressAssignDlg dlg;
        for (int i = 0; i < m_arrHostNames.GetSize(); ++i) {
            if (m_arrHostNames[i].CompareNoCase(g_strDeviceName) == 0)
                dlg.SetHardwareAddress(m_arrHwAddrs[i]);
        }
        INT_PTR nResult = dlg.DoModal();

        // The double-click stopped the search timer, whose end would have given "Search"
        // back; the search is over either way.
        GetDlgItem(IDC_SEARCH)->EnableWindow(TRUE);

        if (nResult == IDOK && g_bAssigned == 1) {
            // The row shows the canonical address: the dialog's normalised text
            // (192.168..10) is no address a browser can open.
            CString strAssigned = g_szAssignIP;
            if (auto address = ParseDottedAddress(g_szAssignIP))
                strAssigned = DottedText(*address).data();
            // Replies that came in while the dialog was open were listed above this row, so
            // its index no longer holds; its host name does (the list shows each name once).
            for (int i = 0; i < m_listDevices.GetItemCount(); ++i) {
                if (m_listDevices.GetItemText(i, 1) == g_strDeviceName) {
                    m_listDevices.SetItemText(i, 0, strAssigned);
                    break;
                }
            }
            return;
        }
        if (nResult == IDCANCEL)
            return;
    }
    OpenAdminPage(strAddress);
    *pResult = 0;
}
