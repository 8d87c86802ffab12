// Boxes, the documents in them (list, copy, move, remove, rename) and printing.
#include "tcpcore/client_private.h"

namespace vesk::tcpcore {
namespace {

bool SanePrintSettings(const PrintSetting& p) {
    return p.nCopies >= 0 && p.nStartPage >= 0 && p.nEndPage >= 0;
}

int CopyOrMove(ClientState& s, long docID, long destBoxNo, int move, QTCP_COMMSTATE_CALLBACK cb) {
    if (!FitsI32(docID) || !FitsI32(destBoxNo)) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    CopyDocRequest req{static_cast<std::int32_t>(docID), static_cast<std::int32_t>(destBoxNo),
                       move};
    ExchangeOptions o;
    o.cb = cb;
    return Simple<IntMessage>(s, Req(Op::kCopyDoc, req), nullptr, o);
}

}  // namespace
}  // namespace vesk::tcpcore

using namespace vesk::tcpcore;

// ---------------------------------------------------------------------------
// Boxes

int CTcpCore::GetBoxList(std::vector<tagUTIL_BOXINFO>& boxes) {
    return Guarded(*m_state, 0, [&] {
        BoxListReply reply;
        if (!Simple(*m_state, Req(Op::kBoxList, IntMessage{0}), &reply))
            return 0;
        boxes = std::move(reply.boxes);
        return 1;
    });
}

int CTcpCore::GetFilingNumberBoxList(std::vector<tagUTIL_BOXINFO>& boxes) {
    return Guarded(*m_state, 0, [&] {
        BoxListReply reply;
        if (!Simple(*m_state, Req(Op::kBoxList, IntMessage{1}), &reply))
            return 0;
        boxes = std::move(reply.boxes);
        return 1;
    });
}

int CTcpCore::CreateBox(const tagUTIL_BOXCREATEINFO& info, const char* password,
                        QTCP_COMMSTATE_CALLBACK cb) {
    return Guarded(*m_state, -1, [&] {
        CreateBoxRequest req;
        req.info = info;
        req.password = std::string(BoundedCStr(password, kMaxPassword));
        IntMessage reply;
        ExchangeOptions o;
        o.cb = cb;
        if (!Simple(*m_state, Req(Op::kCreateBox, req), &reply, o))
            return -1;
        return reply.value;
    });
}

