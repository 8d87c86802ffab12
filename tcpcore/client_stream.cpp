// Streams: documents (read frame by frame, straight into the caller's buffer where
// a frame fits) and thumbnails (one reply, kept until closed).
#include "tcpcore/client_private.h"

#include <algorithm>
#include <cstring>

namespace vesk::tcpcore {
namespace {

// Starts a document stream: the open's reply gives the size, the data follows.
int OpenStream(ClientState& s, Frame req, QTCP_PROGRESS_CALLBACK progress) {
    s.stackError = 0;
    if (!RequireSession(s))
        return 0;
    const Op op = req.op;
    Frame reply;
    ExchangeOptions o;
    o.progress = progress;
    if (Exchange(s, std::move(req), reply, o) != CallResult::kOk)
        return 0;
    s.stream = StreamState::kOpen;
    s.streamOp = op;
    s.streamSeq = reply.seq;
    s.streamTotal = -1;
    s.streamReceived = 0;
    s.pending.clear();
    s.pendingPos = 0;
    OpenReply open;
    if (!ParsePayload(reply, open) || open.totalSize < -1) {
        // Data may already be on its way: stop it before reporting the fault.
        AbortStream(s);
        return Malformed(s);
    }
    s.streamTotal = open.totalSize;
    return 1;
}

// The stream ended with an error: the code goes to the stack error and the last error.
void EndStreamWithError(ClientState& s, int code, int detail) {
    s.stream = StreamState::kEndedError;
    s.stackError = code;
    SetError(s, code, detail);
}

}  // namespace
}  // namespace vesk::tcpcore

using namespace vesk::tcpcore;

