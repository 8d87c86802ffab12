// SNMPv2c GetRequest writer and GetResponse reader (BER, definite lengths).
#include "mib/snmp_codec.h"

namespace vesk::mib::snmp {

namespace {

constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kObjectIdentifier = 0x06;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kGetRequest = 0xA0;
constexpr uint8_t kGetResponse = 0xA2;
constexpr uint8_t kNoSuchObject = 0x80;
constexpr uint8_t kNoSuchInstance = 0x81;
constexpr uint8_t kEndOfMibView = 0x82;
constexpr int32_t kVersion2c = 1;

// ---- writing: each element is built whole, then wrapped by its parent ----

using Bytes = std::vector<uint8_t>;

// Shortest form, as X.690 prefers and agents expect.
void PutLength(Bytes& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    uint8_t digits[sizeof(size_t)];
    int count = 0;
    for (; length; length >>= 8)
        digits[count++] = static_cast<uint8_t>(length);
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count)
        out.push_back(digits[--count]);
}

void PutElement(Bytes& out, uint8_t tag, std::span<const uint8_t> content) {
    out.push_back(tag);
    PutLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
}

void PutInteger(Bytes& out, int32_t value) {
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (24 - 8 * i));
    // Drop leading octets that only repeat the sign.
    int first = 0;
    while (first < 3 && ((bytes[first] == 0x00 && !(bytes[first + 1] & 0x80)) ||
                         (bytes[first] == 0xFF && (bytes[first + 1] & 0x80))))
        ++first;
    PutElement(out, kInteger, std::span(bytes + first, 4 - first));
}

void PutSubIdentifier(Bytes& out, uint32_t value) {
    uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value);
    while (count > 1)
        out.push_back(static_cast<uint8_t>(groups[--count] | 0x80));
    out.push_back(groups[0]);
}

bool PutOid(Bytes& out, const Oid& oid) {
    if (oid.size() < 2 || oid.size() > kMaxOidParts || oid[0] > 2 || (oid[0] < 2 && oid[1] >= 40) ||
        oid[1] > UINT32_MAX - 80)
        return false;
    Bytes content;
    PutSubIdentifier(content, oid[0] * 40 + oid[1]);
    for (size_t i = 2; i < oid.size(); ++i)
        PutSubIdentifier(content, oid[i]);
    PutElement(out, kObjectIdentifier, content);
    return true;
}

// ---- reading: a cursor over one element's content, never past its end ----

class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    bool AtEnd() const { return m_pos == m_bytes.size(); }

    // The next element's tag and content; false (with a reason) when it does not fit.
    bool Next(uint8_t& tag, Reader& content, const char*& why) {
        if (m_bytes.size() - m_pos < 2) {
            why = "truncated element";
            return false;
        }
        tag = m_bytes[m_pos++];
        if ((tag & 0x1F) == 0x1F) {
            why = "multi-octet tag";
            return false;
        }
        size_t length = m_bytes[m_pos++];
        if (length == 0x80) {
            why = "indefinite length";
            return false;
        }
        if (length > 0x80) {
            size_t digits = length & 0x7F;
            if (digits > 4) {
                why = "length of more than four octets";
                return false;
            }
            if (m_bytes.size() - m_pos < digits) {
                why = "truncated length";
                return false;
            }
            length = 0;
            for (size_t i = 0; i < digits; ++i)
                length = (length << 8) | m_bytes[m_pos++];
        }
        if (length > m_bytes.size() - m_pos) {
            why = "length beyond the message";
            return false;
        }
        content = Reader(m_bytes.subspan(m_pos, length));
        m_pos += length;
        return true;
    }

    // The next element, which must carry `tag`.
    bool Expect(uint8_t tag, Reader& content, const char*& why) {
        uint8_t found = 0;
        if (!Next(found, content, why))
            return false;
        if (found != tag) {
            why = "unexpected tag";
            return false;
        }
        return true;
    }

    std::span<const uint8_t> Bytes() const { return m_bytes.subspan(m_pos); }

private:
    std::span<const uint8_t> m_bytes;
    size_t m_pos = 0;
};

bool ReadInteger(const Reader& content, int32_t& value, const char*& why) {
    auto bytes = content.Bytes();
    if (bytes.empty() || bytes.size() > 4) {
        why = bytes.empty() ? "empty integer" : "integer over 32 bits";
        return false;
    }
    uint32_t v = (bytes[0] & 0x80) ? UINT32_MAX : 0;
    for (uint8_t b : bytes)
        v = (v << 8) | b;
    value = static_cast<int32_t>(v);
    return true;
}

bool ExpectInteger(Reader& r, int32_t& value, const char*& why) {
    Reader content({});
    return r.Expect(kInteger, content, why) && ReadInteger(content, value, why);
}

