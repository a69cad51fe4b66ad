// The one application object and the program's start-up.
#include "app/TavisolApp.h"

#include "app/VellumcrestUIDlg.h"

CTavisolApp theApp;

CTavisolApp::CTavisolApp() = default;

BOOL CTavisolApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControlsStatic();

    CVellumcrestUIDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;

    // The window was the whole program: no message loop of the application's own.
    return FALSE;
}

int TavisolMain() {
    return AfxWinMain();
}
