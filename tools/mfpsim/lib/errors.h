// Device error codes the emulator reports in the status of a failed reply. They follow
// the protocol's table (docs/protocol.md, section 7); the few the table leaves to the
// device (full box, storage failure) are the emulator's own.
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
inline constexpr int kUnsupported = 8001;   // unknown operation or not in this protocol
inline constexpr int kBadRequest = 8002;    // malformed or out-of-range argument
inline constexpr int kNoSession = 8003;     // Connect first, or a login is missing
inline constexpr int kForbidden = 8004;     // not allowed for this user or device
inline constexpr int kLoginRefused = 8010;  // unknown name or wrong password
inline constexpr int kBoxNotFound = 8020;
inline constexpr int kBoxNotLoggedIn = 8021;
inline constexpr int kDocNotFound = 8030;
inline constexpr int kNotOpen = 8031;    // nothing open, or no document selected
inline constexpr int kDocFormat = 8032;  // cannot be produced in that form or page
inline constexpr int kBusy = 8040;       // another session has the box or document
inline constexpr int kAborted = 8050;    // a stream stopped on the client's request
inline constexpr int kBoxFull = 8060;    // emulator's own
inline constexpr int kStorage = 8090;    // emulator's own: the change could not be stored
inline constexpr int kBoxPasswordWrong = 8166;
inline constexpr int kBoxPasswordMissing = 8167;
inline constexpr int kBoxCreateRefused = 8175;
inline constexpr int kBoxNameInUse = 8181;  // rename
inline constexpr int kBoxOwnerRefused = 8193;
inline constexpr int kBoxSettingRefused = 8195;

// Details that go with kForbidden.
inline constexpr int kDetailNotOwner = 1;
inline constexpr int kDetailEncrypted = 2;
inline constexpr int kDetailPermission = 3;  // box create/edit/delete not allowed
inline constexpr int kDetailRestricted = 4;  // the user's restriction record forbids it
inline constexpr int kDetailMemoryRx = 5;    // not possible on the memory-RX box
inline constexpr int kDetailUnit = 6;        // Connect named another device unit

// Injected faults that name no code of their own.
inline constexpr int kInjected = kBusy;
}  // namespace err

}  // namespace mfpsim
