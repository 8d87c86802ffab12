// The framing shared by the socket links of every platform: frames in and out, the
// input buffer, the direct read into the caller's buffer and the batched plain receive.
// A platform link supplies only its transport (socket, TLS, waiting) below it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tcpcore/link.h"

namespace vesk::tcpcore {

// One piece of a scatter receive.
struct IoSpan {
    std::uint8_t* p;
    std::size_t n;
};

class FramedLink : public DeviceLink {
public:
    LinkStatus Send(const Frame& f, const WaitControl& wc) override;
    LinkStatus Receive(Frame& f, const WaitControl& wc) override;
    // A data frame that fits the caller's buffer is read straight into it: only its
    // header passes through the input buffer, so a document crosses memory once, from
    // the socket (or the TLS record) to the caller.
    LinkStatus ReceiveInto(Frame& f, std::uint8_t* dst, std::size_t capacity, std::size_t& direct,
                           const WaitControl& wc) override;

protected:
    static constexpr std::size_t kReadChunk = 256u << 10;
    static constexpr std::size_t kMaxBatch = 16;  // frames in one batched receive
    static constexpr std::size_t kMaxSpans = 2 * kMaxBatch + 2;

    // The transport. Connected: the socket is there (not closed). Write: all n bytes,
    // waiting while the socket is full; any failure is final. ReadSomeBytes: one read of
    // at most max bytes into dst (got starts at 0), waiting until something arrives;
    // a failure met after some bytes came goes through DeliverThenFail.
    virtual bool Connected() const = 0;
    virtual LinkStatus Write(const std::uint8_t* p, std::size_t n, const WaitControl& wc) = 0;
    virtual LinkStatus ReadSomeBytes(std::uint8_t* dst, std::size_t max, std::size_t& got,
                                     const WaitControl& wc) = 0;
    // Plain links only (Batched()): one receive into the spans in order, never waiting.
    // kOk with received > 0 for bytes, with 0 at the end of the stream; kTimeout when
    // nothing is there yet; kClosed for a reset, kIo for another failure.
    virtual bool Batched() const = 0;
    virtual LinkStatus ReceiveSpans(const IoSpan* spans, std::size_t count,
                                    std::size_t& received) = 0;
    virtual LinkStatus WaitReadable(const WaitControl& wc) = 0;

    // What came before a failure is delivered first; the next read reports it (a TLS
    // library would not say the same again).
    LinkStatus DeliverThenFail(std::size_t got, LinkStatus failure);
    // Received bytes are waiting in the input buffer.
    bool HasInput() const { return head_ < tail_; }
    // Frees the input buffer, for Close.
    void DropInput();

private:
    LinkStatus ReadInto(std::uint8_t* dst, std::size_t max, std::size_t& got,
                        const WaitControl& wc);
    LinkStatus ReadSome(std::size_t max, const WaitControl& wc);
    void Consume(std::size_t n);
    void Unread(const std::uint8_t* header, const std::uint8_t* part, std::size_t n);
    LinkStatus ReadPayloadInto(const FrameHeader& h, Frame& f, std::uint8_t* dst,
                               std::size_t capacity, std::size_t& direct, const WaitControl& wc);
    LinkStatus ReadFrames(const FrameHeader& h, const std::uint8_t* header0, Frame& f,
                          std::uint8_t* dst, std::size_t capacity, std::size_t got,
                          std::size_t& direct, const WaitControl& wc);

    std::vector<std::uint8_t> in_;  // bytes [head_, tail_) are received and not yet taken
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    LinkStatus readFailure_ = LinkStatus::kOk;  // a failure met after data was delivered
};

}  // namespace vesk::tcpcore
