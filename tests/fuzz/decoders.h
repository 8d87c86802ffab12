// Every message decoder, for the fuzz targets that feed a peer's bytes to them. Each
// decodes a frame's payload as its message; what decodes has its inquiry blocks read
// back with every tag and must survive its own encoding.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "tcpcore/records.h"
#include "tcpcore/wire.h"

namespace vesk::tcpcore::fuzz {

inline void ReadInquiries(const Inquiries& b) {
    for (std::uint16_t tag = 0; tag <= 16; ++tag) {
        std::int32_t v = 0;
        b.GetInt(static_cast<Inquiry>(tag), v);
        tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO big{};
        b.GetRecord(static_cast<Inquiry>(tag), big);
    }
}

template <class M>
void Try(const Frame& f) {
    M m;
    if (!ParsePayload(f, m))
        return;
    if constexpr (requires { m.inquiries; })
        ReadInquiries(m.inquiries);
    const Frame again = MakeFrame(FrameKind::kReply, Op::kNone, 0, m);
    M back;
    if (!ParsePayload(again, back))
        std::abort();  // what decoded must survive its own encoding
}

using Decoder = void (*)(const Frame&);
template <class... Messages>
inline constexpr Decoder kDecodersOf[] = {Try<Messages>...};
inline constexpr auto& kDecoders =
    kDecodersOf<HelloRequest, HelloReply, ConnectRequest, ConnectReply, LoginRequest, LoginReply,
                CustomLoginRequest, CustomLoginReply, CustomLoginInfoRequest, CustomLoginInfoReply,
                CurrentUserReply, AuthServerListReply, SetAuthServerRequest, TextMessage,
                InquireReply, ForcedAttributesReply, BoxListReply, CreateBoxRequest,
                RenameBoxRequest, BoxPasswordRequest, ChangeBoxRequest, DocListReply,
                RemoveDocRequest, RenameDocRequest, OpenDocRequest, OpenBindRequest, OpenReply,
                StreamEnd, ThumbnailRequest, ThumbnailReply, PrintSettingMessage, IntMessage,
                InquireRequest>;

}  // namespace vesk::tcpcore::fuzz
