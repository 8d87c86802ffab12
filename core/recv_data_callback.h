// The device's receive-data progress callback, as the application passes it down: one
// declaration for the communication object and the item levels that hand it on.
#pragma once

#include "platform/wintypes.h"

struct tagQTCP_RECVDATA;

typedef long(__stdcall* QTCP_RECVDATA_CALLBACK)(tagQTCP_RECVDATA*);
