// Transport streams carry state from one candidate to the next: a stream sector that merely
// continues a stream, or lies inside one already carved, is not a new file; a BDAV header with
// a running time stamp right after a BDAV file continues that file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carving/formats/formats.h"
#include "carving/identify.h"
#include "carving_test_support.h"

namespace norvale {
namespace {

using testing::ContextAt;
using testing::kSector;
using testing::Medium;
using testing::Sample;

constexpr uint64_t kStreamLba = 20;

// `sectors` sectors of 188-byte packets laid from the first byte of the first sector.
std::vector<uint8_t> PacketRun(size_t sectors) {
    std::vector<uint8_t> bytes(sectors * kSector, 0x11);
    for (size_t at = 0; at < bytes.size(); at += kTsPacketBytes) {
        bytes[at] = 0x47;
        if (at + 1 < bytes.size()) bytes[at + 1] = 0x40;
    }
    return bytes;
}

// A sector whose last packets end exactly at its end, as the sector before a stream sector
// that starts on a packet boundary would look.
std::vector<uint8_t> SectorEndingOnPacketGrid() {
    std::vector<uint8_t> sector(kSector, 0x22);
    for (uint32_t j = 1; j <= kSector / kTsPacketBytes; ++j)
        sector[kSector - kTsPacketBytes * j] = 0x47;
    return sector;
}

class TransportStream : public ::testing::Test {
  protected:
    void SetUp() override { medium_.Put(kStreamLba, PacketRun(12)); }

    FileTypeCode Detect(uint64_t lba, bool flag, TsRangeList ranges = {},
                        std::set<uint64_t> bad = {}) {
        auto reader = medium_.Reader(std::move(bad));
        auto context = ContextAt(reader.get(), lba);
        context->transportStreamFlag = flag;
        context->tsRanges = std::move(ranges);
        return DetectTransportStream(medium_.SectorAt(lba), *context);
    }

    Medium medium_{64};
};

TEST_F(TransportStream, NewStreamIsFoundWhenNoStreamWasJustSeen) {
    EXPECT_EQ(Detect(kStreamLba, false), FileTypeCode::kTs);
    // Without a preceding stream the carved ranges are not consulted.
    EXPECT_EQ(Detect(kStreamLba, false, {{10, 30}}), FileTypeCode::kTs);
}

TEST_F(TransportStream, SectorThatContinuesTheStreamBeforeItIsNotANewFile) {
    EXPECT_EQ(Detect(kStreamLba, true), FileTypeCode::kTs);  // the sector before is zeros
    medium_.Put(kStreamLba - 1, SectorEndingOnPacketGrid());
    EXPECT_EQ(Detect(kStreamLba, true), FileTypeCode::kNoFileType);
    EXPECT_EQ(Detect(kStreamLba, false), FileTypeCode::kTs);
}

TEST_F(TransportStream, RunInsideAStreamAlreadyCarvedIsNotReportedAgain) {
    EXPECT_EQ(Detect(kStreamLba, true, {{10, 30}}), FileTypeCode::kNoFileType);
    EXPECT_EQ(Detect(kStreamLba, true, {{5, 9}, {kStreamLba, kStreamLba}}),
              FileTypeCode::kNoFileType);
    EXPECT_EQ(Detect(kStreamLba, true, {{5, 9}, {kStreamLba + 1, 40}}), FileTypeCode::kTs);
}

TEST_F(TransportStream, StreamOnTheFirstSectorOfTheMediumHasNothingToContinue) {
    medium_.Put(0, PacketRun(12));
    EXPECT_EQ(Detect(0, true), FileTypeCode::kTs);
}

TEST_F(TransportStream, PacketGridMustHoldForTheFirstFourKibibytes) {
    medium_.Put(kStreamLba + 5, std::vector<uint8_t>(kSector, 0x00));  // packet 15 lies here
    EXPECT_EQ(Detect(kStreamLba, false), FileTypeCode::kNoFileType);
}

TEST_F(TransportStream, UnreadableLookAheadOrPreviousSectorIsNoNewStream) {
    EXPECT_EQ(Detect(kStreamLba, false, {}, {kStreamLba + 3}), FileTypeCode::kNoFileType);
    EXPECT_EQ(Detect(kStreamLba, true, {}, {kStreamLba - 1}), FileTypeCode::kNoFileType);
}

TEST_F(TransportStream, SectorMustItselfHoldWholePacketsOnTheGrid) {
    std::vector<uint8_t> sector = medium_.SectorAt(kStreamLba);
    auto reader = medium_.Reader();
    auto context = ContextAt(reader.get(), kStreamLba);

    std::vector<uint8_t> brokenGrid = sector;
    brokenGrid[2 * kTsPacketBytes] = 0x00;
    EXPECT_EQ(DetectTransportStream(brokenGrid, *context), FileTypeCode::kNoFileType);

    std::vector<uint8_t> nullPacket = sector;  // 47 00 00 00 opens runs of other data
    nullPacket[1] = nullPacket[2] = nullPacket[3] = 0;
    EXPECT_EQ(DetectTransportStream(nullPacket, *context), FileTypeCode::kNoFileType);

    // Exactly one or two packets: no read past the buffer's end.
    for (size_t bytes : {kTsPacketBytes, 2 * kTsPacketBytes}) {
        const std::vector<uint8_t> packets(sector.begin(), sector.begin() + bytes);
        EXPECT_EQ(DetectTransportStream(packets, *context), FileTypeCode::kTs);
    }
}

TEST_F(TransportStream, LargeSectorsReadOneSectorAhead) {
    Medium medium(16);
    medium.Put(8, PacketRun(8 * 4));  // four 4096-byte sectors at 4096-byte LBA 1
    auto reader = medium.Reader();
    auto context = ContextAt(reader.get(), 1);
    context->sectorSize = 4096;
    const std::vector<uint8_t> sector(medium.Bytes().begin() + 4096, medium.Bytes().begin() + 8192);
    EXPECT_EQ(DetectTransportStream(sector, *context), FileTypeCode::kTs);
}

TEST_F(TransportStream, RealCaptureIsFound) {
    const std::vector<uint8_t> capture = Sample("capture.ts");
    ASSERT_FALSE(capture.empty());
    medium_.Put(kStreamLba, capture);
    EXPECT_EQ(Detect(kStreamLba, false), FileTypeCode::kTs);
}

// --- through IdentifyAndSize, which keeps the flags -----------------------------------------

class StreamSequence : public ::testing::Test {
  protected:
    Result Identify(uint64_t lba, FileTypeCode* type = nullptr) {
        auto reader = medium_.Reader();
        std::string name;
        FileTypeCode found = FileTypeCode::kNoFileType;
        uint64_t length = 0;
        const Result r = IdentifyAndSize(context_, kSector, *reader, medium_.SectorAt(lba), lba,
                                         {0, 64, 0, 0}, name, found, length);
        if (type) *type = found;
        return r;
    }

