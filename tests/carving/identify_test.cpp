// The two entry points: IdentifyAndSize (what the carving engine calls per candidate sector)
// and CheckTypeByExtension (what the FAT and NTFS engines call to set contentValid).
#include "carving/identify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carving_test_support.h"

namespace norvale {
namespace {

using testing::kSector;
using testing::Medium;
using testing::NoiseSector;
using testing::Sample;

std::vector<uint8_t> SampleSector(const std::string& name) {
    std::vector<uint8_t> bytes = Sample(name);
    if (bytes.empty()) ADD_FAILURE() << "sample " << name << " missing";
    bytes.resize(kSector, 0);
    return bytes;
}

TEST(IdentifyAndSize, NamesTheFileAfterItsFirstSectorAndSetsTheContext) {
    Medium medium(64);
    medium.Put(2048 % 64, SampleSector("photo.jpg"));
    auto reader = medium.Reader();
    CarvingContext context;
    context.cursorLba = 7;
    std::string name;
    FileTypeCode type = FileTypeCode::kNoFileType;
    uint64_t length = 0;
    ASSERT_EQ(IdentifyAndSize(context, kSector, *reader, SampleSector("photo.jpg"), 2048,
                              {100, 5000, 42, 3}, name, type, length),
              kOk);
    EXPECT_EQ(name, "2048.jpg");
    EXPECT_EQ(type, FileTypeCode::kJpg);
    EXPECT_GE(length, 1u);
    EXPECT_EQ(context.startLba, 2048u);
    EXPECT_EQ(context.reader, reader.get());
    EXPECT_EQ(context.sectorsDone, 100u);
    EXPECT_EQ(context.sectorsTotal, 5000u);
    EXPECT_EQ(context.secondsLeft, 42);
    EXPECT_EQ(context.filesFound, 3u);
}

TEST(IdentifyAndSize, UnrecognisedSectorLeavesTheOutputsAlone) {
    Medium medium(8);
    auto reader = medium.Reader();
    CarvingContext context;
    std::string name = "keep";
    FileTypeCode type = FileTypeCode::kPng;
    uint64_t length = 99;
    for (const auto& sector : {NoiseSector(5), std::vector<uint8_t>(kSector, 0)}) {
        EXPECT_EQ(IdentifyAndSize(context, kSector, *reader, sector, 3, {}, name, type, length),
                  kErrInvalidParameter);
    }
    EXPECT_EQ(name, "keep");
    EXPECT_EQ(type, FileTypeCode::kPng);
    EXPECT_EQ(length, 99u);
}

TEST(IdentifyAndSize, TransportStreamFlagFollowsWhatWasCarved) {
    Medium medium(8);
    auto reader = medium.Reader();
    CarvingContext context;
    std::string name;
    FileTypeCode type;
    uint64_t length;
    auto identify = [&](const std::vector<uint8_t>& sector) {
        return IdentifyAndSize(context, kSector, *reader, sector, 1, {}, name, type, length);
    };
    ASSERT_EQ(identify(SampleSector("picture.png")), kOk);
    EXPECT_FALSE(context.transportStreamFlag);
    ASSERT_EQ(identify(NoiseSector(1)), kErrInvalidParameter);
    EXPECT_TRUE(context.transportStreamFlag);
    ASSERT_EQ(identify(SampleSector("picture.png")), kOk);
    ASSERT_EQ(identify(SampleSector("program.exe")), kErrInvalidParameter);
    EXPECT_TRUE(context.transportStreamFlag);  // recognised but not carved counts as nothing
}

// --- content check -------------------------------------------------------------------------

TEST(CheckTypeByExtension, ExtensionsWithoutASignatureAreNeverContradicted) {
    CarvingContext context;
    const std::vector<uint8_t> noise = NoiseSector(9);
    for (const char* extension : {"txt", "", "jp", "jpg.bak", "html"}) {
        EXPECT_TRUE(CheckTypeByExtension(context, noise, extension, nullptr, kSector, 0))
            << extension;
    }
    EXPECT_FALSE(CheckTypeByExtension(context, noise, "jpg", nullptr, kSector, 0));
}

TEST(CheckTypeByExtension, ExtensionCaseDoesNotMatter) {
    CarvingContext context;
    const std::vector<uint8_t> png = SampleSector("picture.png");
    EXPECT_TRUE(CheckTypeByExtension(context, png, "PNG", nullptr, kSector, 0));
    EXPECT_TRUE(CheckTypeByExtension(context, png, "Png", nullptr, kSector, 0));
    EXPECT_FALSE(CheckTypeByExtension(context, png, "JPG", nullptr, kSector, 0));
}

TEST(CheckTypeByExtension, CompoundFilesMustBeOfTheApplicationTheirExtensionNames) {
    const std::vector<uint8_t> word = Sample("by_class_word.doc");
    ASSERT_FALSE(word.empty());
    Medium medium(64);
    medium.Put(20, word);
    auto reader = medium.Reader();
    const std::vector<uint8_t> header = medium.SectorAt(20);
    CarvingContext context;
    EXPECT_TRUE(CheckTypeByExtension(context, header, "doc", reader.get(), kSector, 20));
    EXPECT_TRUE(CheckTypeByExtension(context, header, "WPS", reader.get(), kSector, 20));
    EXPECT_FALSE(CheckTypeByExtension(context, header, "xls", reader.get(), kSector, 20));
    EXPECT_FALSE(CheckTypeByExtension(context, header, "ole", reader.get(), kSector, 20));
    EXPECT_TRUE(CheckTypeByExtension(context, header, "fla", reader.get(), kSector, 20));
    // Read at the wrong place the classifier finds no Word directory.
    EXPECT_FALSE(CheckTypeByExtension(context, header, "doc", reader.get(), kSector, 30));
}

TEST(CheckTypeByExtension, ResidentBytesShorterThanASectorAreJudgedOnWhatIsThere) {
    CarvingContext context;
    const std::string pdf = "%PDF-1.7\n%";
    const std::vector<uint8_t> resident(pdf.begin(), pdf.end());
    EXPECT_TRUE(CheckTypeByExtension(context, resident, "pdf", nullptr, kSector, 0));
    EXPECT_FALSE(CheckTypeByExtension(context, resident, "bmp", nullptr, kSector, 0));
    EXPECT_FALSE(CheckTypeByExtension(context, {}, "pdf", nullptr, kSector, 0));
}

TEST(CheckTypeByExtension, PointsTheContextAtTheFileAndForgetsTheLastStream) {
    Medium medium(8);
    auto reader = medium.Reader();
    CarvingContext context;
    context.transportStreamFlag = true;
    const std::vector<uint8_t> png = SampleSector("picture.png");
    EXPECT_TRUE(CheckTypeByExtension(context, png, "png", reader.get(), 4096, 77));
    EXPECT_FALSE(context.transportStreamFlag);
    EXPECT_EQ(context.sectorSize, 4096u);
    EXPECT_EQ(context.startLba, 77u);
    EXPECT_EQ(context.cursorLba, 77u);
    EXPECT_EQ(context.reader, reader.get());
}

TEST(CarvingContext, ReadsRefuseWhatTheBufferCannotHold) {
    Medium medium(8);
    auto reader = medium.Reader();
    CarvingContext context;
    context.reader = reader.get();
    std::vector<uint8_t> buffer(kSector);
    EXPECT_TRUE(context.ReadSectors(0, 1, buffer));
    EXPECT_FALSE(context.ReadSectors(0, 2, buffer));
    EXPECT_FALSE(context.ReadSectors(8, 1, buffer));  // past the medium
    context.sectorSize = 0;
    EXPECT_FALSE(context.ReadSectors(0, 1, buffer));
    context.sectorSize = kSector;
    context.reader = nullptr;
    EXPECT_FALSE(context.ReadSectors(0, 1, buffer));
}

}  // namespace
}  // namespace norvale
