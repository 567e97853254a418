#include "app/preview_archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <memory>

namespace norvale {

namespace {

constexpr qsizetype kMaxShownPathChars = 1024;

struct ArchiveCloser {
    void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveCloser>;

// The formats and filters a listing accepts. Formats that name files of this computer (mtree)
// or that hand data to outside programs are left out: a found file must never make the
// preview read anything but itself.
ArchivePtr NewListingReader() {
    ArchivePtr a(archive_read_new());
    if (!a) return a;
    archive_read_support_filter_gzip(a.get());
    archive_read_support_filter_bzip2(a.get());
    archive_read_support_filter_xz(a.get());
    archive_read_support_filter_lzma(a.get());
    archive_read_support_filter_compress(a.get());
    archive_read_support_filter_uu(a.get());
    archive_read_support_format_7zip(a.get());
    archive_read_support_format_ar(a.get());
    archive_read_support_format_cab(a.get());
    archive_read_support_format_cpio(a.get());
    archive_read_support_format_empty(a.get());
    archive_read_support_format_iso9660(a.get());
    archive_read_support_format_lha(a.get());
    archive_read_support_format_rar(a.get());
    archive_read_support_format_rar5(a.get());
    archive_read_support_format_tar(a.get());
    archive_read_support_format_xar(a.get());
    archive_read_support_format_zip(a.get());
    archive_read_support_format_raw(a.get());
    return a;
}

ArchivePtr NewZipReader() {
    ArchivePtr a(archive_read_new());
    if (a) archive_read_support_format_zip(a.get());
    return a;
}

bool Open(archive* a, const QString& path) {
    const QByteArray local = QFile::encodeName(path);
    return archive_read_open_filename(a, local.constData(), 65536) == ARCHIVE_OK;
}

bool Open(archive* a, QByteArrayView bytes) {
    return archive_read_open_memory(a, bytes.data(), size_t(bytes.size())) == ARCHIVE_OK;
}

QString EntryPath(archive_entry* entry) {
    QString path;
    if (const char* utf8 = archive_entry_pathname_utf8(entry)) {
        path = QString::fromUtf8(utf8, qsizetype(::strnlen(utf8, kMaxShownPathChars * 4)));
    } else if (const char* raw = archive_entry_pathname(entry)) {
        path = QString::fromLocal8Bit(raw, qsizetype(::strnlen(raw, kMaxShownPathChars * 4)));
    }
    if (path.size() > kMaxShownPathChars) path.truncate(kMaxShownPathChars);
    for (QChar& c : path) {
        if (c.category() == QChar::Other_Control) c = u'?';
    }
    return path;
}

// A "raw" archive is a lone compressed file; without any compression it is not an archive at
// all but any file the raw reader would take.
bool IsLoneUncompressedFile(archive* a) {
    return archive_format(a) == ARCHIVE_FORMAT_RAW && archive_filter_count(a) <= 1;
}

// Moves past the data of the current entry. Inside an outer compression (a .tar.gz) that
// means inflating it: done piece by piece so that the time limit holds within one huge entry
// too. Without one the reader skips by seeking. False on damage or when the time is up.
bool SkipData(archive* a, const QElapsedTimer& clock, const ArchiveLimits& limits) {
    if (archive_filter_count(a) <= 1) return archive_read_data_skip(a) == ARCHIVE_OK;
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(a, &block, &size, &offset);
        if (r == ARCHIVE_EOF) return true;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return false;
        if (clock.elapsed() > limits.maxMilliseconds) return false;
    }
}

template <typename Source>
ArchiveListing List(const Source& source, const QString& loneName, const ArchiveLimits& limits,
                    const std::atomic<bool>* stop) {
    ArchiveListing listing;
    ArchivePtr a = NewListingReader();
    if (!a || !Open(a.get(), source)) return listing;
    QElapsedTimer clock;
    clock.start();
    archive_entry* entry = nullptr;
    for (;;) {
        if (listing.entries.size() >= limits.maxEntries ||
            clock.elapsed() > limits.maxMilliseconds || (stop && stop->load())) {
            listing.truncated = true;
            break;
        }
        const int r = archive_read_next_header(a.get(), &entry);
        if (r == ARCHIVE_EOF) break;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
            listing.damaged = listing.opened;
            break;
        }
        if (!listing.opened) {
            if (IsLoneUncompressedFile(a.get())) return {};
            listing.opened = true;
        }
        ArchiveEntry shown;
        shown.path = archive_format(a.get()) == ARCHIVE_FORMAT_RAW ? loneName : EntryPath(entry);
        shown.folder = archive_entry_filetype(entry) == AE_IFDIR;
        shown.size =
            archive_entry_size_is_set(entry) ? std::max<int64_t>(archive_entry_size(entry), 0) : 0;
        listing.entries.push_back(std::move(shown));
        // A lone compressed file has no further header; reading on would inflate all of it.
        if (archive_format(a.get()) == ARCHIVE_FORMAT_RAW) break;
        if (!SkipData(a.get(), clock, limits)) {
            if (clock.elapsed() > limits.maxMilliseconds)
                listing.truncated = true;
            else
                listing.damaged = true;
            break;
        }
    }
    return listing;
}

template <typename Source>
bool ReadMembers(const Source& source, const MemberFilter& wanted, std::vector<ZipMember>& members,
                 const ArchiveLimits& limits) {
    members.clear();
    ArchivePtr a = NewZipReader();
    if (!a || !Open(a.get(), source)) return false;
    QElapsedTimer clock;
    clock.start();
    int64_t total = 0;
    bool any = false;
    archive_entry* entry = nullptr;
    for (size_t seen = 0; seen < limits.maxEntries && clock.elapsed() <= limits.maxMilliseconds;
         ++seen) {
        const int r = archive_read_next_header(a.get(), &entry);
        if (r == ARCHIVE_EOF) break;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) break;
        any = true;
        const QString name = EntryPath(entry);
        if (archive_entry_filetype(entry) != AE_IFREG || !wanted(name)) continue;
        ZipMember member;
        member.name = name;
        // Inflate in pieces: the sizes a damaged or hostile zip states decide nothing.
        char piece[65536];
        bool cut = false;
        for (;;) {
            const la_ssize_t got = archive_read_data(a.get(), piece, sizeof piece);
            if (got == 0) {
                member.complete = true;
                break;
            }
            if (got < 0) break;
            const int64_t room = std::min<int64_t>(limits.maxMemberBytes - member.data.size(),
                                                   limits.maxTotalBytes - total);
            const int64_t keep = std::min<int64_t>(got, std::max<int64_t>(room, 0));
            member.data.append(piece, qsizetype(keep));
            total += keep;
            if (keep < got || clock.elapsed() > limits.maxMilliseconds) {
                cut = true;
                break;
            }
        }
        members.push_back(std::move(member));
        if (cut && total >= limits.maxTotalBytes) break;
    }
    return any;
}

}  // namespace

ArchiveListing ListArchive(const QString& path, const QString& loneName,
                           const ArchiveLimits& limits, const std::atomic<bool>* stop) {
    return List(path, loneName, limits, stop);
}

ArchiveListing ListArchiveBytes(QByteArrayView bytes, const QString& loneName,
                                const ArchiveLimits& limits) {
    return List(bytes, loneName, limits, nullptr);
}

bool ReadZipMembers(const QString& path, const MemberFilter& wanted,
                    std::vector<ZipMember>& members, const ArchiveLimits& limits) {
    return ReadMembers(path, wanted, members, limits);
}

bool ReadZipMembersFromBytes(QByteArrayView bytes, const MemberFilter& wanted,
                             std::vector<ZipMember>& members, const ArchiveLimits& limits) {
    return ReadMembers(bytes, wanted, members, limits);
}

}  // namespace norvale
