// Logins (remembered for reconnecting), the current user, authentication servers,
// and the inquiries the connect and login replies answer.
#include "tcpcore/client_private.h"

#include <algorithm>
#include <cstring>

namespace vesk::tcpcore {
namespace {

bool FromBlock(const Inquiries& b, Inquiry tag, int& out) {
    std::int32_t v = 0;
    if (!b.GetInt(tag, v))
        return false;
    out = v;
    return true;
}
template <class R>
bool FromBlock(const Inquiries& b, Inquiry tag, R& out) {
    return b.GetRecord(tag, out);
}

// Answers an inquiry from the values the device sent at connect or login, asking the
// device only for one it did not send.
template <class T>
int InquireValue(ClientState& s, Inquiry tag, T& out) {
    if (FromBlock(s.inquiries, tag, out))
        return 1;
    InquireReply reply;
    if (!Simple(s, Req(Op::kInquire, InquireRequest{static_cast<std::uint16_t>(tag)}), &reply))
        return 0;
    s.inquiries.Merge(reply.inquiries);
    if (FromBlock(s.inquiries, tag, out))
        return 1;
    SetError(s, QTCP_DEV_UNSUPPORTED);
    return 0;
}

// InquireValue for the public calls (the only shape a dozen of them have).
template <class T>
int Inquire(ClientState& s, Inquiry tag, T& out) {
    return Guarded(s, 0, [&] { return InquireValue(s, tag, out); });
}

void RememberLogin(ClientState& s, LoginStep step) {
    for (auto& l : s.logins)
        if (l.op == step.op) {
            Wipe(l.password);
            l = std::move(step);
            return;
        }
    s.logins.push_back(std::move(step));
}

int LoginOnce(ClientState& s, Op op, LoginForm form, const char* name, int nameLen,
              const char* password, tagUTIL_DOCOPERATIONPERMISSION& perm,
              QTCP_COMMSTATE_CALLBACK cb) {
    LoginRequest req;
    req.form = form;
    req.name = NameOf(name, nameLen, kMaxName);
    req.password = std::string(BoundedCStr(password, kMaxPassword));
    LoginReply reply;
    ExchangeOptions o;
    o.cb = cb;
    const bool ok = Simple(s, Req(op, req), &reply, o) == 1;
    if (!ok) {
        Wipe(req.password);
        return 0;
    }
    perm = reply.permission;
    s.inquiries.Merge(reply.inquiries);
    LoginStep step;
    step.op = op;
    step.form = form;
    step.name = req.name;
    step.password = req.password;
    Wipe(req.password);
    RememberLogin(s, std::move(step));
    return 1;
}

int Login(ClientState& s, Op op, LoginForm form, const char* name, int nameLen,
          const char* password, tagUTIL_DOCOPERATIONPERMISSION& perm, QTCP_COMMSTATE_CALLBACK cb) {
    return Guarded(s, 0, [&] { return LoginOnce(s, op, form, name, nameLen, password, perm, cb); });
}

// The logins below protocol 30: the colour restriction comes back alone.
int LegacyLogin(ClientState& s, Op op, const char* name, int nameLen, const char* password,
                int& colourForbidden, QTCP_COMMSTATE_CALLBACK cb) {
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    if (!Login(s, op, LoginForm::kLegacy, name, nameLen, password, perm, cb))
        return 0;
    colourForbidden = perm.nColourForbidden;
    return 1;
}

}  // namespace
}  // namespace vesk::tcpcore

using namespace vesk::tcpcore;

// ---------------------------------------------------------------------------
// Login

int CTcpCore::UserLogin(const char* name, int nameLen, const char* password, int& colourForbidden,
                        QTCP_COMMSTATE_CALLBACK cb) {
    return LegacyLogin(*m_state, Op::kUserLogin, name, nameLen, password, colourForbidden, cb);
}

int CTcpCore::UserLogin2(const char* name, int nameLen, const char* password,
                         tagUTIL_DOCOPERATIONPERMISSION& permission, QTCP_COMMSTATE_CALLBACK cb) {
    return Login(*m_state, Op::kUserLogin, LoginForm::kV2, name, nameLen, password, permission, cb);
}

int CTcpCore::VendorLogin(const char* name, int nameLen, const char* password,
                          tagUTIL_DOCOPERATIONPERMISSION& permission, QTCP_COMMSTATE_CALLBACK cb) {
    return Login(*m_state, Op::kUserLogin, LoginForm::kVendor, name, nameLen, password, permission,
                 cb);
}

int CTcpCore::AccountLogin(const char* name, int nameLen, const char* password,
                           int& colourForbidden, QTCP_COMMSTATE_CALLBACK cb) {
    return LegacyLogin(*m_state, Op::kAccountLogin, name, nameLen, password, colourForbidden, cb);
}

