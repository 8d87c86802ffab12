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
    const std::vector<std::uint8_t> bytes =
        EncodeFrame(MakeEmptyFrame(FrameKind::kReply, Op::kHello, 1));
    const struct {
        std::size_t at, width;
        std::uint32_t value;
        std::size_t given;  // 0: the whole frame
        DecodeStatus want;
    } cases[] = {
        {0, 1, 0x16, 1, DecodeStatus::kBadMagic},  // a TLS record on a plain connection
        {2, 1, 2, 0, DecodeStatus::kBadVersion},
        {3, 1, 0, 0, DecodeStatus::kBadKind},
        {3, 1, 6, 0, DecodeStatus::kBadKind},
        // An absurd length is refused from the header alone, before any payload.
        {4, 4, 0xFFFFFFFFu, kHeaderSize, DecodeStatus::kTooLarge},
        {4, 4, kMaxPayload + 1, 0, DecodeStatus::kTooLarge},
        {4, 4, kMaxPayload, 0, DecodeStatus::kNeedMore},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> b = bytes;
        std::memcpy(&b[c.at], &c.value, c.width);
        Frame g;
        std::size_t used = 0;
        EXPECT_EQ(DecodeFrame(b.data(), c.given ? c.given : b.size(), g, used), c.want)
            << c.at << " " << c.value;
    }
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
    // The restriction record whole, then an empty inquiry block.
    ExpectWire(LoginReply{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, {}},
               "0100000002000000030000000400000005000000060000000700000008000000"
               "090000000a0000000b0000000c0000000d000000"
               "0000");
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
    // The text at its offset, its terminating zero included.
    auto text = [&f](std::size_t at, const char* s) {
        return std::memcmp(&f.payload[4 + at], s, std::strlen(s) + 1) == 0;
    };
    EXPECT_EQ(
        std::tuple(Le32(f.payload, 4), text(4, "Box"), text(65, "owner"),
                   text(268, "2024/03/04 09:05:03"), Le32(f.payload, 400), Le32(f.payload, 404)),
        std::tuple(0x0A0B0C0Du, true, true, true, 2u, 0x1234u));
}

// A payload as write makes it.
std::vector<std::uint8_t> Payload(const std::function<void(Writer&)>& write) {
    std::vector<std::uint8_t> p;
    Writer w(p);
    write(w);
    return p;
}

// Whether m decodes from p (the reader failed if not: nothing beyond p was read).
template <class M>
bool Decodes(M& m, const std::vector<std::uint8_t>& p) {
    Reader r(p);
    const bool ok = m.Get(r);
    EXPECT_EQ(std::pair(r.ok(), r.Remaining() == 0 || ok), std::pair(ok, true));
    return ok;
}

TEST(WireHostile, LengthsAndCountsBeyondThePayloadOrTheirLimitFailWithoutCopying) {
    // A text claiming more bytes than remain, one above the limit although present, and
    // one holding a zero byte.
    using Write = std::function<void(Writer&)>;
    for (const Write& text : {Write([](Writer& w) { w.U32(1000), w.Raw("abc", 3); }),
                              Write([](Writer& w) { w.Str(std::string(kMaxText + 1, 'x')); }),
                              Write([](Writer& w) { w.Bytes("a\0b", 3); })}) {
        RenameDocRequest rd;
        EXPECT_FALSE(Decodes(rd, Payload([&](Writer& w) { w.I32(1), text(w); })));
    }
    const std::vector<std::uint8_t> one(404, 'A');  // room for one record only
    for (std::uint32_t count : {0xFFFFFFFFu, 0x80000000u, 0x00A2C2A3u, 2u}) {
        BoxListReply b;
        EXPECT_FALSE(Decodes(b, Payload([&](Writer& w) { w.U32(count), w.Raw(one.data(), 404); })))
            << count;
        EXPECT_TRUE(b.boxes.empty());
    }
    // Above the list limit even when the bytes are there.
    const std::vector<std::uint8_t> attributes((kMaxAttributes + 1) * 12);
    ForcedAttributesReply a;
    EXPECT_FALSE(Decodes(a, Payload([&](Writer& w) {
                             w.U32(kMaxAttributes + 1), w.Raw(attributes.data(), attributes.size());
                         })));
    // Bind lists: the count is checked against what remains before anything is made.
    OpenBindRequest ob;
    EXPECT_FALSE(Decodes(ob, Payload([](Writer& w) { w.U32(1000), w.I32(1); })));
    // Inquiry blocks: an item claiming 500 bytes when none follow, too many items.
    Inquiries in;
    EXPECT_FALSE(Decodes(in, Payload([](Writer& w) {
                             w.U16(2), w.U16(1), w.U16(4), w.I32(3), w.U16(6), w.U16(500);
                         })));
    EXPECT_TRUE(in.items.empty());  // nothing half-taken
    EXPECT_FALSE(Decodes(in, Payload([](Writer& w) { w.U16(kMaxInquiries + 1); })));
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
    // The whole "é" left out; the numbers untouched.
    EXPECT_EQ(std::tuple(std::strlen(g.szBoxName), std::strlen(g.szUserName),
                         std::strlen(g.szEntryDate), g.nBoxType),
              std::tuple(59u, 192u, 19u, 0x41414141));

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
