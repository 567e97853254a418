#pragma once
// Helpers of the exFAT parser tests: the committed cards (scripts/make-exfat-cards.sh) and their
// manifests, volumes made on the spot with mkfs.exfat and the FUSE driver, and a directory
// lister built only on the parsers under test.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/sector_reader.h"
#include "exfat/entry_set.h"
#include "exfat/exfat_volume.h"
#include "support/test_support.h"

namespace norvale::testing {

// One line of a card's manifest.
struct ManifestFile {
    std::string state;  // live, deleted, overwritten
    std::string path;   // "/DCIM/100CARD/IMG_0001.JPG"
    uint64_t size = 0;
    std::string sha256;
    std::string note;  // "-", fragmented, in-folder
};

// The committed cards: "exfat_4k", "exfat_128k" (and "<name>_formatted").
std::vector<ManifestFile> ReadManifest(const std::string& card);
// Unpacks tests/fixtures/exfat/<image>.img.gz into `dir`; returns the image's path.
std::string UnpackCard(const TempDir& dir, const std::string& image);
// A `fls -r -p` listing stored with the card: "PATH\tdeleted" per file and folder, no metadata.
std::vector<std::pair<std::string, bool>> ReadFlsListing(const std::string& card);

// A volume opened through the sector reader the engines use.
struct OpenedExfat {
    SectorReader reader;
    ExfatVolume volume;
};
std::unique_ptr<OpenedExfat> OpenExfatImage(const std::string& path);
std::unique_ptr<OpenedExfat> OpenExfatBytes(std::vector<uint8_t> bytes, uint32_t sectorSize = 512);

struct TreeEntry {
    std::string path;
    ExfatFileEntry entry;
    uint32_t setCluster = 0;  // the directory cluster that holds the set's first entry
    size_t setOffset = 0;     // its byte offset there
};
// Every file and folder below the root by path, each directory read once; deleted entries and
// the content of deleted folders when asked. Directories are read through their FAT chains, or
// as contiguous clusters when they have none (NoFatChain, deleted).
std::vector<TreeEntry> ListExfatTree(OpenedExfat& v, bool withDeleted);
const TreeEntry* FindPath(const std::vector<TreeEntry>& tree, const std::string& path);

// A file's content: a live file through its chain (or contiguously), a deleted one from its
// first cluster over the clusters the bitmap marks free. Empty on a failed read.
std::vector<uint8_t> ReadFileContent(OpenedExfat& v, const ExfatFileEntry& entry);
std::string Sha256(const std::vector<uint8_t>& bytes);

// mkfs.exfat plus the FUSE driver on a loop device, as root; the reason when they are missing.
std::string WhyNoExfatFuse();
// Attaches `image` to a loop device and mounts it with the FUSE driver at `mountPoint` for the
// object's lifetime. Ok() false (with Error()) when that fails.
class FuseMount {
  public:
    FuseMount(const std::string& image, const std::string& mountPoint);
    ~FuseMount();
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    // Unmounts and detaches now (idempotent): the image is then complete.
    void Release();

  private:
    std::string loop_;
    std::string mountPoint_;
    bool ok_ = false;
    std::string error_;
};

}  // namespace norvale::testing

#define NORVALE_REQUIRE_EXFAT_FUSE()                                            \
    do {                                                                        \
        const std::string norvale_why_ = ::norvale::testing::WhyNoExfatFuse();  \
        if (!norvale_why_.empty()) GTEST_SKIP() << norvale_why_ << "; skipped"; \
    } while (0)