int CTcpCore::AccountLogin2(const char* name, int nameLen, const char* password,
                            tagUTIL_DOCOPERATIONPERMISSION& permission,
                            QTCP_COMMSTATE_CALLBACK cb) {
    return Login(*m_state, Op::kAccountLogin, LoginForm::kV2, name, nameLen, password, permission,
                 cb);
}

int CTcpCore::CustomizedLogin(const void* data, int size, tagUTIL_DETAIL_LOGIN_RESULT& result,
                              tagUTIL_DOCOPERATIONPERMISSION& permission,
                              QTCP_COMMSTATE_CALLBACK cb) {
    return Guarded(*m_state, 0, [&] {
        ClientState& s = *m_state;
        if (size < 0 || static_cast<std::size_t>(size) > kMaxLoginData || (size > 0 && !data)) {
            SetError(s, QTCP_ERR_ARGUMENT);
            return 0;
        }
        if (!RequireSession(s))
            return 0;
        CustomLoginRequest req;
        const auto* p = static_cast<const std::uint8_t*>(data);
        req.data.assign(p, p + size);
        Frame reply;
        ExchangeOptions o;
        o.cb = cb;
        const CallResult r = Exchange(s, Req(Op::kCustomLogin, req), reply, o);
        if (r == CallResult::kFailed)
            return 0;
        CustomLoginReply m;
        if (ParsePayload(reply, m)) {
            result = m.result;
            if (r == CallResult::kOk)
                permission = m.permission;
        } else if (r == CallResult::kOk) {
            return Malformed(s);
        }
        if (r != CallResult::kOk)
            return 0;
        LoginStep step;
        step.op = Op::kCustomLogin;
        step.custom = std::move(req.data);
        RememberLogin(s, std::move(step));
        return 1;
    });
}

namespace {
int CustomInfo(ClientState& s, int variant, int infoType, void* buffer, int bufferSize,
               int& dataSize, int& totalSize) {
    dataSize = 0;
    if (bufferSize < 0 || (bufferSize > 0 && !buffer)) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    CustomLoginInfoRequest req;
    req.variant = variant;
    req.infoType = infoType;
    req.maxBytes = bufferSize;
    CustomLoginInfoReply reply;
    if (!Simple(s, Req(Op::kCustomLoginInfo, req), &reply))
        return 0;
    const std::size_t n = std::min(reply.data.size(), static_cast<std::size_t>(bufferSize));
    if (n)
        std::memcpy(buffer, reply.data.data(), n);
    dataSize = static_cast<int>(n);
    totalSize = reply.totalSize;
    return 1;
}
}  // namespace

int CTcpCore::GetCustomizedLoginInformation(int infoType, void* buffer, int bufferSize,
                                            int& dataSize, int& totalSize) {
    return Guarded(*m_state, 0, [&] {
        return CustomInfo(*m_state, 1, infoType, buffer, bufferSize, dataSize, totalSize);
    });
}

int CTcpCore::GetCustomizedLoginInformation2(int infoType, void* buffer, int bufferSize,
                                             int& dataSize, int& totalSize) {
    return Guarded(*m_state, 0, [&] {
        return CustomInfo(*m_state, 2, infoType, buffer, bufferSize, dataSize, totalSize);
    });
}

int CTcpCore::GetAccountName4CurrentUser(char* name, int bufferSize) {
    return Guarded(*m_state, 0, [&] {
        if (!name || bufferSize <= 0) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        CurrentUserReply reply;
        if (!Simple(*m_state, Req(Op::kCurrentUser), &reply))
            return 0;
        CopyToField(name, static_cast<std::size_t>(bufferSize), reply.info.szAccountName);
        return 1;
    });
}

int CTcpCore::GetUserInfo4CurrentUser(char* userName, char* serverName) {
    return Guarded(*m_state, 0, [&] {
        if (!userName || !serverName) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        CurrentUserReply reply;
        if (!Simple(*m_state, Req(Op::kCurrentUser), &reply))
            return 0;
        CopyToField(userName, QTCP_USERNAME_SIZE, reply.info.szUserName);
        CopyToField(serverName, QTCP_SERVERNAME_SIZE, reply.info.szServerName);
        return 1;
    });
}

int CTcpCore::GetUserInfo4CurrentUser2(tagUTIL_CURRENT_USER_INFO& info) {
    return Guarded(*m_state, 0, [&] {
        CurrentUserReply reply;
        if (!Simple(*m_state, Req(Op::kCurrentUser), &reply))
            return 0;
        info = reply.info;
        return 1;
    });
}

int CTcpCore::GetAuthServerList(std::vector<tagUTIL_AUTHSERVERINFO>& servers) {
    return Guarded(*m_state, 0, [&] {
        AuthServerListReply reply;
        if (!Simple(*m_state, Req(Op::kAuthServerList), &reply))
            return 0;
        servers = std::move(reply.servers);
        return 1;
    });
}

