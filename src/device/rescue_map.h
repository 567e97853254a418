#pragma once
// The map of a rescue copy: which byte ranges of the copied area are finished, which failed and
// which were not tried yet, in the mapfile format of GNU ddrescue, so either program can resume
// the other's work and ddrescuelog can inspect ours.
//
//   # comment lines anywhere
//   0x00120000     ?               1          <- current position, current status, [pass]
//   0x00000000  0x00117000  +                 <- pos size status, contiguous, in order
//   0x00117000  0x00000200  -
//
// Numbers are C literals: decimal, 0x hex or 0-prefixed octal. Parsing and formatting are pure
// functions over text; reading and writing the file is the copier's business.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvale {

enum class BlockStatus : char {
    kNonTried = '?',
    kNonTrimmed = '*',
    kNonScraped = '/',
    kBadSector = '-',
    kFinished = '+',
};

struct MapBlock {
    uint64_t pos = 0;
    uint64_t size = 0;
    BlockStatus status = BlockStatus::kNonTried;
    uint64_t End() const { return pos + size; }
    bool operator==(const MapBlock&) const = default;
};

// What the copier was doing when the map was written. '?' copying, '*' trimming, '/' scraping,
// '-' retrying, 'F' filling, 'G' generating, '+' finished.
inline constexpr std::string_view kCurrentStatusChars = "?*/-FG+";
inline constexpr std::string_view kBlockStatusChars = "?*/-+";

// The blocks always cover [0, Extent()) without gaps or overlaps, and no two neighbours share a
// status.
class RescueMap {
  public:
    RescueMap() = default;
    // One non-tried block of `size` bytes (none when 0).
    explicit RescueMap(uint64_t size);

    const std::vector<MapBlock>& Blocks() const { return blocks_; }
    uint64_t Extent() const { return blocks_.empty() ? 0 : blocks_.back().End(); }

    // Gives [pos, pos + size) the status `status`, splitting and merging blocks as needed. A
    // range reaching past Extent() is cut at it. Extending a finished block over the start of
    // the block after it (the copier's common step) moves two boundaries and allocates nothing.
    void SetStatus(uint64_t pos, uint64_t size, BlockStatus status);
    // Cuts the map at `size`, or extends it with a non-tried block up to `size`.
    void Resize(uint64_t size);
    // The first stretch at or after `from` whose status is one of `statuses`, clipped to start
    // at `from`; false when there is none.
    bool NextArea(uint64_t from, std::string_view statuses, MapBlock& out) const;
    // Total bytes in blocks whose status is one of `statuses`.
    uint64_t BytesWith(std::string_view statuses) const;
    // The end of the last block that is not non-tried: how far the copy has written anything.
    uint64_t WrittenExtent() const;

    uint64_t currentPos = 0;
    char currentStatus = '?';
    int currentPass = 1;

    // Appends a block at Extent() (the parser's step); merges with the last block when the
    // status is the same. Blocks of size 0 are ignored.
    void Append(uint64_t size, BlockStatus status);

  private:
    void MergeAround(size_t first, size_t last);
    std::vector<MapBlock> blocks_;
};

struct MapParseError {
    size_t line = 0;  // 1-based; 0 when the text as a whole is at fault
    std::string message;
};

// Parses mapfile text. A first block that starts after 0 gets a non-tried block before it;
// neighbouring blocks of one status are merged. Fails on a missing status line, a malformed or
// unknown field, a block of size 0, blocks out of order, overlapping or with gaps between them,
// and on numbers that overflow.
bool ParseRescueMap(std::string_view text, RescueMap& out, MapParseError* error = nullptr);

// The mapfile text of `map`, in the layout ddrescue itself writes.
std::string FormatRescueMap(const RescueMap& map);

}  // namespace norvale
