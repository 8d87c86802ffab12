// Records exchanged with the device communication library. Each record's bytes, in
// little-endian order, are exactly what travels on the wire (docs/protocol.md), so
// every record has a fixed size, 32-bit members, and explicit padding: no byte of a
// record is left to the compiler. Text fields are byte arrays; the library makes
// sure every text field it hands back holds a terminating zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/recv_data_callback.h"
#include "platform/callconv.h"
#include "platform/export.h"

static_assert(sizeof(int) == 4, "records assume 32-bit int");

// Field sizes shared by several records and calls.
enum : int {
    QTCP_USERNAME_SIZE = 193,   // user names, UTF-8, with the terminating zero
    QTCP_BOXNAME_SIZE = 61,     // box names, UTF-8
    QTCP_DOCNAME_SIZE = 91,     // document names, UTF-8
    QTCP_SERVERNAME_SIZE = 33,  // authentication server names
    QTCP_ACCOUNTNAME_SIZE = 9,  // account names of the current user
    QTCP_PASSWORD_SIZE = 260,   // passwords, system code page
    QTCP_DATE_SIZE = 20,        // "yyyy/mm/dd hh:mm:ss"
    QTCP_DEVICEID_SIZE = 256,   // device identifier in object-identifier form
    QTCP_MAX_ATTRIBUTES = 20,   // attribute entries of a document
    QTCP_MAX_LANGUAGES = 31,    // language entries of the format-support records
};

// ---------------------------------------------------------------------------
// Small records (all members 32-bit signed ints).

struct tagUTIL_ATTRIBUTEINFO {
    int nType;
    int nEnable;
    int nColorType;
};
static_assert(sizeof(tagUTIL_ATTRIBUTEINFO) == 12);

struct tagUTIL_SPDF_OUTLINEPDF_INFO {
    int nIsPDF;
    int nSupportLang;
    int nAdjustRotation;
    int nOutlinePDF;
};
static_assert(sizeof(tagUTIL_SPDF_OUTLINEPDF_INFO) == 16);

struct tagUTIL_EXTENDED_PDF_INFO {
    int nPDFA;
    int nLinearizedPDF;
};
static_assert(sizeof(tagUTIL_EXTENDED_PDF_INFO) == 8);

struct tagUTIL_OFFICE_OPEN_XML_INFO {
    int nEnable;     // cleared by a non-Office download
    int nFormat;     // cleared by a non-Office download
    int nOption;     // cleared by a non-Office download
    int nReserved1;  // kept
    int nReserved2;  // kept
};
static_assert(sizeof(tagUTIL_OFFICE_OPEN_XML_INFO) == 20);

// Sent by value with OpenDocument from protocol 32 on.
struct tagUTIL_OPENDOCPARAM {
    int nPage;
    int nOutputType;
    int nColor;
    int nResolution;
    tagUTIL_SPDF_OUTLINEPDF_INFO outlinePDFInfo;
    tagUTIL_EXTENDED_PDF_INFO extendedPDFInfo;
    tagUTIL_OFFICE_OPEN_XML_INFO officeXMLInfo;
    int nDLPrintMode;
};
static_assert(sizeof(tagUTIL_OPENDOCPARAM) == 64);
static_assert(offsetof(tagUTIL_OPENDOCPARAM, nPage) == 0);
static_assert(offsetof(tagUTIL_OPENDOCPARAM, nOutputType) == 4);
static_assert(offsetof(tagUTIL_OPENDOCPARAM, nColor) == 8);
static_assert(offsetof(tagUTIL_OPENDOCPARAM, nResolution) == 12);
static_assert(offsetof(tagUTIL_OPENDOCPARAM, outlinePDFInfo) == 16);
static_assert(offsetof(tagUTIL_OPENDOCPARAM, extendedPDFInfo) == 32);
static_assert(offsetof(tagUTIL_OPENDOCPARAM, officeXMLInfo) == 40);
static_assert(offsetof(tagUTIL_OPENDOCPARAM, nDLPrintMode) == 60);