int CTcpCore::SetAuthServerInfo(int index, const char* name, const char* second) {
    return Guarded(*m_state, 0, [&] {
        SetAuthServerRequest req;
        req.index = index;
        req.name = std::string(BoundedCStr(name, kMaxPassword));
        req.second = std::string(BoundedCStr(second, kMaxPassword));
        return Simple<IntMessage>(*m_state, Req(Op::kSetAuthServer, req));
    });
}

int CTcpCore::InquireSimpleAuthenticationEnable(int& enabled) {
    return Inquire(*m_state, Inquiry::kSimpleAuth, enabled);
}

int CTcpCore::SetSimpleAuthentication(int& enable) {
    return Guarded(*m_state, 0, [&] {
        IntMessage reply;
        if (!Simple(*m_state, Req(Op::kSetSimpleAuth, IntMessage{enable}), &reply))
            return 0;
        enable = reply.value;
        m_state->inquiries.SetInt(Inquiry::kSimpleAuth, reply.value);
        return 1;
    });
}

int CTcpCore::InquireEnhancedSecurityMode(int& mode) {
    return Inquire(*m_state, Inquiry::kEnhancedSecurity, mode);
}

int CTcpCore::IsTrimUserNameInCaseOfLDAPServer(int& trim) {
    return Inquire(*m_state, Inquiry::kTrimLdapUserName, trim);
}

int CTcpCore::InquireSupportOfSettingUserName(int& supported) {
    return Inquire(*m_state, Inquiry::kSettingUserName, supported);
}

int CTcpCore::SetUserNameDuringPublicLogin(const char* name, int nameLen) {
    return Guarded(*m_state, 0, [&] {
        return Simple<IntMessage>(
            *m_state, Req(Op::kSetPublicUserName, TextMessage{NameOf(name, nameLen, kMaxName)}));
    });
}

int CTcpCore::GetBoxAdminSupport(int& supported) {
    return Inquire(*m_state, Inquiry::kBoxAdminSupport, supported);
}

// ---------------------------------------------------------------------------
// Inquiries

int CTcpCore::GetHDDCount(int& count) {
    return Inquire(*m_state, Inquiry::kHddCount, count);
}

int CTcpCore::InquireSecuritySettingOfRXData(int& value) {
    return Inquire(*m_state, Inquiry::kRxDataSecurity, value);
}

int CTcpCore::GetBoxControlPermission(tagUTIL_BOXCONTROLPERMISSION& permission) {
    return Inquire(*m_state, Inquiry::kBoxControlPermission, permission);
}

int CTcpCore::GetAutoDelTimePermission(tagUTIL_AUTODELTIMEPERMISSION& permission) {
    return Inquire(*m_state, Inquiry::kAutoDelTimePermission, permission);
}

int CTcpCore::GetMono2ColorDocPolicy(int& policy) {
    return Inquire(*m_state, Inquiry::kMono2ColorPolicy, policy);
}

int CTcpCore::IsIOption(int& option) {
    return Inquire(*m_state, Inquiry::kIOption, option);
}

int CTcpCore::GetExtendedFormatSupportInfo(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO& info) {
    return Inquire(*m_state, Inquiry::kExtendedFormat, info);
}

int CTcpCore::GetExtendedFormatSupportInfo2(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2& info) {
    return Inquire(*m_state, Inquiry::kExtendedFormat2, info);
}

int CTcpCore::GetSearchablePDFSupportInfo(tagUTIL_SPDF_SUPPORT_INFO& info) {
    return Inquire(*m_state, Inquiry::kSearchablePdf, info);
}

int CTcpCore::GetOptionalFunction(long& functions) {
    return Guarded(*m_state, 0, [&] {
        int v = 0;
        if (!InquireValue(*m_state, Inquiry::kOptionalFunction, v))
            return 0;
        functions = static_cast<long>(static_cast<std::uint32_t>(v));
        return 1;
    });
}

int CTcpCore::GetForcedDocumentAttribute(int kind, int& count, tagUTIL_ATTRIBUTEINFO* attributes,
                                         int maxCount) {
    return Guarded(*m_state, 0, [&] {
        count = 0;
        if (maxCount < 0 || (maxCount > 0 && !attributes)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        ForcedAttributesReply reply;
        if (!Simple(*m_state, Req(Op::kForcedAttributes, IntMessage{kind}), &reply))
            return 0;
        const std::size_t n = std::min(reply.attributes.size(), static_cast<std::size_t>(maxCount));
        std::copy_n(reply.attributes.begin(), n, attributes);
        count = static_cast<int>(n);
        return 1;
    });
}
