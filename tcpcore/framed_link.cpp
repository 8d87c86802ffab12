// The framing above every platform's socket: see framed_link.h.
#include "tcpcore/framed_link.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vesk::tcpcore {

namespace {

// f describes a data frame whose payload went to the caller's buffer.
void DescribeDirect(const FrameHeader& h, Frame& f) {
    f.kind = h.kind;
    f.op = h.op;
    f.seq = h.seq;
    f.status = h.status;
    f.detail = h.detail;
    f.payload.clear();
}

}  // namespace

LinkStatus FramedLink::Send(const Frame& f, const WaitControl& wc) {
    if (!Connected())
        return LinkStatus::kClosed;
    if (f.payload.size() > kMaxPayload)
        return LinkStatus::kProtocol;
    std::vector<std::uint8_t> bytes = EncodeFrame(f);
    // A frame cut in half leaves the stream unusable: any failure closes.
    const LinkStatus st = Write(bytes.data(), bytes.size(), wc);
    // A request may carry a password: its bytes do not outlive the write.
    volatile std::uint8_t* wipe = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        wipe[i] = 0;
    if (st != LinkStatus::kOk)
        Close();
    return st;
}

LinkStatus FramedLink::Receive(Frame& f, const WaitControl& wc) {
    for (;;) {
        if (!Connected())
            return LinkStatus::kClosed;
        const std::size_t avail = tail_ - head_;
        if (avail > 0) {
            std::size_t used = 0;
            const DecodeStatus ds = DecodeFrame(in_.data() + head_, avail, f, used);
            if (ds == DecodeStatus::kOk) {
                Consume(used);
                return LinkStatus::kOk;
            }
            if (ds != DecodeStatus::kNeedMore) {
                Close();
                return LinkStatus::kProtocol;
            }
        }
        // A partly received frame stays buffered, so a time-out or cancel here
        // leaves the link in step.
        const LinkStatus st = ReadSome(kReadChunk, wc);
        if (st != LinkStatus::kOk) {
            if (st != LinkStatus::kTimeout && st != LinkStatus::kCancelled)
                Close();
            return st;
        }
    }
}

LinkStatus FramedLink::ReceiveInto(Frame& f, std::uint8_t* dst, std::size_t capacity,
                                   std::size_t& direct, const WaitControl& wc) {
    direct = 0;
    for (;;) {
        if (!Connected())
            return LinkStatus::kClosed;
        const std::size_t avail = tail_ - head_;
        if (avail > 0) {
            FrameHeader h;
            const DecodeStatus ds = DecodeHeader(in_.data() + head_, avail, h);
            if (ds == DecodeStatus::kOk) {
                if (h.kind != FrameKind::kData || h.length > capacity || h.length == 0)
                    return Receive(f, wc);
                return ReadPayloadInto(h, f, dst, capacity, direct, wc);
            }
            if (ds != DecodeStatus::kNeedMore) {
                Close();
                return LinkStatus::kProtocol;
            }
        }
        // Only as much as completes the header: the payload should not land here.
        const LinkStatus st = ReadSome(kHeaderSize - avail, wc);
        if (st != LinkStatus::kOk) {
            if (st != LinkStatus::kTimeout && st != LinkStatus::kCancelled)
                Close();
            return st;
        }
    }
}

// Drops n bytes from the front of the input buffer.
void FramedLink::Consume(std::size_t n) {
    head_ += n;
    if (head_ == tail_)
        head_ = tail_ = 0;
}

// The payload of the data frame whose header h heads the input buffer, into dst.
// On a time-out or cancel the header and what arrived go back into the input
// buffer, so the link stays in step as with Receive.
LinkStatus FramedLink::ReadPayloadInto(const FrameHeader& h, Frame& f, std::uint8_t* dst,
                                       std::size_t capacity, std::size_t& direct,
                                       const WaitControl& wc) {
    std::uint8_t header[kHeaderSize];
    std::memcpy(header, in_.data() + head_, kHeaderSize);
    Consume(kHeaderSize);
    std::size_t got = std::min<std::size_t>(tail_ - head_, h.length);
    if (got > 0) {
        std::memcpy(dst, in_.data() + head_, got);
        Consume(got);
    }
    if (Batched() && got < h.length)
        return ReadFrames(h, header, f, dst, capacity, got, direct, wc);
    while (got < h.length) {
        std::size_t n = 0;
        const LinkStatus st = ReadInto(dst + got, h.length - got, n, wc);
        if (st == LinkStatus::kTimeout || st == LinkStatus::kCancelled) {
            Unread(header, dst, got);
            return st;
        }
        if (st != LinkStatus::kOk) {
            Close();
            return st;
        }
        got += n;
    }
    DescribeDirect(h, f);
    direct = got;
    return LinkStatus::kOk;
}

