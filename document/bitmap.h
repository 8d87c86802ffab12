// Which form a page of a document is fetched in for display. Exported for the command
// line, which numbers pages from 1 and must turn that into what GetBitmap takes.
#pragma once

#include "platform/export.h"

class CVESKDocument;

namespace vesk {

// True when GetBitmap shows a page as a frame of the whole TIFF document (pages counted
// from 0), false when it fetches the page alone as JPEG (pages counted from 1, as the
// device counts them): TIFF for devices that send raw thumbnails and for documents
// made in the modes that keep bilevel data.
VESK_API bool PageShownFromTiff(CVESKDocument& doc);

}  // namespace vesk
