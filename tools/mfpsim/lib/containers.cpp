#include "tools/mfpsim/lib/containers.h"

#include <array>
#include <cstdio>

namespace mfpsim {

namespace {

void Append(std::vector<uint8_t>& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
}

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xffff);
    Put16(out, v >> 16);
}

std::string Fmt(const char* f, double a, double b) {
    char buf[96];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

std::string PathRect(double w, double h) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "M 0,0 L %.0f,0 %.0f,%.0f 0,%.0f Z", w, w, h, h);
    return buf;
}

double PageDpi(const img::EncodedPage& page) {
    return page.dpi > 0 ? page.dpi : 100.0;
}

}  // namespace

std::string XmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                // Control characters are not allowed in XML 1.0 text.
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') {
                    out += c;
                }
        }
    }
    return out;
}

std::vector<uint8_t> MakePdf(const std::vector<img::EncodedPage>& pages, const std::string& title) {
    std::vector<uint8_t> out;
    std::vector<size_t> offsets;  // object number - 1 -> byte offset
    auto beginObj = [&](size_t num) {
        if (offsets.size() < num) {
            offsets.resize(num);
        }
        offsets[num - 1] = out.size();
        Append(out, std::to_string(num) + " 0 obj\n");
    };
    Append(out, "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n");
    const size_t n = pages.size();
    // Objects: 1 catalog, 2 pages, 3 info, then per page: page, content, image.
    auto pageObj = [](size_t i) { return 4 + i * 3; };
    beginObj(1);
    Append(out, "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
    beginObj(2);
    std::string kids;
    for (size_t i = 0; i < n; ++i) {
        kids += std::to_string(pageObj(i)) + " 0 R ";
    }
    Append(out,
           "<< /Type /Pages /Count " + std::to_string(n) + " /Kids [ " + kids + "] >>\nendobj\n");
    beginObj(3);
    std::string t;
    for (char c : title) {
        if (c == '(' || c == ')' || c == '\\') {
            t += '\\';
        }
        t += c;
    }
    Append(out, "<< /Title (" + t + ") /Producer (mfpsim) >>\nendobj\n");
    for (size_t i = 0; i < n; ++i) {
        const img::EncodedPage& p = pages[i];
        double w = p.width * 72.0 / PageDpi(p);
        double h = p.height * 72.0 / PageDpi(p);
        size_t po = pageObj(i);
        beginObj(po);
        Append(out, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + Fmt("%.2f %.2f", w, h) +
                        "] /Resources << /XObject << /Im0 " + std::to_string(po + 2) +
                        " 0 R >> >> /Contents " + std::to_string(po + 1) + " 0 R >>\nendobj\n");
        std::string content = "q " + Fmt("%.2f 0 0 %.2f", w, h) + " 0 0 cm /Im0 Do Q\n";
        beginObj(po + 1);
        Append(out, "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
                        "endstream\nendobj\n");
        const std::vector<uint8_t>& data = p.data;
        std::string dict;
        if (p.g4) {
            dict =
                "/ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /CCITTFaxDecode "
                "/DecodeParms << /K -1 /Columns " +
                std::to_string(p.width) + " /Rows " + std::to_string(p.height) + " >>";
        } else {
            dict = std::string("/ColorSpace ") + (p.channels == 3 ? "/DeviceRGB" : "/DeviceGray") +
                   " /BitsPerComponent 8 /Filter /DCTDecode";
        }
        beginObj(po + 2);
        Append(out, "<< /Type /XObject /Subtype /Image /Width " + std::to_string(p.width) +
                        " /Height " + std::to_string(p.height) + " " + dict + " /Length " +
                        std::to_string(data.size()) + " >>\nstream\n");
        out.insert(out.end(), data.begin(), data.end());
        Append(out, "\nendstream\nendobj\n");
    }
    size_t xref = out.size();
    Append(out, "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n");
    for (size_t off : offsets) {
        char line[24];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
        Append(out, line);
    }
    Append(out, "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
                    " /Root 1 0 R /Info 3 0 R >>\nstartxref\n" + std::to_string(xref) +
                    "\n%%EOF\n");
    return out;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xffffffffu;
    for (size_t i = 0; i < size; ++i) {
        c = table[(c ^ data[i]) & 0xff] ^ (c >> 8);
    }
    return c ^ 0xffffffffu;
}

std::vector<uint8_t> MakeZip(const std::vector<ZipEntry>& entries) {
    const uint32_t kDosTime = 0;                        // 00:00:00
    const uint32_t kDosDate = (0 << 9) | (1 << 5) | 1;  // 1980-01-01
    std::vector<uint8_t> out;
    std::vector<uint8_t> central;
    for (const ZipEntry& e : entries) {
        uint32_t crc = Crc32(e.data.data(), e.data.size());
        uint32_t offset = static_cast<uint32_t>(out.size());
        Put32(out, 0x04034b50);
        Put16(out, 20);  // version needed
        Put16(out, 0);   // flags
        Put16(out, 0);   // stored
        Put16(out, kDosTime);
        Put16(out, kDosDate);
        Put32(out, crc);
        Put32(out, static_cast<uint32_t>(e.data.size()));
        Put32(out, static_cast<uint32_t>(e.data.size()));
        Put16(out, static_cast<uint32_t>(e.name.size()));
        Put16(out, 0);
        Append(out, e.name);
        out.insert(out.end(), e.data.begin(), e.data.end());

        Put32(central, 0x02014b50);
        Put16(central, 20);  // made by
        Put16(central, 20);  // needed
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, kDosTime);
        Put16(central, kDosDate);
        Put32(central, crc);
        Put32(central, static_cast<uint32_t>(e.data.size()));
        Put32(central, static_cast<uint32_t>(e.data.size()));
        Put16(central, static_cast<uint32_t>(e.name.size()));
        Put16(central, 0);  // extra
        Put16(central, 0);  // comment
        Put16(central, 0);  // disk
        Put16(central, 0);  // internal attributes
        Put32(central, 0);  // external attributes
        Put32(central, offset);
        Append(central, e.name);
    }
    uint32_t cdOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), central.begin(), central.end());
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<uint32_t>(entries.size()));
    Put16(out, static_cast<uint32_t>(entries.size()));
    Put32(out, static_cast<uint32_t>(central.size()));
    Put32(out, cdOffset);
    Put16(out, 0);
    return out;
}

