// State shared between the main window and the assign dialog for one run of the program.
#pragma once

#include "platform/afx.h"

// Host name of the appliance chosen for assignment; shown in the assign dialog's title.
extern CString g_strDeviceName;
// The port-67 listener of a search: opened and closed by the search cycle, read by the
// "No IP" listing.
extern SOCKET g_hBootpSearchSocket;
