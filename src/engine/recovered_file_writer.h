#pragma once
// RecoveredFileWriter: how every recovered file reaches the destination. The bytes go into a
// hidden temporary file next to the final place (".name.norvale-XXXXXX", created exclusively,
// never through a symlink); only a file written whole gets the item's times and is renamed to a
// name that exists nowhere yet ("name(n).ext" when the name is taken). Nothing is ever replaced.
// A failed or stopped file leaves nothing behind unless partial files are kept, and then under a
// name that says so ("photo (incomplete).jpg"). A file whose identical copy already sits under
// its name (or a numbered variant of it) is not written again.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/result.h"
#include "engine/recovered_item.h"

namespace norvale {

struct FileWriteOptions {
    // A file that could not be read whole (or was stopped) stays as "name (incomplete).ext".
    bool keepPartial = false;
    // A file identical to one already under its name or a numbered variant is not written again.
    bool skipExisting = true;
};

// The options in force on this thread: those of the innermost FileWriteScope, else defaults.
const FileWriteOptions& CurrentFileWriteOptions();

// What the last file finished on this thread turned out to be, for the report that follows;
// taking it resets it to kNone. kHeld: written whole and waiting in a PublishBatch, which tells
// later what became of it.
enum class FileWriteOutcome { kNone, kWritten, kAlreadyThere, kKeptIncomplete, kDropped, kHeld };

class PublishBatch;
FileWriteOutcome TakeLastFileWriteOutcome();

// Sets the options for recoveries run on this thread while it lives (the recovery driver holds
// one around each item, so the engines need no extra parameter). With a `batch`, whole files
// are held there instead of being flushed and named one by one; the batch must outlive the scope.
class FileWriteScope {
  public:
    explicit FileWriteScope(const FileWriteOptions& options, PublishBatch* batch = nullptr);
    ~FileWriteScope();
    FileWriteScope(const FileWriteScope&) = delete;
    FileWriteScope& operator=(const FileWriteScope&) = delete;

  private:
    const FileWriteOptions* previous_;
    PublishBatch* previousBatch_;
    FileWriteOptions options_;
};

class RecoveredFileWriter {
  public:
    // `path` is where the file should go: "dir/name". `item` gives the times.
    RecoveredFileWriter(std::string path, const RecoveredItem& item);
    // Removes the temporary file when Finish was not reached.
    ~RecoveredFileWriter();
    RecoveredFileWriter(const RecoveredFileWriter&) = delete;
    RecoveredFileWriter& operator=(const RecoveredFileWriter&) = delete;

    // Opens the destination folder and creates the temporary file.
    Result Open();
    // Appends `n` bytes.
    Result Write(const void* bytes, size_t n);
    // Ends the file. `copyResult` is the copy's result (kOk when every byte arrived), `stopped`
    // whether the person stopped it. A whole file is flushed, timed and renamed to a free name
    // (or dropped as already there); anything else is removed, or kept as incomplete when asked.
    // Returns `copyResult`, or the error of finishing a whole file. Inside a FileWriteScope with
    // a batch, a whole file is handed to the batch instead (outcome kHeld, kOk) and the batch
    // tells what became of it; any other file first lets the batch settle.
    Result Finish(Result copyResult, bool stopped = false);

    // The name the file ended up under (an existing identical copy, or the incomplete name),
    // else the name it was meant to get.
    const std::string& Path() const { return path_; }
    FileWriteOutcome Outcome() const { return outcome_; }
    uint64_t BytesWritten() const { return written_; }

  private:
    friend class PublishBatch;
    // Takes over `other`'s open temporary file; `other` is left finished as kHeld.
    struct TakeOver {};
    RecoveredFileWriter(TakeOver, RecoveredFileWriter& other);
    // The end of a file whose bytes are (or failed to get, `synced`) on the destination:
    // closes it and gives it its name, or removes it.
    Result Conclude(Result synced, bool keep, bool whole, Result copyResult);
    // Renames the temporary file to the first free "name<suffix>(n).ext"; with `compare`, a
    // taken name that holds the same bytes ends the search with the temporary file dropped.
    Result Publish(std::string_view suffixBase, bool compare);
    bool SameAsTemp(const std::string& name) const;
    void Discard();
    void SetTimes() const;

