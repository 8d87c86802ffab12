// libFuzzer target for what an agent (or anyone on the network) can send to a discovery:
// the input is one datagram for the SNMP response reader. What reads must keep within
// its limits, and its names must come back unchanged from a request built for them and
// read again as a response. Built and run by scripts/fuzz.
#include <cstddef>
#include <cstdint>

#include "mib/snmp_codec.h"
#include "tests/fuzz/fuzz_support.h"

using namespace vesk::mib::snmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto response = DecodeResponse({data, size});
    if (!response)
        return 0;
    Check(response->community.size() < size, "community within the datagram");
    std::vector<Oid> names;
    for (const VarBind& vb : response->varbinds) {
        Check(vb.name.size() >= 2 && vb.name.size() <= kMaxOidParts, "name within limits");
        Check(vb.objectId.size() <= kMaxOidParts, "value within limits");
        Check(vb.text.size() < size, "text within the datagram");
        names.push_back(vb.name);
    }
    if (response->requestId <= 0)
        return 0;
    auto request = EncodeGetRequest(response->community, response->requestId, names);
    Check(request.has_value(), "every name read can be written");
    // The request's PDU tag follows the message header, the version and the community.
    std::vector<uint8_t>& bytes = *request;
    size_t at = 1 + ((bytes[1] & 0x80) ? 1 + (bytes[1] & 0x7F) : 1) + 3;
    at +=
        1 + ((bytes[at + 1] & 0x80) ? 1 + (bytes[at + 1] & 0x7F) : 1) + response->community.size();
    Check(at < bytes.size() && bytes[at] == 0xA0, "a GetRequest where expected");
    bytes[at] = 0xA2;
    auto again = DecodeResponse(bytes);
    Check(again.has_value(), "a written message reads");
    Check(again->community == response->community && again->requestId == response->requestId,
          "community and request id survive");
    Check(again->varbinds.size() == names.size(), "every name survives");
    for (size_t i = 0; i < names.size(); ++i)
        Check(again->varbinds[i].name == names[i] && again->varbinds[i].kind == ValueKind::kNull,
              "names survive with NULL values");
    return 0;
}