bool ReadOid(const Reader& content, Oid& oid, const char*& why) {
    auto bytes = content.Bytes();
    if (bytes.empty()) {
        why = "empty object identifier";
        return false;
    }
    oid.clear();
    uint64_t value = 0;
    bool fresh = true;
    for (uint8_t b : bytes) {
        // 0x80 opening a sub-identifier is a padding octet, which BER forbids.
        if (fresh && b == 0x80) {
            why = "padded sub-identifier";
            return false;
        }
        fresh = false;
        value = (value << 7) | (b & 0x7F);
        if (value > UINT32_MAX) {
            why = "sub-identifier over 32 bits";
            return false;
        }
        if (b & 0x80)
            continue;
        if (oid.empty()) {
            // The first octets hold the first two parts together.
            uint32_t first = value < 80 ? static_cast<uint32_t>(value / 40) : 2;
            oid.push_back(first);
            oid.push_back(static_cast<uint32_t>(value - 40 * first));
        } else {
            oid.push_back(static_cast<uint32_t>(value));
        }
        if (oid.size() > kMaxOidParts) {
            why = "object identifier too long";
            return false;
        }
        value = 0;
        fresh = true;
    }
    if (!fresh) {
        why = "truncated sub-identifier";
        return false;
    }
    return true;
}

bool ReadVarBind(Reader& list, VarBind& vb, const char*& why) {
    Reader pair({}), name({}), value({});
    if (!list.Expect(kSequence, pair, why) || !pair.Expect(kObjectIdentifier, name, why) ||
        !ReadOid(name, vb.name, why) || !pair.Next(vb.tag, value, why))
        return false;
    if (!pair.AtEnd()) {
        why = "extra bytes in a variable binding";
        return false;
    }
    switch (vb.tag) {
        case kObjectIdentifier:
            vb.kind = ValueKind::kObjectId;
            return ReadOid(value, vb.objectId, why);
        case kOctetString: {
            vb.kind = ValueKind::kOctetString;
            auto bytes = value.Bytes();
            vb.text.assign(bytes.begin(), bytes.end());
            return true;
        }
        case kNull:
        case kNoSuchObject:
        case kNoSuchInstance:
        case kEndOfMibView:
            vb.kind = vb.tag == kNull             ? ValueKind::kNull
                      : vb.tag == kNoSuchObject   ? ValueKind::kNoSuchObject
                      : vb.tag == kNoSuchInstance ? ValueKind::kNoSuchInstance
                                                  : ValueKind::kEndOfMibView;
            if (!value.AtEnd()) {
                why = "content in an empty value";
                return false;
            }
            return true;
        default:
            vb.kind = ValueKind::kOther;
            return true;
    }
}

bool Decode(std::span<const uint8_t> message, Response& response, const char*& why) {
    Reader top(message), msg({}), community({}), pdu({}), list({});
    int32_t version = -1;
    if (!top.Expect(kSequence, msg, why))
        return false;
    if (!top.AtEnd()) {
        why = "bytes after the message";
        return false;
    }
    if (!ExpectInteger(msg, version, why))
        return false;
    if (version != kVersion2c) {
        why = "not version 2c";
        return false;
    }
    if (!msg.Expect(kOctetString, community, why))
        return false;
    auto name = community.Bytes();
    response.community.assign(name.begin(), name.end());
    uint8_t type = 0;
    if (!msg.Next(type, pdu, why))
        return false;
    if (type != kGetResponse) {
        why = "not a response";
        return false;
    }
    if (!msg.AtEnd()) {
        why = "bytes after the response";
        return false;
    }
    if (!ExpectInteger(pdu, response.requestId, why) ||
        !ExpectInteger(pdu, response.errorStatus, why) ||
        !ExpectInteger(pdu, response.errorIndex, why) || !pdu.Expect(kSequence, list, why))
        return false;
    if (!pdu.AtEnd()) {
        why = "bytes after the variable bindings";
        return false;
    }
    while (!list.AtEnd()) {
        VarBind vb;
        if (!ReadVarBind(list, vb, why))
            return false;
        response.varbinds.push_back(std::move(vb));
    }
    return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeGetRequest(std::string_view community, int32_t requestId,
                                                     const std::vector<Oid>& names) {
    if (requestId <= 0 || community.size() > kMaxMessageBytes)
        return std::nullopt;
    Bytes list;
    for (const Oid& name : names) {
        Bytes pair;
        if (!PutOid(pair, name))
            return std::nullopt;
        PutElement(pair, kNull, {});
        PutElement(list, kSequence, pair);
    }
    Bytes pdu;
    PutInteger(pdu, requestId);
    PutInteger(pdu, 0);  // error status
    PutInteger(pdu, 0);  // error index
    PutElement(pdu, kSequence, list);
    Bytes msg;
    PutInteger(msg, kVersion2c);
    PutElement(msg, kOctetString,
               std::span(reinterpret_cast<const uint8_t*>(community.data()), community.size()));
    PutElement(msg, kGetRequest, pdu);
    Bytes out;
    PutElement(out, kSequence, msg);
    if (out.size() > kMaxMessageBytes)
        return std::nullopt;
    return out;
}

std::optional<Response> DecodeResponse(std::span<const uint8_t> message, std::string* error) {
    Response response;
    const char* why = nullptr;
    if (message.size() > kMaxMessageBytes) {
        why = "message too long";
    } else if (Decode(message, response, why)) {
        return response;
    }
    if (error)
        *error = why;
    return std::nullopt;
}

std::string FormatOid(const Oid& oid) {
    std::string text;
    for (size_t i = 0; i < oid.size(); ++i) {
        if (i)
            text += '.';
        text += std::to_string(oid[i]);
    }
    return text;
}

}  // namespace vesk::mib::snmp
