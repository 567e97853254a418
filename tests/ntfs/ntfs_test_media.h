#pragma once
// Helpers of the NTFS parser tests: volumes made by mkntfs and filled with ntfs-3g's tools (or
// its FUSE driver), what ntfsinfo reports about them, the committed fixture and its facts, and
// volumes opened through the real sector reader.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/sector_reader.h"
#include "ntfs/attribute_values.h"
#include "ntfs/ntfs_volume.h"

namespace norvale::testing {

bool HaveNtfsTools();  // mkntfs, ntfscp, ntfsinfo

// Formats a new image of `sizeMiB` MiB at `path` with `mkntfs -F -Q -q <args>`.
bool MakeNtfsImage(const std::string& path, uint64_t sizeMiB, const std::string& mkntfsArgs);
// Copies a local file into the image with ntfscp (no mount needed).
bool NtfsCopyIn(const std::string& image, const std::string& local, const std::string& dest);

// An ntfs-3g FUSE mount of an image, unmounted when the object goes.
class NtfsMount {
  public:
    NtfsMount(const std::string& image, const std::string& dir);
    ~NtfsMount();
    NtfsMount(const NtfsMount&) = delete;
    NtfsMount& operator=(const NtfsMount&) = delete;
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    std::string operator/(const std::string& name) const { return dir_ + "/" + name; }
    // Unmounts now (so that the image can be read); false when that fails.
    bool Unmount();

  private:
    std::string dir_;
    bool ok_ = false;
    std::string error_;
};

// What ntfsinfo reports.
std::map<std::string, std::string> NtfsinfoVolume(const std::string& image);  // "Cluster Size" ...
// The runs of record `inode`'s unnamed $DATA ("LCN+LENGTH", "hole+LENGTH", space separated).
std::string NtfsinfoRuns(const std::string& image, uint64_t inode);
uint64_t NtfsInode(const std::string& image, const std::string& path);  // 0 when unknown

// The same text for runs we decoded.
std::string RunsText(const std::vector<DataRun>& runs);

// tests/fixtures/ntfs/<name>, and the facts of ntfs_card.txt.
std::string FixturePath(const std::string& name);
struct FixtureFile {
    bool deleted = false;
    uint64_t inode = 0;
    std::string path;  // the name alone for deleted files
    uint64_t parent = 0;
    uint64_t size = 0;
    std::string runs;
};
std::vector<FixtureFile> ReadFixtureFacts(const std::string& path);
// ntfs_card.img decompressed into `dir`; "" when the fixture is missing.
std::string UnpackCard(const std::string& dir);

// A volume opened through the sector reader the engines use, MFT runs loaded.
struct OpenedNtfs {
    SectorReader reader;
    std::unique_ptr<NtfsVolume> volume;
    Result openResult = kOk;
    Result mftResult = kOk;
};
std::unique_ptr<OpenedNtfs> OpenNtfs(std::unique_ptr<ISectorSource> source);
std::unique_ptr<OpenedNtfs> OpenNtfsImage(const std::string& path);
std::unique_ptr<OpenedNtfs> OpenNtfsBytes(std::vector<uint8_t> bytes);

// The first $FILE_NAME of a record in the given name space order: Win32 (or Win32+DOS) first,
// else POSIX, else whatever comes first. False when the record holds none.
bool PreferredName(std::span<const uint8_t> record, FileNameInfo& out);

// Every in-use or deleted file record the MFT holds, by record number, with its preferred
// name (records without a $FILE_NAME are left out).
struct ListedRecord {
    MftRecordHeader header;
    FileNameInfo name;
};
std::map<uint64_t, ListedRecord> ListMft(NtfsVolume& volume);

// The content of an attribute, read whole through ReadAttributeBytes.
std::vector<uint8_t> ReadWhole(NtfsVolume& volume, const AttributeData& data);
// `size` bytes of `yes TEXT` output (TEXT and newline repeated), as the scripts write files.
std::vector<uint8_t> Pattern(const std::string& text, size_t size);

}  // namespace norvale::testing
