#include <algorithm>
#include <cerrno>
#include <vector>

#include "device/chunked_io.h"
#include "engine/preview_output.h"
#include "engine/recovered_file_writer.h"
#include "ntfs/content_copy.h"

namespace norvale {
namespace {

constexpr size_t kChunkBytes = 0x10000;

}  // namespace

Result CopyFoundFile(const RecoveredItem& item, const ContentLoader& load, std::string path,
                     const CopyReportFn& report, bool& stopped) {
    // Every file ends with one report at 100% that carries its result.
    auto finish = [&](Result r) -> Result {
        if (const int answer = report(100, r, path); answer != 0) {
            stopped = true;
            return answer;
        }
        return r;
    };
    // The content is loaded for an empty file too: a record whose data attribute is damaged or
    // missing states no size that can be trusted, and an empty file written for it would pass
    // for a recovered one.
    AttributeContent content;
    if (Result r = load(content); r != kOk) return finish(r);
    uint64_t size = item.fileSize;
    // The size came from the name attribute (the data lives in another record): the data
    // attribute's own size is the one that counts.
    if (size == 0) size = content.Data().realSize;

    RecoveredFileWriter writer(path, item);
    if (Result r = writer.Open(); r != kOk) {
        (void)writer.Finish(r);
        return finish(r);
    }
    std::vector<uint8_t> buffer(size > 0 ? kChunkBytes : 0);
    const uint64_t limit = std::min(size, content.Readable());
    Result result = kOk;
    uint64_t done = 0;
    while (done < limit) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, limit - done));
        const std::span<uint8_t> chunk(buffer.data(), n);
        if ((result = content.Read(done, chunk)) != kOk) break;
        if ((result = writer.Write(chunk.data(), n)) != kOk) break;
        done += n;
        const auto percent = static_cast<int>(done * 100 / size);
        if (percent >= 100) break;  // the final report follows the rename
        if (const int answer = report(percent, kOk, path); answer != 0) {
            (void)writer.Finish(answer, true);
            stopped = true;
            return answer;
        }
    }
    // The volume describes less than the stated size: the copy is incomplete and must not be
    // reported as a success (nor left under the file's name).
    if (result == kOk && done < size) result = kErrHandleEof;
    result = writer.Finish(result);
    path = writer.Path();
    return finish(result);
}

Result ExtractFoundFile(const RecoveredItem& item, const ContentLoader& load, std::string& tempPath,
                        uint8_t* memory, uint64_t& byteCount, PreviewProgressFn fn,
                        void* userData) {
    PreviewOutput out(item, memory, byteCount, tempPath, fn, userData);
    if (item.isFolder) return kErrInvalidParameter;
    if (out.LacksMemory()) return kErrInvalidParameter;
    const bool toFile = out.ToFile();
    const uint64_t total = out.Total(item.fileSize);
    AttributeContent content;
    if (total > 0) {
        if (Result r = load(content); r != kOk) {
            if (r > 0) out.Report(100, r);
            return r;
        }
    }
    const uint64_t readable = content.Readable();
    if (Result r = out.Open(); r != kOk) return r;

    Result result = kOk;
    uint64_t done = 0;
    int percent = 0;
    std::vector<uint8_t> buffer(toFile && total > 0 ? kChunkBytes : 0);
    while (done < total) {
        if (done >= readable) {
            result = kErrHandleEof;
            break;
        }
        const auto n =
            static_cast<size_t>(std::min<uint64_t>({kChunkBytes, total - done, readable - done}));
        const std::span<uint8_t> chunk =
            toFile ? std::span<uint8_t>(buffer.data(), n) : std::span<uint8_t>(memory + done, n);
        if ((result = content.Read(done, chunk)) != kOk) break;
        if (toFile && (result = out.Put(chunk.data(), n, done)) != kOk) break;
        done += n;
        percent = static_cast<int>(done * 100 / total);
        if (const int answer = out.Report(percent, kOk); answer != 0) {
            result = answer;
            break;
        }
    }
    if (result == kOk && percent < 100) out.Report(100, kOk);
    return out.Finish(result, done, true);
}

}  // namespace norvale
