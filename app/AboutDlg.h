// The About box (dialog 100): fixed texts, nothing changed at run time.
#pragma once

#include "platform/afx.h"
#include "res/resource.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

    BEGIN_MSG_MAP(CAboutDlg, CDialog)
    END_MSG_MAP()
};