// Operation restrictions returned by the logins: 1 means forbidden.
struct tagUTIL_DOCOPERATIONPERMISSION {
    int nCopyForbidden;            // 1
    int nPrintForbidden;           // 2
    int nScanDocForbidden;         // 3
    int nStoreForbidden;           // 4
    int nFaxTXForbidden;           // 5
    int nSendPrintForbidden;       // 6
    int nColourForbidden;          // 7
    int nColourPrintForbidden;     // 8
    int nBlackPrintForbidden;      // 9
    int nColorCopyForbidden;       // 10
    int nColorPrinterForbidden;    // 11
    int nColorScanForbidden;       // 12
    int nColorSendPrintForbidden;  // 13
};
static_assert(sizeof(tagUTIL_DOCOPERATIONPERMISSION) == 52);
static_assert(offsetof(tagUTIL_DOCOPERATIONPERMISSION, nColourForbidden) == 24);
static_assert(offsetof(tagUTIL_DOCOPERATIONPERMISSION, nColorSendPrintForbidden) == 48);

struct tagUTIL_BOXCONTROLPERMISSION {
    int nCreate;
    int nEdit;
    int nDelete;
};
static_assert(sizeof(tagUTIL_BOXCONTROLPERMISSION) == 12);

struct tagUTIL_AUTODELTIMEPERMISSION {
    int nPermission;
    int nReserved;
};
static_assert(sizeof(tagUTIL_AUTODELTIMEPERMISSION) == 8);

// Protocol 33 to 39.
struct tagUTIL_SPDF_SUPPORT_INFO {
    int nSearchablePDF;
    int nLangNum;
    int nLang[QTCP_MAX_LANGUAGES];
};
static_assert(sizeof(tagUTIL_SPDF_SUPPORT_INFO) == 132);

// Protocol 40 and later.
struct tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO {
    int nSearchablePDF;
    int nOfficeOpenXML;
    int nLangNum;
    int nLang[QTCP_MAX_LANGUAGES];
};
static_assert(sizeof(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO) == 136);

struct tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2 {
    int nXPS;
    int nCompactPDF;
    int nPDFA;
    int nLinearizedPDF;
    int nReserved[4];
};
static_assert(sizeof(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2) == 32);
static_assert(offsetof(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2, nPDFA) == 8);
static_assert(offsetof(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2, nLinearizedPDF) == 12);

// ---------------------------------------------------------------------------
// Boxes.

// One element of GetBoxList / GetFilingNumberBoxList.
struct tagUTIL_BOXINFO {
    std::int32_t lBoxNo;                  // 0
    char szBoxName[QTCP_BOXNAME_SIZE];    // 4, UTF-8
    char szUserName[QTCP_USERNAME_SIZE];  // 65, UTF-8
    char pad258[2];
    int nPasswordProtected;            // 260
    int nBoxType;                      // 264
    char szEntryDate[QTCP_DATE_SIZE];  // 268
    int nSearchChar;                   // 288
    int nMain;                         // 292
    int nAutoDelTime;                  // 296
    unsigned char reserved300[96];     // 300..395, device's own
    int nAutoDelTimeType;              // 396
    int nAutoDelTimeMinute;            // 400
};
static_assert(sizeof(tagUTIL_BOXINFO) == 404);
static_assert(offsetof(tagUTIL_BOXINFO, lBoxNo) == 0);
static_assert(offsetof(tagUTIL_BOXINFO, szBoxName) == 4);
static_assert(offsetof(tagUTIL_BOXINFO, szUserName) == 65);
static_assert(offsetof(tagUTIL_BOXINFO, nPasswordProtected) == 260);
static_assert(offsetof(tagUTIL_BOXINFO, nBoxType) == 264);
static_assert(offsetof(tagUTIL_BOXINFO, szEntryDate) == 268);
static_assert(offsetof(tagUTIL_BOXINFO, nSearchChar) == 288);
static_assert(offsetof(tagUTIL_BOXINFO, nMain) == 292);
static_assert(offsetof(tagUTIL_BOXINFO, nAutoDelTime) == 296);
static_assert(offsetof(tagUTIL_BOXINFO, nAutoDelTimeType) == 396);
static_assert(offsetof(tagUTIL_BOXINFO, nAutoDelTimeMinute) == 400);

