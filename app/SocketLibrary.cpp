#include "app/SocketLibrary.h"

void StartSocketLibrary(CWnd* pWnd) {
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 1), &wsaData) == 0)
        return;
    int nError = WSAStartup(MAKEWORD(1, 1), &wsaData);
    if (nError != 0) {
        char szText[100];
        wsprintfA(szText, "Cannot use WinSock!\nError Code: %d", nError);
        pWnd->MessageBox(szText, nullptr, MB_ICONWARNING);
    }
}
