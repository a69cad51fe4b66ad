// The application object: runs the main window modally and ends with it.
#pragma once

#include "platform/afx.h"

class CTavisolApp : public CWinApp {
public:
    CTavisolApp();
    BOOL InitInstance() override;
};

extern CTavisolApp theApp;

// Runs the program as its entry point would: the framework start-up with theApp. For the
// back ends whose entry point is not the framework's own (the command line, tests).
int TavisolMain();