// CreateBox input; zeroed before filling.
struct tagUTIL_BOXCREATEINFO {
    char szUserName[QTCP_USERNAME_SIZE];  // 0, UTF-8
    char pad193[3];
    int nBoxType;                       // 196
    int nBoxValueC;                     // 200
    int nBoxValueD;                     // 204
    char szBoxName[QTCP_BOXNAME_SIZE];  // 208, UTF-8
    char pad269[7];
    int nSearchChar;      // 276
    int nMain;            // 280
    int nAutoDelTime;     // 284
    char szBoxTextA[33];  // 288
    char szBoxTextB[33];  // 321
    char pad354[30];
    int nBoxValueA;          // 384
    int nBoxValueB;          // 388
    int nAutoDelTimeType;    // 392
    int nAutoDelTimeMinute;  // 396
};
static_assert(sizeof(tagUTIL_BOXCREATEINFO) == 400);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, szUserName) == 0);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nBoxType) == 196);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nBoxValueC) == 200);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nBoxValueD) == 204);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, szBoxName) == 208);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nSearchChar) == 276);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nMain) == 280);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nAutoDelTime) == 284);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, szBoxTextA) == 288);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, szBoxTextB) == 321);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nBoxValueA) == 384);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nBoxValueB) == 388);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nAutoDelTimeType) == 392);
static_assert(offsetof(tagUTIL_BOXCREATEINFO, nAutoDelTimeMinute) == 396);

// Change-mask bits of tagUTIL_BOXPROPINFO::wMask.
enum : unsigned short {
    QTCP_BOXPROP_NAME = 0x01,
    QTCP_BOXPROP_PASSWORD = 0x02,
    QTCP_BOXPROP_TYPE = 0x04,
    QTCP_BOXPROP_OWNER = 0x08,
    QTCP_BOXPROP_INDEX = 0x10,  // index character, main value, deletion type and minutes
    QTCP_BOXPROP_AUTODEL = 0x20,
    QTCP_BOXPROP_TEXTA = 0x40,
};

// ChangeBoxSetting input; zeroed before filling.
struct tagUTIL_BOXPROPINFO {
    int nReserved;                      // 0, always 0
    unsigned short wMask;               // 4
    char szBoxName[QTCP_BOXNAME_SIZE];  // 6, UTF-8
    char pad67[5];
    int nBoxType;                         // 72
    char szUserName[QTCP_USERNAME_SIZE];  // 76, UTF-8
    char pad269[3];
    int nSearchChar;      // 272
    int nMain;            // 276
    int nAutoDelTime;     // 280
    char szBoxTextA[33];  // 284
    char szBoxTextB[61];  // 317
    char pad378[2];
    int nBoxValueA;          // 380
    int nBoxValueB;          // 384
    int nAutoDelTimeType;    // 388
    int nAutoDelTimeMinute;  // 392
};
static_assert(sizeof(tagUTIL_BOXPROPINFO) == 396);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nReserved) == 0);
static_assert(offsetof(tagUTIL_BOXPROPINFO, wMask) == 4);
static_assert(offsetof(tagUTIL_BOXPROPINFO, szBoxName) == 6);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nBoxType) == 72);
static_assert(offsetof(tagUTIL_BOXPROPINFO, szUserName) == 76);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nSearchChar) == 272);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nMain) == 276);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nAutoDelTime) == 280);
static_assert(offsetof(tagUTIL_BOXPROPINFO, szBoxTextA) == 284);
static_assert(offsetof(tagUTIL_BOXPROPINFO, szBoxTextB) == 317);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nBoxValueA) == 380);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nBoxValueB) == 384);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nAutoDelTimeType) == 388);
static_assert(offsetof(tagUTIL_BOXPROPINFO, nAutoDelTimeMinute) == 392);

