// QTcpCore: the device communication library. One object carries one session with
// one device; the item tree keeps one current object per process. Operations return
// 1 for success unless said otherwise; after a failure GetLastErrorCode tells why
// (device codes 8000..8999 as the device sent them, the library's own 9000..9099,
// see records.h). Strings are multibyte: names UTF-8, passwords and addresses in the
// system code page (UTF-8 on Linux). The wire protocol is docs/protocol.md.
//
// Version to class (GetTcpCoreObject):
//   1.0 .. 3.0   CTcpCoreV20        protocol number major*10+minor (12, 20, 25, 30 ...)
//   3.1          CTcpCoreV31        31 (the device item itself picks CTcpCoreV31DMiOP
//                                   for the 3.1 models that need it)
//   3.2 .. 9.x   CTcpCoreV31        major*10+min(minor, 9): 32 .. 99
//   anything else (major < 1 or > 9, negative minor): null
// A minor version above 9 counts as 9, so 3.10 stays below every 4.x threshold and
// 4.10 still counts as at least 4.9.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/export.h"
#include "tcpcore/records.h"

namespace vesk::tcpcore {
class DeviceLink;
struct ClientState;
}  // namespace vesk::tcpcore

class VESK_API CTcpCore {
public:
    CTcpCore();
    virtual ~CTcpCore();
    CTcpCore(const CTcpCore&) = delete;
    CTcpCore& operator=(const CTcpCore&) = delete;

    // ---- session -------------------------------------------------------------
    // mode 0 plain TCP, 1 TLS; unitName (may be null) is the device unit the caller
    // expects, sent with Connect. Other modes give 0.
    int Initialize(int mode, const char* unitName);
    // Ends any session and releases the connection. 1, also when nothing was open.
    int Uninitialize();
    // Asks the device at address:port for its identifier and protocol version on a
    // connection of its own. canceled: non-zero (also set from another thread) asks
    // the library to stop; the library sets it to 1 when the callback cancels. A
    // cancel before the device answered fails the call; one after it leaves the
    // answer in place and returns 1. opened becomes 1 once the device answered.
    // connectTimeoutSec, sendTimeoutSec, recvTimeoutSec bound each wait (0: default);
    // the item tree passes 5, 12, 12. The connection is kept for a following Connect
    // to the same address, port and mode (see protocol.md), saving a reconnect.
    int GetDeviceInfo(tagQTCP_DEVICEINFO* info, int& major, int& minor, const char* address,
                      int& canceled, int& opened, int port, int connectTimeoutSec,
                      int sendTimeoutSec, int recvTimeoutSec, QTCP_COMMSTATE_CALLBACK cb);
    // Factory: a new object of the class that speaks the reported version, or null.
    // Leaves the protocol number for that version in this object (GetTcpVersion).
    CTcpCore* GetTcpCoreObject(int major, int minor);
    // The protocol number this object speaks, or the one the factory last gave.
    int GetTcpVersion();
    // Callback for progress and cancel of every later call (null: none); returns 1.
    int SetCallbackCommunicate(QTCP_COMMSTATE_CALLBACK cb, void* userData = nullptr);
    // Opens the session: the device reports its authentication types and, in the same
    // answer, every inquiry value it supports (answered locally from then on).
    virtual int Connect(const char* address, int port, int& userAuthType, int& accountAuthType,
                        int& publicUserSupport, QTCP_COMMSTATE_CALLBACK cb);
    // Ends the session (mode 1: tell the device first). 1 when a session had been
    // open (also when the connection had already dropped), else 0.
    virtual int Disconnect(int mode);
    // Non-zero while the session stands and the connection is alive.
    int IsConnected();
    // Reopens a dropped session to the same device and repeats the last login (and
    // box login). With a callback it retries until the device answers or the
    // callback cancels; without one it gives up after three attempts. status gets
    // the last error code, colourForbidden the colour restriction of the login.
    virtual int ReconnectInfinite(int& status, int& colourForbidden,
                                  QTCP_COMMSTATE_CALLBACK cb = nullptr,
                                  QTCP_RECVDATA_CALLBACK recv = nullptr);
    // Installs the receive-data callback for streams; returns the previous one.
    QTCP_RECVDATA_CALLBACK ResetCallbackRecvData(QTCP_RECVDATA_CALLBACK cb);

    // ---- errors ----------------------------------------------------------------
    // Code and detail of the last failure (QTCP_OK and 0 after a success of a
    // call that talked to the device). Returns 1.
    int GetLastErrorCode(int& code, int& detail);
    // How the last document stream ended: -1 (all bits set) when the device ended it
    // normally with every announced byte delivered, 0 after StackErrorClear or
    // while a stream runs, else the error code that ended it.
    virtual int GetLastStackError();
    virtual void StackErrorClear();

