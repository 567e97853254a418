// The catalogue itself: every type has a row, rows name real detectors and answer only for
// their own family, and no detector trips over a whole sector of any content.
#include "carving/signature_table.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "carving_test_support.h"
#include "engine/output_naming.h"
#include "engine/result_store.h"

namespace norvale {
namespace {

using testing::ContextAt;
using testing::kSector;
using testing::NoiseSector;

// The codes carried by the rows that share each detector: the family a detector may answer.
std::map<SignatureDetector, std::set<FileTypeCode>> FamilyOfEachDetector() {
    std::map<SignatureDetector, std::set<FileTypeCode>> family;
    for (const SignatureRow& row : FileSignatureTable()) family[row.detector].insert(row.code);
    return family;
}

TEST(SignatureTable, EveryTypeHasARowWithAnExtensionAndADetector) {
    const auto table = FileSignatureTable();
    ASSERT_EQ(table.size(), kSignatureRowCount);
    for (int32_t code = 0; code < kFileTypeCodeEnd; ++code) {
        if (!IsFileTypeCode(code)) continue;
        const SignatureRow* row = FirstRowOfType(static_cast<FileTypeCode>(code));
        ASSERT_NE(row, nullptr) << "no row for type " << code;
        EXPECT_NE(row->detector, nullptr);
        ASSERT_NE(row->extension, nullptr);
        EXPECT_FALSE(std::string(row->extension).empty());
    }
    for (const SignatureRow& row : table) {
        EXPECT_NE(row.code, FileTypeCode::kNoFileType) << row.extension;
        EXPECT_NE(row.detector, nullptr) << row.extension;
        EXPECT_EQ(std::string(row.extension).find('.'), std::string::npos) << row.extension;
    }
    EXPECT_EQ(FirstRowOfType(FileTypeCode::kNoFileType), nullptr);
}

TEST(SignatureTable, TypesWithSeveralExtensionsAreCarvedUnderTheFirst) {
    EXPECT_STREQ(FirstRowOfType(FileTypeCode::kWmv)->extension, "wmv");  // not asf or wma
    EXPECT_STREQ(FirstRowOfType(FileTypeCode::kTif)->extension, "tif");
    EXPECT_STREQ(FirstRowOfType(FileTypeCode::kGz)->extension, "gz");
}

TEST(SignatureTable, ExtensionLookupIgnoresCaseAndFindsTheFirstRow) {
    ASSERT_NE(FirstRowWithExtension("JPEG"), nullptr);
    EXPECT_EQ(FirstRowWithExtension("JPEG")->code, FileTypeCode::kJpg);
    EXPECT_EQ(FirstRowWithExtension("Xlsx")->code, FileTypeCode::kXlsx);
    EXPECT_EQ(FirstRowWithExtension("ico"), FirstRowOfType(FileTypeCode::kIco));
    EXPECT_EQ(FirstRowWithExtension("txt"), nullptr);
    EXPECT_EQ(FirstRowWithExtension(""), nullptr);
    EXPECT_EQ(FirstRowWithExtension("jp"), nullptr);
}

// Every detector, on whole sectors of uniform bytes and of noise, answers "no", a code of
// its own family or one whose own detector agrees, and reads nothing outside the sector (the
// sanitizer build checks that).
TEST(SignatureTable, DetectorsAnswerOnlyForTheirFamilyOnArbitrarySectors) {
    const auto family = FamilyOfEachDetector();
    std::vector<std::vector<uint8_t>> sectors;
    for (uint8_t fill : {0x00, 0xFF, 0x47, 0x20}) sectors.emplace_back(kSector, fill);
    for (uint32_t seed = 1; seed <= 200; ++seed) sectors.push_back(NoiseSector(seed));
    for (uint32_t sectorBytes : {4096u, 2048u}) sectors.push_back(NoiseSector(7, sectorBytes));

    testing::Medium medium(64, 0x47);  // look-ahead reads find a plausible packet grid
    auto reader = medium.Reader();
    for (const auto& sector : sectors) {
        for (const SignatureRow& row : FileSignatureTable()) {
            auto context = ContextAt(reader.get(), 8);
            context->sectorSize = static_cast<uint32_t>(sector.size());
            const FileTypeCode code = row.detector(sector, *context);
            if (code == FileTypeCode::kNoFileType) continue;
            if (family.at(row.detector).count(code)) continue;
            // An earlier row may hand a find to a later family (a TIFF that is a camera RAW);
            // that family's own detector must then agree, or the content check of a file of
            // that extension would not.
            const SignatureRow* owner = FirstRowOfType(code);
            ASSERT_NE(owner, nullptr) << "row " << row.extension << " answered " << ToInt(code);
            auto again = ContextAt(reader.get(), 8);
            again->sectorSize = static_cast<uint32_t>(sector.size());
            EXPECT_EQ(owner->detector(sector, *again), code)
                << "row " << row.extension << " answered " << ToInt(code);
        }
    }
}

TEST(SignatureTable, ZeroAndErasedSectorsAreNoFile) {
    for (uint8_t fill : {0x00, 0xFF}) {
        const std::vector<uint8_t> sector(kSector, fill);
        for (const SignatureRow& row : FileSignatureTable()) {
            auto context = ContextAt(nullptr, 0);
            EXPECT_EQ(row.detector(sector, *context), FileTypeCode::kNoFileType)
                << row.extension << " on fill " << int{fill};
        }
    }
}

// A carved file is recovered into the folder of its kind, listed under that kind and shown
// under its category in the desktop app, all from the category lists; an extension they lack
// lands among "others", where nobody looks for a photo or a song.
TEST(SignatureTable, EveryCarvedExtensionIsInTheCategoryPeopleLookForItIn) {
    // Carved kinds that people look for among other files.
    const std::set<std::string> others = {"ttf", "otf", "ttc"};
    for (const SignatureRow& row : FileSignatureTable()) {
        if (row.sizer == nullptr) continue;  // recognised, never carved
        const std::string ext = row.extension;
        const std::string category = CategoryOf("1234." + ext);
        if (others.count(ext)) {
            EXPECT_EQ(category, "others") << ext;
            continue;
        }
        // Named whole, so that no longer extension of another kind ("avif", "flac") decides
        // where "avi" or "fla" goes.
        EXPECT_TRUE(IsCategoryExtension(ext) && category != "others")
            << "carved '" << ext << "' files would land among others: add \"*." << ext
            << "\" to the list of its kind in src/engine/result_store.cpp (kPhotoExtensions, "
               "kAudioExtensions, kVideoExtensions, kDocumentExtensions, kArchiveExtensions), "
               "or name it in this test's others if people look for it there";
    }
    // Longer extensions of other kinds do not pull a kind over.
    EXPECT_EQ(CategoryOf("clip.avi"), "video");
    EXPECT_EQ(CategoryOf("movie.fla"), "video");
    EXPECT_EQ(CategoryOf("song.flac"), "audio");
    EXPECT_EQ(CategoryOf("photo.avif"), "photo");
    EXPECT_FALSE(ExtensionListSelects(kPhotoExtensions, "avi"));
    EXPECT_TRUE(ExtensionListSelects(kPhotoExtensions, "jp"));  // a prefix still counts
}

}  // namespace
}  // namespace norvale
