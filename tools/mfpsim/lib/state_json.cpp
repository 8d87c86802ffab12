#include "tools/mfpsim/lib/state_json.h"

namespace mfpsim {

// Every field by name; a field missing from the text keeps its default.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(
    Identity, identifier, major, minor, modelName, serial, userAuthType, accountAuthType,
    publicSupport, hddCount, ioption, rxSecured, enhancedSecurity, boxCreate, boxEdit, boxDelete,
    autoDelTimePermission, mono2ColorPolicy, searchablePdf, officeSupport, languages, pdfA,
    linearizedPdf, supportedFileFormat, simpleAuth, boxAdminSupport, trimLdapUserName,
    publicUserNameSupport, authServers, customizedLoginInfo, maxBoxNumber, maxDocumentsPerBox)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(User, name, password, role, restrictions,
                                                authServer, accountName, accountSync)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Account, name, password, restrictions)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Box, number, kind, name, owner, password, type,
                                                entryDate, searchChar, main, autoDelTime,
                                                autoDelTimeType, autoDelTimeMinute, valueA, valueB,
                                                valueC, valueD, textA, textB)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Attribute, type, enable, colorType)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Document, id, box, name, owner, entryDate, fileType,
                                                pages, xResolution, yResolution, colorType,
                                                bitsPerPixel, paperSize, width, height, mode,
                                                encrypted, syntheticSize, attributes,
                                                declaredAttributes, outlinePdf, extendedPdf,
                                                officeXml)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(PrintJob, id, document, box, user, documentName,
                                                time, copies, colour, duplex, startPage, endPage,
                                                settings)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(DeviceState, identity, users, accounts, boxes,
                                                documents, jobs, nextDocumentId, nextJobId)

nlohmann::json StateToJson(const DeviceState& state) {
    return state;
}

bool StateFromJson(const nlohmann::json& value, DeviceState& state, std::string& error) {
    try {
        state = value.get<DeviceState>();
        return true;
    } catch (const nlohmann::json::exception& e) {
        error = e.what();
        return false;
    }
}

nlohmann::json OverridesToJson(const IdentityOverrides& overrides) {
    nlohmann::json j = nlohmann::json::object();
    if (overrides.identifier)
        j["identifier"] = *overrides.identifier;
    if (overrides.major)
        j["major"] = *overrides.major;
    if (overrides.minor)
        j["minor"] = *overrides.minor;
    if (overrides.model)
        j["model"] = *overrides.model;
    return j;
}

IdentityOverrides OverridesFromJson(const nlohmann::json& value) {
    IdentityOverrides o;
    if (!value.is_object())
        return o;
    if (auto it = value.find("identifier"); it != value.end() && it->is_string())
        o.identifier = it->get<std::string>();
    auto number = [&](const char* key, std::optional<int>& out) {
        if (auto it = value.find(key); it != value.end() && it->is_number_integer())
            out = it->get<int>();
    };
    number("major", o.major);
    number("minor", o.minor);
    number("model", o.model);
    return o;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

bool FromHex(const std::string& text, std::vector<uint8_t>& bytes) {
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (text.size() % 2)
        return false;
    bytes.clear();
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = digit(text[i]);
        const int lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

}  // namespace mfpsim