    // ---- login -----------------------------------------------------------------
    // Below protocol 30: the colour restriction comes back alone.
    virtual int UserLogin(const char* name, int nameLen, const char* password, int& colourForbidden,
                          QTCP_COMMSTATE_CALLBACK cb = nullptr);
    virtual int UserLogin2(const char* name, int nameLen, const char* password,
                           tagUTIL_DOCOPERATIONPERMISSION& permission,
                           QTCP_COMMSTATE_CALLBACK cb = nullptr);
    virtual int VendorLogin(const char* name, int nameLen, const char* password,
                            tagUTIL_DOCOPERATIONPERMISSION& permission,
                            QTCP_COMMSTATE_CALLBACK cb = nullptr);
    virtual int AccountLogin(const char* name, int nameLen, const char* password,
                             int& colourForbidden, QTCP_COMMSTATE_CALLBACK cb = nullptr);
    virtual int AccountLogin2(const char* name, int nameLen, const char* password,
                              tagUTIL_DOCOPERATIONPERMISSION& permission,
                              QTCP_COMMSTATE_CALLBACK cb = nullptr);
    // data/size: the opaque login data the device's customized login asked for.
    virtual int CustomizedLogin(const void* data, int size, tagUTIL_DETAIL_LOGIN_RESULT& result,
                                tagUTIL_DOCOPERATIONPERMISSION& permission,
                                QTCP_COMMSTATE_CALLBACK cb = nullptr);
    // infoType selects the information; buffer/bufferSize receive it; dataSize gets
    // the bytes written, totalSize what the whole information needs.
    virtual int GetCustomizedLoginInformation(int infoType, void* buffer, int bufferSize,
                                              int& dataSize, int& totalSize);
    virtual int GetCustomizedLoginInformation2(int infoType, void* buffer, int bufferSize,
                                               int& dataSize, int& totalSize);
    // name: at least bufferSize bytes (9 by default), UTF-8, zero-terminated.
    virtual int GetAccountName4CurrentUser(char* name, int bufferSize = QTCP_ACCOUNTNAME_SIZE);
    // userName: 193 bytes, serverName: 33 bytes, both zero-filled and terminated.
    virtual int GetUserInfo4CurrentUser(char* userName, char* serverName);
    virtual int GetUserInfo4CurrentUser2(tagUTIL_CURRENT_USER_INFO& info);
    virtual int GetAuthServerList(std::vector<tagUTIL_AUTHSERVERINFO>& servers);
    virtual int SetAuthServerInfo(int index, const char* name, const char* second);
    virtual int InquireSimpleAuthenticationEnable(int& enabled);
    virtual int SetSimpleAuthentication(int& enable);
    virtual int InquireEnhancedSecurityMode(int& mode);
    virtual int IsTrimUserNameInCaseOfLDAPServer(int& trim);
    virtual int InquireSupportOfSettingUserName(int& supported);
    virtual int SetUserNameDuringPublicLogin(const char* name, int nameLen);
    virtual int GetBoxAdminSupport(int& supported);

    // ---- inquiries (answered from the connect reply when the device sent them) --
    virtual int GetHDDCount(int& count);
    virtual int InquireSecuritySettingOfRXData(int& value);
    virtual int GetBoxControlPermission(tagUTIL_BOXCONTROLPERMISSION& permission);
    virtual int GetAutoDelTimePermission(tagUTIL_AUTODELTIMEPERMISSION& permission);
    virtual int GetMono2ColorDocPolicy(int& policy);
    virtual int IsIOption(int& option);
    virtual int GetExtendedFormatSupportInfo(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO& info);
    virtual int GetExtendedFormatSupportInfo2(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2& info);
    virtual int GetSearchablePDFSupportInfo(tagUTIL_SPDF_SUPPORT_INFO& info);
    virtual int GetOptionalFunction(long& functions);
    // kind 0 send, 1 print; at most maxCount entries are written.
    virtual int GetForcedDocumentAttribute(int kind, int& count, tagUTIL_ATTRIBUTEINFO* attributes,
                                           int maxCount);

    // ---- boxes -------------------------------------------------------------------
    virtual int GetBoxList(std::vector<tagUTIL_BOXINFO>& boxes);
    virtual int GetFilingNumberBoxList(std::vector<tagUTIL_BOXINFO>& boxes);
    // The new box number, or -1.
    virtual int CreateBox(const tagUTIL_BOXCREATEINFO& info, const char* password,
                          QTCP_COMMSTATE_CALLBACK cb = nullptr);
    // flag becomes 1 when the device refused the box password.
    virtual int RenameBox(long boxNo, const char* name, int nameLen, const char* password,
                          int& flag);
    // detail: non-zero when the box password was refused.
    virtual int RemoveBox(long boxNo, const char* password, int& detail);
    virtual int ChangeBoxSetting(long boxNo, const tagUTIL_BOXPROPINFO& prop,
                                 const char* oldPassword, const char* newPassword, int& flag);
    int BoxLogin(long boxNo, const char* password, int& flag);
    int BoxLogout();

