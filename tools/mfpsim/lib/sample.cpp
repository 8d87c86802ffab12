#include "tools/mfpsim/lib/sample.h"

#include "tools/mfpsim/lib/containers.h"
#include "tools/mfpsim/lib/imaging.h"

namespace mfpsim {

bool WriteDocumentContent(const Store& store, const Document& d, uint32_t seed,
                          std::string& error) {
    img::PageStyle style = d.colorType == 0   ? img::PageStyle::kBilevel
                           : d.colorType == 1 ? img::PageStyle::kGrey
                                              : img::PageStyle::kColour;
    img::Image first;
    for (int p = 1; p <= d.pages; ++p) {
        img::Image page = img::SyntheticPage(seed, p, d.width, d.height, style, d.xResolution);
        std::vector<uint8_t> bytes = d.TiffPages() ? img::EncodeTiff({page}, img::TiffCoding::kG4)
                                                   : img::EncodeJpeg(page, 80);
        if (bytes.empty() || !store.WriteContent(d, Store::PageFileName(d, p), bytes)) {
            error = "cannot write the pages of document " + std::to_string(d.id);
            return false;
        }
        if (p == 1) {
            first = std::move(page);
        }
    }
    bool ok = store.WriteContent(d, "thumb.raw", img::RawThumbnail(first)) &&
              store.WriteContent(d, "thumb.jpg", img::JpegThumbnail(first));
    if (ok && d.fileType >= kFilePptx) {
        OfficeKind kind = d.fileType == kFilePptx   ? OfficeKind::kPresentation
                          : d.fileType == kFileDocx ? OfficeKind::kText
                                                    : OfficeKind::kSpreadsheet;
        std::vector<std::string> lines = {d.name};
        for (int p = 1; p <= d.pages; ++p) {
            lines.push_back("Page " + std::to_string(p) + " of " + std::to_string(d.pages));
        }
        ok = store.WriteContent(d, "content.bin", MakeOffice(kind, d.name, lines));
    }
    if (!ok) {
        error = "cannot write document " + std::to_string(d.id);
    }
    return ok;
}

bool WriteSampleDevice(const Store& target, const SampleOptions& options, std::string& error) {
    DeviceState st = SampleState(options);
    Store store(target.Root());
    store.SetDurable(false);
    if (!store.SaveAll(st)) {
        error = "cannot write the sample device into " + store.Root().string();
        return false;
    }
    for (const auto& [id, d] : st.documents) {
        if (!WriteDocumentContent(store, d, static_cast<uint32_t>(id), error)) {
            return false;
        }
    }
    return true;
}

}  // namespace mfpsim
