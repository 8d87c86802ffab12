// What an emulated device holds: its identity and capabilities, users, accounts,
// boxes, documents and the print jobs it has received.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mfpsim {

// Operation restrictions, one int per operation kind, 1 = forbidden.
inline constexpr int kRestrictionCount = 13;
using Restrictions = std::array<int, kRestrictionCount>;
// Index of the colour restriction (the one old login forms return alone).
inline constexpr int kColourRestriction = 6;

// Model identifiers are "<prefix><model>.<unit>"; two prefixes name the two families.
inline constexpr const char* kIdentifierPrefixA = "1.3.6.1.4.1.59731.1.1.1.2.1.";
inline constexpr const char* kIdentifierPrefixB = "1.3.6.1.4.1.59731.1.2.1.2.1.";
std::string IdentifierForModel(int model, bool secondFamily = false);
// The model number after the twelfth component, or -1 when there is none.
int ModelFromIdentifier(const std::string& identifier);
// The identifier cut before its thirteenth dot (empty when it has fewer).
std::string DeviceUnit(const std::string& identifier);

// A protocol version as one number for feature checks, as the protocol defines it:
// major * 10 + minor, a minor above 9 counting as 9 (3.1 -> 31, 4.11 -> 49).
int ProtocolLevel(int major, int minor);

struct Identity {
    std::string identifier = IdentifierForModel(140);
    int major = 4;
    int minor = 11;
    std::string modelName = "mfpsim MFP";
    std::string serial = "MFPSIM-0001";

    // Authentication as reported at connect.
    int userAuthType = 1;     // 0 none, 3/8/9 customized, 7 vendor, others user login
    int accountAuthType = 0;  // 0/4 none, 2 empty name allowed, 6 optional, others required
    int publicSupport = 1;

    // Inquiry answers.
    int hddCount = 1;
    int ioption = 0;
    int rxSecured = 1;  // memory-RX documents need the RX password to be removed
    int enhancedSecurity = 0;
    int boxCreate = 1;
    int boxEdit = 1;
    int boxDelete = 1;
    int autoDelTimePermission = 1;
    int mono2ColorPolicy = 0;
    int searchablePdf = 1;
    int officeSupport = 1;
    std::vector<int> languages = {1, 2, 3};
    int pdfA = 1;
    int linearizedPdf = 1;
    int64_t supportedFileFormat = 0x3ff;
    int simpleAuth = 0;
    int boxAdminSupport = 1;
    int trimLdapUserName = 0;
    int publicUserNameSupport = 1;
    std::vector<std::string> authServers = {"LOCAL"};
    std::string customizedLoginInfo = "name;password";

    int maxBoxNumber = 1000;  // user boxes are numbered 1..maxBoxNumber
    int maxDocumentsPerBox = 1000;
};

enum class UserRole { kUser = 0, kBoxAdmin = 1, kVendor = 2, kPublic = 3 };

struct User {
    std::string name;
    std::string password;
    UserRole role = UserRole::kUser;
    Restrictions restrictions{};
    std::string authServer = "LOCAL";
    std::string accountName;  // account reported for the current user (at most 8 bytes)
    int accountSync = 0;
};

struct Account {
    std::string name;
    std::string password;
    Restrictions restrictions{};
};

enum class BoxKind { kUser = 0, kFiling = 1, kMemoryRx = 2 };

// Box types: 0 shared (no owner check), 2 owned by an account, others owned by a user.
struct Box {
    int number = 0;
    BoxKind kind = BoxKind::kUser;
    std::string name;
    std::string owner;
    std::string password;
    int type = 0;
    std::string entryDate;  // "YYYY/MM/DD hh:mm:ss"
    int searchChar = 0;
    int main = 0;
    int autoDelTime = 255;    // 0 or 255: never
    int autoDelTimeType = 1;  // 1: autoDelTime in days, 2: autoDelTime hours + minutes
    int autoDelTimeMinute = 0;
    int valueA = 0;
    int valueB = 0;
    int valueC = 0;
    int valueD = 0;
    std::string textA;
    std::string textB;
};

// File type codes of stored documents.
enum FileType : int {
    kFileJpeg = 0,
    kFileTiff = 1,
    kFilePdf = 2,
    kFilePdf2 = 4,
    kFileXps = 5,
    kFileXps2 = 6,
    kFilePptx = 7,
    kFileDocx = 8,
    kFileXlsx = 9,
};

struct Attribute {
    int type = 0;
    int enable = 0;
    int colorType = 0;
};

struct Document {
    int id = 0;
    int box = 0;
    std::string name;
    std::string owner;
    std::string entryDate;  // "YYYY/MM/DD hh:mm:ss"
    int fileType = kFileJpeg;
    int pages = 1;
    int xResolution = 200;
    int yResolution = 200;
    int colorType = 2;  // 0 bilevel, 1 grey, 2 and 3 colour
    int bitsPerPixel = 24;
    int paperSize = 0;
    int width = 0;
    int height = 0;
    int mode = 0;
    int encrypted = 0;
    std::vector<Attribute> attributes;
    std::array<int, 4> outlinePdf{};
    std::array<int, 2> extendedPdf{};
    std::array<int, 5> officeXml{};
    // Stored page images are bilevel TIFF pages (colour type 0) or JPEG pages.
    bool TiffPages() const { return colorType == 0; }
};

struct PrintJob {
    int id = 0;
    int document = 0;
    int box = 0;
    std::string user;
    std::string documentName;
    std::string time;
    int copies = 1;
    int colour = 0;
    int duplex = 0;
    int startPage = 1;
    int endPage = 0;
    std::vector<uint8_t> settings;  // the print setting record as received
};

// Everything the device holds, keyed for lookup.
struct DeviceState {
    Identity identity;
    std::map<std::string, User> users;        // by name
    std::map<std::string, Account> accounts;  // by name
    std::map<int, Box> boxes;                 // by number; 0 is the memory-RX box
    std::map<int, Document> documents;        // by id, unique over the device
    std::vector<PrintJob> jobs;
    int nextDocumentId = 1;
    int nextJobId = 1;
};

// Name comparisons that ignore ASCII letter case.
bool EqualsNoCase(const std::string& a, const std::string& b);

}  // namespace mfpsim