std::vector<uint8_t> MakeXps(const std::vector<img::EncodedPage>& pages, bool openXps) {
    const std::string ns = openXps ? "http://schemas.openxps.org/oxps/v1.0"
                                   : "http://schemas.microsoft.com/xps/2005/06";
    const std::string relBase = openXps ? "http://schemas.openxps.org/oxps/v1.0"
                                        : "http://schemas.microsoft.com/xps/2005/06";
    std::vector<ZipEntry> e;
    e.push_back(
        {"[Content_Types].xml",
         Bytes("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
               "<Default Extension=\"rels\" "
               "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
               "<Default Extension=\"fdseq\" "
               "ContentType=\"application/vnd.ms-package.xps-fixeddocumentsequence+xml\"/>"
               "<Default Extension=\"fdoc\" "
               "ContentType=\"application/vnd.ms-package.xps-fixeddocument+xml\"/>"
               "<Default Extension=\"fpage\" "
               "ContentType=\"application/vnd.ms-package.xps-fixedpage+xml\"/>"
               "<Default Extension=\"jpg\" ContentType=\"image/jpeg\"/>"
               "</Types>")});
    e.push_back({"_rels/.rels",
                 Bytes("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<Relationships "
                       "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                       "<Relationship Id=\"R0\" Type=\"" +
                       relBase +
                       "/fixedrepresentation\" "
                       "Target=\"/FixedDocumentSequence.fdseq\"/></Relationships>")});
    e.push_back({"FixedDocumentSequence.fdseq",
                 Bytes("<FixedDocumentSequence xmlns=\"" + ns +
                       "\">"
                       "<DocumentReference Source=\"/Documents/1/FixedDocument.fdoc\"/>"
                       "</FixedDocumentSequence>")});
    std::string fdoc = "<FixedDocument xmlns=\"" + ns + "\">";
    for (size_t i = 0; i < pages.size(); ++i) {
        fdoc += "<PageContent Source=\"/Documents/1/Pages/" + std::to_string(i + 1) + ".fpage\"/>";
    }
    fdoc += "</FixedDocument>";
    e.push_back({"Documents/1/FixedDocument.fdoc", Bytes(fdoc)});
    for (size_t i = 0; i < pages.size(); ++i) {
        const img::EncodedPage& p = pages[i];
        // XPS units are 1/96 inch.
        double w = p.width * 96.0 / PageDpi(p);
        double h = p.height * 96.0 / PageDpi(p);
        std::string n = std::to_string(i + 1);
        std::string res = "/Resources/" + n + ".jpg";
        std::string page = "<FixedPage xmlns=\"" + ns + "\" xml:lang=\"und\" " +
                           Fmt("Width=\"%.0f\" Height=\"%.0f\"", w, h) + "><Path Data=\"" +
                           PathRect(w, h) + "\">" + "<Path.Fill><ImageBrush ImageSource=\"" + res +
                           "\" " + "Viewbox=\"0,0," + std::to_string(p.width) + "," +
                           std::to_string(p.height) + "\" ViewboxUnits=\"Absolute\" " +
                           Fmt("Viewport=\"0,0,%.0f,%.0f\"", w, h) +
                           " ViewportUnits=\"Absolute\"/></Path.Fill></Path></FixedPage>";
        e.push_back({"Documents/1/Pages/" + n + ".fpage", Bytes(page)});
        e.push_back(
            {"Documents/1/Pages/_rels/" + n + ".fpage.rels",
             Bytes("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<Relationships "
                   "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                   "<Relationship Id=\"R1\" Type=\"" +
                   relBase + "/required-resource\" Target=\"" + res + "\"/></Relationships>")});
        e.push_back({"Resources/" + n + ".jpg", p.data});
    }
    return MakeZip(e);
}