// Plain links: the rest of the data frame whose header h (bytes header0) was taken,
// and the data frames of the same length, operation and sequence that follow it and
// still fit the caller's buffer, all in as few receives as the socket allows: each
// payload lands right after the previous one, each header in a side buffer. The
// kernel's cost per byte falls with the size of a receive, so a stream of 256 KiB
// frames read into a 1 MiB buffer costs about what one unframed copy does. Bytes
// that turn out not to belong (another kind of frame, another length, a header that
// stops short when nothing more is waiting) go into the input buffer for the next
// call, so the link stays in step; so does a frame cut off by a time-out or cancel.
// direct gets the payload bytes of every frame taken.
LinkStatus FramedLink::ReadFrames(const FrameHeader& h, const std::uint8_t* header0, Frame& f,
                                  std::uint8_t* dst, std::size_t capacity, std::size_t got,
                                  std::size_t& direct, const WaitControl& wc) {
    const std::size_t length = h.length;
    const std::size_t maxFrames = std::min(capacity / length, kMaxBatch);
    std::uint8_t headers[kMaxBatch][kHeaderSize];
    std::memcpy(headers[0], header0, kHeaderSize);
    std::size_t frames = 1;     // frames whose header belongs to the batch
    std::size_t filled = got;   // payload bytes at dst, frame after frame
    std::size_t headerGot = 0;  // bytes of headers[frames] received so far
    const auto fits = [&](const std::uint8_t* p) {
        FrameHeader next;
        return DecodeHeader(p, kHeaderSize, next) == DecodeStatus::kOk &&
               next.kind == FrameKind::kData && next.length == h.length && next.op == h.op &&
               next.seq == h.seq && next.status == h.status && next.detail == h.detail;
    };
    const auto finish = [&](std::vector<std::uint8_t> rest) {
        if (!rest.empty()) {
            if (in_.size() < rest.size())
                in_.resize(std::max(rest.size(), kReadChunk));
            std::memcpy(in_.data(), rest.data(), rest.size());
        }
        head_ = 0;
        tail_ = rest.size();
        DescribeDirect(h, f);
        direct = frames * length;
        return LinkStatus::kOk;
    };
    struct Segment {
        std::uint8_t* p;
        std::size_t n;
        enum { kPayload, kHeader, kAhead } what;
    };
    if (in_.size() < kHeaderSize)
        in_.resize(kReadChunk);
    for (;;) {
        const bool inFrame = filled < frames * length;
        if (!inFrame && frames == maxFrames)
            return finish({});
        // The plan, in stream order: the rest of the current frame, then header and
        // payload of each frame that would still fit, then the header after them.
        Segment plan[kMaxSpans];
        IoSpan spans[kMaxSpans];
        std::size_t count = 0;
        if (inFrame)
            plan[count++] = {dst + filled, frames * length - filled, Segment::kPayload};
        for (std::size_t k = frames; k < maxFrames; ++k) {
            const std::size_t have = k == frames ? headerGot : 0;
            plan[count++] = {headers[k] + have, kHeaderSize - have, Segment::kHeader};
            plan[count++] = {dst + k * length, length, Segment::kPayload};
        }
        plan[count++] = {in_.data(), kHeaderSize, Segment::kAhead};
        for (std::size_t i = 0; i < count; ++i)
            spans[i] = {plan[i].p, plan[i].n};
        // Between frames nothing is owed: deliver what is complete rather than wait.
        std::size_t r = 0;
        const LinkStatus rs = ReceiveSpans(spans, count, r);
        if (rs != LinkStatus::kOk || r == 0) {
            const bool empty = rs == LinkStatus::kTimeout;
            if (!inFrame && (empty || rs == LinkStatus::kOk)) {
                // A partial header waits in the input buffer; a close is met next time.
                const std::uint8_t* part = headers[frames];
                return finish(std::vector<std::uint8_t>(part, part + headerGot));
            }
            LinkStatus st = LinkStatus::kOk;
            if (empty)
                st = WaitReadable(wc);
            else
                st = rs == LinkStatus::kOk ? LinkStatus::kClosed : rs;
            if (st == LinkStatus::kOk)
                continue;
            if (st != LinkStatus::kTimeout && st != LinkStatus::kCancelled) {
                Close();
                return st;
            }
            // The frame being read goes back whole; the complete ones before it go out.
            const std::size_t done = (frames - 1) * length;
            if (frames == 1) {
                Unread(header0, dst, filled);
                return st;
            }
            std::vector<std::uint8_t> rest(headers[frames - 1], headers[frames - 1] + kHeaderSize);
            rest.insert(rest.end(), dst + done, dst + filled);
            --frames;
            return finish(std::move(rest));
        }
        // Walk the plan over what arrived.
        std::size_t left = r;
        std::size_t aheadGot = 0;
        for (std::size_t i = 0; i < count && left > 0; ++i) {
            const std::size_t take = std::min(left, plan[i].n);
            left -= take;
            if (plan[i].what == Segment::kPayload) {
                filled += take;
                continue;
            }
            if (plan[i].what == Segment::kAhead) {
                aheadGot = take;
                continue;
            }
            headerGot += take;
            if (headerGot < kHeaderSize)
                continue;
            if (fits(headers[frames])) {
                ++frames;
                headerGot = 0;
                continue;
            }
            // Not part of the batch: it and all that came after it go to the input
            // buffer, in order.
            std::vector<std::uint8_t> rest(headers[frames], headers[frames] + kHeaderSize);
            for (std::size_t j = i + 1; j < count && left > 0; ++j) {
                const std::size_t t = std::min(left, plan[j].n);
                rest.insert(rest.end(), plan[j].p, plan[j].p + t);
                left -= t;
            }
            return finish(std::move(rest));
        }
        if (aheadGot > 0) {
            // The header after the batch came along: nothing more fits.
            std::vector<std::uint8_t> rest(in_.data(), in_.data() + aheadGot);
            return finish(std::move(rest));
        }
    }
}

