// The sample device's data (users, accounts, boxes, documents), apart from the page
// images so that it builds wherever the model does: the Windows build of vesk takes the
// demo's logins from here.
#include <chrono>
#include <cstdio>
#include <initializer_list>

#include "tools/mfpsim/lib/sample.h"

namespace mfpsim {

namespace {

// Paper size codes the sample uses.
constexpr int kPaperA4 = 4;
constexpr int kPaperLetter = 17;

struct SampleDoc {
    int box;
    const char* name;
    const char* owner;
    int fileType;
    int pages;
    int colorType;  // 0 bilevel, 1 grey, 2/3 colour
    int paper;
    int mode;
    int encrypted;
};

// Every file type appears; bilevel documents keep TIFF pages, the others JPEG pages.
const SampleDoc kDocs[] = {
    // Shared box: one of each kind, plus the awkward cases.
    {1, "Invoice 2024-001", "alice", kFileJpeg, 2, 2, kPaperA4, 0, 0},
    {1, "Contract", "alice", kFileTiff, 3, 0, kPaperA4, 0, 0},
    {1, "Brochure", "bob", kFilePdf, 4, 2, kPaperA4, 0, 0},
    {1, "Memo", "bob", kFilePdf, 2, 0, kPaperLetter, 0, 0},
    {1, "Archive", "carol", kFilePdf2, 2, 1, kPaperA4, 0, 0},
    {1, "Catalogue", "carol", kFileXps, 3, 3, kPaperA4, 0, 0},
    {1, "Form", "alice", kFileXps2, 1, 1, kPaperLetter, 0, 0},
    {1, "Quarterly Review", "alice", kFilePptx, 3, 2, kPaperA4, 0, 0},
    {1, "Report", "bob", kFileDocx, 2, 1, kPaperA4, 0, 0},
    {1, "Budget", "carol", kFileXlsx, 1, 2, kPaperA4, 0, 0},
    {1, "Photo", "alice", kFileJpeg, 1, 3, kPaperLetter, 0, 0},
    {1, "Long scan", "bob", kFileJpeg, 12, 1, kPaperA4, 0, 0},
    {1, "Sealed", "carol", kFilePdf, 1, 2, kPaperA4, 0, 1},
    {1, "a:b <c>&d", "alice", kFileJpeg, 1, 2, kPaperA4, 0, 0},
    // Alice's box.
    {2, "Receipts", "alice", kFileJpeg, 3, 2, kPaperA4, 0, 0},
    {2, "Notes", "alice", kFileTiff, 2, 0, kPaperA4, 0, 0},
    {2, "Slides draft", "alice", kFilePptx, 2, 2, kPaperA4, 0, 0},
    {2, "Letter", "alice", kFileDocx, 1, 1, kPaperLetter, 0, 0},
    {2, "\xe8\xa6\x8b\xe7\xa9\x8d\xe6\x9b\xb8", "alice", kFilePdf, 2, 2, kPaperA4, 0, 0},
    // Password box.
    {3, "Payroll", "boxadmin", kFileXlsx, 1, 2, kPaperA4, 0, 0},
    {3, "Salaries", "boxadmin", kFilePdf, 2, 0, kPaperA4, 0, 0},
    {3, "Reviews", "boxadmin", kFileDocx, 2, 1, kPaperA4, 0, 0},
    // Account box.
    {4, "Offer", "alice", kFilePdf, 3, 2, kPaperA4, 0, 0},
    {4, "Price list", "alice", kFileXlsx, 1, 1, kPaperA4, 0, 0},
    {4, "Order form", "alice", kFileTiff, 1, 0, kPaperLetter, 0, 0},
    // Bob's password box.
    {5, "Travel", "bob", kFileJpeg, 2, 2, kPaperA4, 0, 0},
    {5, "Expenses", "bob", kFileXps, 1, 1, kPaperA4, 0, 0},
    // Filing-number box.
    {1001, "Filed 1", "alice", kFileTiff, 2, 0, kPaperA4, 1, 0},
    {1001, "Filed 2", "bob", kFilePdf, 1, 2, kPaperA4, 1, 0},
    // Memory-RX box: received faxes, bilevel.
    {0, "Fax 0312", "Public", kFileTiff, 2, 0, kPaperA4, 5, 0},
    {0, "Fax 0313", "Public", kFileTiff, 1, 0, kPaperA4, 5, 0},
    {0, "Fax 0314", "Public", kFilePdf, 3, 0, kPaperLetter, 5, 0},
};

Restrictions Restrict(std::initializer_list<int> forbidden) {
    Restrictions r{};
    for (int i : forbidden) {
        r[static_cast<size_t>(i)] = 1;
    }
    return r;
}

// Days and minutes from 2024/03/04 09:05:03, as entry-date text. Counted on the civil
// calendar, so the text does not depend on the machine's time zone.
std::string Date(int dayOffset, int minuteOffset) {
    using namespace std::chrono;
    const sys_seconds t = sys_days(year(2024) / March / 4) + days(dayOffset) + hours(9) +
                          minutes(5 + minuteOffset) + seconds(3);
    const year_month_day ymd(floor<days>(t));
    const hh_mm_ss hms(t - floor<days>(t));
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d/%02u/%02u %02d:%02d:%02d", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return buf;
}

void PageSize(int paper, int dpi, int& w, int& h) {
    if (paper == kPaperLetter) {
        w = dpi * 85 / 10;
        h = dpi * 11;
    } else {
        w = dpi * 827 / 100;
        h = dpi * 1169 / 100;
    }
}

}  // namespace

DeviceState SampleState(const SampleOptions& options) {
    DeviceState st;
    st.identity = Identity{};

    auto addUser = [&](const std::string& name, const std::string& pw, UserRole role,
                       Restrictions r, const std::string& account) {
        User u;
        u.name = name;
        u.password = pw;
        u.role = role;
        u.restrictions = r;
        u.accountName = account;
        st.users[name] = u;
    };
    addUser("alice", "alice", UserRole::kUser, {}, "sales");
    addUser("bob", "bob", UserRole::kUser, Restrict({6, 7}), "eng");  // no colour
    addUser("carol", "carol", UserRole::kUser, Restrict({1}), "");    // no print
    addUser("boxadmin", "admin", UserRole::kBoxAdmin, {}, "");
    addUser("service", "service", UserRole::kVendor, {}, "");
    addUser("Public", "", UserRole::kPublic, {}, "");
    addUser("\xe5\xb1\xb1\xe7\x94\xb0", "yamada", UserRole::kUser, Restrict({2}), "");  // no scan

    auto addAccount = [&](const std::string& name, const std::string& pw, Restrictions r) {
        st.accounts[name] = Account{name, pw, r};
    };
    addAccount("sales", "1111", {});
    addAccount("eng", "2222", Restrict({6}));
    addAccount("guest", "", Restrict({2, 5}));

    auto addBox = [&](int number, BoxKind kind, const std::string& name, const std::string& owner,
                      const std::string& pw, int type, int day) {
        Box b;
        b.number = number;
        b.kind = kind;
        b.name = name;
        b.owner = owner;
        b.password = pw;
        b.type = type;
        b.entryDate = Date(-30 + day, 0);
        b.searchChar = kind == BoxKind::kMemoryRx ? 255 : static_cast<unsigned char>(name[0]);
        b.autoDelTime = 255;
        b.autoDelTimeType = 1;
        st.boxes[number] = b;
    };
    addBox(0, BoxKind::kMemoryRx, "Memory RX User Box", "Public", "0000", 0, 0);
    addBox(1, BoxKind::kUser, "Shared Scans", "", "", 0, 1);
    addBox(2, BoxKind::kUser, "Alice", "alice", "", 1, 2);
    addBox(3, BoxKind::kUser, "Secure", "", "1234", 0, 3);
    addBox(4, BoxKind::kUser, "Sales", "sales", "", 2, 4);
    addBox(5, BoxKind::kUser, "Bob Private", "bob", "bob", 1, 5);
    addBox(1001, BoxKind::kFiling, "Filing 1001", "", "", 0, 6);

    int n = 0;
    for (const SampleDoc& s : kDocs) {
        Document d;
        d.id = st.nextDocumentId++;
        d.box = s.box;
        d.name = s.name;
        d.owner = s.owner;
        d.entryDate = Date(n / 6, (n % 6) * 97);
        d.fileType = s.fileType;
        d.pages = s.pages;
        d.xResolution = options.dpi;
        d.yResolution = options.dpi;
        d.colorType = s.colorType;
        d.bitsPerPixel = s.colorType == 0 ? 1 : s.colorType == 1 ? 8 : 24;
        d.paperSize = s.paper;
        PageSize(s.paper, options.dpi, d.width, d.height);
        d.mode = s.mode;
        d.encrypted = s.encrypted;
        if (n % 4 == 0) {
            d.attributes.push_back({1, 1, s.colorType});
            d.attributes.push_back({2, 0, 0});
        }
        if (s.fileType == kFilePdf || s.fileType == kFilePdf2) {
            d.outlinePdf = {1, 1, 0, s.colorType != 0 ? 1 : 0};
            d.extendedPdf = {s.fileType == kFilePdf2 ? 1 : 0, 1};
        }
        if (s.fileType >= kFilePptx) {
            d.officeXml = {1, s.fileType - kFilePptx, 0, 0, 0};
        }
        st.documents[d.id] = d;
        ++n;
    }
    return st;
}

void A4Pixels(int dpi, int& width, int& height) {
    PageSize(kPaperA4, dpi, width, height);
}

}  // namespace mfpsim
