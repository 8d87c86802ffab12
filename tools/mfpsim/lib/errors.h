// Device error codes the emulator reports with a failed reply. The box codes are the
// ones callers map to their own results (8166/8167 box password refused, 8175 box
// creation refused, 8181 and 8193 box name taken, 8195 box settings refused); the
// rest are the emulator's own.
#pragma once

namespace mfpsim {

struct Status {
    int code = 0;    // 0: success
    int detail = 0;  // extra value reported with the code
    bool Ok() const { return code == 0; }
};

inline Status Fail(int code, int detail = 0) {
    return Status{code, detail};
}

namespace err {
inline constexpr int kNotConnected = 8001;     // no session: Connect first
inline constexpr int kLoginRequired = 8002;    // user or account login missing
inline constexpr int kAuthFailed = 8003;       // unknown name or wrong password
inline constexpr int kForbidden = 8004;        // not allowed for this user or device
inline constexpr int kUnsupported = 8005;      // not offered by this protocol version
inline constexpr int kBadRequest = 8006;       // malformed or out-of-range argument
inline constexpr int kStorage = 8007;          // the device could not store the change
inline constexpr int kAlreadyLoggedIn = 8008;  // a second login on the same session

inline constexpr int kBoxNotFound = 8160;
inline constexpr int kBoxPasswordWrong = 8166;
inline constexpr int kBoxPasswordMissing = 8167;
inline constexpr int kBoxNotOwner = 8168;
inline constexpr int kBoxNotLoggedIn = 8169;
inline constexpr int kBoxInUse = 8170;  // another session has the box open
inline constexpr int kBoxCreateRefused = 8175;
inline constexpr int kBoxRenameNameTaken = 8181;
inline constexpr int kBoxChangeNameTaken = 8193;
inline constexpr int kBoxChangeRefused = 8195;

inline constexpr int kDocNotFound = 8200;
inline constexpr int kDocBadName = 8201;
inline constexpr int kDocBusy = 8202;     // open or being read by another session
inline constexpr int kDocFormat = 8203;   // the requested output is not available
inline constexpr int kDocPage = 8204;     // no such page
inline constexpr int kDocNotOpen = 8205;  // read or close without an open document
inline constexpr int kBoxFull = 8206;
inline constexpr int kDocEncrypted = 8210;
inline constexpr int kDocPasswordNeeded = 8211;  // memory-RX documents of a secured device
inline constexpr int kNoDocumentSet = 8220;      // print without a selected document

// Reported when a fault injection names no code of its own.
inline constexpr int kInjected = 8999;
}  // namespace err

}  // namespace mfpsim
