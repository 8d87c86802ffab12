// Frame and message codec: round trips, the record bytes on the wire, and input from a
// hostile peer (every cut, wrong lengths, unterminated text, absurd sizes). Run under
// ASan, an overread here is a failure.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <tuple>

#include "fuzz/decoders.h"
#include "tcpcore/wire.h"

namespace vesk::tcpcore {
namespace {

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

TEST(WireFrame, HeaderLayoutAndRoundTrip) {
    Frame f = MakeFrame(FrameKind::kReply, Op::kBoxLogin, 0x01020304u, IntMessage{-5}, 8166, -2);
    const std::vector<std::uint8_t> bytes = EncodeFrame(f);
    // Magic "VK", version 1, kind 2 (reply), payload length, op, seq, status, detail:
    // little-endian, then the payload.
    EXPECT_EQ(Hex(bytes),
              "564b0102040000003500000004030201e61f0000feffffff"
              "fbffffff");
    Frame g;
    std::size_t used = 0;
    ASSERT_EQ(DecodeFrame(bytes.data(), bytes.size(), g, used), DecodeStatus::kOk);
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(std::make_tuple(g.kind, g.op, g.seq, g.status, g.detail, g.payload),
              std::make_tuple(f.kind, f.op, f.seq, f.status, f.detail, f.payload));
}

TEST(WireFrame, EveryCutOfAFrameAsksForMoreWithoutReadingPastIt) {
    Frame f = MakeFrame(FrameKind::kRequest, Op::kRenameBox, 9, RenameBoxRequest{3, "name", "pw"});
    const std::vector<std::uint8_t> bytes = EncodeFrame(f);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        // An exact-size heap copy, so ASan sees any read beyond the cut.
        std::unique_ptr<std::uint8_t[]> part(new std::uint8_t[cut ? cut : 1]);
        std::memcpy(part.get(), bytes.data(), cut);
        Frame g;
        std::size_t used = 99;
        EXPECT_EQ(DecodeFrame(part.get(), cut, g, used), DecodeStatus::kNeedMore) << cut;
        EXPECT_EQ(used, 0u);
    }
}

TEST(WireFrame, BadHeadersAreRefusedEarly) {
    std::vector<std::uint8_t> bytes = EncodeFrame(MakeEmptyFrame(FrameKind::kReply, Op::kHello, 1));
    Frame g;
    std::size_t used = 0;
    auto decode = [&](std::vector<std::uint8_t> b) {
        return DecodeFrame(b.data(), b.size(), g, used);
    };
    auto b = bytes;
    b[0] = 0x16;  // a TLS record arriving on a plain connection
    EXPECT_EQ(DecodeFrame(b.data(), 1, g, used), DecodeStatus::kBadMagic);
    b = bytes;
    b[2] = 2;
    EXPECT_EQ(decode(b), DecodeStatus::kBadVersion);
    b = bytes;
    b[3] = 0;
    EXPECT_EQ(decode(b), DecodeStatus::kBadKind);
    b[3] = 6;
    EXPECT_EQ(decode(b), DecodeStatus::kBadKind);
    // An absurd length is refused from the header alone, before any payload.
    b = bytes;
    b[4] = b[5] = b[6] = b[7] = 0xFF;
    EXPECT_EQ(DecodeFrame(b.data(), kHeaderSize, g, used), DecodeStatus::kTooLarge);
    b = bytes;
    const std::uint32_t justOver = kMaxPayload + 1;
    std::memcpy(&b[4], &justOver, 4);
    EXPECT_EQ(decode(b), DecodeStatus::kTooLarge);
    const std::uint32_t limit = kMaxPayload;
    std::memcpy(&b[4], &limit, 4);
    EXPECT_EQ(decode(b), DecodeStatus::kNeedMore);
}

TEST(WireFrame, TwoFramesInOneBufferDecodeOneAtATime) {
    auto a = EncodeFrame(MakeFrame(FrameKind::kData, Op::kOpenDoc, 4, IntMessage{1}));
    auto b = EncodeFrame(MakeEmptyFrame(FrameKind::kEnd, Op::kOpenDoc, 4));
    std::vector<std::uint8_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    Frame f;
    std::size_t used = 0;
    ASSERT_EQ(DecodeFrame(both.data(), both.size(), f, used), DecodeStatus::kOk);
    EXPECT_EQ(used, a.size());
    EXPECT_EQ(f.kind, FrameKind::kData);
    ASSERT_EQ(DecodeFrame(both.data() + used, both.size() - used, f, used), DecodeStatus::kOk);
    EXPECT_EQ(f.kind, FrameKind::kEnd);
}

// The payload a message encodes to, as docs/protocol.md lays it out, and the message
// decoded from it encodes to the same bytes again.
template <class M>
void ExpectWire(const M& m, const std::string& hex) {
    const Frame f = MakeFrame(FrameKind::kReply, Op::kNone, 1, m);
    EXPECT_EQ(Hex(f.payload), hex);
    M back;
    ASSERT_TRUE(ParsePayload(f, back));
    EXPECT_EQ(Hex(MakeFrame(FrameKind::kReply, Op::kNone, 1, back).payload), hex);
}

TEST(WireMessages, EachEncodesToTheDocumentedBytesAndBack) {
    ExpectWire(HelloReply{"1.2", "M", "S", 4, 9},
               "03000000312e32010000004d01000000530400000009000000");
    ConnectReply connect;
    connect.userAuthType = 3;
    connect.accountAuthType = 6;
    connect.publicUserSupport = 1;
    connect.inquiries.SetInt(Inquiry::kHddCount, 2);
    connect.inquiries.SetRecord(Inquiry::kBoxControlPermission,
                                tagUTIL_BOXCONTROLPERMISSION{1, 0, 1});
    ExpectWire(connect,
               "0300000006000000010000000200010004000200000003000c00010000000000000001000000");
    ExpectWire(LoginRequest{LoginForm::kVendor, "ann", "pw"}, "0200000003000000616e6e020000007077");
    ExpectWire(RenameBoxRequest{-2, "box", ""}, "feffffff03000000626f7800000000");
    ExpectWire(OpenBindRequest{{1, 2, 3}, 4}, "0300000001000000020000000300000004000000");
    // The open-document record whole: each of its sixteen members at its own offset.
    ExpectWire(
        OpenDocRequest{7,
                       OpenForm::kParam,
                       2,
                       3,
                       {17, 18, 19, 20, {21, 22, 23, 24}, {25, 26}, {27, 28, 29, 30, 31}, 32}},
        "07000000010000000200000003000000"
        "1100000012000000130000001400000015000000160000001700000018000000"
        "190000001a0000001b0000001c0000001d0000001e0000001f00000020000000");
    ExpectWire(CustomLoginInfoReply{{0xAB, 0xCD}, 9}, "02000000abcd09000000");
    ExpectWire(InquireRequest{0x0102}, "0201");
    ExpectWire(OpenReply{-1}, "ffffffffffffffff");
    ExpectWire(ThumbnailReply{7, {1, 2}}, "07000000020000000102");
    ExpectWire(DocListReply{}, "00000000");  // an empty list is its count alone
}

TEST(WireRecords, BoxRecordTravelsAsItsLittleEndianBytes) {
    tagUTIL_BOXINFO b{};
    b.lBoxNo = 0x0A0B0C0D;
    CopyToField(b.szBoxName, sizeof b.szBoxName, "Box");
    CopyToField(b.szUserName, sizeof b.szUserName, "owner");
    CopyToField(b.szEntryDate, sizeof b.szEntryDate, "2024/03/04 09:05:03");
    b.nAutoDelTimeType = 2;
    b.nAutoDelTimeMinute = 0x1234;
    BoxListReply r;
    r.boxes = {b};
    Frame f = MakeFrame(FrameKind::kReply, Op::kBoxList, 1, r);
    ASSERT_EQ(f.payload.size(), 4u + 404u);
    const std::size_t rec = 4;
    EXPECT_EQ(Le32(f.payload, rec + 0), 0x0A0B0C0Du);
    EXPECT_EQ(std::memcmp(&f.payload[rec + 4], "Box", 4), 0);
    EXPECT_EQ(std::memcmp(&f.payload[rec + 65], "owner", 6), 0);
    EXPECT_EQ(std::memcmp(&f.payload[rec + 268], "2024/03/04", 10), 0);
    EXPECT_EQ(Le32(f.payload, rec + 396), 2u);
    EXPECT_EQ(Le32(f.payload, rec + 400), 0x1234u);
}

TEST(WireHostile, TextsTooLongOrWithAZeroFailWithoutCopying) {
    // A text claiming more bytes than remain, one above the limit although present, and
    // one holding a zero byte.
    const std::function<void(Writer&)> texts[] = {
        [](Writer& w) { w.U32(1000), w.Raw("abc", 3); },
        [](Writer& w) { w.Str(std::string(kMaxText + 1, 'x')); },
        [](Writer& w) { w.Bytes("a\0b", 3); },
    };
    for (const auto& text : texts) {
        std::vector<std::uint8_t> p;
        Writer w(p);
        w.I32(1);
        text(w);
        RenameDocRequest rd;
        Reader r(p);
        EXPECT_FALSE(rd.Get(r));
        EXPECT_EQ(std::pair(r.ok(), r.Remaining()), std::pair(false, std::size_t{0}));
    }
}

TEST(WireHostile, RecordCountsThatDoNotFitAreRefused) {
    for (std::uint32_t count : {0xFFFFFFFFu, 0x80000000u, 0x00A2C2A3u, 2u}) {
        std::vector<std::uint8_t> p;
        Writer w(p);
        w.U32(count);
        w.Raw(std::vector<std::uint8_t>(404, 'A').data(), 404);  // room for one record only
        BoxListReply b;
        Reader r(p);
        EXPECT_FALSE(b.Get(r)) << count;
        EXPECT_TRUE(b.boxes.empty());
    }
    // Above the list limit even when the bytes are there.
    std::vector<std::uint8_t> p;
    Writer w(p);
    w.U32(kMaxAttributes + 1);
    w.Raw(std::vector<std::uint8_t>((kMaxAttributes + 1) * 12).data(), (kMaxAttributes + 1) * 12);
    ForcedAttributesReply a;
    Reader r(p);
    EXPECT_FALSE(a.Get(r));
    // Bind lists: the count is checked against what remains before anything is made.
    std::vector<std::uint8_t> q;
    Writer wq(q);
    wq.U32(1000);
    wq.I32(1);
    OpenBindRequest ob;
    Reader rq(q);
    EXPECT_FALSE(ob.Get(rq));
}

TEST(WireHostile, InquiryBlockItemsAreBounded) {
    std::vector<std::uint8_t> p;
    Writer w(p);
    w.U16(2);
    w.U16(1);
    w.U16(4);
    w.I32(3);
    w.U16(6);
    w.U16(500);  // claims 500 bytes, none follow
    Inquiries in;
    Reader r(p);
    EXPECT_FALSE(in.Get(r));
    EXPECT_TRUE(in.items.empty());  // nothing half-taken

    p.clear();
    Writer w2(p);
    w2.U16(static_cast<std::uint16_t>(kMaxInquiries + 1));
    Reader r2(p);
    EXPECT_FALSE(in.Get(r2));
}

TEST(WireHostile, UnterminatedTextFieldsComeBackTerminated) {
    tagUTIL_BOXINFO b{};
    std::memset(&b, 'A', sizeof b);
    // The name field ends in the middle of a two-byte UTF-8 character ("é" = C3 A9):
    // the cut must not leave half of it.
    b.szBoxName[59] = static_cast<char>(0xC3);
    b.szBoxName[60] = static_cast<char>(0xA9);
    BoxListReply r;
    r.boxes = {b};
    BoxListReply back;
    ASSERT_TRUE(ParsePayload(MakeFrame(FrameKind::kReply, Op::kBoxList, 1, r), back));
    const tagUTIL_BOXINFO& g = back.boxes.at(0);
    EXPECT_EQ(std::strlen(g.szBoxName), 59u);  // the whole "é" left out
    EXPECT_EQ(std::strlen(g.szUserName), 192u);
    EXPECT_EQ(std::strlen(g.szEntryDate), 19u);
    EXPECT_EQ(g.nBoxType, 0x41414141);  // numbers untouched

    char f3[4] = {'a', static_cast<char>(0xE2), static_cast<char>(0x82),
                  static_cast<char>(0xAC)};  // "a€" with no room for a zero
    TerminateField(f3, 4);
    EXPECT_STREQ(f3, "a");
    char ok[4] = {'a', 'b', 0, 'z'};
    TerminateField(ok, 4);
    EXPECT_EQ(ok[3], 'z');  // already terminated: left alone

    char field[5];
    CopyToField(field, sizeof field, "ab\xE2\x82\xAC");  // would cut the euro sign
    EXPECT_STREQ(field, "ab");
    CopyToField(field, sizeof field, "abcd");
    EXPECT_STREQ(field, "abcd");
    EXPECT_EQ(BoundedCStr(nullptr, 5), "");
    const char noZero[3] = {'x', 'y', 'z'};
    EXPECT_EQ(BoundedCStr(noZero, 3), "xyz");
}

// Random payloads fed to every message decoder (the fuzz targets' table: what decodes
// must also survive its own encoding): a failed decode is fine, reading out of bounds
// (ASan) or crashing is not.
TEST(WireHostile, RandomPayloadsNeverReadOutOfBounds) {
    std::mt19937 rng(1234);
    auto tryAll = [](const std::vector<std::uint8_t>& buf) {
        Frame f;
        f.payload.assign(buf.begin(), buf.end());  // an exact-size heap block for ASan
        for (fuzz::Decoder decode : fuzz::kDecoders)
            decode(f);
        Frame g;
        std::size_t used = 0;
        DecodeFrame(f.payload.data(), f.payload.size(), g, used);
    };
    for (int i = 0; i < 3000; ++i) {
        std::vector<std::uint8_t> buf(rng() % 700);
        for (auto& b : buf)
            b = static_cast<std::uint8_t>(rng());
        // Small counts and lengths make the decoders go deeper than pure noise would.
        if (buf.size() >= 4 && (i & 1)) {
            buf[0] = static_cast<std::uint8_t>(rng() % 4);
            buf[1] = buf[2] = buf[3] = 0;
        }
        tryAll(buf);
    }
}

}  // namespace
}  // namespace vesk::tcpcore