// ---------------------------------------------------------------------------
// Documents.

// One element of GetDocumentList.
struct tagUTIL_DOCINFO {
    std::int32_t lDocID;                  // 0
    char szUserName[QTCP_USERNAME_SIZE];  // 4, UTF-8
    char pad197[3];
    int nMode;                          // 200
    char szDocName[QTCP_DOCNAME_SIZE];  // 204, UTF-8
    char pad295[1];
    int nPageNo;                                               // 296
    char szEntryDate[QTCP_DATE_SIZE];                          // 300
    int nXResolution;                                          // 320
    int nYResolution;                                          // 324
    int nColorType;                                            // 328
    int nReserved332[2];                                       // 332..339, device's own
    int nBitsPerPixel;                                         // 340
    int nPaperSizeCode;                                        // 344
    int nWidth;                                                // 348
    int nHeight;                                               // 352
    int nFileType;                                             // 356
    int nEncrypted;                                            // 360
    int nAttributeNum;                                         // 364
    tagUTIL_ATTRIBUTEINFO attributeInfo[QTCP_MAX_ATTRIBUTES];  // 368
    tagUTIL_SPDF_OUTLINEPDF_INFO outlinePDFInfo;               // 608
    tagUTIL_EXTENDED_PDF_INFO extendedPDFInfo;                 // 624
    tagUTIL_OFFICE_OPEN_XML_INFO officeXMLInfo;                // 632
};
static_assert(sizeof(tagUTIL_DOCINFO) == 652);
static_assert(offsetof(tagUTIL_DOCINFO, lDocID) == 0);
static_assert(offsetof(tagUTIL_DOCINFO, szUserName) == 4);
static_assert(offsetof(tagUTIL_DOCINFO, nMode) == 200);
static_assert(offsetof(tagUTIL_DOCINFO, szDocName) == 204);
static_assert(offsetof(tagUTIL_DOCINFO, nPageNo) == 296);
static_assert(offsetof(tagUTIL_DOCINFO, szEntryDate) == 300);
static_assert(offsetof(tagUTIL_DOCINFO, nXResolution) == 320);
static_assert(offsetof(tagUTIL_DOCINFO, nYResolution) == 324);
static_assert(offsetof(tagUTIL_DOCINFO, nColorType) == 328);
static_assert(offsetof(tagUTIL_DOCINFO, nBitsPerPixel) == 340);
static_assert(offsetof(tagUTIL_DOCINFO, nPaperSizeCode) == 344);
static_assert(offsetof(tagUTIL_DOCINFO, nWidth) == 348);
static_assert(offsetof(tagUTIL_DOCINFO, nHeight) == 352);
static_assert(offsetof(tagUTIL_DOCINFO, nFileType) == 356);
static_assert(offsetof(tagUTIL_DOCINFO, nEncrypted) == 360);
static_assert(offsetof(tagUTIL_DOCINFO, nAttributeNum) == 364);
static_assert(offsetof(tagUTIL_DOCINFO, attributeInfo) == 368);
static_assert(offsetof(tagUTIL_DOCINFO, outlinePDFInfo) == 608);
static_assert(offsetof(tagUTIL_DOCINFO, extendedPDFInfo) == 624);
static_assert(offsetof(tagUTIL_DOCINFO, officeXMLInfo) == 632);

// ---------------------------------------------------------------------------
// Session, users and print.

