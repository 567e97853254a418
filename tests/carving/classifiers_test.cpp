// The two detectors that read beyond the first sector: the compound-file classifier (Word,
// Excel, PowerPoint or generic) and the OOXML classifier (docx, xlsx, pptx or a plain ZIP).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
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

constexpr uint64_t kLba = 8;

std::vector<uint8_t> SampleOrSkip(const std::string& name) {
    std::vector<uint8_t> bytes = Sample(name);
    if (bytes.empty()) ADD_FAILURE() << "sample " << name << " missing";
    return bytes;
}

// Replaces the `nth` occurrence (from 0) of `from` by `to` (same length) in `bytes`.
bool Replace(std::vector<uint8_t>& bytes, const std::string& from, const std::string& to,
             int nth = 0) {
    auto at = bytes.begin();
    for (int i = 0;; ++i) {
        at = std::search(at, bytes.end(), from.begin(), from.end());
        if (at == bytes.end()) return false;
        if (i == nth) break;
        ++at;
    }
    std::copy(to.begin(), to.end(), at);
    return true;
}

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

FileTypeCode Classify(const std::vector<uint8_t>& file, std::set<uint64_t> bad = {}) {
    Medium medium(64);
    medium.Put(kLba, file);
    auto reader = medium.Reader(std::move(bad));
    auto context = ContextAt(reader.get(), kLba);
    return DetectFileType(medium.SectorAt(kLba), *context);
}

// --- compound files ------------------------------------------------------------------------

TEST(CompoundFileClassifier, RootClassIdentifierOutranksStreamNames) {
    // A Word-named stream under an Excel class identifier: the identifier decides.
    std::vector<uint8_t> file = SampleOrSkip("by_name_word.doc");
    const size_t rootClassId = 512 + 512 * 1 + 80;  // the directory is compound sector 1
    const uint8_t excel[16] = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    std::copy(std::begin(excel), std::end(excel), file.begin() + rootClassId);
    EXPECT_EQ(Classify(file), FileTypeCode::kXls);
}

TEST(CompoundFileClassifier, StreamNamesCompareWithoutCase) {
    std::vector<uint8_t> file = SampleOrSkip("by_name_powerpoint.ppt");
    ASSERT_TRUE(Replace(file, Utf16("PowerPoint Document"), Utf16("POWERPOINT document")));
    EXPECT_EQ(Classify(file), FileTypeCode::kPpt);
}

TEST(CompoundFileClassifier, UnknownStreamsMakeAGenericCompoundFile) {
    std::vector<uint8_t> file = SampleOrSkip("by_name_word.doc");
    ASSERT_TRUE(Replace(file, Utf16("WordDocument"), Utf16("WordPerfect!")));
    EXPECT_EQ(Classify(file), FileTypeCode::kOle);
}

TEST(CompoundFileClassifier, UnreadableSectorsGiveAGenericCompoundFileNotNoType) {
    const std::vector<uint8_t> word = SampleOrSkip("by_class_word.doc");
    EXPECT_EQ(Classify(word), FileTypeCode::kDoc);
    EXPECT_EQ(Classify(word, {kLba + 1}), FileTypeCode::kOle);  // the sector after the header
    EXPECT_EQ(Classify(word, {kLba + 2}), FileTypeCode::kOle);  // the directory sector
}

TEST(CompoundFileClassifier, DirectoryPastTheEndOfTheMediumGivesAGenericCompoundFile) {
    std::vector<uint8_t> file = SampleOrSkip("by_class_word.doc");
    const uint8_t far[4] = {0xFE, 0xFF, 0xFF, 0xFF};  // "end of chain" as a sector number
    std::copy(std::begin(far), std::end(far), file.begin() + 48);
    EXPECT_EQ(Classify(file), FileTypeCode::kOle);
}

TEST(CompoundFileClassifier, ShortResidentHeaderIsClassifiedWithoutItsDirectory) {
    // A content check may hand only the first bytes of a file. The sector after them still
    // counts; the directory field is not there to follow.
    const std::vector<uint8_t> word = SampleOrSkip("by_stream_word.doc");
    const std::vector<uint8_t> generic = SampleOrSkip("by_class_word.doc");
    for (const auto* file : {&word, &generic}) {
        Medium medium(64);
        medium.Put(kLba, *file);
        auto reader = medium.Reader();
        auto context = ContextAt(reader.get(), kLba);
        const std::vector<uint8_t> head(file->begin(), file->begin() + 40);
        const FileTypeCode expected = file == &word ? FileTypeCode::kDoc : FileTypeCode::kOle;
        EXPECT_EQ(DetectCompoundFile(head, *context), expected);
    }
}

