// What the main window does with a listed appliance.
#include "app/VellumcrestUIDlg.h"

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
