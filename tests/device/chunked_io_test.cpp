#include "device/chunked_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "support/test_support.h"

namespace norvale {
namespace {

using testing::TempDir;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    return bytes;
}

struct Pipe {
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() {
        if (fds[0] >= 0) ::close(fds[0]);
        fds[0] = -1;
    }
    void CloseWrite() {
        if (fds[1] >= 0) ::close(fds[1]);
        fds[1] = -1;
    }
    int fds[2] = {-1, -1};
};

TEST(ChunkedPipeIo, ReadCollectsDribbledInputAndEndOfInputIsAShortRead) {
    const auto bytes = Pattern(10 * 512 + 300);
    Pipe pipe;
    // The writer only records how far it got and always closes its end, so a failed write can
    // neither hang the reads below nor end the test while the thread still runs.
    size_t written = 0;
    std::thread writer([&] {
        // Small bursts make every read() come back short.
        for (size_t off = 0; off < bytes.size(); off += 700) {
            const size_t n = std::min<size_t>(700, bytes.size() - off);
            if (::write(pipe.fds[1], bytes.data() + off, n) != ssize_t(n)) break;
            written += n;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pipe.CloseWrite();
    });
    std::vector<uint8_t> buf(16 * 512);
    uint32_t got = 0;
    EXPECT_EQ(ReadAtCurrentPosition(8, pipe.fds[0], buf.data(), 512, got), kOk);
    EXPECT_EQ(got, 8u);
    // Only 2 whole sectors and 300 bytes remain before the writer closes.
    EXPECT_EQ(ReadAtCurrentPosition(8, pipe.fds[0], buf.data() + 8 * 512, 512, got), kErrReadFault);
    EXPECT_EQ(got, 2u);
    writer.join();
    ASSERT_EQ(written, bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buf.begin()));
}

TEST(ChunkedPipeIo, WriteLargerThanThePipeBufferArrivesWhole) {
    const auto bytes = Pattern(400 * 1024);
    Pipe pipe;
    std::vector<uint8_t> received;
    std::thread reader([&] {
        uint8_t chunk[5000];
        ssize_t n;
        while ((n = ::read(pipe.fds[0], chunk, sizeof chunk)) > 0) {
            received.insert(received.end(), chunk, chunk + n);
        }
    });
    uint32_t written = 0;
    EXPECT_EQ(WriteSectors(pipe.fds[1], bytes.data(), 1024, 400, written), kOk);
    EXPECT_EQ(written, 400u);
    pipe.CloseWrite();
    reader.join();
    EXPECT_EQ(received, bytes);
}

TEST(ChunkedFileIo, WriteThroughAReadOnlyDescriptorReportsTheSystemError) {
    TempDir dir;
    testing::WriteFileBytes(dir / "ro.bin", Pattern(512));
    int fd = ::open((dir / "ro.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const auto bytes = Pattern(1024);
    uint32_t written = 77;
    EXPECT_EQ(WriteSectors(fd, bytes.data(), 512, 2, written), kErrInvalidHandle);
    EXPECT_EQ(written, 0u);
    ::close(fd);
}

TEST(ChunkedFileIo, WholeBytesReadStopsAtTheEndWithWhatArrived) {
    TempDir dir;
    const auto bytes = Pattern(150 * 1024 + 17);
    testing::WriteFileBytes(dir / "data.bin", bytes);
    int fd = ::open((dir / "data.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);

    uint64_t got = 5;
    EXPECT_EQ(ReadWholeBytes(0, fd, nullptr, got), kOk);
    EXPECT_EQ(got, 0u);

    std::vector<uint8_t> buf(bytes.size() + 4096);
    EXPECT_EQ(ReadWholeBytes(buf.size(), fd, buf.data(), got), kErrReadFault);
    EXPECT_EQ(got, bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buf.begin()));

    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(ReadWholeBytes(bytes.size(), fd, buf.data(), got), kOk);
    EXPECT_EQ(got, bytes.size());
    ::close(fd);
}

TEST(ChunkedFileIo, PositionalReadIsShortAtTheEndAndLeavesThePositionAlone) {
    TempDir dir;
    const auto bytes = Pattern(3 * 4096 + 100);
    testing::WriteFileBytes(dir / "data.bin", bytes);
    int fd = ::open((dir / "data.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);

    std::vector<uint8_t> buf(8192, 0xEE);
    size_t got = 0;
    EXPECT_EQ(PreadUpTo(fd, 4096 + 1, buf, got), kOk);
    EXPECT_EQ(got, buf.size());
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + 4096 + 1));
    // Past the end: what there was, then a short count; far past it: nothing, still no error.
    EXPECT_EQ(PreadUpTo(fd, 2 * 4096, buf, got), kOk);
    EXPECT_EQ(got, 4096u + 100u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + got, bytes.begin() + 2 * 4096));
    EXPECT_EQ(PreadUpTo(fd, uint64_t(1) << 40, buf, got), kOk);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
    ::close(fd);

    // A descriptor that cannot be read at a position gives the system's error.
    Pipe pipe;
    EXPECT_EQ(PreadUpTo(pipe.fds[0], 0, buf, got), FromErrno(ESPIPE));
    EXPECT_EQ(got, 0u);
}

TEST(ChunkedFileIo, FileSizeOfFilesAndRefusals) {
    TempDir dir;
    testing::WriteFileBytes(dir / "f.bin", Pattern(12345));
    uint64_t size = 0;
    ASSERT_EQ(GetFileSize64(dir / "f.bin", size), kOk);
    EXPECT_EQ(size, 12345u);
    EXPECT_EQ(GetFileSize64(dir / "none", size), kErrFileNotFound);
    EXPECT_EQ(GetFileSize64(dir.Path(), size), kErrDirectoryName);
}

TEST(ChunkedSourceIo, CursorAdvancesByWhatArrivedAndStopsAtTheSourceEnd) {
    const auto bytes = Pattern(300 * 512);
    MemorySource source(bytes);
    SourceCursor cursor{&source, 0};
    std::vector<uint8_t> buf(300 * 512);
    uint32_t got = 0;
    ASSERT_EQ(ReadAtCurrentPosition(200, cursor, buf.data(), 512, got), kOk);
    EXPECT_EQ(got, 200u);
    EXPECT_EQ(cursor.position, 200u * 512);
    // 100 sectors remain; asking for 150 reads them and reports the short read.
    EXPECT_EQ(ReadAtCurrentPosition(150, cursor, buf.data() + 200 * 512, 512, got), kErrReadFault);
    EXPECT_EQ(got, 100u);
    EXPECT_EQ(cursor.position, bytes.size());
    EXPECT_EQ(buf, bytes);

    SourceCursor none;
    EXPECT_EQ(ReadAtCurrentPosition(1, none, buf.data(), 512, got), kErrInvalidHandle);
    EXPECT_EQ(ReadAtCurrentPosition(1, cursor, buf.data(), 0, got), kErrInvalidParameter);
}

}  // namespace
}  // namespace norvale