// Filled by GetDeviceInfo; led by the device identifier.
struct tagQTCP_DEVICEINFO {
    char szDeviceID[QTCP_DEVICEID_SIZE];  // 0, object-identifier text
    char szModelName[64];                 // 256
    char szSerialNo[32];                  // 320
    int nMajorVersion;                    // 352
    int nMinorVersion;                    // 356
};
static_assert(sizeof(tagQTCP_DEVICEINFO) == 360);
static_assert(offsetof(tagQTCP_DEVICEINFO, szDeviceID) == 0);
static_assert(offsetof(tagQTCP_DEVICEINFO, nMajorVersion) == 352);

// CustomizedLogin result.
struct tagUTIL_DETAIL_LOGIN_RESULT {
    int nResult;  // 1 accepted, else the device's refusal reason
    int nDetail;
    char szUserName[QTCP_USERNAME_SIZE];      // 8, the name the device logged in
    char szServerName[QTCP_SERVERNAME_SIZE];  // 201
    char pad234[2];
};
static_assert(sizeof(tagUTIL_DETAIL_LOGIN_RESULT) == 236);
static_assert(offsetof(tagUTIL_DETAIL_LOGIN_RESULT, szServerName) == 201);

// GetUserInfo4CurrentUser2.
struct tagUTIL_CURRENT_USER_INFO {
    char szUserName[QTCP_USERNAME_SIZE];      // 0
    char szServerName[QTCP_SERVERNAME_SIZE];  // 193
    char pad226[2];
    int nUserType;                              // 228
    int nAccountSyncType;                       // 232, account synchronisation
    char szAccountName[QTCP_ACCOUNTNAME_SIZE];  // 236
    char pad245[3];
};
static_assert(sizeof(tagUTIL_CURRENT_USER_INFO) == 248);
static_assert(offsetof(tagUTIL_CURRENT_USER_INFO, nUserType) == 228);
static_assert(offsetof(tagUTIL_CURRENT_USER_INFO, nAccountSyncType) == 232);
static_assert(offsetof(tagUTIL_CURRENT_USER_INFO, szAccountName) == 236);

// One element of GetAuthServerList.
struct tagUTIL_AUTHSERVERINFO {
    int nIndex;                               // 0
    char szServerName[QTCP_SERVERNAME_SIZE];  // 4
    char szDisplayName[61];                   // 37
    char pad98[2];
    int nServerType;  // 100
};
static_assert(sizeof(tagUTIL_AUTHSERVERINFO) == 104);
static_assert(offsetof(tagUTIL_AUTHSERVERINFO, nServerType) == 100);

// Print settings; the item tree passes them through unchanged.
struct PrintSetting {
    int nCopies;
    int nColorMode;  // 0 auto, 1 black and white, 2 full colour
    int nDuplex;     // 0 simplex, 1 long edge, 2 short edge
    int nCollate;
    int nStaple;
    int nPunch;
    int nPaperSize;
    int nPaperSource;
    int nOutputTray;
    int nStartPage;  // 0: from the first page
    int nEndPage;    // 0: to the last page
    int nZoom;       // percent, 0 device default
    int nNUp;
    int nPrintMode;
    int nReserved[6];
};
static_assert(sizeof(PrintSetting) == 80);

// ---------------------------------------------------------------------------
// Callbacks.

// Phases reported through tagQTCP_COMMSTATE::nState.
enum : int {
    QTCP_STATE_CONNECTING = 1,  // opening the TCP (and TLS) connection
    QTCP_STATE_SENDING = 2,     // a request is being written
    QTCP_STATE_WAITING = 3,     // waiting for the device's reply
    QTCP_STATE_RECEIVING = 4,   // document, thumbnail or list data arriving
    QTCP_STATE_DONE = 5,        // the operation finished (success or not)
};