    // ---- documents (of the logged-in box) ---------------------------------------
    virtual int GetDocumentList(std::vector<tagUTIL_DOCINFO>& docs, int kind);
    virtual int CopyDocument(long docID, long destBoxNo, QTCP_COMMSTATE_CALLBACK cb = nullptr);
    virtual int MoveDocument(long docID, long destBoxNo, QTCP_COMMSTATE_CALLBACK cb = nullptr);
    virtual int RemoveDocument(long docID, QTCP_COMMSTATE_CALLBACK cb = nullptr);
    virtual int RemoveDocument2(long docID, const char* password, int& flag,
                                QTCP_COMMSTATE_CALLBACK cb = nullptr);
    virtual int RenameDocument(long docID, const char* name, int nameLen);
    // Below protocol 32.
    virtual int OpenDocument(long docID, int page, int outputType,
                             QTCP_PROGRESS_CALLBACK progress = nullptr);
    // From protocol 32 on.
    virtual int OpenDocument(long docID, tagUTIL_OPENDOCPARAM param,
                             QTCP_PROGRESS_CALLBACK progress = nullptr);
    virtual int OpenDocumentWithBind(long* docIDs, int count, int bindFormat);
    // Bytes delivered (> 0), 0 at the normal end, -1 when the connection failed,
    // timed out or was cancelled, -2 when the device ended the stream with an error.
    // Data that arrived before a failure is delivered first. After a cancel the link
    // is still in step: CloseDocument(1) stops the stream and the session goes on.
    virtual int ReadDocument(void* buffer, int size);
    // abort 0 after a complete read: 1 when the stream ended cleanly. abort 1 stops
    // the stream wherever it is and always leaves the object ready for more.
    virtual int CloseDocument(int abort);

    // ---- thumbnails ---------------------------------------------------------------
    // size receives the byte size the device announced.
    virtual int OpenThumbnail(long docID, int kind, int format, int& size);
    // Copies at most size bytes; length receives how many were copied.
    virtual int ReadThumbnail(void* buffer, int size, int& length);
    virtual int CloseThumbnail();

    // ---- print --------------------------------------------------------------------
    virtual int SetDocument(long docID);
    virtual int GetEffectivePrintSettings(PrintSetting& settings);
    virtual int GetCurrentSetDocumentPrintSettings(PrintSetting& settings);
    virtual int PrintDocument(PrintSetting& settings);

    // ---- extensions of this implementation ------------------------------------------
    // Time-outs of later waits on this object (milliseconds, > 0).
    void SetTimeouts(int connectMs, int ioMs);
    // Default time-outs of new objects (tests shorten them).
    static void SetDefaultTimeouts(int connectMs, int ioMs);
    // TLS cipher and protocol negotiated by the current connection ("" for plain).
    std::string GetNegotiatedCipher();
    std::string GetNegotiatedTlsVersion();
    // SHA-256 of the device certificate, hex; "" for plain.
    std::string GetPeerCertificateSha256();
    // The fingerprint (SHA-256, hex) the device's certificate must have; "" accepts
    // any. Checked after every TLS handshake of this object, before its first frame:
    // another certificate closes the connection and fails with QTCP_ERR_CERT_CHANGED.
    void SetExpectedCertificateSha256(const std::string& sha256);
    // What the last TLS handshake of this object presented, also when it was refused.
    std::string GetPresentedCertificateSha256();
    // Overall limit of one request, keep-alives included (milliseconds, > 0): a device
    // that keeps the client waiting longer fails the call with QTCP_ERR_TIMEOUT.
    void SetRequestLimit(int ms);
    static void SetDefaultRequestLimit(int ms);
    // Protocol round trips (request/reply exchanges) made by this object so far.
    long long GetRoundTripCount();

protected:
    // classKind: 0 V20, 1 V31, 2 V31DMiOP (sent with Connect); protocol: its number.
    CTcpCore(int classKind, int protocol);

private:
    std::unique_ptr<vesk::tcpcore::ClientState> m_state;
};

// Protocol 1.x to 3.0 (and the object used for the device-information query).
class VESK_API CTcpCoreV20 : public CTcpCore {
public:
    CTcpCoreV20();
    explicit CTcpCoreV20(int protocol);
};

// Protocol 3.1 and every later one.
class VESK_API CTcpCoreV31 : public CTcpCore {
public:
    CTcpCoreV31();
    explicit CTcpCoreV31(int protocol);

protected:
    CTcpCoreV31(int classKind, int protocol);
};

// Protocol 3.1 on the models with the memory-option thumbnail and auto-delete rules.
class VESK_API CTcpCoreV31DMiOP : public CTcpCoreV31 {
public:
    CTcpCoreV31DMiOP();
};