// --- Office Open XML -----------------------------------------------------------------------

TEST(OoxmlClassifier, PartNamesCompareWithoutCase) {
    std::vector<uint8_t> file = SampleOrSkip("slides.pptx");
    ASSERT_TRUE(Replace(file, "ppt/presentation.xml", "PPT/presentation.xml", 0));
    ASSERT_TRUE(Replace(file, "ppt/presentation.xml", "PPT/presentation.xml", 0));
    EXPECT_EQ(Classify(file), FileTypeCode::kPptx);
}

TEST(OoxmlClassifier, CentralDirectoryNamesCountWhenLocalOnesDoNot) {
    std::vector<uint8_t> file = SampleOrSkip("budget.xlsx");
    ASSERT_TRUE(Replace(file, "xl/workbook.xml", "zz/workbook.xml", 0));  // the local header
    EXPECT_EQ(Classify(file), FileTypeCode::kXlsx);
    ASSERT_TRUE(Replace(file, "xl/workbook.xml", "zz/workbook.xml", 0));  // and the central one
    EXPECT_EQ(Classify(file), FileTypeCode::kZip);
}

TEST(OoxmlClassifier, HeadersAfterTheEndOfCentralDirectoryBelongToAnotherFile) {
    // A plain ZIP followed at once by a docx: the docx's part names lie after the ZIP's end
    // record and must not turn the ZIP into a document.
    std::vector<uint8_t> both = SampleOrSkip("archive.zip");
    const std::vector<uint8_t> docx = SampleOrSkip("letter.docx");
    both.insert(both.end(), docx.begin(), docx.end());
    ASSERT_LT(both.size(), 4 * kSector);
    EXPECT_EQ(Classify(both), FileTypeCode::kZip);
}

TEST(OoxmlClassifier, SignatureSplitAcrossTwoReadsIsStillFound) {
    // Cut the stored padding so that the local header of the "word/" part starts 2 bytes
    // before the end of the first four sectors: its signature straddles the two reads. The
    // central directory's copy of the name is spoilt, so only that header can tell.
    std::vector<uint8_t> file = SampleOrSkip("second_round.docx");
    ASSERT_TRUE(Replace(file, "word/document.xml", "zzzz/document.xml", 1));
    const std::string signature = "PK\x03\x04";
    auto header = file.begin();
    for (int i = 0; i < 3; ++i) {
        header = std::search(header + (i ? 1 : 0), file.end(), signature.begin(), signature.end());
        ASSERT_NE(header, file.end());
    }
    const size_t wordAt = static_cast<size_t>(header - file.begin());
    const size_t seam = 4 * kSector - 2;
    const size_t keep = 200;  // inside the padding, after the second header
    ASSERT_GT(wordAt, seam);
    std::vector<uint8_t> cut;
    cut.reserve(file.size());
    cut.insert(cut.end(), file.begin(), file.begin() + keep);
    cut.insert(cut.end(), file.begin() + (wordAt - (seam - keep)), file.end());
    ASSERT_EQ(std::string(cut.begin() + seam, cut.begin() + seam + 4), signature);
    EXPECT_EQ(Classify(cut), FileTypeCode::kDocx);
}

TEST(OoxmlClassifier, UnreadableLookAheadFallsBackToPlainZip) {
    const std::vector<uint8_t> file = SampleOrSkip("letter.docx");
    EXPECT_EQ(Classify(file), FileTypeCode::kDocx);
    EXPECT_EQ(Classify(file, {kLba + 2}), FileTypeCode::kZip);
}

TEST(OoxmlClassifier, PackageAtTheEndOfTheMediumIsStillAZip) {
    const std::vector<uint8_t> file = SampleOrSkip("letter.docx");
    Medium medium(kLba + 2);
    medium.Put(kLba, file);  // grows the medium to just hold the file
    auto reader = medium.Reader();
    auto context = ContextAt(reader.get(), kLba);
    EXPECT_EQ(DetectFileType(medium.SectorAt(kLba), *context), FileTypeCode::kZip);
}

}  // namespace
}  // namespace norvale