// Progress and cancel. Handed to the callback installed with SetCallbackCommunicate
// (or given to a call) at least every 100 ms while a call blocks, and between the
// chunks of a stream. The callback returns 0 to go on; a non-zero return, or
// setting nCancel to 1, cancels: the call fails with QTCP_ERR_CANCELLED and the
// connection is closed (a half-read reply cannot be resynchronised).
struct tagQTCP_COMMSTATE {
    int nSize;          // sizeof(tagQTCP_COMMSTATE)
    int nState;         // QTCP_STATE_*
    int nOperation;     // wire operation code of the call under way (protocol.md)
    int nCancel;        // set to 1 to cancel
    long long llDone;   // bytes received so far in this call
    long long llTotal;  // bytes expected, -1 when unknown
    int nElapsedMs;     // since the call started
    int nTimeoutMs;     // the time-out of the wait under way
    void* pUserData;    // the value given to SetCallbackCommunicate
};

// Data progress of a document or thumbnail transfer, reported after every chunk
// taken from the connection. Informational: the return value is ignored.
struct tagQTCP_RECVDATA {
    int nSize;             // sizeof(tagQTCP_RECVDATA)
    int nOperation;        // wire operation code of the stream
    long long llReceived;  // bytes received so far in this stream
    long long llTotal;     // total announced by the device, -1 when unknown
    int nChunk;            // bytes of the chunk just received
    int nReserved;
};

typedef long(__stdcall* QTCP_COMMSTATE_CALLBACK)(tagQTCP_COMMSTATE*);
// OpenDocument progress: called with the milliseconds waited so far while the
// device prepares the document; a non-zero return cancels.
typedef long(__stdcall* QTCP_PROGRESS_CALLBACK)(long);

// ---------------------------------------------------------------------------
// Error codes reported by GetLastErrorCode. Device codes (8000..8999) come from
// the device as they are; the library's own codes (9000..9099) describe failures
// that happened on this side of the connection.
enum : int {
    QTCP_OK = 0,
    // device
    QTCP_DEV_UNSUPPORTED = 8001,    // operation unknown or not in this protocol
    QTCP_DEV_BAD_REQUEST = 8002,    // malformed request
    QTCP_DEV_NO_SESSION = 8003,     // no session or login required first
    QTCP_DEV_FORBIDDEN = 8004,      // the logged-in user may not do this
    QTCP_DEV_LOGIN_REFUSED = 8010,  // user, account or vendor login refused
    QTCP_DEV_NO_BOX = 8020,         // no such box
    QTCP_DEV_BOX_NOT_LOGGED_IN = 8021,
    QTCP_DEV_NO_DOCUMENT = 8030,  // no such document
    QTCP_DEV_NOT_OPEN = 8031,     // no document or thumbnail open
    QTCP_DEV_CONVERSION = 8032,   // the document cannot be produced in that form
    QTCP_DEV_BUSY = 8040,
    QTCP_DEV_ABORTED = 8050,       // a stream ended because the client aborted it
    QTCP_DEV_BOX_PASSWORD = 8166,  // wrong box password
    QTCP_DEV_BOX_PASSWORD_NEEDED = 8167,
    QTCP_DEV_BOX_CREATE = 8175,  // the box cannot be created
    QTCP_DEV_BOX_NAME_IN_USE = 8181,
    QTCP_DEV_BOX_OWNER = 8193,    // owner not acceptable
    QTCP_DEV_BOX_SETTING = 8195,  // box setting refused
    // library
    QTCP_ERR_NOT_INITIALIZED = 9001,
    QTCP_ERR_NOT_CONNECTED = 9002,
    QTCP_ERR_CONNECT = 9003,  // the device could not be reached
    QTCP_ERR_TIMEOUT = 9004,
    QTCP_ERR_CLOSED = 9005,  // the connection dropped
    QTCP_ERR_CANCELLED = 9006,
    QTCP_ERR_PROTOCOL = 9007,  // the device sent something malformed
    QTCP_ERR_TLS = 9008,
    QTCP_ERR_ARGUMENT = 9009,
    QTCP_ERR_STATE = 9010,  // e.g. reading with nothing open
    QTCP_ERR_NO_MEMORY = 9011,
    QTCP_ERR_CERT_CHANGED = 9012,  // the TLS certificate is not the one expected
};
