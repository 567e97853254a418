// Office documents carved from damaged media: any bytes, as a zip of XML parts or as one XML
// part, must give bounded text without fault.

#include <QByteArrayView>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/preview_office.h"

using namespace norvale;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    ArchiveLimits limits;
    limits.maxEntries = 200;
    limits.maxMemberBytes = 1 << 20;
    limits.maxTotalBytes = 2 << 20;
    limits.maxMilliseconds = 2000;
    if (const auto text = OfficeZipTextFromBytes(bytes, limits)) {
        if (text->size() > kMaxOfficeTextChars) std::abort();
    }
    for (OfficeXmlPart part : {OfficeXmlPart::kWordDocument, OfficeXmlPart::kSharedStrings,
                               OfficeXmlPart::kSlide, OfficeXmlPart::kOpenDocument}) {
        if (OfficeXmlText(bytes, part).size() > kMaxOfficeTextChars) std::abort();
    }
    return 0;
}
