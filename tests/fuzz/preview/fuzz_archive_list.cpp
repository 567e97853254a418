// Archives carved from damaged media: any bytes must list without fault, within the entry limit,
// with every shown name bounded and free of control characters.

#include <QByteArrayView>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/preview_archive.h"

using namespace norvale;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ArchiveLimits limits;
    limits.maxEntries = 500;
    limits.maxMilliseconds = 2000;
    const ArchiveListing listing = ListArchiveBytes(
        QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size)), "data", limits);
    if (listing.entries.size() > limits.maxEntries) std::abort();
    if (!listing.opened && !listing.entries.empty()) std::abort();
    for (const ArchiveEntry& entry : listing.entries) {
        if (entry.path.size() > 1024 || entry.size < 0) std::abort();
        for (QChar c : entry.path)
            if (c.category() == QChar::Other_Control) std::abort();
    }
    return 0;
}
