// Definitions of the shared globals.
#include "app/Globals.h"

CString g_strDeviceName;
SOCKET g_hBootpSearchSocket = 0;