    Medium medium_{64};
    CarvingContext context_;
};

TEST_F(StreamSequence, ContinuationIsRecognisedOnlyAfterAStreamOrNothing) {
    const std::vector<uint8_t> jpeg = Sample("photo.jpg");
    ASSERT_FALSE(jpeg.empty());
    medium_.Put(5, jpeg);
    medium_.Put(kStreamLba - 1, SectorEndingOnPacketGrid());
    medium_.Put(kStreamLba, PacketRun(12));

    ASSERT_EQ(Identify(5), kOk);  // a picture was carved: the next stream is new
    FileTypeCode type = FileTypeCode::kNoFileType;
    EXPECT_EQ(Identify(kStreamLba, &type), kOk);
    EXPECT_EQ(type, FileTypeCode::kTs);
    EXPECT_TRUE(context_.transportStreamFlag);

    EXPECT_EQ(Identify(kStreamLba), kErrInvalidParameter);  // right after a stream
    EXPECT_EQ(Identify(50), kErrInvalidParameter);          // nothing carved
    EXPECT_EQ(Identify(kStreamLba), kErrInvalidParameter);
}

TEST_F(StreamSequence, BdavHeaderWithRunningTimeStampAfterABdavFileContinuesIt) {
    const std::vector<uint8_t> bdav = Sample("camera.mts");
    ASSERT_FALSE(bdav.empty());
    std::vector<uint8_t> running(bdav.begin(), bdav.begin() + kSector);
    running[3] = 0x2C;  // a nonzero arrival time stamp, same program association table
    medium_.Put(8, bdav).Put(30, running);
    const std::vector<uint8_t> jpeg = Sample("photo.jpg");
    medium_.Put(40, jpeg);

    FileTypeCode type = FileTypeCode::kNoFileType;
    ASSERT_EQ(Identify(8, &type), kOk);
    EXPECT_EQ(type, FileTypeCode::kMts);
    EXPECT_TRUE(context_.bdavFlag);
    EXPECT_FALSE(context_.transportStreamFlag);
    EXPECT_EQ(Identify(30), kErrInvalidParameter);  // continues the file at 8
    EXPECT_FALSE(context_.bdavFlag);
    EXPECT_EQ(Identify(30, &type), kOk);  // nothing before it was BDAV
    EXPECT_EQ(type, FileTypeCode::kMts);
    ASSERT_EQ(Identify(8), kOk);
    EXPECT_EQ(Identify(8), kOk);  // a zero time stamp always starts a new file
    ASSERT_EQ(Identify(40), kOk);
    EXPECT_FALSE(context_.bdavFlag);
    EXPECT_EQ(Identify(30), kOk);
}

}  // namespace
}  // namespace norvale
