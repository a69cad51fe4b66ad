// What the headless back end remembers of a program run, for tests and the command line:
// the message boxes shown, the icons put into static controls, redraw calls, URLs opened,
// the dialogs run and how they ended.
#pragma once

#include "platform/winapi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace headless {

struct BoxRecord {
    bool hasOwner = false;
    std::string text;
    std::string caption;
    UINT style = 0;
    int answer = 0;
};

struct MenuItem {
    UINT flags = 0;
    UINT_PTR id = 0;
    std::string text;
};

struct IconChange {
    int dialogId = 0; // template of the dialog the control belongs to
    int controlId = 0;
    int iconId = 0; // resource id of the icon, 0 for none
};

struct DialogRun {
    int templateId = 0;
    INT_PTR result = 0;
};

struct Record {
    std::vector<BoxRecord> boxes;
    std::vector<IconChange> iconChanges; // STM_SETICON, in order
    std::vector<int> drawnIcons;         // DrawIcon, in order (resource ids)
    int invalidateCalls = 0;
    int invalidateEraseCalls = 0;
    int updateCalls = 0;
    std::vector<std::string> urlsOpened;
    std::vector<DialogRun> dialogRuns; // dialogs that have ended, in the order they ended
    std::vector<int> windowIconsSet;   // WM_SETICON resource ids, in order
    // Rows inserted into list views, and when the first and the last of them went in
    // (CLOCK_MONOTONIC nanoseconds, the clock other processes on the machine share).
    int rowsInserted = 0;
    std::uint64_t firstRowNs = 0;
    std::uint64_t lastRowNs = 0;
};

// Resource id of an icon handle made by LoadIconA, or 0.
int IconId(HICON icon);

} // namespace headless
