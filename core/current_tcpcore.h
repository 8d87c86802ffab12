// The process-wide current communication object: null until a device first connects,
// then the object of the last device that connected. Device items create and delete
// these objects; this slot only points at one.
#pragma once

#include "platform/export.h"

class CTcpCore;

namespace vesk {

VESK_API CTcpCore* GetCurrentTcpCore();
// Makes pTcpCore current and returns the one it replaces (for its owner to delete).
VESK_API CTcpCore* SetCurrentTcpCore(CTcpCore* pTcpCore);

}  // namespace vesk