std::vector<uint8_t> MakeOffice(OfficeKind kind, const std::string& title,
                                const std::vector<std::string>& lines) {
    const std::string xmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
    const std::string relNs = "http://schemas.openxmlformats.org/package/2006/relationships";
    const std::string docRel =
        "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
    const std::string core =
        xmlHead +
        "<cp:coreProperties "
        "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
        "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>" +
        XmlEscape(title) + "</dc:title><dc:creator>mfpsim</dc:creator></cp:coreProperties>";
    const std::string coreType =
        "<Override PartName=\"/docProps/core.xml\" "
        "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>";
    const std::string coreRel =
        "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/package/2006/"
        "relationships/metadata/core-properties\" Target=\"docProps/core.xml\"/>";
    const std::string typesHead =
        xmlHead +
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" "
        "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>";
    std::vector<ZipEntry> e;
    if (kind == OfficeKind::kText) {
        e.push_back(
            {"[Content_Types].xml",
             Bytes(typesHead +
                   "<Override PartName=\"/word/document.xml\" ContentType=\"application/"
                   "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>" +
                   coreType + "</Types>")});
        e.push_back({"_rels/.rels",
                     Bytes(xmlHead + "<Relationships xmlns=\"" + relNs +
                           "\"><Relationship Id=\"rId1\" Type=\"" + docRel +
                           "\" Target=\"word/document.xml\"/>" + coreRel + "</Relationships>")});
        std::string body;
        for (const std::string& l : lines) {
            body += "<w:p><w:r><w:t xml:space=\"preserve\">" + XmlEscape(l) + "</w:t></w:r></w:p>";
        }
        e.push_back(
            {"word/document.xml",
             Bytes(xmlHead +
                   "<w:document "
                   "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
                   "<w:body>" +
                   body + "</w:body></w:document>")});
    } else if (kind == OfficeKind::kSpreadsheet) {
        e.push_back(
            {"[Content_Types].xml",
             Bytes(typesHead +
                   "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/"
                   "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
                   "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/"
                   "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>" +
                   coreType + "</Types>")});
        e.push_back({"_rels/.rels",
                     Bytes(xmlHead + "<Relationships xmlns=\"" + relNs +
                           "\"><Relationship Id=\"rId1\" Type=\"" + docRel +
                           "\" Target=\"xl/workbook.xml\"/>" + coreRel + "</Relationships>")});
        e.push_back(
            {"xl/workbook.xml",
             Bytes(
                 xmlHead +
                 "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                 "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                 "<sheets><sheet name=\"Sheet1\" sheetId=\"1\" "
                 "r:id=\"rId1\"/></sheets></workbook>")});
        e.push_back(
            {"xl/_rels/workbook.xml.rels",
             Bytes(
                 xmlHead + "<Relationships xmlns=\"" + relNs +
                 "\"><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/"
                 "officeDocument/2006/relationships/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
                 "</Relationships>")});
        std::string rows;
        for (size_t i = 0; i < lines.size(); ++i) {
            std::string r = std::to_string(i + 1);
            rows += "<row r=\"" + r + "\"><c r=\"A" + r + "\" t=\"inlineStr\"><is><t>" +
                    XmlEscape(lines[i]) + "</t></is></c></row>";
        }
        e.push_back(
            {"xl/worksheets/sheet1.xml",
             Bytes(xmlHead +
                   "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                   "<sheetData>" +
                   rows + "</sheetData></worksheet>")});
    } else {
        // Presentation parts only (no master, layout or theme): a valid package that
        // readers can list, not one every presentation program opens.
        std::string types =
            typesHead +
            "<Override PartName=\"/ppt/presentation.xml\" ContentType=\"application/"
            "vnd.openxmlformats-officedocument.presentationml.presentation.main+xml\"/>";
        std::string presRels = xmlHead + "<Relationships xmlns=\"" + relNs + "\">";
        std::string sldIds;
        for (size_t i = 0; i < lines.size(); ++i) {
            std::string n = std::to_string(i + 1);
            types += "<Override PartName=\"/ppt/slides/slide" + n +
                     ".xml\" ContentType=\"application/vnd.openxmlformats-officedocument."
                     "presentationml.slide+xml\"/>";
            presRels += "<Relationship Id=\"rId" + n +
                        "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                        "relationships/slide\" Target=\"slides/slide" +
                        n + ".xml\"/>";
            sldIds += "<p:sldId id=\"" + std::to_string(256 + i) + "\" r:id=\"rId" + n + "\"/>";
            e.push_back(
                {"ppt/slides/slide" + n + ".xml",
                 Bytes(xmlHead +
                       "<p:sld xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                       "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\">"
                       "<p:cSld><p:spTree><p:nvGrpSpPr><p:cNvPr id=\"1\" name=\"\"/><p:cNvGrpSpPr/>"
                       "<p:nvPr/></p:nvGrpSpPr><p:grpSpPr/><p:sp><p:nvSpPr><p:cNvPr id=\"2\" "
                       "name=\"Text\"/><p:cNvSpPr/><p:nvPr/></p:nvSpPr><p:spPr/><p:txBody>"
                       "<a:bodyPr/><a:p><a:r><a:t>" +
                       XmlEscape(lines[i]) +
                       "</a:t></a:r></a:p></p:txBody></p:sp></p:spTree></p:cSld></p:sld>")});
        }
        types += coreType + "</Types>";
        presRels += "</Relationships>";
        e.insert(e.begin(), {"[Content_Types].xml", Bytes(types)});
        e.insert(e.begin() + 1,
                 {"_rels/.rels",
                  Bytes(xmlHead + "<Relationships xmlns=\"" + relNs +
                        "\"><Relationship Id=\"rId1\" Type=\"" + docRel +
                        "\" Target=\"ppt/presentation.xml\"/>" + coreRel + "</Relationships>")});
        e.push_back(
            {"ppt/presentation.xml",
             Bytes(
                 xmlHead +
                 "<p:presentation "
                 "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                 "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
                 "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\">"
                 "<p:sldIdLst>" +
                 sldIds +
                 "</p:sldIdLst><p:sldSz cx=\"9144000\" cy=\"6858000\"/>"
                 "<p:notesSz cx=\"6858000\" cy=\"9144000\"/></p:presentation>")});
        e.push_back({"ppt/_rels/presentation.xml.rels", Bytes(presRels)});
    }
    e.push_back({"docProps/core.xml", Bytes(core)});
    return MakeZip(e);
}

}  // namespace mfpsim
