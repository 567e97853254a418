#pragma once
// Archives found on damaged media: their listing for the preview, and the reading of a few
// named members (the parts of an office document, which is a zip). Everything is bounded: the
// number of entries looked at, the bytes inflated per member and in all, and the time spent,
// so an archive built to explode or to loop ends with what was read so far.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace norvale {

struct ArchiveLimits {
    size_t maxEntries = 10000;                   // entries looked at
    int64_t maxMemberBytes = int64_t{32} << 20;  // inflated bytes kept of one member
    int64_t maxTotalBytes = int64_t{64} << 20;   // inflated bytes read in all
    int maxMilliseconds = 15000;                 // time spent on one archive
};

struct ArchiveEntry {
    QString path;  // as stored, "/" separated; control characters shown as "?"
    int64_t size = 0;
    bool folder = false;
};

struct ArchiveListing {
    bool opened = false;     // the bytes are an archive of a known format
    bool truncated = false;  // the entry limit, the time limit or a stop ended the listing
    bool damaged = false;    // an entry header could not be read; the entries before it stay
    std::vector<ArchiveEntry> entries;
};

// Lists the archive at `path` (zip, 7z, rar, cab, tar, iso, cpio, lha, ar, xar, and those
// inside gzip, bzip2, xz, lzma, compress or uuencode; a lone compressed file is one entry named
// `loneName`). `stop`, when given and set, ends the listing early.
ArchiveListing ListArchive(const QString& path, const QString& loneName = QStringLiteral("data"),
                           const ArchiveLimits& limits = {},
                           const std::atomic<bool>* stop = nullptr);
// The same over bytes in memory; `bytes` must stay valid during the call.
ArchiveListing ListArchiveBytes(QByteArrayView bytes,
                                const QString& loneName = QStringLiteral("data"),
                                const ArchiveLimits& limits = {});

struct ZipMember {
    QString name;
    QByteArray data;
    bool complete = false;  // false: cut at a limit or damaged
};

// Reads the members of the zip at `path` (or in `bytes`) whose names `wanted` accepts, in the
// order they are stored. Returns false when the file is not a readable zip.
using MemberFilter = std::function<bool(const QString& name)>;
bool ReadZipMembers(const QString& path, const MemberFilter& wanted,
                    std::vector<ZipMember>& members, const ArchiveLimits& limits = {});
bool ReadZipMembersFromBytes(QByteArrayView bytes, const MemberFilter& wanted,
                             std::vector<ZipMember>& members, const ArchiveLimits& limits = {});

}  // namespace norvale