// Puts a partly read frame back in front of whatever is buffered.
void FramedLink::Unread(const std::uint8_t* header, const std::uint8_t* part, std::size_t n) {
    std::vector<std::uint8_t> rest(in_.begin() + static_cast<std::ptrdiff_t>(head_),
                                   in_.begin() + static_cast<std::ptrdiff_t>(tail_));
    const std::size_t total = kHeaderSize + n + rest.size();
    if (in_.size() < total)
        in_.resize(total);
    std::memcpy(in_.data(), header, kHeaderSize);
    if (n > 0)
        std::memcpy(in_.data() + kHeaderSize, part, n);
    if (!rest.empty())
        std::memcpy(in_.data() + kHeaderSize + n, rest.data(), rest.size());
    head_ = 0;
    tail_ = total;
}

// Appends what arrives next, at most max bytes (waiting for it), to the input buffer.
// The buffer only grows, so it is never cleared byte by byte.
LinkStatus FramedLink::ReadSome(std::size_t max, const WaitControl& wc) {
    if (head_ > 0 && (head_ >= in_.size() / 2 || in_.size() - tail_ < max)) {
        std::memmove(in_.data(), in_.data() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    if (in_.size() - tail_ < max)
        in_.resize(tail_ + std::max(max, kReadChunk));
    std::size_t n = 0;
    const LinkStatus st = ReadInto(in_.data() + tail_, max, n, wc);
    if (st == LinkStatus::kOk)
        tail_ += n;
    return st;
}

// One read of at most max bytes into dst, waiting until something arrives.
LinkStatus FramedLink::ReadInto(std::uint8_t* dst, std::size_t max, std::size_t& got,
                                const WaitControl& wc) {
    got = 0;
    if (readFailure_ != LinkStatus::kOk)
        return readFailure_;
    return ReadSomeBytes(dst, max, got, wc);
}

LinkStatus FramedLink::DeliverThenFail(std::size_t got, LinkStatus failure) {
    if (got == 0)
        return failure;
    readFailure_ = failure;
    return LinkStatus::kOk;
}

void FramedLink::DropInput() {
    std::vector<std::uint8_t>().swap(in_);
    head_ = tail_ = 0;
}

}  // namespace vesk::tcpcore
