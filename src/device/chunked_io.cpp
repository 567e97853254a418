#include "device/chunked_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "device/sector_reader.h"

namespace norvale {

namespace {

// count * sectorSize as the byte count of one request. The product is kept below 4 GiB: a
// wider request cannot be a buffer the caller holds, and letting it wrap in 32 bits (as a
// 32-bit byte count would) would read a different amount than the caller asked for.
bool RequestBytes(uint32_t count, uint32_t sectorSize, const void* buffer, uint64_t& bytes) {
    if (sectorSize == 0) return false;
    bytes = uint64_t{count} * sectorSize;
    if (bytes > std::numeric_limits<uint32_t>::max()) return false;
    return bytes == 0 || buffer != nullptr;
}

// read() on a descriptor in pieces of at most 64 KiB, EINTR retried. A failed or empty piece
// ends with 30.
Result ReadFdPieces(int fd, uint8_t* out, uint64_t bytes, uint64_t& done) {
    done = 0;
    while (done < bytes) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(bytes - done, kMaxPieceBytes));
        ssize_t n = ::read(fd, out + done, piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return kErrReadFault;
        done += static_cast<uint64_t>(n);
    }
    return kOk;
}

}  // namespace

Result ReadSourceBytes(ISectorSource& source, uint64_t offset, std::span<uint8_t> out,
                       size_t& got) {
    got = 0;
    while (got < out.size()) {
        const size_t piece = std::min<size_t>(out.size() - got, kMaxPieceBytes);
        size_t n = 0;
        Result r = source.ReadAt(offset + got, out.subspan(got, piece), n);
        got += std::min(n, piece);
        if (r != kOk || n == 0) return kErrReadFault;
    }
    return kOk;
}

Result ReadAtCurrentPosition(uint32_t count, SourceCursor& cursor, void* buffer,
                             uint32_t sectorSize, uint32_t& sectorsRead) {
    uint64_t bytes = 0;
    if (!RequestBytes(count, sectorSize, buffer, bytes)) {
        sectorsRead = 0;
        return kErrInvalidParameter;
    }
    if (!cursor.source) {
        sectorsRead = 0;
        return kErrInvalidHandle;
    }
    size_t got = 0;
    Result r = ReadSourceBytes(*cursor.source, cursor.position,
                               {static_cast<uint8_t*>(buffer), static_cast<size_t>(bytes)}, got);
    cursor.position += got;
    sectorsRead = static_cast<uint32_t>(got / sectorSize);
    return r;
}

Result ReadAtCurrentPosition(uint32_t count, int fd, void* buffer, uint32_t sectorSize,
                             uint32_t& sectorsRead) {
    uint64_t bytes = 0;
    if (!RequestBytes(count, sectorSize, buffer, bytes)) {
        sectorsRead = 0;
        return kErrInvalidParameter;
    }
    uint64_t done = 0;
    Result r = ReadFdPieces(fd, static_cast<uint8_t*>(buffer), bytes, done);
    sectorsRead = static_cast<uint32_t>(done / sectorSize);
    return r;
}

Result WriteSectors(int fd, const void* buffer, uint32_t sectorSize, uint32_t count,
                    uint32_t& sectorsWritten) {
    uint64_t bytes = 0;
    if (!RequestBytes(count, sectorSize, buffer, bytes)) {
        sectorsWritten = 0;
        return kErrInvalidParameter;
    }
    const auto* in = static_cast<const uint8_t*>(buffer);
    uint64_t done = 0;
    Result r = kOk;
    while (done < bytes) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(bytes - done, kMaxPieceBytes));
        ssize_t n = ::write(fd, in + done, piece);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r = FromErrno(errno);
            break;
        }
        if (n == 0) {
            r = kErrWriteFault;  // nothing written and no error to report
            break;
        }
        done += static_cast<uint64_t>(n);
    }
    sectorsWritten = static_cast<uint32_t>(done / sectorSize);
    return r;
}

Result ReadWholeBytes(uint64_t byteCount, int fd, void* buffer, uint64_t& bytesRead) {
    bytesRead = 0;
    if (byteCount == 0) return kOk;
    if (!buffer || byteCount > static_cast<uint64_t>(std::numeric_limits<ssize_t>::max())) {
        return kErrInvalidParameter;
    }
    return ReadFdPieces(fd, static_cast<uint8_t*>(buffer), byteCount, bytesRead);
}

Result GetFileSize64(const std::string& path, uint64_t& size) {
    std::unique_ptr<FileSource> file;
    if (Result r = FileSource::Open(path, file); r != kOk) return r;
    size = file->SizeBytes();
    return kOk;
}

Result WriteAllBytes(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FromErrno(errno);
        }
        if (n == 0) return kErrWriteFault;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return kOk;
}

Result PreadUpTo(int fd, uint64_t offset, std::span<uint8_t> out, size_t& got) {
    got = 0;
    while (got < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + got, out.size() - got,
                                  static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return FromErrno(errno);
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return kOk;
}

}  // namespace norvale
