// libFuzzer target for what a peer can send: the input is a byte stream of frames;
// each decoded frame's payload goes through every message decoder. Built and run by
// scripts/fuzz (clang).
#include <cstddef>
#include <cstdint>

#include "tcpcore/wire.h"

using namespace vesk::tcpcore;

namespace {

template <class M>
void Try(const Frame& f) {
    M m;
    ParsePayload(f, m);
}

void AllMessages(const Frame& f) {
    Try<HelloRequest>(f);
    Try<HelloReply>(f);
    Try<ConnectRequest>(f);
    Try<ConnectReply>(f);
    Try<LoginRequest>(f);
    Try<LoginReply>(f);
    Try<CustomLoginRequest>(f);
    Try<CustomLoginReply>(f);
    Try<CustomLoginInfoRequest>(f);
    Try<CustomLoginInfoReply>(f);
    Try<CurrentUserReply>(f);
    Try<AuthServerListReply>(f);
    Try<SetAuthServerRequest>(f);
    Try<TextMessage>(f);
    Try<InquireReply>(f);
    Try<ForcedAttributesReply>(f);
    Try<BoxListReply>(f);
    Try<CreateBoxRequest>(f);
    Try<RenameBoxRequest>(f);
    Try<BoxPasswordRequest>(f);
    Try<ChangeBoxRequest>(f);
    Try<DocListReply>(f);
    Try<RemoveDocRequest>(f);
    Try<RenameDocRequest>(f);
    Try<OpenDocRequest>(f);
    Try<OpenBindRequest>(f);
    Try<OpenReply>(f);
    Try<StreamEnd>(f);
    Try<ThumbnailRequest>(f);
    Try<ThumbnailReply>(f);
    Try<PrintSettingMessage>(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t pos = 0;
    while (pos < size) {
        Frame f;
        std::size_t used = 0;
        if (DecodeFrame(data + pos, size - pos, f, used) != DecodeStatus::kOk)
            break;
        AllMessages(f);
        // The payload alone, as a message body without a frame around it.
        Frame raw = f;
        AllMessages(raw);
        pos += used;
    }
    // The whole input as a payload too, so decoders see inputs without a header.
    Frame whole;
    whole.payload.assign(data, data + size);
    AllMessages(whole);
    return 0;
}