int CTcpCore::OpenDocument(long docID, int page, int outputType, QTCP_PROGRESS_CALLBACK progress) {
    return Guarded(*m_state, 0, [&] {
        if (!FitsI32(docID)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        OpenDocRequest req;
        req.docId = static_cast<std::int32_t>(docID);
        req.form = OpenForm::kPageAndType;
        req.page = page;
        req.outputType = outputType;
        req.param.nPage = page;
        req.param.nOutputType = outputType;
        return OpenStream(*m_state, Req(Op::kOpenDoc, req), progress);
    });
}

int CTcpCore::OpenDocument(long docID, tagUTIL_OPENDOCPARAM param,
                           QTCP_PROGRESS_CALLBACK progress) {
    return Guarded(*m_state, 0, [&] {
        if (!FitsI32(docID)) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        OpenDocRequest req;
        req.docId = static_cast<std::int32_t>(docID);
        req.form = OpenForm::kParam;
        req.page = param.nPage;
        req.outputType = param.nOutputType;
        req.param = param;
        return OpenStream(*m_state, Req(Op::kOpenDoc, req), progress);
    });
}

int CTcpCore::OpenDocumentWithBind(long* docIDs, int count, int bindFormat) {
    return Guarded(*m_state, 0, [&] {
        if (!docIDs || count <= 0 || static_cast<std::size_t>(count) > kMaxBindIds) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        OpenBindRequest req;
        req.bindFormat = bindFormat;
        for (int i = 0; i < count; ++i) {
            if (!FitsI32(docIDs[i])) {
                SetError(*m_state, QTCP_ERR_ARGUMENT);
                return 0;
            }
            req.docIds.push_back(static_cast<std::int32_t>(docIDs[i]));
        }
        return OpenStream(*m_state, Req(Op::kOpenBind, req), nullptr);
    });
}

int CTcpCore::ReadDocument(void* buffer, int size) {
    return Guarded(*m_state, -1, [&] {
        ClientState& s = *m_state;
        if (!buffer || size <= 0) {
            SetError(s, QTCP_ERR_ARGUMENT);
            return -1;
        }
        if (s.stream == StreamState::kNone) {
            SetError(s, QTCP_ERR_STATE);
            return -1;
        }
        if (s.streamCancelled) {
            SetError(s, QTCP_ERR_CANCELLED);
            return -1;
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        const auto want = static_cast<std::size_t>(size);
        std::size_t copied = 0;
        const Clock::time_point start = Clock::now();
        // Keep-alives restart the wait for data, but data must come within the limit.
        Clock::time_point lastData = start;
        while (copied < want) {
            if (s.pendingPos < s.pending.size()) {
                const std::size_t n = std::min(want - copied, s.pending.size() - s.pendingPos);
                std::memcpy(out + copied, s.pending.data() + s.pendingPos, n);
                copied += n;
                s.pendingPos += n;
                continue;
            }
            if (s.stream != StreamState::kOpen)
                break;
            Frame f;
            WaitControl wc;
            wc.deadline = Deadline(std::min(lastData + std::chrono::milliseconds(s.requestLimitMs),
                                            Clock::now() + std::chrono::milliseconds(s.ioMs)));
            wc.cancelled = [&] {
                return Notify(s, nullptr, QTCP_STATE_RECEIVING, s.streamOp, s.streamReceived,
                              s.streamTotal, start, s.ioMs);
            };
            // A data frame that fits what is left of the buffer goes straight into it.
            std::size_t direct = 0;
            const LinkStatus st = s.link->ReceiveInto(f, out + copied, want - copied, direct, wc);
            if (st == LinkStatus::kCancelled) {
                // The link is still in step: CloseDocument(1) stops the stream politely.
                s.streamCancelled = true;
                SetError(s, QTCP_ERR_CANCELLED);
                return copied > 0 ? static_cast<int>(copied) : -1;
            }
            if (st != LinkStatus::kOk) {
                DropLink(s, st);  // marks the stream broken
                break;
            }
            if (f.seq != s.streamSeq) {
                DropLink(s, LinkStatus::kProtocol);
                break;
            }
            if (f.kind == FrameKind::kKeepAlive)
                continue;
            if (f.kind == FrameKind::kData) {
                const auto n = static_cast<std::int64_t>(direct > 0 ? direct : f.payload.size());
                if (s.streamTotal >= 0 && s.streamReceived + n > s.streamTotal) {
                    // More than announced: a device fault, and the stream cannot be trusted.
                    DropLink(s, LinkStatus::kProtocol);
                    break;
                }
                s.streamReceived += n;
                lastData = Clock::now();
                if (direct > 0) {
                    copied += direct;
                } else {
                    s.pending = std::move(f.payload);
                    s.pendingPos = 0;
                }
                if (s.recvCb) {
                    tagQTCP_RECVDATA rd{};
                    rd.nSize = sizeof rd;
                    rd.nOperation = static_cast<int>(s.streamOp);
                    rd.llReceived = s.streamReceived;
                    rd.llTotal = s.streamTotal;
                    rd.nChunk = static_cast<int>(n);
                    s.recvCb(&rd);
                }
                if (Notify(s, nullptr, QTCP_STATE_RECEIVING, s.streamOp, s.streamReceived,
                           s.streamTotal, start, s.ioMs)) {
                    s.streamCancelled = true;
                    SetError(s, QTCP_ERR_CANCELLED);
                    return copied > 0 ? static_cast<int>(copied) : -1;
                }
                continue;
            }
            if (f.kind == FrameKind::kEnd) {
                StreamEnd end;
                if (!ParsePayload(f, end)) {
                    EndStreamWithError(s, QTCP_ERR_PROTOCOL, 0);
                } else if (f.status != 0) {
                    EndStreamWithError(s, f.status, f.detail);
                } else if ((s.streamTotal >= 0 && s.streamReceived != s.streamTotal) ||
                           end.bytesSent != s.streamReceived) {
                    EndStreamWithError(s, QTCP_ERR_PROTOCOL, 0);
                } else {
                    s.stream = StreamState::kEndedOk;
                    s.stackError = -1;
                }
                continue;
            }
            DropLink(s, LinkStatus::kProtocol);
            break;
        }
        if (copied > 0)
            return static_cast<int>(copied);
        switch (s.stream) {
            case StreamState::kEndedOk:
                return 0;
            case StreamState::kEndedError:
                return -2;
            default:
                return -1;
        }
    });
}

int CTcpCore::CloseDocument(int abort) {
    return Guarded(*m_state, abort ? 1 : 0, [&] {
        ClientState& s = *m_state;
        const StreamState was = s.stream;
        switch (was) {
            case StreamState::kNone:
                if (abort)
                    return 1;
                SetError(s, QTCP_ERR_STATE);
                return 0;
            case StreamState::kEndedOk:
                ResetStream(s);
                return 1;
            case StreamState::kOpen:
                AbortStream(s);
                break;
            case StreamState::kEndedError:
            case StreamState::kBroken:
                break;
        }
        ResetStream(s);
        return abort ? 1 : 0;
    });
}

// ---------------------------------------------------------------------------
// Thumbnails

int CTcpCore::OpenThumbnail(long docID, int kind, int format, int& size) {
    return Guarded(*m_state, 0, [&] {
        ClientState& s = *m_state;
        s.thumbOpen = false;
        s.thumb.clear();
        if (!FitsI32(docID)) {
            SetError(s, QTCP_ERR_ARGUMENT);
            return 0;
        }
        ThumbnailReply reply;
        if (!Simple(s,
                    Req(Op::kThumbnail,
                        ThumbnailRequest{static_cast<std::int32_t>(docID), kind, format}),
                    &reply))
            return 0;
        if (reply.announcedSize < 0 ||
            static_cast<std::uint32_t>(reply.announcedSize) > kMaxPayload)
            return Malformed(s);
        s.thumb = std::move(reply.data);
        // Bytes beyond the announced size are the device's error; the caller sized its
        // buffer and its image from the announcement.
        if (s.thumb.size() > static_cast<std::size_t>(reply.announcedSize))
            s.thumb.resize(static_cast<std::size_t>(reply.announcedSize));
        s.thumbOpen = true;
        size = reply.announcedSize;
        return 1;
    });
}

int CTcpCore::ReadThumbnail(void* buffer, int size, int& length) {
    return Guarded(*m_state, 0, [&] {
        ClientState& s = *m_state;
        length = 0;
        if (!s.thumbOpen) {
            SetError(s, QTCP_ERR_STATE);
            return 0;
        }
        if (size < 0 || (size > 0 && !buffer)) {
            SetError(s, QTCP_ERR_ARGUMENT);
            return 0;
        }
        const std::size_t n = std::min(s.thumb.size(), static_cast<std::size_t>(size));
        if (n)
            std::memcpy(buffer, s.thumb.data(), n);
        length = static_cast<int>(n);
        return 1;
    });
}

int CTcpCore::CloseThumbnail() {
    ClientState& s = *m_state;
    const bool was = s.thumbOpen;
    s.thumbOpen = false;
    s.thumb.clear();
    s.thumb.shrink_to_fit();
    if (!was) {
        SetError(s, QTCP_ERR_STATE);
        return 0;
    }
    return 1;
}