int CTcpCore::RenameBox(long boxNo, const char* name, int nameLen, const char* password,
                        int& flag) {
    return Guarded(*m_state, 0, [&] {
        flag = 0;
        if (!FitsI32(boxNo)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        RenameBoxRequest req;
        req.boxNo = static_cast<std::int32_t>(boxNo);
        req.name = NameOf(name, nameLen, QTCP_BOXNAME_SIZE - 1);
        req.password = std::string(BoundedCStr(password, kMaxPassword));
        return WithFlag(*m_state, Req(Op::kRenameBox, req), flag);
    });
}

int CTcpCore::RemoveBox(long boxNo, const char* password, int& detail) {
    return Guarded(*m_state, 0, [&] {
        detail = 0;
        if (!FitsI32(boxNo)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        BoxPasswordRequest req{static_cast<std::int32_t>(boxNo),
                               std::string(BoundedCStr(password, kMaxPassword))};
        return WithFlag(*m_state, Req(Op::kRemoveBox, req), detail);
    });
}

int CTcpCore::ChangeBoxSetting(long boxNo, const tagUTIL_BOXPROPINFO& prop, const char* oldPassword,
                               const char* newPassword, int& flag) {
    return Guarded(*m_state, 0, [&] {
        flag = 0;
        if (!FitsI32(boxNo)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        ChangeBoxRequest req;
        req.boxNo = static_cast<std::int32_t>(boxNo);
        req.prop = prop;
        req.oldPassword = std::string(BoundedCStr(oldPassword, kMaxPassword));
        req.newPassword = std::string(BoundedCStr(newPassword, kMaxPassword));
        return WithFlag(*m_state, Req(Op::kChangeBox, req), flag);
    });
}

int CTcpCore::BoxLogin(long boxNo, const char* password, int& flag) {
    return Guarded(*m_state, 0, [&] {
        ClientState& s = *m_state;
        flag = 0;
        if (!FitsI32(boxNo)) {
            SetError(s, QTCP_ERR_ARGUMENT);
            return 0;
        }
        BoxPasswordRequest req{static_cast<std::int32_t>(boxNo),
                               std::string(BoundedCStr(password, kMaxPassword))};
        if (!WithFlag(s, Req(Op::kBoxLogin, req), flag))
            return 0;
        s.boxLoggedIn = true;
        s.boxNo = req.boxNo;
        s.boxPassword = req.password;
        return 1;
    });
}

int CTcpCore::BoxLogout() {
    return Guarded(*m_state, 0, [&] {
        ClientState& s = *m_state;
        if (!Simple<IntMessage>(s, Req(Op::kBoxLogout)))
            return 0;
        s.boxLoggedIn = false;
        s.boxPassword.clear();
        return 1;
    });
}

// ---------------------------------------------------------------------------
// Documents

int CTcpCore::GetDocumentList(std::vector<tagUTIL_DOCINFO>& docs, int kind) {
    return Guarded(*m_state, 0, [&] {
        DocListReply reply;
        if (!Simple(*m_state, Req(Op::kDocList, IntMessage{kind}), &reply))
            return 0;
        docs = std::move(reply.docs);
        return 1;
    });
}

int CTcpCore::CopyDocument(long docID, long destBoxNo, QTCP_COMMSTATE_CALLBACK cb) {
    return Guarded(*m_state, 0, [&] { return CopyOrMove(*m_state, docID, destBoxNo, 0, cb); });
}

int CTcpCore::MoveDocument(long docID, long destBoxNo, QTCP_COMMSTATE_CALLBACK cb) {
    return Guarded(*m_state, 0, [&] { return CopyOrMove(*m_state, docID, destBoxNo, 1, cb); });
}

int CTcpCore::RemoveDocument(long docID, QTCP_COMMSTATE_CALLBACK cb) {
    return Guarded(*m_state, 0, [&] {
        if (!FitsI32(docID)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        RemoveDocRequest req{static_cast<std::int32_t>(docID), 0, {}};
        ExchangeOptions o;
        o.cb = cb;
        return Simple<IntMessage>(*m_state, Req(Op::kRemoveDoc, req), nullptr, o);
    });
}

int CTcpCore::RemoveDocument2(long docID, const char* password, int& flag,
                              QTCP_COMMSTATE_CALLBACK) {
    return Guarded(*m_state, 0, [&] {
        flag = 0;
        if (!FitsI32(docID)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        RemoveDocRequest req{static_cast<std::int32_t>(docID), 1,
                             std::string(BoundedCStr(password, kMaxPassword))};
        return WithFlag(*m_state, Req(Op::kRemoveDoc, req), flag);
    });
}

int CTcpCore::RenameDocument(long docID, const char* name, int nameLen) {
    return Guarded(*m_state, 0, [&] {
        if (!FitsI32(docID)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        RenameDocRequest req{static_cast<std::int32_t>(docID),
                             NameOf(name, nameLen, QTCP_DOCNAME_SIZE - 1)};
        return Simple<IntMessage>(*m_state, Req(Op::kRenameDoc, req));
    });
}

// ---------------------------------------------------------------------------
// Print

int CTcpCore::SetDocument(long docID) {
    return Guarded(*m_state, 0, [&] {
        if (!FitsI32(docID)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        return Simple<IntMessage>(
            *m_state, Req(Op::kSetPrintDoc, IntMessage{static_cast<std::int32_t>(docID)}));
    });
}

int CTcpCore::GetEffectivePrintSettings(PrintSetting& settings) {
    return Guarded(*m_state, 0, [&] {
        PrintSettingMessage reply;
        if (!Simple(*m_state, Req(Op::kPrintSettings, IntMessage{0}), &reply))
            return 0;
        if (!SanePrintSettings(reply.settings))
            return Malformed(*m_state);
        settings = reply.settings;
        return 1;
    });
}

int CTcpCore::GetCurrentSetDocumentPrintSettings(PrintSetting& settings) {
    return Guarded(*m_state, 0, [&] {
        PrintSettingMessage reply;
        if (!Simple(*m_state, Req(Op::kPrintSettings, IntMessage{1}), &reply))
            return 0;
        if (!SanePrintSettings(reply.settings))
            return Malformed(*m_state);
        settings = reply.settings;
        return 1;
    });
}

int CTcpCore::PrintDocument(PrintSetting& settings) {
    return Guarded(*m_state, 0, [&] {
        PrintSettingMessage reply;
        if (!Simple(*m_state, Req(Op::kPrint, PrintSettingMessage{settings}), &reply))
            return 0;
        // Not "printed" when the device reports a job it cannot have accepted.
        if (!SanePrintSettings(reply.settings))
            return Malformed(*m_state);
        settings = reply.settings;
        return 1;
    });
}
