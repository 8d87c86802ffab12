#include "tools/mfpsim/lib/render.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "tools/mfpsim/lib/containers.h"
#include "tools/mfpsim/lib/errors.h"
#include "tools/mfpsim/lib/imaging.h"

namespace mfpsim {

namespace {

bool DecodePage(const Document& doc, const std::vector<uint8_t>& bytes, img::Image& out) {
    if (doc.TiffPages()) {
        std::vector<img::Image> pages;
        if (!img::DecodeTiff(bytes, pages) || pages.empty()) {
            return false;
        }
        out = std::move(pages.front());
        return true;
    }
    return img::DecodeJpeg(bytes, out);
}

// Applies the grey and resolution choices; true when the image was changed.
bool Adjust(img::Image& image, const RenderRequest& r) {
    bool changed = false;
    if (r.grey && image.channels == 3) {
        image = img::ToGrey(image);
        changed = true;
    }
    if (r.resolution > 0 && image.dpi > r.resolution) {
        int w = static_cast<int>(static_cast<int64_t>(image.width) * r.resolution / image.dpi);
        int h = static_cast<int>(static_cast<int64_t>(image.height) * r.resolution / image.dpi);
        bool bilevel = img::IsBilevel(image);
        image = img::Scale(image, w, h);
        if (bilevel) {
            image = img::Threshold(image);
        }
        image.dpi = r.resolution;
        changed = true;
    }
    return changed;
}

bool NeedsChange(const Document& doc, const RenderRequest& r) {
    bool colour = !doc.TiffPages() && doc.colorType != 1;
    return (r.grey && colour) || (r.resolution > 0 && r.resolution < doc.xResolution);
}

// The pages a request covers, 0-based; empty when the page number is out of range.
std::vector<int> SelectPages(const StoredDocument& d, int page) {
    std::vector<int> out;
    int n = static_cast<int>(d.pages.size());
    if (page <= 0) {
        for (int i = 0; i < n; ++i) {
            out.push_back(i);
        }
    } else if (page <= n) {
        out.push_back(page - 1);
    }
    return out;
}

// Pages as images, adjusted.
int Images(const StoredDocument& d, const std::vector<int>& which, const RenderRequest& r,
           std::vector<img::Image>& out) {
    for (int i : which) {
        img::Image im;
        if (!DecodePage(d.doc, d.pages[static_cast<size_t>(i)], im)) {
            return err::kStorage;
        }
        Adjust(im, r);
        out.push_back(std::move(im));
    }
    return 0;
}

// Pages ready for PDF or XPS. Stored JPEG pages pass unchanged when nothing is asked of
// them; `jpegOnly` turns bilevel pages into grey JPEG for XPS.
int Encoded(const StoredDocument& d, const std::vector<int>& which, const RenderRequest& r,
            bool jpegOnly, std::vector<img::EncodedPage>& out) {
    for (int i : which) {
        const std::vector<uint8_t>& bytes = d.pages[static_cast<size_t>(i)];
        img::EncodedPage p;
        if (!d.doc.TiffPages() && !NeedsChange(d.doc, r) && img::PageFromJpeg(bytes, p)) {
            out.push_back(std::move(p));
            continue;
        }
        img::Image im;
        if (!DecodePage(d.doc, bytes, im)) {
            return err::kStorage;
        }
        Adjust(im, r);
        if (jpegOnly) {
            p.width = im.width;
            p.height = im.height;
            p.channels = im.channels;
            p.dpi = im.dpi;
            p.data = img::EncodeJpeg(im, 85);
        } else {
            p = img::PageFromImage(im);
        }
        if (p.data.empty()) {
            return err::kStorage;
        }
        out.push_back(std::move(p));
    }
    return 0;
}

std::vector<std::string> OfficeLines(const Document& doc) {
    std::vector<std::string> lines;
    lines.push_back(doc.name);
    for (int i = 1; i <= doc.pages; ++i) {
        lines.push_back("Page " + std::to_string(i) + " of " + std::to_string(doc.pages));
    }
    return lines;
}

}  // namespace

std::string FileTypeExtension(int fileType) {
    switch (fileType) {
        case kFileJpeg:
            return ".jpg";
        case kFileTiff:
            return ".tif";
        case kFilePdf:
        case kFilePdf2:
            return ".pdf";
        case kFileXps:
        case kFileXps2:
            return ".xps";
        case kFilePptx:
            return ".pptx";
        case kFileDocx:
            return ".docx";
        case kFileXlsx:
            return ".xlsx";
        default:
            return "";
    }
}

int Render(const StoredDocument& d, const RenderRequest& r, std::vector<uint8_t>& out) {
    out.clear();
    if (d.pages.empty()) {
        return err::kStorage;
    }
    switch (r.output) {
        case kOutJpeg: {
            int page = r.page <= 0 ? 1 : r.page;
            if (page > static_cast<int>(d.pages.size())) {
                return err::kDocFormat;
            }
            const std::vector<uint8_t>& bytes = d.pages[static_cast<size_t>(page - 1)];
            if (!d.doc.TiffPages() && !NeedsChange(d.doc, r)) {
                out = bytes;
                return 0;
            }
            img::Image im;
            if (!DecodePage(d.doc, bytes, im)) {
                return err::kStorage;
            }
            Adjust(im, r);
            out = img::EncodeJpeg(im, 85);
            return out.empty() ? err::kStorage : 0;
        }
        case kOutTiff: {
            std::vector<int> which = SelectPages(d, r.page);
            if (which.empty()) {
                return err::kDocFormat;
            }
            if (d.doc.TiffPages() && which.size() == 1 && !NeedsChange(d.doc, r)) {
                out = d.pages[static_cast<size_t>(which.front())];
                return 0;
            }
            std::vector<img::Image> images;
            if (int e = Images(d, which, r, images)) {
                return e;
            }
            out = img::EncodeTiff(images);
            return out.empty() ? err::kStorage : 0;
        }
        case kOutPdf:
        case kOutPdf2: {
            std::vector<int> which = SelectPages(d, r.page);
            if (which.empty()) {
                return err::kDocFormat;
            }
            std::vector<img::EncodedPage> pages;
            if (int e = Encoded(d, which, r, false, pages)) {
                return e;
            }
            out = MakePdf(pages, d.doc.name);
            return 0;
        }
        case kOutXps:
        case kOutXps2: {
            std::vector<int> which = SelectPages(d, r.page);
            if (which.empty()) {
                return err::kDocFormat;
            }
            std::vector<img::EncodedPage> pages;
            if (int e = Encoded(d, which, r, true, pages)) {
                return e;
            }
            out = MakeXps(pages, r.output == kOutXps2);
            return 0;
        }
        case kOutPptx:
        case kOutDocx:
        case kOutXlsx: {
            int fileType = r.output - kOutPptx + kFilePptx;
            if (d.office && d.doc.fileType == fileType) {
                out = *d.office;
                return 0;
            }
            OfficeKind kind = r.output == kOutPptx   ? OfficeKind::kPresentation
                              : r.output == kOutDocx ? OfficeKind::kText
                                                     : OfficeKind::kSpreadsheet;
            out = MakeOffice(kind, d.doc.name, OfficeLines(d.doc));
            return 0;
        }
        default:
            return err::kDocFormat;
    }
}

int RenderBound(const std::vector<StoredDocument>& docs, int bindFormat, bool grey,
                std::vector<uint8_t>& out) {
    out.clear();
    if (docs.empty()) {
        return err::kBadRequest;
    }
    RenderRequest r;
    r.grey = grey;
    std::string title = docs.front().doc.name;
    switch (bindFormat) {
        case kBindTiff: {
            std::vector<img::Image> images;
            for (const StoredDocument& d : docs) {
                if (int e = Images(d, SelectPages(d, 0), r, images)) {
                    return e;
                }
            }
            out = img::EncodeTiff(images);
            return out.empty() ? err::kStorage : 0;
        }
        case kBindPdf:
        case kBindPdf2:
        case kBindXps:
        case kBindXps2: {
            bool xps = bindFormat == kBindXps || bindFormat == kBindXps2;
            std::vector<img::EncodedPage> pages;
            for (const StoredDocument& d : docs) {
                if (int e = Encoded(d, SelectPages(d, 0), r, xps, pages)) {
                    return e;
                }
            }
            out = xps ? MakeXps(pages, bindFormat == kBindXps2) : MakePdf(pages, title);
            return 0;
        }
        default:
            return err::kDocFormat;
    }
}

}  // namespace mfpsim
