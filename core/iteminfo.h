// ITEMINFO: how the user interface describes a device to register or change, or a
// box to create or change. Each level reads only its own fields; a default-made
// record is all empty strings and zeros, which ModifyItem takes as "keep the rest".
#pragma once

#include "platform/cstring.h"

struct ITEMINFO {
    // Device level: root AddChildItem and device ModifyItem.
    CString strName;
    CString strIP;
    int nPort = 0;
    int nPortSSL = 0;
    CString strLastUserName;
    CString strLastAccountName;
    int nLastTCPComm = 0;
    int nLastUserType = 0;
    int nLastAccountType = 0;

    // Box level: device AddChildItem and box ModifyItem.
    CString strBoxTextA;  // single-byte text: the low byte of each character is used
    CString strBoxTextB;
    int nBoxValueA = 0;
    int nBoxValueB = 0;
    CString strBoxUserName;
    CString strBoxName;
    CString strBoxPassword;
    int nBoxType = 0;
    int nBoxValueC = 0;
    int nBoxValueD = 0;
    int nSearchChar = 0;
    int nMain = 0;
    int nAutoDelTime = 0;
    int nAutoDelTimeType = 0;
    int nAutoDelTimeMinute = 0;
};
