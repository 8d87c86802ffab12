// The sample device: a handful of boxes, about thirty documents of every file type with
// real page images, users and accounts with restrictions. Deterministic: the same
// options always give the same folder content.
#pragma once

#include <cstdint>
#include <string>

#include "tools/mfpsim/lib/store.h"

namespace mfpsim {

struct SampleOptions {
    int dpi = 100;  // resolution of the page images (kept low so generation is quick)
};

// Writes the sample device into the store's folder (which should be empty).
bool WriteSampleDevice(const Store& store, const SampleOptions& options, std::string& error);

// The state WriteSampleDevice persists, without the page files.
DeviceState SampleState(const SampleOptions& options);

// Writes a document's content: synthetic pages of d.width x d.height pixels at d's
// resolution (TIFF for bilevel documents, JPEG otherwise), both thumbnails, and the
// Office package for Office file types. `seed` varies the page content.
bool WriteDocumentContent(const Store& store, const Document& d, uint32_t seed, std::string& error);

// A4 portrait in pixels at the given resolution.
void A4Pixels(int dpi, int& width, int& height);

}  // namespace mfpsim
