#include "tests/support/app_session.h"

#include "platform/winapi.h"

namespace testlab {
std::size_t AppSession::RowsNow() {
    // Called on the user-interface thread by WaitUntil.
    HWND hMain = AfxGetApp() && AfxGetApp()->m_pMainWnd ? AfxGetApp()->m_pMainWnd->m_hWnd : nullptr;
    return static_cast<std::size_t>(
        SendMessageA(GetDlgItem(hMain, IDC_DEVICE_LIST), LVM_GETITEMCOUNT, 0, 0));
}

::testing::AssertionResult CentredOn(const RECT& window, const RECT& on) {
    // Centres doubled, so that they compare without halving.
    LONG dx = (window.left + window.right) - (on.left + on.right);
    LONG dy = (window.top + window.bottom) - (on.top + on.bottom);
    if (dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "(" << window.left << "," << window.top << ")-(" << window.right << ","
           << window.bottom << ") is not centred on (" << on.left << "," << on.top << ")-("
           << on.right << "," << on.bottom << ")";
}
} // namespace testlab
