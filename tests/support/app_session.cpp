#include "tests/support/app_session.h"

#include "platform/winapi.h"

namespace testlab {
std::size_t AppSession::RowsNow() {
    // Called on the user-interface thread by WaitUntil.
    HWND hMain = AfxGetApp() && AfxGetApp()->m_pMainWnd ? AfxGetApp()->m_pMainWnd->m_hWnd : nullptr;
    return static_cast<std::size_t>(
        SendMessageA(GetDlgItem(hMain, IDC_DEVICE_LIST), LVM_GETITEMCOUNT, 0, 0));
}
} // namespace testlab