    std::string path_;
    std::string folder_;
    std::string name_;
    uint64_t accessed_ = 0;
    uint64_t modified_ = 0;
    FileWriteOptions options_;
    int dirFd_ = -1;
    int fd_ = -1;
    std::string tempName_;
    uint64_t written_ = 0;
    bool writeFailed_ = false;
    size_t nameMax_ = 255;
    FileWriteOutcome outcome_ = FileWriteOutcome::kNone;
};

// Whole files held back so that many reach the disk with one flush instead of one flush each
// (a flush of the disk's cache costs milliseconds, more than writing a small file). A held file
// stays open under its temporary name; Settle makes every held file durable with one syncfs
// per file system (an fsync of each only when that reports an error, to tell which file it
// hit) and then renames each to its free name in the order they were held, so the names come
// out as if each had been finished on its own. Nothing is held where syncfs does not report
// write errors (Linux before 5.8): files are then flushed one by one as before.
// Not thread-safe: one batch belongs to one recovering thread.
class PublishBatch {
  public:
    struct Settled {
        std::string path;  // where the file ended up, else where it was meant to go
        Result result = kOk;
        FileWriteOutcome outcome = FileWriteOutcome::kNone;
    };
    // Settle runs by itself once this many files or bytes are held.
    static constexpr size_t kMaxHeldFiles = 128;
    static constexpr uint64_t kMaxHeldBytes = 64ull << 20;

    PublishBatch();
    // Settles what is still held (its results are lost: call Settle first).
    ~PublishBatch();
    PublishBatch(const PublishBatch&) = delete;
    PublishBatch& operator=(const PublishBatch&) = delete;

    bool Holds() const { return !held_.empty(); }
    // Makes every held file durable and named; the outcomes join those TakeSettled returns.
    void Settle();
    // The outcomes of settled files in the order they were held, oldest first.
    std::vector<Settled> TakeSettled();

  private:
    friend class RecoveredFileWriter;
    // Whether files may be held on this system.
    bool Enabled() const { return enabled_; }
    void Hold(RecoveredFileWriter& writer);

    struct Held {
        std::unique_ptr<RecoveredFileWriter> writer;
        dev_t device = 0;
    };
    bool enabled_;
    std::vector<Held> held_;
    uint64_t heldBytes_ = 0;
    std::vector<Settled> settled_;
};

// `name` cut to at most `maxBytes` bytes for a file system that cannot hold it whole: the
// extension is kept and the stem is cut at a UTF-8 character boundary. `suffix` (e.g. "(2)" or
// " (incomplete)") goes between the stem and the extension and is always kept whole.
std::string FitFileName(std::string_view name, std::string_view suffix, size_t maxBytes);

// Sets a folder's modified and accessed times from the item's FILETIMEs (those that are
// nonzero), without following a symlink. Best effort: a file system that keeps no times is not
// a failure.
void SetFolderTimes(const std::string& path, const RecoveredItem& item);

// Free bytes for an unprivileged writer on the file system holding `folder` (statvfs).
Result FreeSpaceOf(const std::string& folder, uint64_t& freeBytes);
// Whether `needed` bytes fit into `folder`: kOk, or kErrDiskFull with `freeBytes` set.
Result CheckFreeSpace(const std::string& folder, uint64_t needed, uint64_t& freeBytes);
// The bytes a recovery of `items` writes (the file sizes; folders count with their files
// only when listed as items).
uint64_t SelectedBytes(const std::vector<RecoveredItem>& items);

}  // namespace norvale
